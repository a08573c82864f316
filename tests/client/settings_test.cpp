// The driver key: what loadSettings reads from either place (and what it
// refuses to read), and what saveSettings leaves behind from every
// starting state.
#include "client.h"
#include "client_registry_util.h"

#include <platform/emulation.h>

using namespace clienttest;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetRegistry();
#ifdef _WIN32
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kManualKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStartupKey);
#endif
        panelSettings = PanelSettings{};
    }
};

WString KeyPath() {
    return panelSettings.driverKeyPath;
}
WString PortName() {
    return panelSettings.portName;
}

TEST_F(SettingsTest, FirstStartWithoutKeyKeepsDefaultsAndNamesStartupKey) {
    panelSettings.comPort = 3;
    panelSettings.fmBand = 2;
    panelSettings.loadOnBoot = 1;
    loadSettings();
    EXPECT_EQ(panelSettings.comPort, 9);
    EXPECT_EQ(panelSettings.fmBand, 0);
    EXPECT_EQ(panelSettings.dataOutput, 0);
    EXPECT_EQ(panelSettings.soundOutput, 0);
    EXPECT_EQ(panelSettings.muteRadio, 0);
    EXPECT_EQ(panelSettings.loadOnBoot, 0);
    EXPECT_EQ(KeyPath(), TEXT("Drivers\\Builtin\\Tavrinel"));
    EXPECT_EQ(PortName(), TEXT("COM9:"));
}

TEST_F(SettingsTest, ReadsEitherPlaceAndPrefersTheManualKey) {
    SetDword(kStartupKey, TEXT("Index"), 4);
    SetDword(kStartupKey, TEXT("Band"), 2);
    SetDword(kStartupKey, TEXT("Data"), 1);
    SetDword(kStartupKey, TEXT("Sound"), 1);
    SetDword(kStartupKey, TEXT("Mute"), 1);
    loadSettings();
    EXPECT_EQ(KeyPath(), kStartupKey);
    EXPECT_EQ(panelSettings.loadOnBoot, 1);
    EXPECT_EQ(PortName(), TEXT("COM4:"));
    EXPECT_EQ(panelSettings.fmBand, 2);
    EXPECT_EQ(panelSettings.dataOutput, 1);
    EXPECT_EQ(panelSettings.soundOutput, 1);
    EXPECT_EQ(panelSettings.muteRadio, 1);

    // Both keys: the manual one wins, with its own (here missing) values.
    SetDword(kManualKey, TEXT("Index"), 2);
    loadSettings();
    EXPECT_EQ(KeyPath(), kManualKey);
    EXPECT_EQ(panelSettings.loadOnBoot, 0);
    EXPECT_EQ(PortName(), TEXT("COM2:"));
    EXPECT_EQ(panelSettings.fmBand, 0);
}

TEST_F(SettingsTest, FourByteValuesOfAnyTypeAreReadOthersLeaveTheirDefaults) {
    const BYTE two[2] = {5, 0};
    const BYTE eight[8] = {1, 0, 0, 0, 1, 0, 0, 0};
    SetRaw(kManualKey, TEXT("Index"), REG_BINARY, two, sizeof two);
    SetRaw(kManualKey, TEXT("Band"), REG_BINARY, eight, sizeof eight);
    SetSz(kManualKey, TEXT("Data"), TEXT("10")); // 6 bytes
    const DWORD one = 1;
    SetRaw(kManualKey, TEXT("Sound"), REG_BINARY, &one, sizeof one); // as the driver: taken
    SetDword(kManualKey, TEXT("Mute"), 1);
    loadSettings();
    EXPECT_EQ(panelSettings.comPort, 9);
    EXPECT_EQ(panelSettings.fmBand, 0);
    EXPECT_EQ(panelSettings.dataOutput, 0);
    EXPECT_EQ(panelSettings.soundOutput, 1);
    EXPECT_EQ(panelSettings.muteRadio, 1);
    EXPECT_EQ(PortName(), TEXT("COM9:"));
}

TEST_F(SettingsTest, NumbersWithoutEntriesAreKeptAndNamedAsStored) {
    SetDword(kManualKey, TEXT("Index"), 12);
    SetDword(kManualKey, TEXT("Band"), 7);
    loadSettings();
    EXPECT_EQ(PortName(), TEXT("COM12:"));
    EXPECT_EQ(panelSettings.fmBand, 7);

    SetDword(kManualKey, TEXT("Index"), 0x80000000u); // the longest name there is
    loadSettings();
    EXPECT_EQ(PortName(), TEXT("COM-2147483648:"));
}

