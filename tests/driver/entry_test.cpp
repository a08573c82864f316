// The driver as the device manager loads it: activation from its key,
// port opens and closes through device files, the multiplexer port, the
// settings it reads and the frequency it saves, unload.
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_stack.h"

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

namespace {

constexpr double kClockSpeed = 200.0;
const char16_t kMuxKey[] = u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer";

std::string ModulePath(const char *file) {
    const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/" + file;
}

// ---- a stand-in GPS Intermediate Driver multiplexer, in process

struct MuxRecord {
    std::mutex lock;
    int inits = 0, opens = 0, closes = 0;
    std::vector<DWORD> controls;
    std::vector<DWORD> accessModes;
} mux;

DWORD_PTR MuxInit(LPCWSTR) {
    return ++mux.inits, 0x4D5558;
}
BOOL MuxDeinit(DWORD_PTR) {
    return TRUE;
}
DWORD_PTR MuxOpen(DWORD_PTR device, DWORD access, DWORD) {
    std::lock_guard guard(mux.lock);
    ++mux.opens;
    mux.accessModes.push_back(access);
    return device;
}
BOOL MuxClose(DWORD_PTR) {
    std::lock_guard guard(mux.lock);
    return ++mux.closes, TRUE;
}
BOOL MuxIoControl(DWORD_PTR, DWORD code, PBYTE, DWORD, PBYTE, DWORD, PDWORD returned) {
    std::lock_guard guard(mux.lock);
    mux.controls.push_back(code);
    if (returned != nullptr)
        *returned = 0;
    return code == 0x1234 ? FALSE : TRUE;
}

void SetString(HKEY key, const char16_t *name, const std::u16string &value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}
void SetDword(HKEY key, const char16_t *name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4);
}
HKEY CreateKey(const char16_t *path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    return key;
}
bool ReadDword(const char16_t *path, const char16_t *name, DWORD &value) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 4;
    DWORD type = REG_NONE;
    const bool ok = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value),
                                     &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << "the type the control program reads";
    return ok;
}

class DriverEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(kClockSpeed);
        platform::ResetRegistry();
        char templ[] = "/tmp/tavrinel-entry-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root = templ;
        platform::SetDeviceRoot(root);
        platform::MapModule(u"FMS_API.dll", ModulePath("FakeStack.dll"));
        fakestack::Reset();
        Reply("FM_Enable", FMS_CMD_POWER_ON);
        Reply("FM_Disable", FMS_CMD_POWER_OFF);
        {
            std::lock_guard guard(mux.lock);
            mux.inits = mux.opens = mux.closes = 0;
            mux.controls.clear();
            mux.accessModes.clear();
        }
        platform::StreamDriver table{};
        table.Init = MuxInit;
        table.Deinit = MuxDeinit;
        table.Open = MuxOpen;
        table.Close = MuxClose;
        table.IOControl = MuxIoControl;
        platform::RegisterInProcessDriver(u"TestMux.dll", table);
    }

    void TearDown() override {
        for (HANDLE h : files)
            CloseHandle(h);
        if (driver != nullptr)
            DeactivateDevice(driver);
        if (muxDevice != nullptr)
            DeactivateDevice(muxDevice);
        fakestack::DrainEvents();
        platform::ClearModuleMaps();
        platform::ResetRegistry();
        platform::SetDeviceRoot("");
        std::filesystem::remove_all(root);
    }

    static void Reply(const std::string &name, BYTE command) {
        fakestack::OnCall(name, [command] {
            fakestack::Post(fakestack::CommandStatus(command, FMS_STATUS_SUCCESS, 0));
        });
    }

    void StartMux(const std::u16string &name = u"GPD0:") {
        HKEY key = CreateKey(kMuxKey);
        SetString(key, u"DriverInterface", name);
        RegCloseKey(key);
        key = CreateKey(u"Drivers\\TestMux");
        SetString(key, u"Dll", u"TestMux.dll");
        SetString(key, u"Prefix", u"GPD");
        SetDword(key, u"Index", 0);
        RegCloseKey(key);
        muxDevice = ActivateDeviceEx(u"Drivers\\TestMux", nullptr, 0, nullptr);
        ASSERT_NE(muxDevice, nullptr) << GetLastError();
    }

    void WriteDriverKey(const char16_t *path, DWORD band, DWORD mute, DWORD sound,
                        DWORD frequency) {
        HKEY key = CreateKey(path);
        SetString(key, u"Dll", u"Tavrinel.dll");
        SetString(key, u"Prefix", u"COM");
        SetDword(key, u"Index", 9);
        SetDword(key, u"Band", band);
        SetDword(key, u"Mute", mute);
        SetDword(key, u"Sound", sound);
        SetDword(key, u"Frequency", frequency);
        RegCloseKey(key);
    }

    void Load(const char16_t *path = u"Drivers\\Tavrinel") {
        driver = ActivateDeviceEx(path, nullptr, 0, nullptr);
        ASSERT_NE(driver, nullptr) << GetLastError();
    }

    HANDLE OpenPort() {
        HANDLE h = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE)
            files.push_back(h);
        return h;
    }

    void ClosePort(HANDLE h) {
        EXPECT_TRUE(CloseHandle(h));
        std::erase(files, h);
    }

    std::string Read(HANDLE h) {
        std::string all;
        char buffer[512];
        DWORD n = 0;
        while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n != 0)
            all.append(buffer, n);
        return all;
    }

    void Send(HANDLE h, const std::string &text) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr));
        EXPECT_EQ(n, text.size());
    }

    std::string Log() {
        std::ifstream in(root + "/Tavrinel.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> StackCalls() {
        std::vector<std::string> names;
        for (const auto &call : fakestack::Calls())
            names.push_back(call.name +
                            (call.args.size() > 1 ? "(" + std::to_string(call.args[1]) + ")" : ""));
        return names;
    }

    std::string root;
    HANDLE driver = nullptr, muxDevice = nullptr;
    std::vector<HANDLE> files;
};

TEST_F(DriverEntryTest, FirstOpenSetsTheRadioUpInOrder) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    for (DWORD band : {1, 2}) {
        SCOPED_TRACE(band);
        WriteDriverKey(u"Drivers\\Tavrinel", band, 1, 0, 108000);
        ASSERT_NO_FATAL_FAILURE(Load());
        fakestack::ClearCalls();
        const DWORD before = GetTickCount();
        HANDLE port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_GE(GetTickCount() - before, 1000u) << "the radio settles for a second";
        EXPECT_EQ(StackCalls(),
                  (std::vector<std::string>{"FM_Enable", "FM_SetBand(" + std::to_string(band) + ")",
                                            "FM_SetRDS(1)", "FM_MuteRadio(0)", "FM_SetAudioPath(0)",
                                            "FM_Tune(108000)"}));
        EXPECT_EQ(mux.accessModes.back(), GENERIC_READ | GENERIC_WRITE);
        ClosePort(port);
        EXPECT_TRUE(DeactivateDevice(driver));
        driver = nullptr;
    }
    EXPECT_EQ(mux.opens, 2);
}

TEST_F(DriverEntryTest, BandOutsideTheThreeMakesNoPowerOnAndSaysSo) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Tavrinel", 0xFFFFFFFF, 0, 2, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    fakestack::ClearCalls();
    ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);
    // Off: only the audio path reaches the stack.
    EXPECT_EQ(StackCalls(), (std::vector<std::string>{"FM_SetAudioPath(2)"}));
    EXPECT_NE(Log().find("\nBand 4294967295 is not 0, 1 or 2: the radio stays off\n"),
              std::string::npos)
        << Log();
}

