// The GPS Intermediate Driver multiplexer, driven as a program sees it:
// activated from the registry, opened by name, asked by DeviceIoControl.
#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include "gps_mux.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr BYTE kGuard = 0xA5;

void SetMuxName(const BYTE *data, DWORD size, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, phone::kGpsMuxKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, phone::kGpsMuxValue, 0, type, data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetMuxName(const std::u16string &name) {
    SetMuxName(reinterpret_cast<const BYTE *>(name.c_str()),
               static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)));
}

class GpsMuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetRegistry();
        platform::WriteRegistryDefaults();
    }
    void TearDown() override {
        for (HANDLE h : opened_)
            CloseHandle(h);
        platform::DeactivateAllDevices();
        platform::ResetRegistry();
    }

    HANDLE Start() {
        std::u16string name;
        std::string error;
        HANDLE device = phone::StartGpsMux(name, error);
        EXPECT_NE(device, nullptr) << error;
        return device;
    }

    HANDLE Open(const char16_t *name, DWORD access, DWORD share) {
        HANDLE h = CreateFileW(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            opened_.push_back(h);
        return h;
    }

    std::vector<HANDLE> opened_;
};

// ---------------------------------------------------------------- names

TEST(GpsMuxName, ParsesThreeLettersDigitColon) {
    struct Row {
        const char16_t *text;
        bool ok;
        const char *legend;
    } rows[] = {
        {u"GPD0:", true, "the default"},
        {u"abc9:", true, "lower case letters"},
        {u"GPD0", false, "no colon"},
        {u"GPD10:", false, "two digits"},
        {u"GP0:", false, "two letters"},
        {u"G1D0:", false, "digit in the prefix"},
        {u"GPDx:", false, "letter for the index"},
        {u"../0:", false, "path characters"},
        {u"GPD0:x", false, "trailing text"},
        {u"", false, "empty"},
        {u"\u00c4PD0:", false, "non-ASCII letter"},
    };
    for (const auto &row : rows) {
        std::u16string prefix;
        DWORD index = kSentinel;
        std::string why;
        EXPECT_EQ(phone::ParseDeviceName(row.text, prefix, index, why), row.ok) << row.legend;
        if (row.ok) {
            EXPECT_EQ(prefix, std::u16string(row.text).substr(0, 3)) << row.legend;
            EXPECT_EQ(index, static_cast<DWORD>(row.text[3] - u'0')) << row.legend;
        } else {
            EXPECT_FALSE(why.empty()) << row.legend;
        }
    }
}

TEST_F(GpsMuxTest, HostileRegistryNamesAreRefusedWithAMessage) {
    const std::u16string names[] = {u"GPD", u"COM9:", u"..\\x:", u"GPD0:GPD1:"};
    for (const auto &name : names) {
        SetMuxName(name);
        std::u16string used;
        std::string error;
        EXPECT_EQ(phone::StartGpsMux(used, error), nullptr) << platform::Narrow(name);
        EXPECT_FALSE(error.empty());
    }
    // Not a string, and a string without its terminator far longer than a name.
    const DWORD number = 7;
    SetMuxName(reinterpret_cast<const BYTE *>(&number), sizeof number, REG_DWORD);
    std::u16string used;
    std::string error;
    EXPECT_EQ(phone::StartGpsMux(used, error), nullptr);
    const std::u16string longName(200, u'A');
    SetMuxName(reinterpret_cast<const BYTE *>(longName.data()),
               static_cast<DWORD>(longName.size() * sizeof(char16_t)));
    EXPECT_EQ(phone::StartGpsMux(used, error), nullptr);
    EXPECT_TRUE(platform::ListActiveDevices().empty());
}

TEST_F(GpsMuxTest, TakesTheNameTheRegistryHoldsAndTheDefaultWithout) {
    SetMuxName(u"XYZ3:");
    ASSERT_NE(Start(), nullptr);
    EXPECT_NE(Open(u"XYZ3:", 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(u"GPD0:", 0, 0), INVALID_HANDLE_VALUE);
    platform::DeactivateAllDevices();

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, phone::kGpsMuxKey, 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegDeleteValueW(key, phone::kGpsMuxValue);
    RegCloseKey(key);
    ASSERT_NE(Start(), nullptr);
    EXPECT_NE(Open(u"GPD0:", 0, 0), INVALID_HANDLE_VALUE);
}

TEST_F(GpsMuxTest, ItsDriverKeyIsNeverSaved) {
    ASSERT_NE(Start(), nullptr);
    std::string error;
    const std::string path = ::testing::TempDir() + "/gps_mux_registry.reg";
    ASSERT_TRUE(platform::SaveRegistryFile(path, error)) << error;
    FILE *file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file))
        text += buffer;
    std::fclose(file);
    std::remove(path.c_str());
    EXPECT_EQ(text.find("GPSID"), std::string::npos) << text;
    EXPECT_NE(text.find("GPD0:"), std::string::npos);
}

// ---------------------------------------------------------------- the port

