// resources.cpp — FindResourceW, LoadResource, LockResource,
// SizeofResource, LoadStringW and LoadIconW over the table that a module
// exports as "CeResourceTable" (platform/resources.h). A NULL module is the
// program itself (GetProcAddressW(NULL) looks in the main executable, which
// must export the table: link it with ENABLE_EXPORTS / -rdynamic).
//
// Names and types match as ordinals, or as strings without regard to case;
// "#123" names the ordinal 123. A table is trusted as the module's own
// data, but its count is bounded (kMaxResources) and string names are read
// at most kMaxResourceName characters far.
#include "shell_internal.h"

#include <platform/resources.h>

#include <algorithm>
#include <cstring>

#include "text.h"

namespace platform::shell::detail {

namespace {

constexpr DWORD kMaxResources = 65536;
constexpr size_t kMaxResourceName = 256;

// The resource entries FindResourceW handed out (with their module), and
// the data LoadResource handed out, so that handles are checked and
// templates are read within their resource. A range is trusted only while
// its module's table still lists it (modules unload, tables change).
struct Range {
    size_t size = 0;
    HMODULE module = nullptr;
};
struct Known {
    std::mutex lock;
    std::map<const CeResource *, HMODULE> entries;
    std::map<const BYTE *, Range> data;
};

Known &TheKnown() {
    static Known *known = new Known;
    return *known;
}

const CeResourceTable *TableOf(HMODULE module) {
    const FARPROC symbol = GetProcAddressW(module, CE_RESOURCE_TABLE_SYMBOL);
    return reinterpret_cast<const CeResourceTable *>(symbol);
}

// A name or type as a query: an ordinal, or a string.
struct Key {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::u16string text;
};

Key KeyOf(LPCWSTR name) {
    Key key;
    if (IS_INTRESOURCE(name)) {
        key.isOrdinal = true;
        key.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
        return key;
    }
    for (size_t i = 0; name[i] && i < kMaxResourceName; ++i)
        key.text.push_back(name[i]);
    if (key.text.size() > 1 && key.text[0] == u'#') {
        unsigned value = 0;
        bool digits = true;
        for (size_t i = 1; i < key.text.size() && digits; ++i) {
            if (key.text[i] < u'0' || key.text[i] > u'9')
                digits = false;
            else
                value = std::min(value * 10 + (key.text[i] - u'0'), 0x10000u);
        }
        if (digits && value <= 0xFFFF) {
            key.isOrdinal = true;
            key.ordinal = static_cast<WORD>(value);
        }
    }
    return key;
}

bool Matches(const Key &key, LPCWSTR entry) {
    if (!entry)
        return false;
    const Key other = KeyOf(entry);
    if (key.isOrdinal || other.isOrdinal)
        return key.isOrdinal == other.isOrdinal && key.ordinal == other.ordinal;
    return platform::text::EqualsIgnoreCase(key.text, other.text);
}

const CeResource *Find(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD &error) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    if (!name || !type)
        return nullptr;
    const CeResourceTable *table = TableOf(module);
    if (!table || !table->entries || table->count > kMaxResources)
        return nullptr;
    const Key nameKey = KeyOf(name), typeKey = KeyOf(type);
    bool typeSeen = false;
    for (DWORD i = 0; i < table->count; ++i) {
        const CeResource &entry = table->entries[i];
        if (!Matches(typeKey, entry.type))
            continue;
        typeSeen = true;
        if (Matches(nameKey, entry.name))
            return &entry;
    }
    error = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
}

} // namespace

size_t KnownResourceBytes(const void *data) {
    const auto *at = static_cast<const BYTE *>(data);
    Known &known = TheKnown();
    const BYTE *start = nullptr;
    Range range;
    {
        std::lock_guard guard(known.lock);
        auto it = known.data.upper_bound(at);
        if (it == known.data.begin())
            return 0;
        --it;
        if (static_cast<size_t>(at - it->first) >= it->second.size)
            return 0;
        start = it->first;
        range = it->second;
    }
    // Still a resource of a loaded module?
    const CeResourceTable *table = TableOf(range.module);
    bool live = false;
    if (table && table->entries && table->count <= kMaxResources) {
        for (DWORD i = 0; i < table->count && !live; ++i)
            live = table->entries[i].data == start && table->entries[i].size == range.size;
    }
    if (!live) {
        std::lock_guard guard(known.lock);
        known.data.erase(start);
        return 0;
    }
    return range.size - static_cast<size_t>(at - start);
}