TEST_F(DriverEntryTest, OnlyTheLastCloseSavesAndPowersOff) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    HANDLE first = OpenPort(), second = OpenPort();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(mux.opens, 1) << "the multiplexer port is shared by the handles";
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(first, IOCTL_SERIAL_SET_TIMEOUTS, nullptr, 0, nullptr, 0, &returned,
                                nullptr));
    EXPECT_TRUE(DeviceIoControl(second, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 0,
                                &returned, nullptr));
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(second, 0x1234, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 87u) << "the multiplexer refused it";
    EXPECT_EQ(mux.controls,
              (std::vector<DWORD>{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_BAUD_RATE, 0x1234}));

    // A tune report moves the frequency the last close will save.
    fakestack::Post(fakestack::CommandStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 94400));
    fakestack::DrainEvents();
    fakestack::ClearCalls();
    ClosePort(first);
    DWORD saved = 0;
    ASSERT_TRUE(ReadDword(u"Drivers\\Tavrinel", u"Frequency", saved));
    EXPECT_EQ(saved, 90000u) << "not saved before the last close";
    EXPECT_TRUE(fakestack::Calls().empty()) << "the radio stays on";
    EXPECT_EQ(mux.closes, 0);

    ClosePort(second);
    ASSERT_TRUE(ReadDword(u"Drivers\\Tavrinel", u"Frequency", saved));
    EXPECT_EQ(saved, 94400u);
    EXPECT_EQ(StackCalls(),
              (std::vector<std::string>{"FM_SetRDS(0)", "FM_MuteRadio(0)", "FM_Disable"}));
    EXPECT_EQ(mux.closes, 1);
    const std::string log = Log();
    EXPECT_NE(log.find("COM_Close: numopens=1 "), std::string::npos) << log;
    EXPECT_NE(log.find("FMPowerOff: 0 "), std::string::npos) << log;
    EXPECT_NE(log.find("FMClose: 0 "), std::string::npos) << log;
    EXPECT_NE(log.find("COM_Close: numopens=0 "), std::string::npos) << log;
}

TEST_F(DriverEntryTest, UnloadWithThePortOpenDoesWhatTheLastCloseWould) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);
    ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);
    fakestack::Post(fakestack::CommandStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 94400));
    fakestack::DrainEvents();
    EXPECT_TRUE(DeactivateDevice(driver));
    driver = nullptr;
    DWORD saved = 0;
    ASSERT_TRUE(ReadDword(u"Drivers\\Tavrinel", u"Frequency", saved));
    EXPECT_EQ(saved, 94400u);
    EXPECT_EQ(mux.closes, 1);
}

TEST_F(DriverEntryTest, PlainKeyWinsOverTheBuiltinOne) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Builtin\\Tavrinel", 0, 0, 0, 101000);
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 95000);
    ASSERT_NO_FATAL_FAILURE(Load(u"Drivers\\Builtin\\Tavrinel"));
    fakestack::ClearCalls();
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(StackCalls().back(), "FM_Tune(95000)");
    fakestack::Post(fakestack::CommandStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 96000));
    fakestack::DrainEvents();
    ClosePort(port);
    DWORD plain = 0, builtin = 0;
    ASSERT_TRUE(ReadDword(u"Drivers\\Tavrinel", u"Frequency", plain));
    ASSERT_TRUE(ReadDword(u"Drivers\\Builtin\\Tavrinel", u"Frequency", builtin));
    EXPECT_EQ(plain, 96000u);
    EXPECT_EQ(builtin, 101000u);
}

