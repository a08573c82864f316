// boot.cpp — the phone's root folder and the receiver driver's key.
#include "boot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <windows.h>

namespace phone {

namespace {

constexpr DWORD kReceiverPort = 9; // COM9:
constexpr DWORD kLoadOrder = 9;    // as the control program writes it
constexpr DWORD kDefaultFrequencyKHz = 90000;

LONG SetString(HKEY key, const char16_t *name, const std::u16string &text) {
    // REG_SZ sizes count the terminating zero character.
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LONG SetDword(HKEY key, const char16_t *name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof value);
}

// Sets a REG_DWORD only when the value is not there at all.
LONG SetDwordIfMissing(HKEY key, const char16_t *name, DWORD value) {
    DWORD size = 0;
    const LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (rc == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    return rc == ERROR_FILE_NOT_FOUND ? SetDword(key, name, value) : rc;
}

} // namespace

std::string DefaultRoot() {
    const char *state = std::getenv("XDG_STATE_HOME");
    // The XDG rules ignore a relative path.
    if (state && state[0] == '/')
        return std::string(state) + "/tavrinel/phone";
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/tavrinel/phone";
    return {};
}

bool MakePrivateFolder(const std::string &path, std::string &error) {
    if (path.empty()) {
        error = "no folder given";
        return false;
    }
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    // The user may well keep the root behind a link of their own.
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    if (st.st_uid != getuid()) {
        error = path + " belongs to another user";
        return false;
    }
    return true;
}

bool InstallReceiverDriver(std::string &error) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kReceiverDriverKey, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        error = "cannot create HKLM\\Drivers\\Tavrinel (error " + std::to_string(rc) + ")";
        return false;
    }
    rc = SetString(key, u"Dll", u"\\Windows\\Tavrinel.dll");
    if (rc == ERROR_SUCCESS)
        rc = SetString(key, u"Prefix", u"COM");
    if (rc == ERROR_SUCCESS)
        rc = SetDword(key, u"Index", kReceiverPort);
    if (rc == ERROR_SUCCESS)
        rc = SetDword(key, u"Order", kLoadOrder);
    for (const char16_t *name : {u"Band", u"Data", u"Mute", u"Sound"})
        if (rc == ERROR_SUCCESS)
            rc = SetDwordIfMissing(key, name, 0);
    if (rc == ERROR_SUCCESS)
        rc = SetDwordIfMissing(key, u"Frequency", kDefaultFrequencyKHz);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        error = "cannot write HKLM\\Drivers\\Tavrinel (error " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

} // namespace phone
