// registry.cpp — the registry of the Windows CE stand-in: the Win32 Reg*
// functions, handles, persistence and the first-boot defaults.
//
// Choices where Windows leaves room or where the stand-in is stricter:
// - Key paths: one leading backslash is ignored ("\ControlPanel\Volume" is
//   "ControlPanel\Volume"; the shell writes its volume that way), as is one
//   trailing backslash. An empty segment ("a\\b") or a name longer than 255
//   characters is refused with ERROR_INVALID_PARAMETER, as is a path deeper
//   than 512 keys or longer than 16383 characters.
// - Access masks and open options are not enforced, as on Windows CE.
// - Handles are ids in a table, never pointers: an unknown or closed handle
//   answers ERROR_INVALID_HANDLE; a handle to a key deleted since (or a key
//   of a registry replaced by a load or reset) answers ERROR_KEY_DELETED.
// - Failed calls leave every output as it was, except that RegOpenKeyExW and
//   RegCreateKeyExW clear *result, and ERROR_MORE_DATA reports the needed
//   size (and the type) as Windows does.
// - REG_DWORD data must be exactly 4 bytes; data is at most 16384 bytes.
// - Enumeration is in creation order; replacing a value keeps its place.
// - Every change to a non-volatile key is saved at once when a boot enabled
//   persistence. The change itself stands when the save fails; the registry
//   stays dirty and RegFlushKey retries, answering ERROR_CANTWRITE.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/emulation.h"
#include "registry_tree.h"
#include "text.h"
#include "windows.h"

namespace platform::reg {

std::u16string FoldName(std::u16string_view name) {
    std::u16string folded(name);
    for (auto &c : folded)
        c = text::FoldCase(c);
    return folded;
}

static bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
static bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool IsValidKeyName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNameChars)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c < 0x20 || c == 0x7F || c == u'\\')
            return false;
        if (IsHighSurrogate(c)) {
            if (i + 1 >= name.size() || !IsLowSurrogate(name[i + 1]))
                return false;
            ++i;
        } else if (IsLowSurrogate(c)) {
            return false;
        }
    }
    return true;
}

bool IsValidValueName(std::u16string_view name) {
    return name.size() <= kMaxNameChars && name.find(u'\0') == std::u16string_view::npos;
}

bool FitsBelow(const Key &parent, std::u16string_view name) {
    const size_t chars = parent.pathChars + (parent.depth > 0 ? 1 : 0) + name.size();
    return parent.depth + 1 <= kMaxDepth && chars <= kMaxPathChars;
}

bool IsActiveDevicesKey(const Hives &hives, const Key &parent, std::u16string_view name) {
    return parent.depth == 1 && parent.parent == hives.machine.get() &&
           text::EqualsIgnoreCase(parent.name, u"Drivers") &&
           text::EqualsIgnoreCase(name, u"Active");
}

void MarkDeleted(Key &key) {
    key.deleted = true;
    key.parent = nullptr;
    for (auto &sub : key.subkeys)
        MarkDeleted(*sub);
}

Key *Key::FindSubkey(std::u16string_view subName) const {
    auto it = subkeyIndex.find(FoldName(subName));
    return it == subkeyIndex.end() ? nullptr : it->second;
}

Key *Key::AddSubkey(std::u16string_view subName, bool volatileKey) {
    auto child = std::make_shared<Key>();
    child->name = std::u16string(subName);
    child->parent = this;
    child->depth = depth + 1;
    child->pathChars = pathChars + (depth > 0 ? 1 : 0) + subName.size();
    // Whatever lies below a volatile key goes when it goes.
    child->isVolatile = volatileKey || isVolatile;
    Key *raw = child.get();
    subkeyIndex.emplace(FoldName(subName), raw);
    subkeys.push_back(std::move(child));
    return raw;
}

void Key::RemoveSubkey(Key *child) {
    for (auto it = subkeys.begin(); it != subkeys.end(); ++it) {
        if (it->get() == child) {
            subkeyIndex.erase(FoldName(child->name));
            MarkDeleted(*child);
            subkeys.erase(it);
            return;
        }
    }
}

Value *Key::FindValue(std::u16string_view valueName) const {
    auto it = valueIndex.find(FoldName(valueName));
    return it == valueIndex.end() ? nullptr : it->second;
}