TEST_F(GpsMuxTest, OpensWithAnyAccessAndShareModeAndCarriesNoData) {
    ASSERT_NE(Start(), nullptr);
    // Exclusive opens side by side: programs sharing the GPS all get in.
    HANDLE a = Open(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0);
    HANDLE b = Open(u"GPD0:", 0, 0);
    HANDLE c = Open(u"gpd0:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    ASSERT_NE(c, INVALID_HANDLE_VALUE);

    std::array<char, 16> buffer{};
    DWORD done = kSentinel;
    EXPECT_TRUE(ReadFile(a, buffer.data(), buffer.size(), &done, nullptr));
    EXPECT_EQ(done, 0u);
    done = kSentinel;
    EXPECT_TRUE(WriteFile(a, "$PSRF107*3B\r\n", 13, &done, nullptr));
    EXPECT_EQ(done, 13u);
    done = kSentinel;
    EXPECT_TRUE(ReadFile(b, buffer.data(), buffer.size(), &done, nullptr));
    EXPECT_EQ(done, 0u) << "what was written must not come back";
}

TEST_F(GpsMuxTest, SerialControlsSucceedAndHandlesShareOneSetting) {
    ASSERT_NE(Start(), nullptr);
    HANDLE a = Open(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0);
    HANDLE b = Open(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);

    DWORD baud = 0;
    DWORD returned = kSentinel;
    ASSERT_TRUE(DeviceIoControl(a, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud,
                                &returned, nullptr));
    EXPECT_EQ(returned, sizeof baud);
    EXPECT_EQ(baud, 4800u);

    const DWORD fast = 38400;
    returned = kSentinel;
    ASSERT_TRUE(DeviceIoControl(a, IOCTL_SERIAL_SET_BAUD_RATE, const_cast<DWORD *>(&fast),
                                sizeof fast, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    ASSERT_TRUE(DeviceIoControl(b, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud,
                                &returned, nullptr));
    EXPECT_EQ(baud, fast);

    const DWORD timeouts[5] = {1, 2, 3, 4, 5};
    DWORD back[5] = {};
    ASSERT_TRUE(DeviceIoControl(b, IOCTL_SERIAL_SET_TIMEOUTS, const_cast<DWORD *>(timeouts),
                                sizeof timeouts, nullptr, 0, nullptr, nullptr));
    ASSERT_TRUE(DeviceIoControl(a, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, back, sizeof back,
                                &returned, nullptr));
    EXPECT_EQ(returned, sizeof back);
    EXPECT_EQ(std::memcmp(back, timeouts, sizeof back), 0);

    const DWORD codes[] = {
        IOCTL_SERIAL_SET_WAIT_MASK,    IOCTL_SERIAL_GET_WAIT_MASK,    IOCTL_SERIAL_PURGE,
        IOCTL_SERIAL_GET_COMMSTATUS,   IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_PROPERTIES};
    for (DWORD code : codes) {
        std::array<BYTE, 64> in{}, out{};
        EXPECT_TRUE(
            DeviceIoControl(a, code, in.data(), 4, out.data(), out.size(), &returned, nullptr))
            << std::hex << code;
        EXPECT_LE(returned, out.size());
    }
}

TEST_F(GpsMuxTest, OutputsStayWithinTheGivenSize) {
    ASSERT_NE(Start(), nullptr);
    HANDLE a = Open(u"GPD0:", 0, 0);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    const DWORD codes[] = {IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_GET_TIMEOUTS,
                           IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_BAUD_RATE};
    for (DWORD code : codes) {
        for (DWORD size : {0u, 1u, 3u, 10u}) {
            std::array<BYTE, 80> out;
            out.fill(kGuard);
            DWORD returned = kSentinel;
            EXPECT_TRUE(DeviceIoControl(a, code, nullptr, 0, out.data(), size, &returned, nullptr));
            EXPECT_LE(returned, size) << std::hex << code;
            for (size_t i = size; i < out.size(); ++i)
                ASSERT_EQ(out[i], kGuard) << "byte " << i << " of control " << std::hex << code;
        }
    }
    // The properties name a serial port: the packet length is its own size.
    std::array<BYTE, 64> props{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(a, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, props.data(),
                                props.size(), &returned, nullptr));
    EXPECT_EQ(returned, props.size());
    EXPECT_EQ(props[0] | (props[1] << 8), 64);
}

TEST_F(GpsMuxTest, UnknownControlsFailWithAWin32Error) {
    ASSERT_NE(Start(), nullptr);
    HANDLE a = Open(u"GPD0:", 0, 0);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    const DWORD codes[] = {CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), 0u, 0xFFFFFFFFu,
                           CTL_CODE(0x1c, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)};
    for (DWORD code : codes) {
        SetLastError(kSentinel);
        DWORD out = kSentinel;
        DWORD returned = kSentinel;
        EXPECT_FALSE(DeviceIoControl(a, code, nullptr, 0, &out, sizeof out, &returned, nullptr));
        const DWORD error = GetLastError();
        EXPECT_TRUE(error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER)
            << std::hex << code << " error " << std::dec << error;
        EXPECT_EQ(out, kSentinel);
    }
}

TEST_F(GpsMuxTest, EntryPointsRefuseForeignContexts) {
    const auto &driver = phone::GpsMuxDriver();
    const DWORD_PTR device = driver.Init(u"Drivers\\Active\\99");
    ASSERT_NE(device, 0u);
    EXPECT_EQ(driver.Open(device + 1, 0, 0), 0u);
    const DWORD_PTR open = driver.Open(device, 0, 0);
    ASSERT_NE(open, 0u);
    int local = 0;
    const DWORD_PTR foreign = reinterpret_cast<DWORD_PTR>(&local);
    EXPECT_FALSE(driver.Close(foreign));
    DWORD returned = 0;
    EXPECT_FALSE(driver.IOControl(foreign, IOCTL_SERIAL_PURGE, nullptr, 0, nullptr, 0, &returned));
    EXPECT_TRUE(driver.Close(open));
    EXPECT_FALSE(driver.Close(open)) << "a second close of one handle";
    EXPECT_TRUE(driver.Deinit(device));
}

} // namespace
