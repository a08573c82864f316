// devroot.cpp — the device root folder (the phone's file system) and the
// mapping of device paths to host paths.
//
// "\X\Y" is ROOT/X/Y; "\Windows\X" is the module folder (DESIGN 3). Both
// separators are accepted. Each component is matched without regard to
// case against what exists (the device's file system is case-insensitive).
// Refused: no root set, an empty path, NUL or control characters, the
// characters Windows forbids in file names (: * ? " < > |), and any
// component made only of two or more dots. "." components are skipped.
#include <windows.h>

#include <platform/emulation.h>

#include <dirent.h>
#include <sys/stat.h>

#include <mutex>
#include <vector>

#include "kernel.h"
#include "text.h"

namespace {

struct DeviceRoot {
    std::mutex lock;
    std::string dir;
};

DeviceRoot &Root() {
    static DeviceRoot *root = new DeviceRoot;
    return *root;
}

bool Exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string Join(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
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

void SetDeviceRoot(const std::string &dir) {
    DeviceRoot &root = Root();
    std::lock_guard guard(root.lock);
    root.dir = dir;
}

std::string GetDeviceRoot() {
    DeviceRoot &root = Root();
    std::lock_guard guard(root.lock);
    return root.dir;
}

bool ResolveDevicePath(const std::u16string &devicePath, std::string &hostPath) {
    const std::string root = GetDeviceRoot();
    if (root.empty() || devicePath.empty())
        return false;
    std::vector<std::u16string> components;
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
    if (!endComponent())
        return false;

    std::string path = root;
    size_t first = 0;
    if (!components.empty() && text::EqualsIgnoreCase(components[0], u"Windows")) {
        path = GetModuleDir();
        first = 1;
    }
    for (size_t i = first; i < components.size(); ++i)
        path = kernel::FindEntryIgnoreCase(path, text::Utf16ToUtf8(components[i]));
    hostPath = path;
    return true;
}

} // namespace platform
