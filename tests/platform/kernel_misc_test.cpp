// kernel_misc_test.cpp — COM run-time counting, wave-out volume, the
// audio refresh, LocalAlloc, device paths.
#include <platform/emulation.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "kernel_test_util.h"

using kerneltest::kSentinel;
using kerneltest::PresetLastError;

namespace {

// ---------------------------------------------------------------- linkage

// Tools and other languages look Win32 functions up by their plain names.
TEST(Linkage, Win32FunctionsHaveTheirPlainNames) {
    for (const char *name : {"GetLastError", "CreateEventW", "RegOpenKeyExW", "SendMessageW",
                             "ActivateDeviceEx", "SHInitDialog", "waveOutSetVolume"})
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}

// ---------------------------------------------------------------- COM

TEST(Com, CountsPerThread) {
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE)
            << "another model";
        // Another thread starts from nothing.
        std::thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            CoUninitialize();
        }).join();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE)
            << "one initialisation still holds";
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK)
            << "balanced: a new model may start";
        CoUninitialize();
        CoUninitialize(); // unbalanced: harmless
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        int reserved = 0;
        EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    }).join();
}

// ---------------------------------------------------------------- wave-out volume

const HWAVEOUT kWaveMapper = reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(WAVE_MAPPER));

TEST(WaveOut, OneVolumeWordForTheMapperAndDeviceZero) {
    DWORD volume = kSentinel;
    EXPECT_EQ(waveOutGetVolume(kWaveMapper, &volume), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0xFFFFFFFFu) << "full volume at boot";

    EXPECT_EQ(waveOutSetVolume(kWaveMapper, 0x77777777u), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    volume = kSentinel;
    EXPECT_EQ(waveOutGetVolume(nullptr, &volume), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0x77777777u) << "device 0 is the same device";
    volume = kSentinel;
    EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(static_cast<intptr_t>(-1)), &volume),
              static_cast<MMRESULT>(MMSYSERR_NOERROR))
        << "WAVE_MAPPER widened with its sign";
    EXPECT_EQ(volume, 0x77777777u);

    EXPECT_EQ(waveOutGetVolume(kWaveMapper, nullptr), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    volume = kSentinel;
    const HWAVEOUT other = reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(5));
    EXPECT_EQ(waveOutGetVolume(other, &volume), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(volume, kSentinel);
    EXPECT_EQ(waveOutSetVolume(other, 0), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    waveOutGetVolume(kWaveMapper, &volume);
    EXPECT_EQ(volume, 0x77777777u) << "a refused set changed nothing";
    waveOutSetVolume(kWaveMapper, 0xFFFFFFFFu);
}

TEST(Audio, RefreshIsCounted) {
    const unsigned before = platform::AudioRefreshCount();
    AudioUpdateFromRegistry();
    AudioUpdateFromRegistry();
    EXPECT_EQ(platform::AudioRefreshCount(), before + 2);
}

// ---------------------------------------------------------------- memory

TEST(LocalAlloc, ZeroInitAndCleanFailures) {
    auto *block = static_cast<unsigned char *>(LocalAlloc(LPTR, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(block[i], 0) << i;
    std::memset(block, 0xA5, 64);
    EXPECT_EQ(LocalFree(block), nullptr);

    PresetLastError();
    EXPECT_EQ(LocalFree(block), block) << "freed twice: fails, answers the block";
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    int onStack = 0;
    PresetLastError();
    EXPECT_EQ(LocalFree(&onStack), &onStack) << "not a LocalAlloc block";
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_EQ(LocalFree(nullptr), nullptr);

    void *empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr) << "a zero-byte block is still a block";
    EXPECT_EQ(LocalFree(empty), nullptr);
}

// ---------------------------------------------------------------- device paths

class DevicePaths : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kernel-devroot-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        platform::SetDeviceRoot(root_);
    }
    void TearDown() override {
        platform::SetDeviceRoot("");
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    std::string root_;
};

TEST_F(DevicePaths, MapUnderTheRoot) {
    EXPECT_EQ(platform::GetDeviceRoot(), root_);
    std::string host = "untouched";
    EXPECT_TRUE(platform::ResolveDevicePath(u"\\Tavrinel.log", host));
    EXPECT_EQ(host, root_ + "/Tavrinel.log");
    EXPECT_TRUE(platform::ResolveDevicePath(u"\\My Documents\\a.txt", host));
    EXPECT_EQ(host, root_ + "/My Documents/a.txt");
    EXPECT_TRUE(platform::ResolveDevicePath(u"\\Temp\\.\\x", host));
    EXPECT_EQ(host, root_ + "/Temp/x");
    EXPECT_TRUE(platform::ResolveDevicePath(u"\\Windows\\Lumarc.dll", host));
    EXPECT_EQ(host, platform::GetModuleDir() + "/Lumarc.dll") << "\\Windows is the module folder";
}

TEST_F(DevicePaths, MatchExistingNamesWithoutCase) {
    std::ofstream(root_ + "/Tavrinel.log") << "x";
    std::string host;
    EXPECT_TRUE(platform::ResolveDevicePath(u"\\TAVRINEL.LOG", host));
    EXPECT_EQ(host, root_ + "/Tavrinel.log");
}

TEST_F(DevicePaths, RefuseEscapesAndBadNames) {
    const char16_t *refused[] = {
        u"",
        u"\\..\\etc\\passwd",
        u"\\Temp\\..\\..\\x",
        u"..",
        u"\\...\\x",
        u"\\Temp/../../x",
        u"C:\\x",
        u"\\a\tb",
        u"\\what?",
    };
    for (const char16_t *path : refused) {
        std::string host = "untouched";
        EXPECT_FALSE(platform::ResolveDevicePath(path, host)) << platform::Narrow(path);
        EXPECT_EQ(host, "untouched");
    }
    std::string host = "untouched";
    EXPECT_FALSE(platform::ResolveDevicePath(std::u16string(u"\\a\0b", 4), host)) << "NUL inside";
    platform::SetDeviceRoot("");
    EXPECT_FALSE(platform::ResolveDevicePath(u"\\Tavrinel.log", host)) << "no root";
    EXPECT_EQ(host, "untouched");
}

TEST(Text, WidenAndNarrowAreUtf8) {
    EXPECT_EQ(platform::Widen("caf\xc3\xa9"), u"caf\u00e9");
    EXPECT_EQ(platform::Narrow(u"\u20ac"), "\xe2\x82\xac");
}

} // namespace
