// devices_manager_test.cpp — ActivateDeviceEx, DeactivateDevice, the
// Drivers\Active list, hostile driver keys, in-process drivers and
// boot-time loading.
#include "devices_test_util.h"

#include <algorithm>
#include <cstdio>

using namespace devtest;

namespace {

using DeviceManagerTest = DeviceTest;

TEST_F(DeviceManagerTest, ActivationCreatesActiveEntryAndCallsInit) {
    SetLastError(kSentinel);
    HANDLE device = ActivateTest(u"Test", 7);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(record_->inits.load(), 1);
    // Init got the active key, and the entry was there when it ran.
    EXPECT_EQ(std::u16string(record_->lastActiveKey), u"Drivers\\Active\\00");

    auto entry = ReadActiveEntry(u"Drivers\\Active\\00");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->key, u"Drivers\\Test");
    EXPECT_EQ(entry->name, u"TST7:");
    EXPECT_EQ(entry->hndType, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(entry->hndSize, 4u);
    // "Hnd" is the handle itself: it fits 32 bits and deactivates the device.
    EXPECT_EQ(static_cast<uintptr_t>(entry->hnd), reinterpret_cast<uintptr_t>(device));

    auto list = platform::ListActiveDevices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, u"TST7:");
    EXPECT_EQ(list[0].key, u"Drivers\\Test");
    EXPECT_EQ(list[0].active, u"Drivers\\Active\\00");
    EXPECT_EQ(list[0].handle, device);

    // The device handle is not a kernel handle.
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);

    HANDLE fromHnd = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entry->hnd));
    EXPECT_TRUE(DeactivateDevice(fromHnd));
    EXPECT_EQ(record_->deinits.load(), 1);
    EXPECT_EQ(record_->lastDeinitContext.load(), record_->lastInitContext.load());
    EXPECT_FALSE(KeyExists(u"Drivers\\Active\\00"));
    EXPECT_TRUE(platform::ListActiveDevices().empty());
}

TEST_F(DeviceManagerTest, ActiveEntriesTakeLowestFreeNumber) {
    HANDLE a = ActivateTest(u"A", 1);
    HANDLE b = ActivateTest(u"B", 2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ReadActiveEntry(u"Drivers\\Active\\01")->name, u"TST2:");
    ASSERT_TRUE(DeactivateDevice(a));
    // A hand-made entry is never taken over.
    RegCloseKey(CreateKey(u"Drivers\\Active\\02"));
    HANDLE c = ActivateTest(u"C", 3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ReadActiveEntry(u"Drivers\\Active\\00")->name, u"TST3:");
    HANDLE d = ActivateTest(u"D", 4);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ReadActiveEntry(u"Drivers\\Active\\03")->name, u"TST4:");
}

TEST_F(DeviceManagerTest, MissingIndexTakesFirstFreeFromOne) {
    ASSERT_NE(ActivateTest(u"A", -1), nullptr);
    ASSERT_NE(ActivateTest(u"B", -1), nullptr);
    auto list = platform::ListActiveDevices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, u"TST1:");
    EXPECT_EQ(list[1].name, u"TST2:");
}

TEST_F(DeviceManagerTest, TakenNameIsRefusedAndLeavesNothing) {
    ASSERT_NE(ActivateTest(u"First", 9), nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateTest(u"Second", 9), nullptr);
    EXPECT_LAST_ERROR(ERROR_DEVICE_IN_USE);
    EXPECT_EQ(record_->inits.load(), 1);
    EXPECT_EQ(ActiveEntryCount(), 1u);
    // Names compare without regard to case.
    MakeDriverKey(u"Drivers\\Lower", u"TestDriver.dll", u"tst", 9);
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Lower", nullptr, 0, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_DEVICE_IN_USE);
    EXPECT_EQ(platform::ListActiveDevices().size(), 1u);
}

TEST_F(DeviceManagerTest, NullInitIsRefusedAndLeavesNothing) {
    MakeDriverKey(u"Drivers\\Failing", u"TestDriver.dll", u"TST", 5);
    HKEY key = CreateKey(u"Drivers\\Failing");
    SetDword(key, u"InitFails", 1);
    RegCloseKey(key);
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Failing", nullptr, 0, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_GEN_FAILURE);
    EXPECT_EQ(record_->inits.load(), 1);
    EXPECT_EQ(record_->deinits.load(), 0);
    EXPECT_EQ(ActiveEntryCount(), 0u);
    EXPECT_TRUE(platform::ListActiveDevices().empty());
    // The name is free again, and the module reference was given back.
    EXPECT_NE(ActivateTest(u"Good", 5), nullptr);
    platform::DeactivateAllDevices();
    EXPECT_TRUE(FreeLibrary(module_));
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(module_));
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    module_ = nullptr;
}