bool Key::SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data) {
    if (Value *existing = FindValue(valueName)) {
        if (existing->type == type && existing->data == data)
            return false;
        existing->type = type;
        existing->data = std::move(data);
        return true;
    }
    auto value = std::make_unique<Value>();
    value->name = std::u16string(valueName);
    value->type = type;
    value->data = std::move(data);
    valueIndex.emplace(FoldName(valueName), value.get());
    values.push_back(std::move(value));
    return true;
}

bool Key::RemoveValue(std::u16string_view valueName) {
    Value *value = FindValue(valueName);
    if (!value)
        return false;
    valueIndex.erase(FoldName(valueName));
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->get() == value) {
            values.erase(it);
            break;
        }
    }
    return true;
}

Hives Hives::Empty() {
    Hives hives;
    hives.machine = std::make_shared<Key>();
    hives.user = std::make_shared<Key>();
    hives.classes = std::make_shared<Key>();
    return hives;
}

} // namespace platform::reg

namespace {

using platform::reg::Hives;
using platform::reg::Key;

// Handle ids look like Windows handles (multiples of 4) and stay clear of the
// predefined roots at 0x80000000.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kLastHandle = 0x7FFFFFF0;
constexpr size_t kMaxOpenHandles = 1u << 20;

struct RegistryState {
    std::mutex mutex;
    Hives hives = Hives::Empty();
    std::unordered_map<uintptr_t, std::shared_ptr<Key>> handles;
    uintptr_t nextHandle = kFirstHandle;
    std::string persistPath; // empty: memory only; else for messages
    // The folder of the file, held open from the boot: saves never go
    // through its path again.
    std::shared_ptr<const platform::HeldFolder> folder;
    bool dirty = false;     // a change is not on disk yet
    bool moveAside = false; // the file on disk failed to load: keep it
    std::function<void(const std::string &)> notice;
    std::string lastNotice; // told once until the cause changes
};

// Never destroyed: modules may still close keys while the process exits.
RegistryState &State() {
    static auto *state = new RegistryState;
    return *state;
}

// ---------------------------------------------------------------- helpers

// Length of a caller's NUL-terminated string, reading at most limit + 1
// characters. False when it is longer than `limit`.
bool BoundedString(LPCWSTR s, size_t limit, std::u16string_view &out) {
    size_t n = 0;
    while (n <= limit && s[n] != 0)
        ++n;
    if (n > limit)
        return false;
    out = std::u16string_view(s, n);
    return true;
}

bool ReadValueName(LPCWSTR name, std::u16string_view &out) {
    if (!name) {
        out = {};
        return true;
    }
    return BoundedString(name, platform::reg::kMaxNameChars, out) &&
           platform::reg::IsValidValueName(out);
}

// Splits a key path into its names (see the note at the top on backslashes).
LONG SplitPath(LPCWSTR subKey, std::vector<std::u16string_view> &names) {
    names.clear();
    if (!subKey)
        return ERROR_SUCCESS;
    std::u16string_view path;
    if (!BoundedString(subKey, platform::reg::kMaxPathChars + 2, path))
        return ERROR_INVALID_PARAMETER;
    if (!path.empty() && path.front() == u'\\')
        path.remove_prefix(1);
    if (!path.empty() && path.back() == u'\\')
        path.remove_suffix(1);
    if (path.empty())
        return ERROR_SUCCESS;
    size_t start = 0;
    while (true) {
        const size_t end = path.find(u'\\', start);
        const auto name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (!platform::reg::IsValidKeyName(name))
            return ERROR_INVALID_PARAMETER;
        names.push_back(name);
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// Whether the path below `base` stays within the depth and length limits.
LONG CheckPathFits(const Key &base, const std::vector<std::u16string_view> &names) {
    size_t chars = base.pathChars;
    unsigned depth = base.depth;
    for (auto name : names) {
        chars += (depth > 0 ? 1 : 0) + name.size();
        ++depth;
    }
    return depth > platform::reg::kMaxDepth || chars > platform::reg::kMaxPathChars
               ? ERROR_INVALID_PARAMETER
               : ERROR_SUCCESS;
}

Key *RootOf(RegistryState &s, HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return s.hives.machine.get();
    if (key == HKEY_CURRENT_USER)
        return s.hives.user.get();
    if (key == HKEY_CLASSES_ROOT)
        return s.hives.classes.get();
    return nullptr;
}

LONG ResolveHandle(RegistryState &s, HKEY key, Key *&out) {
    out = RootOf(s, key);
    if (!out) {
        auto it = s.handles.find(reinterpret_cast<uintptr_t>(key));
        if (it == s.handles.end())
            return ERROR_INVALID_HANDLE;
        out = it->second.get();
    }
    return out->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG NewHandle(RegistryState &s, Key *key, HKEY &out) {
    if (s.handles.size() >= kMaxOpenHandles)
        return ERROR_NOT_ENOUGH_MEMORY;
    uintptr_t id = s.nextHandle;
    while (s.handles.count(id))
        id = id >= kLastHandle ? kFirstHandle : id + 4;
    s.nextHandle = id >= kLastHandle ? kFirstHandle : id + 4;
    s.handles.emplace(id, key->shared_from_this());
    out = reinterpret_cast<HKEY>(id);
    return ERROR_SUCCESS;
}

constexpr const char *kFileName = "registry.reg";

std::string RegistryFilePath(const std::string &rootDir) {
    std::string path = rootDir;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path + kFileName;
}

// Tells the user, once for each cause (called with the lock held).
void Notice(RegistryState &s, const std::string &text) {
    if (text == s.lastNotice)
        return;
    s.lastNotice = text;
    if (s.notice && !text.empty())
        s.notice(text);
}

// Whether the persistent registry, saved, would load again (when it is
// saved at all).
bool FitsTheFile(RegistryState &s) {
    return s.persistPath.empty() ||
           platform::reg::SavedSizeProblem(platform::reg::MeasureSaved(s.hives)).empty();
}

constexpr int kMaxBadFiles = 99;

// Keeps a file that failed to load: renamed to registry.reg.bad, or .bad.N
// when earlier bad files are still there. With all of them there, the
// newest takes the place of .bad.99: the first and the latest are kept.
bool MoveBadFileAside(RegistryState &s, const std::string &path, std::string &error) {
    const int dir = s.folder->Fd();
    const std::string name = kFileName;
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // nothing left to keep
    std::string suffix = ".bad";
    int n = 1;
    while (::fstatat(dir, (name + suffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           n < kMaxBadFiles)
        suffix = ".bad." + std::to_string(++n);
    const bool replaces = ::fstatat(dir, (name + suffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (::renameat(dir, name.c_str(), dir, (name + suffix).c_str()) != 0) {
        error = path + ": cannot move the unreadable file aside: " + std::strerror(errno);
        return false;
    }
    Notice(s, path + ": the unreadable file is kept as " + path + suffix +
                  (replaces ? " (the " + std::to_string(kMaxBadFiles) +
                                  " kept files were all there: the latest of them is discarded)"
                            : ""));
    return true;
}

bool SaveLocked(RegistryState &s, std::string &error) {
    if (s.persistPath.empty())
        return true;
    bool ok = true;
    if (s.moveAside) {
        ok = MoveBadFileAside(s, s.persistPath, error);
        s.moveAside = !ok;
    }
    if (ok) {
        std::string problem = platform::reg::SavedSizeProblem(platform::reg::MeasureSaved(s.hives));
        if (!problem.empty()) {
            error = std::move(problem);
            ok = false;
        }
    }
    if (ok)
        ok =
            platform::reg::WriteFileAtomicallyAt(s.folder->Fd(), kFileName, s.persistPath,
                                                 platform::reg::FormatRegistryText(s.hives), error);
    if (!ok) {
        Notice(s, "the registry cannot be saved: " + error +
                      "; changes since are lost at power off unless a later save succeeds");
        return false;
    }
    if (!s.lastNotice.empty() && s.lastNotice.rfind("the registry cannot be saved", 0) == 0)
        Notice(s, "the registry is saved again");
    s.dirty = false;
    return true;
}

// After a change to `key`: persist it unless the key is volatile.
void Changed(RegistryState &s, const Key &key) {
    if (key.isVolatile || s.persistPath.empty())
        return;
    s.dirty = true;
    std::string ignored;
    SaveLocked(s, ignored);
}

void ReplaceHives(RegistryState &s, Hives hives) {
    platform::reg::MarkDeleted(*s.hives.machine);
    platform::reg::MarkDeleted(*s.hives.user);
    platform::reg::MarkDeleted(*s.hives.classes);
    s.hives = std::move(hives);
}

// Sets a value unless it exists already (first-boot defaults never
// overwrite what the phone holds).
void DefaultValue(Key *root, std::initializer_list<std::u16string_view> path,
                  std::u16string_view name, DWORD type, std::vector<BYTE> data, const Hives &hives,
                  bool &changed) {
    Key *key = root;
    for (auto part : path) {
        Key *sub = key->FindSubkey(part);
        if (!sub) {
            sub = key->AddSubkey(part, platform::reg::IsActiveDevicesKey(hives, *key, part));
            changed = true;
        }
        key = sub;
    }
    if (name.data() && !key->FindValue(name)) {
        key->SetValue(name, type, std::move(data));
        changed = true;
    }
}

std::vector<BYTE> DwordBytes(DWORD v) {
    return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
            static_cast<BYTE>(v >> 24)};
}

std::vector<BYTE> StringBytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

void WriteDefaultsLocked(RegistryState &s) {
    bool changed = false;
    Key *hklm = s.hives.machine.get();
    Key *hkcu = s.hives.user.get();
    const Hives &h = s.hives;
    // The GPS Intermediate Driver: its multiplexer port, which programs that
    // share the GPS open, and the driver enabled.
    DefaultValue(hklm, {u"System", u"CurrentControlSet", u"GPS Intermediate Driver"}, u"IsEnabled",
                 REG_DWORD, DwordBytes(1), h, changed);
    DefaultValue(hklm,
                 {u"System", u"CurrentControlSet", u"GPS Intermediate Driver", u"Multiplexer"},
                 u"DriverInterface", REG_SZ, StringBytes(u"GPD0:"), h, changed);
    // Where the device manager looks for drivers to load at start: empty.
    DefaultValue(hklm, {u"Drivers", u"Builtin"}, std::u16string_view(), 0, {}, h, changed);
    // The shell's volume, full (steps 0 to 15).
    DefaultValue(hkcu, {u"ControlPanel", u"Volume"}, u"Volume", REG_DWORD, DwordBytes(15), h,
                 changed);
    DefaultValue(hkcu, {u"ControlPanel", u"Notifications", u"ShellOverrides"}, u"SavedVolume",
                 REG_DWORD, DwordBytes(15), h, changed);
    if (changed)
        Changed(s, *hklm);
}

} // namespace

// The key a handle names and the path below it, split and checked against
// the limits: the common first steps of opening and creating a key.
LONG ResolvePath(RegistryState &s, HKEY key, LPCWSTR subKey, Key *&base,
                 std::vector<std::u16string_view> &names) {
    LONG rc = ResolveHandle(s, key, base);
    if (rc == ERROR_SUCCESS)
        rc = SplitPath(subKey, names);
    if (rc == ERROR_SUCCESS)
        rc = CheckPathFits(*base, names);
    return rc;
}

// ---------------------------------------------------------------- Win32 API

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM /*access*/,
                          PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *base = nullptr;
    std::vector<std::u16string_view> names;
    LONG rc = ResolvePath(s, key, subKey, base, names);
    Key *target = base;
    for (size_t i = 0; rc == ERROR_SUCCESS && i < names.size(); ++i) {
        target = target->FindSubkey(names[i]);
        if (!target)
            rc = ERROR_FILE_NOT_FOUND;
    }
    if (rc == ERROR_SUCCESS)
        rc = NewHandle(s, target, *result);
    return rc;
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/,
                            DWORD options, REGSAM /*access*/, LPSECURITY_ATTRIBUTES /*attributes*/,
                            PHKEY result, LPDWORD disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *base = nullptr;
    std::vector<std::u16string_view> names;
    // The whole path is checked before anything is created, so that a
    // refused path leaves no intermediate keys behind.
    LONG rc = ResolvePath(s, key, subKey, base, names);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = NewHandle(s, base, *result); // reserve the handle before changing anything
    if (rc != ERROR_SUCCESS)
        return rc;
    Key *target = base;
    Key *firstCreated = nullptr;
    bool created = false;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto name = names[i];
        Key *sub = target->FindSubkey(name);
        if (!sub) {
            // Only the key asked for is volatile: a key made on the way to it
            // may well hold keys that must be saved.
            const bool last = i + 1 == names.size();
            const bool volatileKey = (last && (options & REG_OPTION_VOLATILE) != 0) ||
                                     platform::reg::IsActiveDevicesKey(s.hives, *target, name);
            sub = target->AddSubkey(name, volatileKey);
            if (!firstCreated)
                firstCreated = sub;
            created = true;
        } else {
            created = false;
        }
        target = sub;
    }
    if (firstCreated && !FitsTheFile(s)) {
        firstCreated->parent->RemoveSubkey(firstCreated);
        s.handles.erase(reinterpret_cast<uintptr_t>(*result));
        *result = nullptr;
        return ERROR_NOT_ENOUGH_QUOTA;
    }
    s.handles[reinterpret_cast<uintptr_t>(*result)] = target->shared_from_this();
    if (firstCreated)
        Changed(s, *firstCreated);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    if (RootOf(s, key))
        return ERROR_SUCCESS;
    return s.handles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::u16string_view name;
    if (!ReadValueName(valueName, name))
        return ERROR_FILE_NOT_FOUND; // no value can have such a name
    const auto *value = k->FindValue(name);
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    const auto size = static_cast<DWORD>(value->data.size());
    if (type)
        *type = value->type;
    if (data && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data && size)
        std::memcpy(data, value->data.data(), size);
    if (dataSize)
        *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                           const BYTE *data, DWORD dataSize) {
    if ((!data && dataSize) || dataSize > platform::reg::kMaxValueBytes ||
        (type == REG_DWORD && dataSize != 4))
        return ERROR_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::u16string_view name;
    if (!ReadValueName(valueName, name))
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes(data, data + dataSize);
    const auto *old = k->FindValue(name);
    const DWORD oldType = old ? old->type : REG_NONE;
    std::vector<BYTE> oldData = old ? old->data : std::vector<BYTE>();
    const bool existed = old != nullptr;
    if (!k->SetValue(name, type, std::move(bytes)))
        return ERROR_SUCCESS;
    if (!FitsTheFile(s)) {
        if (existed)
            k->SetValue(name, oldType, std::move(oldData));
        else
            k->RemoveValue(name);
        return ERROR_NOT_ENOUGH_QUOTA;
    }
    Changed(s, *k);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::u16string_view name;
    if (!ReadValueName(valueName, name) || !k->RemoveValue(name))
        return ERROR_FILE_NOT_FOUND;
    Changed(s, *k);
    return ERROR_SUCCESS;
}

// Deletes the subkey with everything below it, as Windows CE does. The key
// of the handle itself cannot be deleted this way (an empty subKey is
// refused), so a root can never go.
LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *base = nullptr;
    LONG rc = ResolveHandle(s, key, base);
    std::vector<std::u16string_view> names;
    if (rc == ERROR_SUCCESS)
        rc = SplitPath(subKey, names);
    if (rc == ERROR_SUCCESS && names.empty())
        rc = ERROR_INVALID_PARAMETER;
    if (rc != ERROR_SUCCESS)
        return rc;
    Key *parent = base;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        parent = parent->FindSubkey(names[i]);
        if (!parent)
            return ERROR_FILE_NOT_FOUND;
    }
    Key *victim = parent->FindSubkey(names.back());
    if (!victim)
        return ERROR_FILE_NOT_FOUND;
    const bool persistent = !victim->isVolatile;
    parent->RemoveSubkey(victim);
    if (persistent)
        Changed(s, *parent);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                          LPWSTR keyClass, LPDWORD classChars, void *lastWriteTime) {
    if (!name || !nameChars || reserved)
        return ERROR_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (index >= k->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::u16string &subName = k->subkeys[index]->name;
    // Room for the name and its terminator, or nothing is written.
    if (*nameChars <= subName.size())
        return ERROR_MORE_DATA;
    std::memcpy(name, subName.data(), subName.size() * sizeof(WCHAR));
    name[subName.size()] = 0;
    *nameChars = static_cast<DWORD>(subName.size());
    // Keys have no class here.
    if (classChars) {
        if (keyClass && *classChars > 0)
            keyClass[0] = 0;
        *classChars = 0;
    }
    if (lastWriteTime)
        std::memset(lastWriteTime, 0, 8); // a FILETIME; not tracked
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (!name || !nameChars || reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (index >= k->values.size())
        return ERROR_NO_MORE_ITEMS;
    const auto &value = *k->values[index];
    const auto size = static_cast<DWORD>(value.data.size());
    // Like Windows: when either buffer is too small, the type and the size
    // of the data are reported, and neither the name nor the data is.
    if (*nameChars <= value.name.size() || (data && *dataSize < size)) {
        if (type)
            *type = value.type;
        if (dataSize)
            *dataSize = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, value.name.data(), value.name.size() * sizeof(WCHAR));
    name[value.name.size()] = 0;
    *nameChars = static_cast<DWORD>(value.name.size());
    if (type)
        *type = value.type;
    if (data && size)
        std::memcpy(data, value.data.data(), size);
    if (dataSize)
        *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY key) {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    Key *k = nullptr;
    LONG rc = ResolveHandle(s, key, k);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string ignored;
    if (s.dirty && !SaveLocked(s, ignored))
        return ERROR_CANTWRITE;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- emulation

namespace platform {

// A file that fails to load is never overwritten: the registry keeps what it
// held, with the first-boot defaults filled in where missing, and the bad
// file is renamed aside (registry.reg.bad) just before the next save, i.e.
// the next change. Until then a reboot reports the same error again.
bool BootRegistry(const std::string &rootDir, std::string &error) {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    s.persistPath.clear();
    s.folder.reset();
    s.dirty = false;
    s.moveAside = false;
    if (rootDir.empty()) {
        error = "no device root for the registry";
        return false;
    }
    // The device root's own folder when it is that root, else opened once here.
    std::shared_ptr<const HeldFolder> folder = GetDeviceRootFolder();
    if (!folder || folder->Path() != rootDir || folder->Fd() < 0)
        folder = std::make_shared<const HeldFolder>(
            ::open(rootDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), rootDir);
    if (folder->Fd() < 0) {
        error = rootDir + ": " + std::strerror(errno) + "; the registry is not saved";
        WriteDefaultsLocked(s);
        return false;
    }
    s.folder = folder;
    const std::string path = RegistryFilePath(rootDir);
    struct stat st {};
    if (::fstatat(folder->Fd(), kFileName, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        // First boot.
        WriteDefaultsLocked(s);
        s.persistPath = path;
        s.dirty = true;
        return SaveLocked(s, error);
    }
    Hives loaded;
    if (!reg::ReadRegistryFileAt(folder->Fd(), kFileName, path, loaded, error)) {
        WriteDefaultsLocked(s);
        s.persistPath = path;
        s.moveAside = true;
        return false;
    }
    ReplaceHives(s, std::move(loaded));
    s.persistPath = path;
    // Defaults a phone cannot do without (the GPS multiplexer's key) come
    // back if the file lacks them; a file that has them stays as it is.
    WriteDefaultsLocked(s);
    return true;
}

void SetRegistryNotice(std::function<void(const std::string &)> notice) {
    SetFileNotice(notice);
    auto &s = State();
    std::lock_guard lock(s.mutex);
    s.notice = std::move(notice);
    s.lastNotice.clear();
}

bool LoadRegistryFile(const std::string &path, std::string &error) {
    Hives loaded;
    if (!reg::ReadRegistryFile(path, loaded, error))
        return false;
    auto &s = State();
    std::lock_guard lock(s.mutex);
    ReplaceHives(s, std::move(loaded));
    if (!s.persistPath.empty() && s.persistPath != path) {
        s.dirty = true;
        std::string ignored;
        SaveLocked(s, ignored);
    }
    return true;
}

bool SaveRegistryFile(const std::string &path, std::string &error) {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    if (path == s.persistPath) {
        // The booted file: keep a bad one aside first, as every save does.
        s.dirty = true;
        return SaveLocked(s, error);
    }
    if (std::string problem = reg::SavedSizeProblem(reg::MeasureSaved(s.hives)); !problem.empty()) {
        error = std::move(problem);
        return false;
    }
    return reg::WriteFileAtomically(path, reg::FormatRegistryText(s.hives), error);
}

void ResetRegistry() {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    ReplaceHives(s, reg::Hives::Empty());
    s.persistPath.clear();
    s.folder.reset();
    s.dirty = false;
    s.moveAside = false;
    s.lastNotice.clear();
}

void WriteRegistryDefaults() {
    auto &s = State();
    std::lock_guard lock(s.mutex);
    WriteDefaultsLocked(s);
}

} // namespace platform
