// gps_mux.cpp — the GPS Intermediate Driver multiplexer port (see gps_mux.h).
//
// The port keeps one set of serial settings for all of its handles (they
// share one port), so a baud rate set through one handle reads back through
// another. Controls of the serial device type always succeed: a program
// sharing the GPS must never fail on a serial setting it cannot change.
#include "gps_mux.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <set>

#include <platform/emulation.h>

namespace phone {

namespace {

// ---------------------------------------------------------------- state

constexpr DWORD kDeviceSignature = 0x47505344; // "GPSD"
constexpr DWORD kDefaultBaud = 4800;           // what a GPS receiver speaks
constexpr size_t kTimeoutWords = 5;            // COMMTIMEOUTS: five DWORDs
constexpr size_t kLineControlBytes = 3;        // stop bits, parity, word length
constexpr size_t kCommStatusBytes = 16;        // errors + COMSTAT (flags, in, out)
constexpr size_t kCommPropBytes = 64;          // COMMPROP with its padding

struct Device {
    DWORD signature = kDeviceSignature;
};

// One open handle; the device manager hands the pointer back to us.
struct OpenHandle {
    DWORD access = 0;
    DWORD share = 0;
};

struct MuxState {
    std::mutex lock;
    Device device;
    bool initialised = false;
    std::set<const OpenHandle *> opens; // live handles: anything else is refused
    DWORD baud = kDefaultBaud;
    std::array<DWORD, kTimeoutWords> timeouts{};
    std::array<BYTE, kLineControlBytes> lineControl{0, 0, 8}; // 1 stop bit, no parity, 8 bits
    DWORD waitMask = 0;
};

MuxState &State() {
    static MuxState state;
    return state;
}

// Copies at most `outSize` bytes of `data` to `out`; answers the count.
DWORD CopyOut(const void *data, size_t size, PBYTE out, DWORD outSize) {
    if (!out)
        return 0;
    const size_t n = std::min<size_t>(size, outSize);
    std::memcpy(out, data, n);
    return static_cast<DWORD>(n);
}

// Reads up to `size` bytes of input into `data`; short input leaves the rest.
void CopyIn(void *data, size_t size, const BYTE *in, DWORD inSize) {
    if (in)
        std::memcpy(data, in, std::min<size_t>(size, inSize));
}

void PutWord(BYTE *at, DWORD value) {
    std::memcpy(at, &value, sizeof value);
}
void PutHalf(BYTE *at, WORD value) {
    std::memcpy(at, &value, sizeof value);
}

// COMMPROP of a plain RS-232 port that accepts the common rates.
std::array<BYTE, kCommPropBytes> SerialProperties() {
    std::array<BYTE, kCommPropBytes> p{};
    PutHalf(&p[0], kCommPropBytes); // wPacketLength
    PutHalf(&p[2], 2);              // wPacketVersion
    PutWord(&p[4], 1);              // dwServiceMask: SP_SERIALCOMM
    PutWord(&p[12], 4096);          // dwMaxTxQueue
    PutWord(&p[16], 4096);          // dwMaxRxQueue
    PutWord(&p[20], 0x00020000);    // dwMaxBaud: BAUD_115200
    PutWord(&p[24], 1);             // dwProvSubType: PST_RS232
    PutWord(&p[28], 0);             // dwProvCapabilities: none
    PutWord(&p[32], 0x7F);          // dwSettableParams: all
    PutWord(&p[36], 0x0003FFFF);    // dwSettableBaud: 75 .. 115200
    PutHalf(&p[40], 0x000F);        // wSettableData: 5 to 8 bits
    PutHalf(&p[42], 0x1F07);        // wSettableStopParity
    return p;
}

// ---------------------------------------------------------------- entry points

DWORD_PTR MuxInit(LPCWSTR /*activeKey*/) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    // A new activation starts from a fresh port, not the last one's settings.
    s.baud = kDefaultBaud;
    s.timeouts = {};
    s.lineControl = {0, 0, 8};
    s.waitMask = 0;
    s.initialised = true;
    return reinterpret_cast<DWORD_PTR>(&s.device);
}

BOOL MuxDeinit(DWORD_PTR device) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    if (device != reinterpret_cast<DWORD_PTR>(&s.device))
        return FALSE;
    // Handles still open belong to programs that never closed them; they
    // go with the device.
    for (const OpenHandle *open : s.opens)
        delete open;
    s.opens.clear();
    s.initialised = false;
    return TRUE;
}

