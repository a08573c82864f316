// boot.cpp — the phone's root folder and the receiver driver's key.
#include "boot.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <common/capped_log.h>
#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include <common/utf8.h>
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

namespace {

constexpr int kMaxLinkHops = 40; // as the kernel's own limit

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The owner as the system knows it: accounts may come and go, uids stay.
std::string Owner(uid_t uid) {
    return "uid " + std::to_string(uid);
}

// Why another account could change what `st` describes on the way to the
// root, or "". Root's own folders and links are trusted (it could do
// anything anyway); a sticky folder such as /tmp lets no one rename
// another's entry.
std::string ForeignReason(const std::string &shown, const struct stat &st) {
    if (st.st_uid != getuid() && st.st_uid != 0)
        return shown + " belongs to another user (" + Owner(st.st_uid) +
               ") who could put another folder in the root's place; give another --root";
    if (S_ISDIR(st.st_mode) && (st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)
        return shown + " can be written by other users (mode " + Octal(st.st_mode) + ", " +
               Owner(st.st_uid) +
               ") who could put another folder in the root's place; give "
               "another --root";
    return {};
}

std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// The folders walked so far, each held open: the last is where the walk is.
class Walk {
public:
    ~Walk() {
        for (const auto &step : steps_)
            close(step.fd);
    }
    bool Start(std::string &error) {
        Reset();
        const int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = std::string("cannot open /: ") + std::strerror(errno);
            return false;
        }
        steps_.push_back({fd, ""});
        return true;
    }
    void Reset() {
        for (const auto &step : steps_)
            close(step.fd);
        steps_.clear();
    }
    void Push(int fd, const std::string &name) { steps_.push_back({fd, name}); }
    void Up() {
        if (steps_.size() > 1) {
            close(steps_.back().fd);
            steps_.pop_back();
        }
    }
    [[nodiscard]] int Fd() const { return steps_.back().fd; }
    [[nodiscard]] std::string Path() const {
        std::string path;
        for (size_t i = 1; i < steps_.size(); ++i)
            path += "/" + steps_[i].name;
        return path.empty() ? "/" : path;
    }
    [[nodiscard]] std::string Below(const std::string &name) const {
        const std::string path = Path();
        return path == "/" ? "/" + name : path + "/" + name;
    }
    // The last folder's descriptor, kept by the caller.
    int Release() {
        const int fd = steps_.back().fd;
        steps_.pop_back();
        return fd;
    }

private:
    struct Step {
        int fd;
        std::string name;
    };
    std::vector<Step> steps_;
};

// Names of a folder's entries (not "." and ".."); false when unreadable.
bool ListFolder(int dirFd, std::vector<std::string> &names) {
    const int listing = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return false;
    DIR *folder = fdopendir(listing);
    if (!folder) {
        close(listing);
        return false;
    }
    while (const dirent *entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(folder);
    return true;
}

// What the phone itself keeps in a root.
bool IsPhoneEntry(const std::string &name) {
    for (const char *own : {"phone.lock", "phone.log", "phone.log.old", "registry.reg",
                            "registry.reg.tmp", "Tavrinel.log", "Tavrinel.log.old", "dev"})
        if (name == own)
            return true;
    return name.rfind("registry.reg.bad", 0) == 0;
}

// Every entry of the folder `dirFd` (shown as `dir`) belongs to this user.
bool EntriesAreOurs(int dirFd, const std::string &dir, std::vector<std::string> *names,
                    std::string &error) {
    std::vector<std::string> listed;
    if (!ListFolder(dirFd, listed)) {
        error = "cannot read " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (const auto &name : listed) {
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (st.st_uid != getuid()) {
            error = LogText(dir + "/" + name) + " belongs to another user (" + Owner(st.st_uid) +
                    "); remove it, or give another --root";
            return false;
        }
    }
    if (names)
        *names = std::move(listed);
    return true;
}

// The held root when it is `root`, else `root` opened now.
std::shared_ptr<const platform::HeldFolder> RootFolder(const std::string &root) {
    auto held = platform::GetDeviceRootFolder();
    if (held && held->Path() == root && held->Fd() >= 0)
        return held;
    return std::make_shared<const platform::HeldFolder>(
        open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), root);
}

} // namespace

std::string LogText(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool utf8C1 = c == 0xC2 && i + 1 < text.size() &&
                            static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                            static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (const size_t length =
                c >= 0x80 ? Utf8PrintableLength(text.data() + i, text.size() - i) : 0;
            length != 0) {
            // A whole character: its continuation bytes are not C1 controls.
            out.append(text.substr(i, length));
            i += length - 1;
            continue;
        }
        if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && !utf8C1) {
            out += text[i];
            continue;
        }
        for (size_t k = 0; k < (utf8C1 ? 2u : 1u); ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
        i += utf8C1 ? 1 : 0;
    }
    return out;
}