struct BadKeyCase {
    const char *legend;
    void (*fill)(HKEY key);
    DWORD error;
};

void DllPrefixIndex(HKEY key, std::u16string_view dll, std::u16string_view prefix) {
    SetSz(key, u"Dll", dll);
    SetSz(key, u"Prefix", prefix);
}

const BadKeyCase kBadKeys[] = {
    {"missing Dll", [](HKEY k) { SetSz(k, u"Prefix", u"TST"); }, ERROR_INVALID_PARAMETER},
    {"missing Prefix", [](HKEY k) { SetSz(k, u"Dll", u"TestDriver.dll"); },
     ERROR_INVALID_PARAMETER},
    {"Dll ..\\..\\x.so", [](HKEY k) { DllPrefixIndex(k, u"..\\..\\x.so", u"TST"); },
     ERROR_INVALID_NAME},
    {"Dll an absolute host path", [](HKEY k) { DllPrefixIndex(k, u"/tmp/TestDriver.dll", u"TST"); },
     ERROR_INVALID_NAME},
    {"Dll not there", [](HKEY k) { DllPrefixIndex(k, u"Absent.dll", u"TST"); },
     ERROR_MOD_NOT_FOUND},
    {"Prefix of 2 characters", [](HKEY k) { DllPrefixIndex(k, u"TestDriver.dll", u"TS"); },
     ERROR_INVALID_PARAMETER},
    {"Prefix of 4 characters", [](HKEY k) { DllPrefixIndex(k, u"TestDriver.dll", u"TSTX"); },
     ERROR_INVALID_PARAMETER},
    {"Prefix with a colon", [](HKEY k) { DllPrefixIndex(k, u"TestDriver.dll", u"T:T"); },
     ERROR_INVALID_PARAMETER},
    {"Index 12",
     [](HKEY k) {
         DllPrefixIndex(k, u"TestDriver.dll", u"TST");
         SetDword(k, u"Index", 12);
     },
     ERROR_INVALID_PARAMETER},
    {"Index as REG_SZ",
     [](HKEY k) {
         DllPrefixIndex(k, u"TestDriver.dll", u"TST");
         SetSz(k, u"Index", u"1");
     },
     ERROR_INVALID_PARAMETER},
    {"Index as REG_BINARY",
     [](HKEY k) {
         DllPrefixIndex(k, u"TestDriver.dll", u"TST");
         const DWORD index = 1;
         SetRaw(k, u"Index", REG_BINARY, &index, sizeof index);
     },
     ERROR_INVALID_PARAMETER},
    {"Dll as REG_BINARY",
     [](HKEY k) {
         SetRaw(k, u"Dll", REG_BINARY, u"TestDriver.dll", 30);
         SetSz(k, u"Prefix", u"TST");
     },
     ERROR_INVALID_PARAMETER},
    {"Prefix as REG_DWORD",
     [](HKEY k) {
         SetSz(k, u"Dll", u"TestDriver.dll");
         SetDword(k, u"Prefix", 0x545354);
     },
     ERROR_INVALID_PARAMETER},
    {"Prefix of odd byte length",
     [](HKEY k) {
         SetSz(k, u"Dll", u"TestDriver.dll");
         SetRaw(k, u"Prefix", REG_SZ, u"TST", 5);
     },
     ERROR_INVALID_PARAMETER},
    {"Prefix with an embedded terminator",
     [](HKEY k) {
         SetSz(k, u"Dll", u"TestDriver.dll");
         SetRaw(k, u"Prefix", REG_SZ, u"T\0ST", 8);
     },
     ERROR_INVALID_PARAMETER},
    {"empty Dll", [](HKEY k) { DllPrefixIndex(k, u"", u"TST"); }, ERROR_INVALID_PARAMETER},
    {"overlong Dll", [](HKEY k) { DllPrefixIndex(k, std::u16string(400, u'a') + u".dll", u"TST"); },
     ERROR_INVALID_PARAMETER},
    {"module lacking Deinit, Open, Close",
     [](HKEY k) { DllPrefixIndex(k, u"NoEntries.dll", u"TST"); }, ERROR_PROC_NOT_FOUND},
    {"prefix naming no entry points", [](HKEY k) { DllPrefixIndex(k, u"TestDriver.dll", u"XYZ"); },
     ERROR_PROC_NOT_FOUND},
};

TEST_F(DeviceManagerTest, HostileDriverKeysAreRefusedCleanly) {
    for (const BadKeyCase &c : kBadKeys) {
        SCOPED_TRACE(c.legend);
        platform::ResetRegistry();
        HKEY key = CreateKey(u"Drivers\\Bad");
        c.fill(key);
        RegCloseKey(key);
        SetLastError(kSentinel);
        EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Bad", nullptr, 0, nullptr), nullptr);
        EXPECT_LAST_ERROR(c.error);
        EXPECT_EQ(ActiveEntryCount(), 0u);
        EXPECT_EQ(record_->inits.load(), 0);
        EXPECT_TRUE(platform::ListActiveDevices().empty());
        platform::DeactivateAllDevices(); // keep a wrong acceptance from spoiling the next row
    }
}

