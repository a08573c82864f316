// Discovery of the driver in "Drivers\Active" (fabricated lists with
// broken entries) and loading and unloading through the device manager.
#include "client.h"
#include "client_test_util.h"

using namespace clienttest;

namespace {

class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(50);
        platform::DeactivateAllDevices();
        platform::ResetRegistry();
        RegisterRecordingPort();
        Port().Reset();
        panelSettings = PanelSettings{};
        deviceHandle = 0;
    }
    void TearDown() override { platform::DeactivateAllDevices(); }

    static void FakeEntry(const std::u16string &name, const std::u16string &key, DWORD hnd) {
        const std::u16string path = u"Drivers\\Active\\" + name;
        SetSz(path, u"Key", key);
        SetDword(path, u"Hnd", hnd);
    }
    static void UseKey(const char16_t *path) { wcscpy(panelSettings.driverKeyPath, path); }
};

TEST_F(ActivationTest, NoActiveListMeansNotLoaded) {
    EXPECT_FALSE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0u);
}

TEST_F(ActivationTest, FindsTheDriverBehindEarlierNonMatchingEntries) {
    UseKey(kManualKey);
    FakeEntry(u"01", u"Drivers", 0x11);                    // shorter than the path
    FakeEntry(u"02", u"Drivers\\Builtin\\Tavrinel", 0x22); // the other place
    FakeEntry(u"03", u"Drivers\\Tavrinel\\Sub", 0x33);     // longer
    EXPECT_FALSE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0u);

    FakeEntry(u"04", u"drivers\\TAVRINEL", 0x44); // letter case does not matter
    FakeEntry(u"05", kManualKey, 0x55);           // not examined: the first match wins
    EXPECT_TRUE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0x44u);
}

TEST_F(ActivationTest, BrokenEntriesAreSkippedWithoutHarm) {
    UseKey(kStartupKey);
    const std::u16string longName(255, u'N'); // no room for it in the 255 offered
    FakeEntry(longName, kStartupKey, 0x10);
    SetDword(u"Drivers\\Active\\01", u"Key", 5); // "Key" of the wrong type
    SetDword(u"Drivers\\Active\\01", u"Hnd", 0x11);
    const std::u16string tooLong = std::u16string(kStartupKey) + std::u16string(120, u'x');
    FakeEntry(u"02", tooLong, 0x12); // "Key" longer than 130 characters
    const BYTE odd[3] = {u'D', 0, u'r'};
    SetRaw(u"Drivers\\Active\\03", u"Key", REG_SZ, odd, sizeof odd);
    EXPECT_FALSE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0u);

    // A "Key" of exactly 130 characters without terminator still compares.
    std::u16string exact(130, u'k');
    std::copy(std::begin(kStartupKey), std::end(kStartupKey) - 1, exact.begin());
    std::u16string path(exact);
    wcscpy(panelSettings.driverKeyPath, path.c_str());
    SetRaw(u"Drivers\\Active\\04", u"Key", REG_SZ, exact.data(), 260);
    SetDword(u"Drivers\\Active\\04", u"Hnd", 0x14);
    EXPECT_TRUE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0x14u);
}

TEST_F(ActivationTest, UnreadableHandleIsNotReusedForAnUnload) {
    UseKey(kManualKey);
    deviceHandle = 0x99;
    SetSz(u"Drivers\\Active\\01", u"Key", kManualKey);
    const BYTE two[2] = {1, 2};
    SetRaw(u"Drivers\\Active\\01", u"Hnd", REG_BINARY, two, sizeof two);
    EXPECT_TRUE(findActiveDriver());
    EXPECT_EQ(deviceHandle, 0u);
}

TEST_F(ActivationTest, ToggleLoadsFromTheKeyAndUnloadsByTheListedHandle) {
    saveSettings(9, 0, 0, 0, 0, 0);
    toggleDriver();
    {
        std::lock_guard guard(Port().lock);
        EXPECT_EQ(Port().inits, 1);
    }
    ASSERT_TRUE(findActiveDriver());
    const auto devices = platform::ListActiveDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, u"COM9:");
    EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(deviceHandle)), devices[0].handle);

    toggleDriver();
    {
        std::lock_guard guard(Port().lock);
        EXPECT_EQ(Port().deinits, 1);
    }
    EXPECT_FALSE(findActiveDriver());
    EXPECT_TRUE(platform::ListActiveDevices().empty());
}

TEST_F(ActivationTest, DriverLoadedByItsOtherPlaceIsNotOurs) {
    WriteDriverKey(kStartupKey, kDriverDll, 9);
    ASSERT_NE(ActivateDeviceEx(kStartupKey, nullptr, 0, nullptr), nullptr);
    UseKey(kManualKey);
    EXPECT_FALSE(findActiveDriver());
    UseKey(kStartupKey);
    EXPECT_TRUE(findActiveDriver());
}

} // namespace