bool OpenRoot(const std::string &path, std::string &resolved, std::vector<std::string> &notes,
              std::string &error) {
    if (path.empty()) {
        error = "no folder given";
        return false;
    }
    std::string absolute = path;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            error = std::string("cannot tell the current folder: ") + std::strerror(errno);
            return false;
        }
        absolute = std::string(cwd) + "/" + path;
    }
    Walk walk;
    if (!walk.Start(error))
        return false;
    struct stat st {};
    if (fstat(walk.Fd(), &st) != 0 || !(error = ForeignReason("/", st)).empty())
        return false;

    // Every part that exists is looked at before anything is made or changed.
    std::vector<std::string> todo = Components(absolute);
    std::reverse(todo.begin(), todo.end()); // taken from the back
    int hops = 0;
    while (!todo.empty()) {
        const std::string name = todo.back();
        if (name == ".") {
            todo.pop_back();
            continue;
        }
        if (name == "..") {
            todo.pop_back();
            walk.Up();
            continue;
        }
        const std::string shown = LogText(walk.Below(name));
        if (fstatat(walk.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                break; // made below, once the whole existing way is checked
            error = "cannot look at " + shown + ": " + std::strerror(errno);
            return false;
        }
        if (!(error = ForeignReason(shown, st)).empty())
            return false;
        todo.pop_back();
        if (S_ISLNK(st.st_mode)) {
            // The user may well keep the root behind a link of their own.
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t n = readlinkat(walk.Fd(), name.c_str(), target.data(), PATH_MAX);
            if (++hops > kMaxLinkHops || n <= 0) {
                error = "cannot follow " + shown + ": " +
                        (n <= 0 ? std::strerror(errno) : std::strerror(ELOOP));
                return false;
            }
            const std::string text(target.data(), static_cast<size_t>(n));
            if (text[0] == '/' && !walk.Start(error))
                return false;
            std::vector<std::string> parts = Components(text);
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            error = shown + " is not a folder";
            return false;
        }
        const int fd =
            openat(walk.Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened {};
        if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev ||
            opened.st_ino != st.st_ino) {
            error = "cannot open " + shown + ": " +
                    (fd < 0 ? std::strerror(errno) : "it changed while it was looked at");
            if (fd >= 0)
                close(fd);
            return false;
        }
        walk.Push(fd, name);
    }
    // What is missing is made now, owner-only.
    while (!todo.empty()) {
        const std::string name = todo.back();
        todo.pop_back();
        if (name == ".")
            continue;
        const std::string shown = LogText(walk.Below(name));
        if (name == ".." || mkdirat(walk.Fd(), name.c_str(), 0700) != 0) {
            error = "cannot create " + shown + ": " +
                    (name == ".." ? "its parent does not exist" : std::strerror(errno));
            return false;
        }
        const int fd =
            openat(walk.Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + shown + ": " + std::strerror(errno);
            return false;
        }
        walk.Push(fd, name);
    }
    const std::string root = walk.Path();
    const std::string shown = LogText(root);
    if (fstat(walk.Fd(), &st) != 0 || st.st_uid != getuid()) {
        error = shown + " belongs to another user (" + Owner(st.st_uid) +
                "); give a folder of yours to --root";
        return false;
    }
    // Take over only an empty folder or a phone's own.
    std::vector<std::string> names;
    if (!EntriesAreOurs(walk.Fd(), root, &names, error))
        return false;
    const int dev = openat(walk.Fd(), "dev", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dev >= 0) {
        const bool ours = EntriesAreOurs(dev, root + "/dev", nullptr, error);
        close(dev);
        if (!ours)
            return false;
    }
    const bool phones = std::any_of(names.begin(), names.end(), IsPhoneEntry);
    if (!names.empty() && !phones) {
        error = shown + " is neither empty nor a phone's root (it holds " + LogText(names.front()) +
                (names.size() > 1 ? ", ..." : "") + "); give an empty or new folder to --root";
        return false;
    }
    notes.push_back(names.empty() ? shown + " is empty: it becomes the phone's root"
                                  : shown + " holds a phone's files: the phone takes them up");
    resolved = root;
    platform::SetDeviceRootFolder(walk.Release(), root);
    return true;
}