TEST_F(DeviceManagerTest, BadArgumentsAreRefused) {
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateDeviceEx(nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Nowhere", nullptr, 0, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    for (HANDLE bogus : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, SentinelHandle()}) {
        SetLastError(kSentinel);
        EXPECT_FALSE(DeactivateDevice(bogus));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
    // A kernel handle is not a device handle.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeactivateDevice(event));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

TEST_F(DeviceManagerTest, DeactivationReleasesEverything) {
    HANDLE device = ActivateTest(u"Test", 3);
    ASSERT_NE(device, nullptr);
    HANDLE file = CreateFileW(u"TST3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    ASSERT_TRUE(DeactivateDevice(device));
    EXPECT_EQ(record_->deinits.load(), 1);
    EXPECT_EQ(ActiveEntryCount(), 0u);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeactivateDevice(device));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);

    // New opens fail; the stale file fails cleanly and closes without the
    // driver.
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"TST3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    BYTE buffer[4];
    DWORD done = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
    EXPECT_LAST_ERROR(ERROR_DEVICE_REMOVED);
    EXPECT_EQ(done, 0u);
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(file, buffer, sizeof buffer, &done, nullptr));
    EXPECT_LAST_ERROR(ERROR_DEVICE_REMOVED);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(file, testdriver::kIoctlAnswer, nullptr, 0, buffer, sizeof buffer,
                                 &done, nullptr));
    EXPECT_LAST_ERROR(ERROR_DEVICE_REMOVED);
    EXPECT_EQ(record_->reads.load() + record_->writes.load() + record_->ioctls.load(), 0);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(record_->closes.load(), 0);

    // The manager gave its module reference back: ours is the last one.
    EXPECT_TRUE(FreeLibrary(module_));
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(module_));
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    module_ = nullptr;
}

TEST_F(DeviceManagerTest, SlowDeinitDoesNotBlockOtherDevices) {
    HANDLE slow = ActivateTest(u"Slow", 1);
    HANDLE other = ActivateTest(u"Other", 2);
    ASSERT_NE(slow, nullptr);
    ASSERT_NE(other, nullptr);
    record_->deinitDelayMs = 6000; // 60 ms of real time
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Args {
        HANDLE device;
        HANDLE done;
    } args{slow, done};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto *a = static_cast<Args *>(p);
            const BOOL ok = DeactivateDevice(a->device);
            SetEvent(a->done);
            return ok;
        },
        &args, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // While Deinit sleeps the other device opens, works and closes.
    while (record_->deinits.load() == 0)
        Sleep(1);
    HANDLE file = CreateFileW(u"TST2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_TIMEOUT); // still in Deinit
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(TRUE));
    CloseHandle(thread);
    CloseHandle(done);
}

// ---------------------------------------------------------------- in-process drivers

namespace muxdriver {
std::atomic<int> opens{0}, closes{0}, ioctls{0};
DWORD_PTR Init(LPCWSTR) {
    return 0x1000;
}
BOOL Deinit(DWORD_PTR) {
    return TRUE;
}
DWORD_PTR Open(DWORD_PTR device, DWORD, DWORD) {
    ++opens;
    return device + 1;
}
BOOL Close(DWORD_PTR) {
    ++closes;
    return TRUE;
}
BOOL IOControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
    ++ioctls;
    return TRUE;
}
} // namespace muxdriver

void RegisterMux() {
    platform::StreamDriver driver{};
    driver.Init = muxdriver::Init;
    driver.Deinit = muxdriver::Deinit;
    driver.Open = muxdriver::Open;
    driver.Close = muxdriver::Close;
    driver.IOControl = muxdriver::IOControl;
    platform::RegisterInProcessDriver(u"TestMux.dll", driver);
}

