// devroot.cpp — the device root folder (the phone's file system) and the
// mapping of device paths to host paths.
//
// "\X\Y" is ROOT/X/Y; "\Windows\X" is the module folder (DESIGN 3). Both
// separators are accepted. Each component is matched without regard to
// case against what exists (the device's file system is case-insensitive).
// Refused: no root set, an empty path, NUL or control characters, the
// characters Windows forbids in file names (: * ? " < > |), and any
// component made only of two or more dots. "." components are skipped.
//
// The root's folder is held open (a descriptor): files are located relative
// to it, each folder on the way opened without following a link.
#include <windows.h>

#include <platform/emulation.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

#include "kernel.h"
#include "text.h"

namespace {

struct DeviceRoot {
    std::mutex lock;
    std::shared_ptr<const platform::HeldFolder> folder; // null: no root
    bool taken = false; // given as a checked descriptor: never reopened by path
};

DeviceRoot &Root() {
    static DeviceRoot *root = new DeviceRoot;
    return *root;
}

struct Notices {
    std::mutex lock;
    std::function<void(const std::string &)> sink;
    std::set<std::string> said;
};

Notices &TheNotices() {
    static Notices *notices = new Notices;
    return *notices;
}

constexpr size_t kMaxNoticesKept = 256; // then the oldest are forgotten and may be said again

bool Exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string Join(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

// The entry of folder `dirFd` named `name` without regard to case; `name`
// itself when there is none.
std::string FindEntryIgnoreCaseAt(int dirFd, const std::string &name) {
    struct stat info {};
    if (fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return name;
    const int listing = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return name;
    DIR *folder = fdopendir(listing);
    if (!folder) {
        close(listing);
        return name;
    }
    const std::u16string wanted = platform::text::Utf8ToUtf16(name);
    std::string found = name;
    while (const dirent *entry = readdir(folder)) {
        if (platform::text::EqualsIgnoreCase(platform::text::Utf8ToUtf16(entry->d_name), wanted)) {
            found = entry->d_name;
            break;
        }
    }
    closedir(folder);
    return found;
}

// The components of a device path; false for a refused name.
bool SplitDevicePath(const std::u16string &devicePath, std::vector<std::u16string> &components) {
    if (devicePath.empty())
        return false;
    std::u16string current;
    auto endComponent = [&]() -> bool {
        if (current.empty() || current == u".") {
            current.clear();
            return true;
        }
        if (current.find_first_not_of(u'.') == std::u16string::npos)
            return false; // "..", "..." and so on
        components.push_back(std::move(current));
        current.clear();
        return true;
    };
    for (const char16_t c : devicePath) {
        if (c < 0x20 || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' ||
            c == u'>' || c == u'|')
            return false;
        if (c == u'\\' || c == u'/') {
            if (!endComponent())
                return false;
        } else {
            current.push_back(c);
        }
    }
    return endComponent();
}

bool IsModuleFolder(const std::vector<std::u16string> &components) {
    return !components.empty() && platform::text::EqualsIgnoreCase(components[0], u"Windows");
}

} // namespace

namespace platform::kernel {

std::string FindEntryIgnoreCase(const std::string &dir, const std::string &name) {
    std::string exact = Join(dir, name);
    if (Exists(exact))
        return exact;
    DIR *folder = opendir(dir.empty() ? "." : dir.c_str());
    if (!folder)
        return exact;
    const std::u16string wanted = text::Utf8ToUtf16(name);
    std::string found;
    while (const dirent *entry = readdir(folder)) {
        if (text::EqualsIgnoreCase(text::Utf8ToUtf16(entry->d_name), wanted)) {
            found = Join(dir, entry->d_name);
            break;
        }
    }
    closedir(folder);
    return found.empty() ? exact : found;
}

} // namespace platform::kernel

namespace platform {

HeldFolder::~HeldFolder() {
    if (fd_ >= 0)
        close(fd_);
}

void SetDeviceRoot(const std::string &dir) {
    DeviceRoot &root = Root();
    {
        std::lock_guard guard(root.lock);
        if (dir.empty()) {
            root.folder.reset();
            root.taken = false;
            return;
        }
        if (root.folder && root.folder->Path() == dir) {
            if (root.taken)
                return;
            struct stat held {
            }, named{};
            if (root.folder->Fd() >= 0 && fstat(root.folder->Fd(), &held) == 0 &&
                stat(dir.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino)
                return;
        }
    }
    // A root that cannot be opened is still the root: its files fail to open.
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto folder = std::make_shared<const HeldFolder>(fd, dir);
    std::lock_guard guard(root.lock);
    root.folder = std::move(folder);
    root.taken = false;
}

void SetDeviceRootFolder(int fd, const std::string &path) {
    auto folder = std::make_shared<const HeldFolder>(fd, path);
    DeviceRoot &root = Root();
    std::lock_guard guard(root.lock);
    root.folder = std::move(folder);
    root.taken = true;
}

std::string GetDeviceRoot() {
    DeviceRoot &root = Root();
    std::lock_guard guard(root.lock);
    return root.folder ? root.folder->Path() : std::string();
}

std::shared_ptr<const HeldFolder> GetDeviceRootFolder() {
    DeviceRoot &root = Root();
    std::lock_guard guard(root.lock);
    return root.folder;
}

bool ResolveDevicePath(const std::u16string &devicePath, std::string &hostPath) {
    const std::string root = GetDeviceRoot();
    std::vector<std::u16string> components;
    if (root.empty() || !SplitDevicePath(devicePath, components))
        return false;
    std::string path = root;
    size_t first = 0;
    if (IsModuleFolder(components)) {
        path = GetModuleDir();
        first = 1;
    }
    for (size_t i = first; i < components.size(); ++i)
        path = kernel::FindEntryIgnoreCase(path, text::Utf16ToUtf8(components[i]));
    hostPath = path;
    return true;
}

int LocateDeviceFile(const std::u16string &devicePath, DeviceFileName &out) {
    std::shared_ptr<const HeldFolder> folder = GetDeviceRootFolder();
    std::vector<std::u16string> components;
    if (!folder)
        return ENOENT;
    if (!SplitDevicePath(devicePath, components))
        return EINVAL;
    size_t first = 0;
    if (IsModuleFolder(components)) {
        const std::string dir = GetModuleDir();
        folder = std::make_shared<const HeldFolder>(
            open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), dir);
        first = 1;
    }
    if (folder->Fd() < 0)
        return ENOENT;
    for (size_t i = first; i + 1 < components.size(); ++i) {
        const std::string name =
            FindEntryIgnoreCaseAt(folder->Fd(), text::Utf16ToUtf8(components[i]));
        const int fd =
            openat(folder->Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno;
        folder = std::make_shared<const HeldFolder>(fd, Join(folder->Path(), name));
    }
    out.name = components.size() > first
                   ? FindEntryIgnoreCaseAt(folder->Fd(), text::Utf16ToUtf8(components.back()))
                   : std::string(".");
    out.hostPath = Join(folder->Path(), out.name);
    out.folder = std::move(folder);
    return 0;
}

void SetFileNotice(std::function<void(const std::string &)> notice) {
    Notices &n = TheNotices();
    std::lock_guard guard(n.lock);
    n.sink = std::move(notice);
    n.said.clear();
}

void FileNotice(const std::string &text) {
    Notices &n = TheNotices();
    std::function<void(const std::string &)> sink;
    {
        std::lock_guard guard(n.lock);
        if (!n.said.insert(text).second)
            return;
        if (n.said.size() > kMaxNoticesKept) {
            n.said.clear();
            n.said.insert(text);
        }
        sink = n.sink;
    }
    if (sink)
        sink(text);
}

} // namespace platform