TEST_F(DriverEntryTest, SentencesFlowToTheReader) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Read(port);
    // The strength is read inside the tune callback, on the stack's own
    // thread: the reply comes back within the call.
    fakestack::OnCall("FM_RssiGet", [] {
        fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_GET_RSSI, FMS_STATUS_SUCCESS, 255));
    });
    fakestack::Post(fakestack::CommandStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 94400));
    // Three groups with one PI, one byte more: the framer delivers all three.
    std::vector<uint8_t> raw;
    const WORD blocks[3][4] = {
        {0xD318, 0x8548, 0x1234, 0x0ABC}, {0xD318, 0x0548, 0xE145, 0x5441}, {0xD318, 0x2540, 0, 0}};
    for (const auto &group : blocks)
        for (int b = 0; b < 4; ++b) {
            raw.push_back(static_cast<uint8_t>(group[b] >> 8));
            raw.push_back(static_cast<uint8_t>(group[b]));
            raw.push_back(static_cast<uint8_t>(0x20 | (b == 3 ? 4 : b)));
        }
    raw.push_back(0xD3);
    fakestack::PostRds(raw);
    fakestack::DrainEvents();
    EXPECT_EQ(Read(port), "$RTRDS, 94.4,15,0,0,2,1,1,000,255,5,0,50*40\r\n"
                          "$RTTMC,8,D318,8548,1234,ABC*73\r\n"
                          "$RTTMC,0,D318,548,E145,5441*76\r\n"
                          "$RTTMC,2,D318,2540,0,0*3F\r\n");
    char buffer[8];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

TEST_F(DriverEntryTest, NoMultiplexerMeansNoOpenUntilThereIsOne) {
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fakestack::Calls().empty()) << "the radio was set up all the same";
    // The failed first open is undone, so a later open is a first open again.
    ASSERT_NO_FATAL_FAILURE(StartMux());
    fakestack::ClearCalls();
    EXPECT_NE(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(StackCalls().front(), "FM_Enable");
}

TEST_F(DriverEntryTest, PortAnswersCommandsWithoutATuner) {
    ASSERT_NO_FATAL_FAILURE(StartMux());
    platform::MapModule(u"FMS_API.dll", ModulePath("NoSuchStack.dll"));
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Send(port, "$PSRF107*21\r\n$PSRF123,1,1*27\r\n");
    const std::string got = Read(port);
    EXPECT_EQ(got.rfind("$PSRFTXT,Ack Input107*6A\r\n", 0), 0u) << got;
    EXPECT_NE(got.find("$PSRF154,107*3D\r\n$PSRFTXT,Ack Input123*"), std::string::npos) << got;
    EXPECT_EQ(got.find("$RT"), std::string::npos);
}

TEST_F(DriverEntryTest, UnloadTakesSixSecondsAndSurvivesAFaultingStack) {
    for (int fault = 0; fault < 2; ++fault) {
        SCOPED_TRACE(fault == 0 ? "C++ exception" : "memory fault");
        ASSERT_NO_FATAL_FAILURE(StartMux());
        WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
        ASSERT_NO_FATAL_FAILURE(Load());
        if (fault == 0)
            fakestack::OnCall("FM_Destroy", [] { throw std::runtime_error("stack fault"); });
        else
            fakestack::OnCall("FM_Destroy", [] { std::raise(SIGSEGV); });
        const DWORD before = GetTickCount();
        EXPECT_TRUE(DeactivateDevice(driver));
        driver = nullptr;
        EXPECT_GE(GetTickCount() - before, 6000u);
        EXPECT_NE(Log().find("COM_Deinit\nException raised on FMClose\n"), std::string::npos)
            << Log();
        std::filesystem::remove(root + "/Tavrinel.log");
        EXPECT_TRUE(DeactivateDevice(muxDevice));
        muxDevice = nullptr;
        fakestack::Reset();
        Reply("FM_Enable", FMS_CMD_POWER_ON);
        Reply("FM_Disable", FMS_CMD_POWER_OFF);
    }
}

TEST_F(DriverEntryTest, LogThatCannotBeWrittenDoesNotStopTheDriver) {
    std::filesystem::create_directory(root + "/Tavrinel.log"); // a folder in its place
    ASSERT_NO_FATAL_FAILURE(StartMux());
    WriteDriverKey(u"Drivers\\Tavrinel", 0, 0, 0, 90000);
    ASSERT_NO_FATAL_FAILURE(Load());
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Send(port, "$PSRF107*21\r\n");
    EXPECT_EQ(Read(port).rfind("$PSRFTXT,Ack Input107*6A\r\n", 0), 0u);
}

} // namespace