DWORD_PTR MuxOpen(DWORD_PTR device, DWORD access, DWORD share) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    if (!s.initialised || device != reinterpret_cast<DWORD_PTR>(&s.device))
        return 0;
    auto *open = new OpenHandle{access, share};
    s.opens.insert(open);
    return reinterpret_cast<DWORD_PTR>(open);
}

// Answers whether `open` is one of ours; the caller holds the lock.
bool IsOpen(MuxState &s, DWORD_PTR open) {
    return s.opens.count(reinterpret_cast<const OpenHandle *>(open)) != 0;
}

BOOL MuxClose(DWORD_PTR open) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    auto it = s.opens.find(reinterpret_cast<const OpenHandle *>(open));
    if (it == s.opens.end())
        return FALSE;
    delete *it;
    s.opens.erase(it);
    return TRUE;
}

// The multiplexer carries no data: reads find nothing, writes vanish.
DWORD MuxRead(DWORD_PTR open, LPVOID /*buffer*/, DWORD /*count*/) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    return IsOpen(s, open) ? 0 : static_cast<DWORD>(-1);
}

DWORD MuxWrite(DWORD_PTR open, LPCVOID /*buffer*/, DWORD count) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    return IsOpen(s, open) ? count : static_cast<DWORD>(-1);
}

DWORD MuxSeek(DWORD_PTR /*open*/, LONG /*amount*/, DWORD /*type*/) {
    return 0;
}

BOOL MuxIOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD inSize, PBYTE out, DWORD outSize,
                  PDWORD returned) {
    auto &s = State();
    std::lock_guard guard(s.lock);
    if (!IsOpen(s, open)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((code >> 16) != FILE_DEVICE_SERIAL_PORT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    DWORD written = 0;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        CopyIn(&s.baud, sizeof s.baud, in, inSize);
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        written = CopyOut(&s.baud, sizeof s.baud, out, outSize);
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        CopyIn(s.timeouts.data(), sizeof s.timeouts, in, inSize);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        written = CopyOut(s.timeouts.data(), sizeof s.timeouts, out, outSize);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        CopyIn(s.lineControl.data(), s.lineControl.size(), in, inSize);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        written = CopyOut(s.lineControl.data(), s.lineControl.size(), out, outSize);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        CopyIn(&s.waitMask, sizeof s.waitMask, in, inSize);
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        written = CopyOut(&s.waitMask, sizeof s.waitMask, out, outSize);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        const std::array<BYTE, kCommStatusBytes> status{}; // no errors, queues empty
        written = CopyOut(status.data(), status.size(), out, outSize);
        break;
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
        const auto properties = SerialProperties();
        written = CopyOut(properties.data(), properties.size(), out, outSize);
        break;
    }
    default:
        // Purge, DTR/RTS, break, queue sizes, ...: nothing to do on a port
        // without data.
        break;
    }
    if (returned)
        *returned = written;
    return TRUE;
}

void MuxPowerUp(DWORD_PTR /*device*/) {}
void MuxPowerDown(DWORD_PTR /*device*/) {}

