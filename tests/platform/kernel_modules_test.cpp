// kernel_modules_test.cpp — LoadLibraryW name rules, reference counting,
// GetProcAddressW, GetModuleFileNameW. KernelProbe.dll is built beside
// the test (tests/platform/probe).
#include <platform/emulation.h>

#include <unistd.h>

#include <cstring>

#include "kernel_test_util.h"

using kerneltest::kGuardChar;
using kerneltest::kSentinel;
using kerneltest::PresetLastError;

namespace {

using ProbeAnswerProc = int (*)();

// GetProcAddressW answers a generic function pointer; convert through the
// generic `void (*)()`.
template <typename Function> Function Proc(FARPROC proc) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

class Modules : public ::testing::Test {
protected:
    void TearDown() override { platform::ClearModuleMaps(); }
    static std::string ProbeHostPath() { return platform::GetModuleDir() + "/KernelProbe.dll"; }
};

TEST_F(Modules, ModuleFolderHoldsTheProbe) {
    EXPECT_EQ(access(ProbeHostPath().c_str(), R_OK), 0)
        << ProbeHostPath() << " (set TAVRINEL_MODULE_DIR to the build's bin folder)";
}

TEST_F(Modules, DeviceNamesOfOneFileAnswerOneHandle) {
    HMODULE bare = LoadLibraryW(u"KernelProbe.dll");
    ASSERT_NE(bare, nullptr) << platform::LastLoaderError();
    HMODULE windows = LoadLibraryW(u"\\Windows\\KernelProbe.dll");
    HMODULE relative = LoadLibraryW(u"Windows\\KernelProbe.dll");
    HMODULE otherCase = LoadLibraryW(u"\\WINDOWS\\kernelprobe.DLL");
    HMODULE noExtension = LoadLibraryW(u"KernelProbe");
    EXPECT_EQ(windows, bare);
    EXPECT_EQ(relative, bare);
    EXPECT_EQ(otherCase, bare);
    EXPECT_EQ(noExtension, bare) << "\".dll\" is appended to a name without a dot";

    auto answer = Proc<ProbeAnswerProc>(GetProcAddressW(bare, u"ProbeAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    auto attachCount = Proc<LONG (*)()>(GetProcAddressW(bare, u"ProbeAttachCount"));
    ASSERT_NE(attachCount, nullptr);
    EXPECT_EQ(attachCount(), 1) << "mapped once, DllMain ran once";

    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(FreeLibrary(bare));
    PresetLastError();
    EXPECT_FALSE(FreeLibrary(bare)) << "all five loads balanced";
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
}

TEST_F(Modules, LastFreeUnloadsTheModule) {
    HMODULE module = LoadLibraryW(u"KernelProbe.dll");
    ASSERT_NE(module, nullptr) << platform::LastLoaderError();
    // The probe's DllMain created this event at load and sets it at unload.
    PresetLastError();
    HANDLE unloaded = CreateEventW(nullptr, TRUE, FALSE, u"KernelProbeUnloaded");
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(unloaded, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(WaitForSingleObject(unloaded, 0), WAIT_OBJECT_0) << "DllMain detach ran";
    CloseHandle(unloaded);

    PresetLastError();
    EXPECT_EQ(GetProcAddressW(module, u"ProbeAnswer"), nullptr) << "a freed handle is dead";
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
}

TEST_F(Modules, NamesThatLeaveTheModuleFolderAreRefused) {
    const std::u16string hostPath = platform::Widen(ProbeHostPath());
    struct Case {
        const char *legend;
        std::u16string name;
    } cases[] = {
        {"empty", u""},
        {"parent folder", u"..\\..\\x.so"},
        {"parent folder after \\Windows\\", u"\\Windows\\..\\KernelProbe.dll"},
        {"parent folder, forward slashes", u"../bin/KernelProbe.dll"},
        {"dots inside a name", u"Kernel..Probe.dll"},
        {"absolute host path of an existing module", hostPath},
        {"absolute host path", u"/usr/lib/x86_64-linux-gnu/libc.so.6"},
        {"sub folder", u"\\Windows\\sub\\KernelProbe.dll"},
        {"sub folder, forward slash", u"bin/KernelProbe.dll"},
        {"other device folder", u"\\Temp\\KernelProbe.dll"},
        {"drive letter", u"C:\\Windows\\KernelProbe.dll"},
        {"control character", u"Kernel\tProbe.dll"},
    };
    for (const Case &c : cases) {
        PresetLastError();
        EXPECT_EQ(LoadLibraryW(c.name.c_str()), nullptr) << c.legend;
        EXPECT_LAST_ERROR(ERROR_INVALID_NAME) << c.legend;
    }
    PresetLastError();
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

TEST_F(Modules, MissingFileIsNotFound) {
    PresetLastError();
    EXPECT_EQ(LoadLibraryW(u"NoSuchModule.dll"), nullptr);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(platform::LastLoaderError().empty());
}

TEST_F(Modules, FileThatIsNoModuleIsNotFound) {
    // The test program itself lies in the module folder but cannot be
    // dlopen'ed as a library (it is not position-independent code for
    // sharing), or it is; either way the loader must not crash.
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const char *base = std::strrchr(exe, '/') + 1;
    PresetLastError();
    HMODULE module = LoadLibraryW(platform::Widen(base).c_str());
    if (module) {
        EXPECT_TRUE(FreeLibrary(module));
    } else {
        EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    }
}

TEST_F(Modules, MapModuleRedirectsAName) {
    platform::MapModule(u"KernelMapped.dll", ProbeHostPath());
    HMODULE mapped = LoadLibraryW(u"\\Windows\\kernelmapped.dll");
    ASSERT_NE(mapped, nullptr) << platform::LastLoaderError();
    HMODULE direct = LoadLibraryW(u"KernelProbe.dll");
    EXPECT_EQ(mapped, direct) << "same file, same handle";
    EXPECT_NE(GetProcAddressW(mapped, u"ProbeAnswer"), nullptr);

    WCHAR name[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(mapped, name, MAX_PATH), 25u);
    EXPECT_EQ(kerneltest::Str(name), u"\\Windows\\kernelmapped.dll")
        << "the name of the first load";
    FreeLibrary(direct);
    FreeLibrary(mapped);

    platform::MapModule(u"KernelMapped.dll", "");
    PresetLastError();
    EXPECT_EQ(LoadLibraryW(u"KernelMapped.dll"), nullptr) << "mapping removed";
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
}

TEST_F(Modules, GetProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE module = LoadLibraryW(u"KernelProbe.dll");
    ASSERT_NE(module, nullptr) << platform::LastLoaderError();
    struct Case {
        const char *legend;
        LPCWSTR name;
    } cases[] = {
        {"missing name", u"FM_NoSuchFunction"},
        {"empty name", u""},
        {"NULL name", nullptr},
        {"an ordinal", MAKEINTRESOURCEW(1)},
        {"a name the module imports (from the C library)", u"malloc"},
        {"a name of another module", u"FM_Tune"},
        {"hidden (not exported) symbol", u"DllMain"},
    };
    for (const Case &c : cases) {
        PresetLastError();
        EXPECT_EQ(GetProcAddressW(module, c.name), nullptr) << c.legend;
        EXPECT_LAST_ERROR(ERROR_PROC_NOT_FOUND) << c.legend;
    }
    PresetLastError();
    EXPECT_EQ(GetProcAddressW(reinterpret_cast<HMODULE>(&cases), u"ProbeAnswer"), nullptr)
        << "a garbage module handle";
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    FreeLibrary(module);
}

TEST_F(Modules, GetModuleFileNameAnswersTheDeviceName) {
    HMODULE module = LoadLibraryW(u"\\Windows\\KernelProbe.dll");
    ASSERT_NE(module, nullptr) << platform::LastLoaderError();
    const std::u16string expected = u"\\Windows\\KernelProbe.dll"; // 24 characters

    WCHAR name[MAX_PATH + 1];
    std::fill(std::begin(name), std::end(name), kGuardChar);
    PresetLastError();
    EXPECT_EQ(GetModuleFileNameW(module, name, MAX_PATH), expected.size());
    EXPECT_EQ(kerneltest::Str(name), expected);
    EXPECT_EQ(name[expected.size() + 1], kGuardChar);
    EXPECT_LAST_ERROR(kSentinel);

    // Too small: size-1 characters and a terminator, answer = size.
    std::fill(std::begin(name), std::end(name), kGuardChar);
    PresetLastError();
    EXPECT_EQ(GetModuleFileNameW(module, name, 10), 10u);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(kerneltest::Str(name), expected.substr(0, 9));
    EXPECT_EQ(name[10], kGuardChar);

    // Exactly the length: no room for the terminator.
    std::fill(std::begin(name), std::end(name), kGuardChar);
    PresetLastError();
    EXPECT_EQ(GetModuleFileNameW(module, name, 24), 24u);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(name[23], 0);
    EXPECT_EQ(name[24], kGuardChar);

    FreeLibrary(module);
    std::fill(std::begin(name), std::end(name), kGuardChar);
    PresetLastError();
    EXPECT_EQ(GetModuleFileNameW(module, name, MAX_PATH), 0u);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(name[0], kGuardChar);

    EXPECT_GT(GetModuleFileNameW(nullptr, name, MAX_PATH), 9u) << "the program";
    EXPECT_EQ(kerneltest::Str(name).substr(0, 9), u"\\Windows\\");
}

} // namespace