// ---------------------------------------------------------------- the save table

struct SaveRow {
    const char *legend;
    bool manualBefore, startupBefore;
    int loadOnBoot;
    bool frequencySurvives; // the chosen key stayed in place
};

void PrintTo(const SaveRow &row, std::ostream *out) {
    *out << row.legend;
}

class SaveTable : public SettingsTest, public ::testing::WithParamInterface<SaveRow> {};

TEST_P(SaveTable, LeavesOnlyTheChosenKeyWithItsEightValues) {
    const SaveRow row = GetParam();
    if (row.manualBefore) {
        SetDword(kManualKey, TEXT("Frequency"), 94400);
        SetDword(kManualKey, TEXT("Band"), 2);
    }
    if (row.startupBefore) {
        SetDword(kStartupKey, TEXT("Frequency"), 101300);
        SetDword(kStartupKey, TEXT("Band"), 2);
    }
    loadSettings();

    saveSettings(4, 1, 1, 0, 1, row.loadOnBoot);

    const WString chosen = row.loadOnBoot ? kStartupKey : kManualKey;
    const WString other = row.loadOnBoot ? kManualKey : kStartupKey;
    EXPECT_TRUE(KeyExists(chosen));
    EXPECT_FALSE(KeyExists(other));
    EXPECT_EQ(KeyPath(), chosen);
    EXPECT_EQ(PortName(), TEXT("COM4:"));

    const struct {
        const WCHAR *name;
        DWORD value;
    } dwords[] = {{TEXT("Band"), 1}, {TEXT("Index"), 4}, {TEXT("Data"), 1},
                  {TEXT("Mute"), 1}, {TEXT("Sound"), 0}, {TEXT("Order"), 9}};
    for (const auto &expected : dwords) {
        const auto value = ReadValue(chosen, expected.name);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(value->data.size(), 4u);
        EXPECT_EQ(value->AsDword(), expected.value);
    }
    const auto dll = ReadValue(chosen, TEXT("Dll"));
    ASSERT_TRUE(dll.has_value());
    EXPECT_EQ(dll->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(dll->data.size(), 44u);
    EXPECT_EQ(dll->AsText(), TEXT("\\Windows\\Tavrinel.dll"));
    const auto prefix = ReadValue(chosen, TEXT("Prefix"));
    ASSERT_TRUE(prefix.has_value());
    EXPECT_EQ(prefix->data.size(), 8u);
    EXPECT_EQ(prefix->AsText(), TEXT("COM"));

    const auto frequency = ReadValue(chosen, TEXT("Frequency"));
    EXPECT_EQ(frequency.has_value(), row.frequencySurvives);
    EXPECT_EQ(CountValues(chosen), row.frequencySurvives ? 9 : 8);
}

const SaveRow kSaveRows[] = {
    {"none_manual", false, false, 0, false},   {"none_startup", false, false, 1, false},
    {"manual_manual", true, false, 0, true},   {"manual_startup", true, false, 1, false},
    {"startup_manual", false, true, 0, false}, {"startup_startup", false, true, 1, true},
    {"both_manual", true, true, 0, true},      {"both_startup", true, true, 1, true},
};
INSTANTIATE_TEST_SUITE_P(EveryStartingState, SaveTable, ::testing::ValuesIn(kSaveRows),
                         [](const auto &info) { return std::string(info.param.legend); });

TEST_F(SettingsTest, BoxesWithoutSelectionKeepTheStoredNumbers) {
    SetDword(kManualKey, TEXT("Index"), 12);
    SetDword(kManualKey, TEXT("Band"), 7);
    SetDword(kStartupKey, TEXT("Frequency"), 101300);
    loadSettings();
    saveSettings(-1, -1, 1, 0, 0, -1);
    EXPECT_EQ(PortName(), TEXT("COM12:"));
    EXPECT_EQ(ReadValue(kManualKey, TEXT("Index"))->AsDword(), 12u);
    EXPECT_EQ(ReadValue(kManualKey, TEXT("Band"))->AsDword(), 7u);
    EXPECT_EQ(ReadValue(kManualKey, TEXT("Data"))->AsDword(), 1u);
    EXPECT_FALSE(KeyExists(kStartupKey)) << "the place in use stays the place in use";
    EXPECT_EQ(KeyPath(), kManualKey);
}

} // namespace
