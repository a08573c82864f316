// boot.cpp — the phone's root folder and the receiver driver's key.
#include "boot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include <fmapi.h>

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

bool LockRoot(const std::string &root, std::string &error) {
    const std::string path = root + "/phone.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot lock " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        close(fd);
        error = path + " is not a file of this user; the root is not taken";
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return true; // the descriptor stays open: the lock lives with the process
    const int why = errno;
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    const bool held = (why == EAGAIN || why == EACCES) && fcntl(fd, F_GETLK, &holder) == 0 &&
                      holder.l_type != F_UNLCK;
    close(fd);
    if (!held) {
        error = "cannot lock " + path + ": " + std::strerror(why);
        return false;
    }
    error = root + " is in use by another phone (process id " + std::to_string(holder.l_pid) +
            "); power it off first or give another --root";
    return false;
}

namespace {

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// One entry of the root: owned by this user, and private.
bool SecureEntry(const std::string &path, std::vector<std::string> &notes, std::string &error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (st.st_uid != getuid()) {
        error = path + " belongs to another user (uid " + std::to_string(st.st_uid) +
                "); remove it, or give another --root";
        return false;
    }
    if (S_ISLNK(st.st_mode))
        return true;
    const mode_t wanted = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) && (st.st_mode & 07777) != wanted) {
        if (chmod(path.c_str(), wanted) != 0) {
            error = "cannot make " + path + " private: " + std::strerror(errno);
            return false;
        }
        notes.push_back(path + " was mode " + Octal(st.st_mode) + "; now " + Octal(wanted));
    }
    if (S_ISREG(st.st_mode) && st.st_nlink > 1)
        notes.push_back(path + " has " + std::to_string(st.st_nlink) +
                        " hard links; no log is written to it until it is removed");
    return true;
}

// Every entry of a folder (not below it).
bool SecureEntries(const std::string &dir, std::vector<std::string> &notes, std::string &error) {
    DIR *folder = opendir(dir.c_str());
    if (!folder)
        return errno == ENOENT || errno == ENOTDIR;
    bool ok = true;
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && !(ok = SecureEntry(dir + "/" + name, notes, error)))
            break;
    }
    closedir(folder);
    return ok;
}

} // namespace

bool SecureRoot(const std::string &root, std::vector<std::string> &notes, std::string &error) {
    return SecureEntry(root, notes, error) && SecureEntries(root, notes, error) &&
           SecureEntries(root + "/dev", notes, error);
}

FILE *OpenPrivateLog(const std::string &path, std::string &error) {
    const int fd = open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ": " + (errno == ELOOP ? "a symbolic link" : std::strerror(errno)) +
                "; not written";
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != getuid() ||
        fchmod(fd, 0600) != 0) {
        close(fd);
        error = path + ": not a private file of a single link; not written";
        return nullptr;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *file = fdopen(fd, "a");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        close(fd);
    }
    return file;
}

namespace {

// The "Dll" of a driver key, "" when it has none.
std::u16string DllOf(const std::u16string &key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return {};
    WCHAR dll[MAX_PATH + 1] = {};
    DWORD size = sizeof dll - sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LONG rc =
        RegQueryValueExW(handle, u"Dll", nullptr, &type, reinterpret_cast<BYTE *>(dll), &size);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::u16string(dll) : std::u16string();
}

std::u16string Folded(std::u16string text) {
    for (auto &c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

} // namespace

std::string DeviceOfTheSameModule(const std::u16string &key) {
    const std::u16string dll = Folded(DllOf(key));
    if (dll.empty())
        return {};
    for (const auto &device : platform::ListActiveDevices())
        if (Folded(DllOf(device.key)) == dll)
            return "HKLM\\" + platform::Narrow(device.key) + " (" + platform::Narrow(device.name) +
                   ")";
    return {};
}

std::vector<std::string> SharedDriverWarnings() {
    struct Loaded {
        std::u16string dll;
        std::string device;
    };
    std::vector<Loaded> seen;
    std::vector<std::string> warnings;
    for (const auto &device : platform::ListActiveDevices()) {
        const std::u16string dll = DllOf(device.key);
        if (dll.empty())
            continue;
        const std::string described =
            "HKLM\\" + platform::Narrow(device.key) + " (" + platform::Narrow(device.name) + ")";
        for (const auto &earlier : seen)
            if (Folded(earlier.dll) == Folded(dll))
                warnings.push_back(earlier.device + " and " + described + " both load " +
                                   platform::Narrow(dll) +
                                   ", which serves one port: the first fails every open; "
                                   "remove one of the keys");
        seen.push_back({dll, described});
    }
    return warnings;
}

std::vector<std::string> ReceiverSettingWarnings() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReceiverDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    // Read as the driver reads it: any value of four bytes.
    DWORD band = 0, size = sizeof band;
    const LONG rc =
        RegQueryValueExW(key, u"Band", nullptr, nullptr, reinterpret_cast<BYTE *>(&band), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size != sizeof band || band <= FMBAND_WORLD)
        return {};
    return {"HKLM\\Drivers\\Tavrinel: Band " + std::to_string(band) +
            " is not 0, 1 or 2, so the driver keeps the radio off; choose an FM band in the "
            "control program"};
}

std::string ShellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
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