bool FindResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type, const BYTE *&data,
                       size_t &size) {
    DWORD error = 0;
    const CeResource *entry = Find(module, name, type, error);
    if (!entry || !entry->data) {
        SetLastError(error);
        return false;
    }
    data = static_cast<const BYTE *>(entry->data);
    size = entry->size;
    return true;
}

} // namespace platform::shell::detail

using namespace platform::shell::detail;

HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    DWORD error = 0;
    const CeResource *entry = Find(module, name, type, error);
    if (!entry) {
        SetLastError(error);
        return nullptr;
    }
    Known &known = TheKnown();
    std::lock_guard guard(known.lock);
    known.entries[entry] = module;
    return const_cast<CeResource *>(entry);
}

// Answers the data of a resource FindResourceW found (NULL for anything
// else, or a resource without data).
HGLOBAL WINAPI LoadResource(HMODULE, HRSRC resource) {
    const auto *entry = static_cast<const CeResource *>(resource);
    Known &known = TheKnown();
    std::lock_guard guard(known.lock);
    const auto found = known.entries.find(entry);
    if (found == known.entries.end() || !entry->data) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    known.data[static_cast<const BYTE *>(entry->data)] = {entry->size, found->second};
    return const_cast<void *>(entry->data);
}

LPVOID WINAPI LockResource(HGLOBAL loaded) {
    return loaded;
}

DWORD WINAPI SizeofResource(HMODULE, HRSRC resource) {
    const auto *entry = static_cast<const CeResource *>(resource);
    Known &known = TheKnown();
    std::lock_guard guard(known.lock);
    if (!known.entries.count(entry)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return entry->size;
}

// String `id` is string id % 16 of block id / 16 + 1. Copies at most
// maxChars - 1 characters and a terminator and answers the count copied;
// maxChars 0 stores a read-only pointer to the string (not terminated) in
// *buffer and answers its length. Missing: 0 (an empty string in the
// buffer).
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int maxChars) {
    if (!buffer || maxChars < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (maxChars > 0)
        buffer[0] = 0;
    const BYTE *data = nullptr;
    size_t size = 0;
    if (id > 0xFFFF ||
        !FindResourceBytes(instance, MAKEINTRESOURCEW(id / 16 + 1), RT_STRING, data, size))
        return 0;
    size_t offset = 0;
    for (UINT index = 0; index <= id % 16; ++index) {
        WORD length = 0;
        if (size - offset < 2) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        std::memcpy(&length, data + offset, 2);
        offset += 2;
        if ((size - offset) / 2 < length) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        if (index == id % 16) {
            if (length == 0) {
                SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
                return 0;
            }
            if (maxChars == 0) {
                const WCHAR *text = reinterpret_cast<const WCHAR *>(data + offset);
                std::memcpy(buffer, &text, sizeof text);
                return length;
            }
            const size_t count = std::min<size_t>(length, static_cast<size_t>(maxChars) - 1);
            std::memcpy(buffer, data + offset, count * 2);
            buffer[count] = 0;
            return static_cast<int>(count);
        }
        offset += static_cast<size_t>(length) * 2;
    }
    return 0;
}

// A handle for an icon the module has (RT_GROUP_ICON or RT_ICON), or a
// system icon (instance NULL). The shell draws icons as a marker, so one
// handle stands for all of them.
HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    static int iconObject = 0;
    HICON icon = reinterpret_cast<HICON>(&iconObject);
    if (!instance)
        return icon;
    const BYTE *data = nullptr;
    size_t size = 0;
    if (FindResourceBytes(instance, name, RT_GROUP_ICON, data, size) ||
        FindResourceBytes(instance, name, RT_ICON, data, size))
        return icon;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}