TEST_F(DeviceManagerTest, OpenMayOpenAnotherDevice) {
    RegisterMux();
    MakeDriverKey(u"Drivers\\Mux", u"testmux.DLL", u"GPD", 0); // names ignore case
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Mux", nullptr, 0, nullptr), nullptr);
    MakeDriverKey(u"Drivers\\Port", u"TestDriver.dll", u"TST", 9);
    HKEY key = CreateKey(u"Drivers\\Port");
    SetSz(key, u"NestedOpen", u"GPD0:");
    RegCloseKey(key);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Port", nullptr, 0, nullptr), nullptr);

    const int before = muxdriver::opens.load();
    HANDLE port =
        CreateFileW(u"TST9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << record_->nestedOpenError.load();
    EXPECT_EQ(muxdriver::opens.load(), before + 1);
    const int closesBefore = muxdriver::closes.load();
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(muxdriver::closes.load(), closesBefore + 1);
}

TEST_F(DeviceManagerTest, InProcessDriverNeedsItsEntryPoints) {
    platform::StreamDriver driver{};
    driver.Init = muxdriver::Init; // no Deinit, Open, Close
    platform::RegisterInProcessDriver(u"Half.dll", driver);
    MakeDriverKey(u"Drivers\\Half", u"Half.dll", u"HLF", 1);
    SetLastError(kSentinel);
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Half", nullptr, 0, nullptr), nullptr);
    EXPECT_LAST_ERROR(ERROR_PROC_NOT_FOUND);
}

// ---------------------------------------------------------------- boot

TEST_F(DeviceManagerTest, BuiltinDriversLoadInOrder) {
    MakeDriverKey(u"Drivers\\Builtin\\Zeta", u"TestDriver.dll", u"TST", 1);
    MakeDriverKey(u"Drivers\\Builtin\\Alpha", u"TestDriver.dll", u"TST", 2);
    MakeDriverKey(u"Drivers\\Builtin\\Late", u"TestDriver.dll", u"TST", 3);
    MakeDriverKey(u"Drivers\\Builtin\\Early", u"TestDriver.dll", u"TST", 4);
    MakeDriverKey(u"Drivers\\Builtin\\Broken", u"Absent.dll", u"TST", 5);
    HKEY key = CreateKey(u"Drivers\\Builtin\\Late");
    SetDword(key, u"Order", 20);
    RegCloseKey(key);
    key = CreateKey(u"Drivers\\Builtin\\Early");
    SetDword(key, u"Order", 10);
    RegCloseKey(key);
    key = CreateKey(u"Drivers\\Builtin\\Zeta");
    SetSz(key, u"Order", u"1"); // not a DWORD: counts as no order
    RegCloseKey(key);

    std::vector<std::string> errors;
    EXPECT_EQ(platform::LoadBuiltinDrivers(errors), 4);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Drivers\\Builtin\\Broken"), std::string::npos) << errors[0];

    auto list = platform::ListActiveDevices();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].key, u"Drivers\\Builtin\\Early");
    EXPECT_EQ(list[1].key, u"Drivers\\Builtin\\Late");
    EXPECT_EQ(list[2].key, u"Drivers\\Builtin\\Alpha");
    EXPECT_EQ(list[3].key, u"Drivers\\Builtin\\Zeta");

    platform::DeactivateAllDevices();
    EXPECT_TRUE(platform::ListActiveDevices().empty());
    EXPECT_EQ(record_->deinits.load(), 4);
    EXPECT_EQ(ActiveEntryCount(), 0u);
}

TEST_F(DeviceManagerTest, BootEntriesThatCannotLoadSayWhy) {
    TempDir dir;
    const std::string junk = dir.File("junk.dll");
    FILE *file = std::fopen(junk.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a shared object\n", file);
    std::fclose(file);
    platform::MapModule(u"Junk.dll", junk);
    platform::StreamDriver half{};
    half.Init = muxdriver::Init;
    platform::RegisterInProcessDriver(u"BootHalf.dll", half);
    MakeDriverKey(u"Drivers\\Builtin\\A", u"\\Temp\\Evil.dll", u"TST", 1);
    MakeDriverKey(u"Drivers\\Builtin\\B", u"Absent.dll", u"TST", 2);
    MakeDriverKey(u"Drivers\\Builtin\\C", u"Junk.dll", u"TST", 3);
    MakeDriverKey(u"Drivers\\Builtin\\D", u"BootHalf.dll", u"TST", 4);

    std::vector<std::string> errors;
    EXPECT_EQ(platform::LoadBuiltinDrivers(errors), 0);
    platform::MapModule(u"Junk.dll", "");
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_NE(errors[0].find("\\Temp\\Evil.dll is outside the module folder"), std::string::npos)
        << errors[0];
    EXPECT_NE(errors[1].find("Absent.dll is not found in the module folder"), std::string::npos)
        << errors[1];
    EXPECT_NE(errors[2].find("Junk.dll is not a module ("), std::string::npos) << errors[2];
    EXPECT_NE(errors[3].find("BootHalf.dll is not a stream driver"), std::string::npos)
        << errors[3];
}

TEST_F(DeviceManagerTest, NoBuiltinKeyLoadsNothing) {
    std::vector<std::string> errors;
    EXPECT_EQ(platform::LoadBuiltinDrivers(errors), 0);
    EXPECT_TRUE(errors.empty());
}

} // namespace