bool MakePrivateFolder(const std::string &path, std::string &error) {
    std::string resolved;
    std::vector<std::string> notes;
    if (!OpenRoot(path, resolved, notes, error))
        return false;
    for (const auto &note : notes)
        std::fprintf(stderr, "phone: %s\n", note.c_str());
    return true;
}

bool LockRoot(const std::string &root, std::string &error) {
    const std::string path = root + "/phone.lock";
    const auto folder = RootFolder(root);
    const int fd = folder->Fd() < 0
                       ? -1
                       : openat(folder->Fd(), "phone.lock",
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
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

// One entry of a root folder made private: folders 0700, files 0600,
// links left as they are (nothing follows them). Never opened: closing any
// descriptor of phone.lock would drop this process's lock on it.
bool SecureEntry(int dirFd, const std::string &name, const std::string &shown,
                 std::vector<std::string> &notes, std::string &error) {
    struct stat st {};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return true;
    const mode_t wanted = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((st.st_mode & 07777) != wanted) {
        // The root is private by now: no one else can swap the entry for a link.
        int rc = fchmodat(dirFd, name.c_str(), wanted, AT_SYMLINK_NOFOLLOW);
        if (rc != 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
            rc = fchmodat(dirFd, name.c_str(), wanted, 0);
        if (rc != 0) {
            error = "cannot make " + shown + " private: " + std::strerror(errno);
            return false;
        }
        notes.push_back(shown + " was mode " + Octal(st.st_mode) + "; now " + Octal(wanted));
    }
    if (S_ISREG(st.st_mode) && st.st_nlink > 1)
        notes.push_back(shown + " has " + std::to_string(st.st_nlink) +
                        " hard links; no log is written to it until it is removed");
    return true;
}

bool SecureEntries(int dirFd, const std::string &dir, std::vector<std::string> &notes,
                   std::string &error) {
    std::vector<std::string> names;
    if (!ListFolder(dirFd, names))
        return true;
    for (const auto &name : names)
        if (!SecureEntry(dirFd, name, LogText(dir + "/" + name), notes, error))
            return false;
    return true;
}

} // namespace

bool SecureRoot(const std::string &root, std::vector<std::string> &notes, std::string &error) {
    const auto folder = RootFolder(root);
    const int fd = folder->Fd();
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "cannot open " + LogText(root) + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != getuid()) {
        error = LogText(root) + " belongs to another user (" + Owner(st.st_uid) +
                "); remove it, or give another --root";
        return false;
    }
    const int dev = openat(fd, "dev", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Every check before any change.
    bool ok = EntriesAreOurs(fd, root, nullptr, error) &&
              (dev < 0 || EntriesAreOurs(dev, root + "/dev", nullptr, error));
    if (ok && (st.st_mode & 07777) != 0700) {
        if (fchmod(fd, 0700) != 0) {
            error = "cannot make " + LogText(root) + " private: " + std::strerror(errno);
            ok = false;
        } else {
            notes.push_back(LogText(root) + " was mode " + Octal(st.st_mode) + "; now 0700");
        }
    }
    ok = ok && SecureEntries(fd, root, notes, error) &&
         (dev < 0 || SecureEntries(dev, root + "/dev", notes, error));
    if (dev >= 0)
        close(dev);
    return ok;
}

namespace {

FILE *OpenLogAt(int dirFd, const std::string &name, const std::string &path, std::string &error) {
    const int fd =
        openat(dirFd, name.c_str(),
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

} // namespace

FILE *OpenRootLog(const std::string &name, std::string &error) {
    const auto folder = platform::GetDeviceRootFolder();
    if (!folder || folder->Fd() < 0 || name.empty() || name.find('/') != std::string::npos) {
        error = name + ": no root to write it in";
        return nullptr;
    }
    return OpenLogAt(folder->Fd(), name, folder->Path() + "/" + name, error);
}

FILE *OpenPrivateLog(const std::string &path, std::string &error) {
    // A log of the root held open goes through that folder, never its path.
    const auto folder = platform::GetDeviceRootFolder();
    const size_t slash = path.rfind('/');
    if (folder && folder->Fd() >= 0 && slash != std::string::npos &&
        path.compare(0, slash, folder->Path()) == 0 && slash == folder->Path().size())
        return OpenRootLog(path.substr(slash + 1), error);
    const size_t cut = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = path + ": " + std::strerror(errno) + "; not written";
        return nullptr;
    }
    FILE *file = OpenLogAt(dirFd, path.substr(cut), path, error);
    close(dirFd);
    return file;
}

namespace {

CappedLog phoneLog{u"\\phone.log", u"\\phone.log.old", "phone.log.old", kPhoneLogCapBytes, 0, 0, 0};

bool SameFile(int a, int b) {
    struct stat sa {
    }, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

void BoundPhoneLog(FILE *log) {
    if (log == nullptr)
        return;
    std::fflush(log);
    const int fd = fileno(log);
    FILE *now = OpenCappedLog(phoneLog, kPhoneLogHeadroomBytes);
    const int target = now != nullptr ? fileno(now) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target >= 0 && !SameFile(fd, target)) {
        // Standard error follows only where it wrote to the log.
        if (SameFile(STDERR_FILENO, fd))
            dup2(target, STDERR_FILENO);
        dup2(target, fd);
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (now != nullptr)
        std::fclose(now);
    else if (target >= 0)
        close(target);
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

std::string RegistryRefusal(const std::string &what, long rc) {
    if (rc == ERROR_NOT_ENOUGH_QUOTA)
        return what + ": the registry is full (16 MiB saved)";
    return what + " (error " + std::to_string(rc) + ")";
}

std::string ShellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

namespace {
std::atomic<bool> threadRefused{false};
} // namespace

void ThreadRefused() {
    if (threadRefused.exchange(true))
        return;
    // No allocation: memory is what ran out.
    static const char message[] = "phone: cannot start a thread (memory limit?); powering off\n";
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, message, sizeof message - 1);
    kill(getpid(), SIGTERM);
}

bool WasThreadRefused() {
    return threadRefused.load();
}

bool InstallReceiverDriver(std::string &error) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kReceiverDriverKey, 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        error = RegistryRefusal("cannot create HKLM\\Drivers\\Tavrinel", rc);
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
        error = RegistryRefusal("cannot write HKLM\\Drivers\\Tavrinel", rc);
        return false;
    }
    return true;
}

} // namespace phone
