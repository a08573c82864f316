// registry_tree.h — the registry's in-memory tree and its text file, shared
// by registry.cpp (the Win32 API) and registry_file.cpp (load and save).
#ifndef TAVRINEL_PLATFORM_REGISTRY_TREE_H
#define TAVRINEL_PLATFORM_REGISTRY_TREE_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "windows.h"

namespace platform::reg {

// Limits. Names follow Windows CE (255 characters for key and value names);
// the depth follows desktop Windows. The path and data limits keep every
// line of the saved file below kMaxLineBytes, so whatever the API accepts can
// be saved and loaded again.
inline constexpr size_t kMaxNameChars = 255;
inline constexpr unsigned kMaxDepth = 512;
inline constexpr size_t kMaxPathChars = 16383; // below the root, separators included
inline constexpr size_t kMaxValueBytes = 16384;
inline constexpr size_t kMaxLineBytes = 65536;
inline constexpr size_t kMaxFileBytes = 16u * 1024u * 1024u;
// What one file may create: far beyond a phone's registry, and small enough
// that a hostile file cannot make the loader take gigabytes.
inline constexpr size_t kMaxFileKeys = 100000;
inline constexpr size_t kMaxFileValues = 500000;

struct Value {
    std::u16string name; // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// One key. Subkeys and values keep their creation order, which is the order
// in which they are enumerated and saved; the indexes map case-folded names
// to entries so that lookups stay cheap in a large (or hostile) file.
struct Key : std::enable_shared_from_this<Key> {
    std::u16string name;   // as created (case preserved); empty for a root
    Key *parent = nullptr; // null for a root and for a deleted key
    unsigned depth = 0;    // 0 for a root
    size_t pathChars = 0;  // length of the path below the root
    bool isVolatile = false;
    bool deleted = false;

    std::vector<std::shared_ptr<Key>> subkeys;
    std::unordered_map<std::u16string, Key *> subkeyIndex;
    std::vector<std::unique_ptr<Value>> values;
    std::unordered_map<std::u16string, Value *> valueIndex;

    Key *FindSubkey(std::u16string_view name) const;
    // The caller has checked the name and that no such subkey exists.
    Key *AddSubkey(std::u16string_view name, bool volatileKey);
    // Detaches the subkey and marks it and everything below it deleted, so
    // that handles still open on them fail cleanly.
    void RemoveSubkey(Key *child);

    Value *FindValue(std::u16string_view name) const;
    // Creates the value or replaces its type and data (keeping its place).
    // Answers false when the stored value was already exactly this.
    bool SetValue(std::u16string_view name, DWORD type, std::vector<BYTE> data);
    bool RemoveValue(std::u16string_view name);
};

// The three roots. HKEY_CLASSES_ROOT is a plain, normally empty root.
struct Hives {
    std::shared_ptr<Key> machine;
    std::shared_ptr<Key> user;
    std::shared_ptr<Key> classes;

    static Hives Empty();
};

std::u16string FoldName(std::u16string_view name);
// Key names: 1 to 255 characters, no backslash, no control character and no
// unpaired surrogate (so that every key line of the file stays plain text).
bool IsValidKeyName(std::u16string_view name);
// Value names: up to 255 characters (empty is the default value), no NUL.
bool IsValidValueName(std::u16string_view name);
// Whether a new subkey `name` of `parent` would stay within kMaxDepth and
// kMaxPathChars.
bool FitsBelow(const Key &parent, std::u16string_view name);
// "Drivers\Active" under HKEY_LOCAL_MACHINE: the device manager's list of
// loaded devices, which never outlives a boot.
bool IsActiveDevicesKey(const Hives &hives, const Key &parent, std::u16string_view name);
// Marks a key and its subtree deleted.
void MarkDeleted(Key &key);

// ---- the text file (registry_file.cpp)

inline constexpr std::string_view kFileHeader = "TAVRINEL REGISTRY 1";

// Parses a whole file into fresh hives. On error answers false with
// "FILE:LINE: message" and leaves `out` unspecified.
bool ParseRegistryText(std::string_view text, const std::string &fileName, Hives &out,
                       std::string &error);
// The persistent part of the registry as file text (volatile keys and
// everything below them are left out).
std::string FormatRegistryText(const Hives &hives);
// What the saved file of a registry holds, measured without writing it.
struct SavedSize {
    size_t bytes = 0;
    size_t keys = 0;
    size_t values = 0;
};
SavedSize MeasureSaved(const Hives &hives);
// Why a file of that size would not load again, or "" when it would: the
// loader's own limits, so that the phone never saves what it cannot read.
std::string SavedSizeProblem(const SavedSize &size);
// Reads and parses a file; errors as ParseRegistryText, or "FILE: message"
// when the file itself cannot be read.
bool ReadRegistryFile(const std::string &path, Hives &out, std::string &error);
// The same for the entry `name` of the folder `dirFd` (no link followed);
// `shown` names it in messages.
bool ReadRegistryFileAt(int dirFd, const std::string &name, const std::string &shown, Hives &out,
                        std::string &error);
// Writes PATH.tmp (mode 0600), syncs it and renames it over PATH. On failure
// the old file is untouched and the temporary file removed.
bool WriteFileAtomically(const std::string &path, std::string_view content, std::string &error);
// The same for the entry `name` of the folder `dirFd`: NAME.tmp is made,
// renamed and the folder synced all relative to that folder.
bool WriteFileAtomicallyAt(int dirFd, const std::string &name, const std::string &shown,
                           std::string_view content, std::string &error);

} // namespace platform::reg

#endif // TAVRINEL_PLATFORM_REGISTRY_TREE_H
