// Volume: the stack level, the wave-out word, the shell's registry values
// and the audio refresh, and the value read back.
#include "lumarc_test.h"

#include <mmsystem.h>

using namespace lumarctest;
using ::testing::ElementsAre;

namespace {

const HWAVEOUT kMapper = reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER));
const WCHAR kVolumeKey[] = TEXT("ControlPanel\\Volume");
const WCHAR kOverridesKey[] = TEXT("ControlPanel\\Notifications\\ShellOverrides");

DWORD ReadStep(const WCHAR *keyPath, const WCHAR *name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0xdeadbeef;
    DWORD value = 0xdeadbeef, type = 0, size = sizeof(value);
    RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    return type == REG_DWORD && size == 4 ? value : 0xdeadbeef;
}

class VolumeTest : public LumarcTest {
protected:
    void SetUp() override {
        LumarcTest::SetUp();
        platform::ResetRegistry();
        for (const WCHAR *path : {kVolumeKey, kOverridesKey}) {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(key);
        }
        ASSERT_NO_FATAL_FAILURE(Open()); // volume works with the radio off
        fakestack::ClearCalls();
    }
    void TearDown() override {
        LumarcTest::TearDown();
        platform::ResetRegistry();
    }
};

TEST_F(VolumeTest, SettingsAndReadBack) {
    struct {
        DWORD_PTR volume;
        int64_t stackLevel; // signed 16 bits as the stack receives it
        DWORD step;
        DWORD readBack;
    } const cases[] = {
        {0, 0, 0, 0},       {6, 3932, 0, 0},    {7, 4587, 1, 6},
        {20, 13107, 3, 20}, {50, 32767, 7, 46}, {67, -21628, 10, 66},
        {99, -657, 14, 93}, {100, -1, 15, 100}, {150, -1, 15, 100}, // above 100 counts as 100
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.volume);
        fakestack::ClearCalls();
        const unsigned refreshes = platform::AudioRefreshCount();
        EXPECT_EQ(FMSetProp(session, FMPROP_VOLUME, c.volume), 0u);
        EXPECT_EQ(Properties().volume.load(), c.volume);
        ASSERT_EQ(CallsOf("FM_SetVolume").size(), 1u);
        EXPECT_THAT(CallsOf("FM_SetVolume")[0].args, ElementsAre(kStackHandle, c.stackLevel, 0));
        DWORD word = 0;
        EXPECT_EQ(waveOutGetVolume(kMapper, &word), MMSYSERR_NOERROR);
        EXPECT_EQ(word, c.step * 0x11111111u);
        EXPECT_EQ(ReadStep(kVolumeKey, TEXT("Volume")), c.step);
        EXPECT_EQ(ReadStep(kOverridesKey, TEXT("SavedVolume")), c.step);
        EXPECT_EQ(platform::AudioRefreshCount(), refreshes + 1);
        DWORD_PTR value = 0xdeadbeef;
        EXPECT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
        EXPECT_EQ(value, c.readBack);
    }
}

TEST_F(VolumeTest, ReadingAndWritingBackDriftsDownward) {
    DWORD_PTR value = 50;
    for (DWORD_PTR expected : {46u, 40u, 40u}) {
        FMSetProp(session, FMPROP_VOLUME, value);
        ASSERT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
        EXPECT_EQ(value, expected);
    }
}

TEST_F(VolumeTest, OnlyTheLowestNibbleIsRead) {
    DWORD_PTR value = 0xdeadbeef;
    waveOutSetVolume(kMapper, 0xFFFFFFF0u);
    EXPECT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
    EXPECT_EQ(value, 0u);
    waveOutSetVolume(kMapper, 0x0000000Fu);
    EXPECT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
    EXPECT_EQ(value, 100u);
}

TEST_F(VolumeTest, MissingKeysAreSkippedAndTheAudioStillRefreshed) {
    platform::ResetRegistry();
    const unsigned refreshes = platform::AudioRefreshCount();
    EXPECT_EQ(FMSetProp(session, FMPROP_VOLUME, 80), 0u);
    EXPECT_EQ(platform::AudioRefreshCount(), refreshes + 1);
    EXPECT_EQ(ReadStep(kVolumeKey, TEXT("Volume")), 0xdeadbeefu);
    DWORD_PTR value = 0;
    EXPECT_EQ(FMGetProp(session, FMPROP_VOLUME, &value), 0u);
    EXPECT_EQ(value, 80u);
}

} // namespace