const platform::StreamDriver kMuxDriver = {MuxInit,    MuxDeinit,   MuxOpen, MuxClose,
                                           MuxRead,    MuxWrite,    MuxSeek, MuxIOControl,
                                           MuxPowerUp, MuxPowerDown};

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Reads the multiplexer's name from the registry; the default when the key
// or value is missing. Answers false for a value that is there but unusable.
bool ReadMuxName(std::u16string &name, std::string &error) {
    name = kGpsMuxDefaultName;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGpsMuxKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return true;
    constexpr DWORD kMaxNameChars = 16; // far more than "GPD0:" needs
    WCHAR text[kMaxNameChars + 1] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(WCHAR); // keep room for a terminator
    const LONG rc =
        RegQueryValueExW(key, kGpsMuxValue, nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return true;
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        error = "the value \"DriverInterface\" is not a short string";
        return false;
    }
    text[std::min<DWORD>(size / sizeof(WCHAR), kMaxNameChars)] = 0;
    name = text;
    return true;
}

LONG SetString(HKEY key, const char16_t *name, std::u16string_view text) {
    std::u16string copy(text);
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(copy.c_str()),
                          static_cast<DWORD>((copy.size() + 1) * sizeof(char16_t)));
}

LONG SetDword(HKEY key, const char16_t *name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof value);
}

} // namespace

// ---------------------------------------------------------------- public

bool ParseDeviceName(std::u16string_view name, std::u16string &prefix, DWORD &index,
                     std::string &why) {
    constexpr size_t kNameChars = 5; // "GPD0:"
    if (name.size() != kNameChars) {
        why = "a device name is three letters, a digit and a colon";
        return false;
    }
    if (!IsAsciiLetter(name[0]) || !IsAsciiLetter(name[1]) || !IsAsciiLetter(name[2])) {
        why = "the prefix must be three letters";
        return false;
    }
    if (name[3] < u'0' || name[3] > u'9') {
        why = "the index must be one digit";
        return false;
    }
    if (name[4] != u':') {
        why = "the name must end with a colon";
        return false;
    }
    prefix.assign(name.substr(0, 3));
    index = static_cast<DWORD>(name[3] - u'0');
    return true;
}

const platform::StreamDriver &GpsMuxDriver() {
    return kMuxDriver;
}

HANDLE StartGpsMux(std::u16string &name, std::string &error) {
    if (!ReadMuxName(name, error))
        return nullptr;
    std::u16string prefix;
    DWORD index = 0;
    std::string why;
    if (!ParseDeviceName(name, prefix, index, why)) {
        // The name came from the registry: show it only as far as it is
        // printable.
        std::string shown;
        for (char16_t c : name)
            shown += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        error = "refused \"DriverInterface\" = \"" + shown + "\": " + why;
        return nullptr;
    }
    // A serial port name would take the place of a receiver port, and the
    // pseudo-terminal bridge would offer a port without data.
    if ((prefix[0] == u'C' || prefix[0] == u'c') && (prefix[1] == u'O' || prefix[1] == u'o') &&
        (prefix[2] == u'M' || prefix[2] == u'm')) {
        error = "refused \"DriverInterface\" = \"" + platform::Narrow(name) +
                "\": the multiplexer cannot take a serial port name";
        return nullptr;
    }
    platform::RegisterInProcessDriver(kGpsMuxDll, kMuxDriver);

    // Volatile: the key describes this boot's in-process device, not a
    // module that a later boot could load.
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGpsMuxDriverKey, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        error = "cannot create the multiplexer's driver key (error " + std::to_string(rc) + ")";
        return nullptr;
    }
    rc = SetString(key, u"Dll", kGpsMuxDll);
    if (rc == ERROR_SUCCESS)
        rc = SetString(key, u"Prefix", prefix);
    if (rc == ERROR_SUCCESS)
        rc = SetDword(key, u"Index", index);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        error = "cannot write the multiplexer's driver key (error " + std::to_string(rc) + ")";
        return nullptr;
    }
    HANDLE device = ActivateDeviceEx(kGpsMuxDriverKey, nullptr, 0, nullptr);
    if (!device)
        error = "cannot activate the multiplexer as " + platform::Narrow(name) + " (error " +
                std::to_string(GetLastError()) + ")";
    return device;
}

} // namespace phone
