// modules.cpp — LoadLibraryW, FreeLibrary, GetProcAddressW and
// GetModuleFileNameW over dlopen, and the module folder.
//
// Names: "X", "\Windows\X" and "Windows\X" all name the file X in the
// module folder (platform::GetModuleDir()), found without regard to case;
// a name without a dot gets ".dll" appended, as on Windows. Every other
// name is refused with ERROR_INVALID_NAME: empty, containing "..", a path
// separator beyond the \Windows\ prefix, a drive or device colon, or a
// control character. So no name reaches a file outside the module folder.
// platform::MapModule redirects a name to any host file (tests).
//
// An HMODULE is an id, never the dlopen handle: a foreign or freed one
// fails cleanly. The same file answers the same HMODULE, counted as
// Windows counts: the module is unloaded (dlclose) when FreeLibrary has
// balanced every LoadLibraryW. The loader never calls DllMain: a module
// runs its own entry through platform/dllentry.h when it is mapped and
// unmapped.
#include <windows.h>

#include <platform/emulation.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "handles.h"
#include "kernel.h"
#include "text.h"

namespace {

struct FoldedLess {
    bool operator()(const std::u16string &a, const std::u16string &b) const {
        return platform::text::CompareIgnoreCase(a, b) < 0;
    }
};

struct Module {
    void *library = nullptr;       // dlopen handle
    const link_map *map = nullptr; // to tell the module's own exports from its imports
    std::string hostPath;          // canonical host path
    std::u16string deviceName;     // "\Windows\X" as the device sees it
    unsigned references = 0;
};

struct Loader {
    std::mutex lock;
    std::map<uintptr_t, Module> modules;                        // by HMODULE id
    std::map<std::string, uintptr_t> byPath;                    // canonical host path -> id
    std::map<std::u16string, std::string, FoldedLess> mappings; // MapModule
    std::string moduleDir;                                      // empty: the default
};

// Never destroyed: modules are released during process exit.
Loader &TheLoader() {
    static Loader *loader = new Loader;
    return *loader;
}

// Why the last LoadLibraryW of this thread failed, in host terms.
thread_local std::string lastLoaderError;

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    return std::string(path, static_cast<size_t>(length));
}

std::string DefaultModuleDir() {
    if (const char *env = std::getenv("TAVRINEL_MODULE_DIR"); env && *env)
        return env;
    const std::string exe = ExecutablePath();
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash ? slash : 1);
}

bool StartsWithIgnoreCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() &&
           platform::text::EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// The file name that a module name stands for ("FMS_API.dll" for
// "\Windows\FMS_API.dll"), or ERROR_INVALID_NAME.
DWORD ModuleBaseName(std::u16string_view name, std::u16string &base) {
    for (std::u16string_view prefix :
         {u"\\Windows\\", u"Windows\\", u"/Windows/", u"Windows/", u"\\Windows/", u"/Windows\\"}) {
        if (StartsWithIgnoreCase(name, prefix)) {
            name.remove_prefix(prefix.size());
            break;
        }
    }
    if (name.empty() || name == u"." || name.find(u"..") != std::u16string_view::npos)
        return ERROR_INVALID_NAME;
    for (const char16_t c : name) {
        if (c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
            c == u'"' || c == u'<' || c == u'>' || c == u'|')
            return ERROR_INVALID_NAME;
    }
    base.assign(name);
    if (base.find(u'.') == std::u16string::npos)
        base += u".dll";
    return ERROR_SUCCESS;
}

uintptr_t ModuleKey(HMODULE module) {
    return reinterpret_cast<uintptr_t>(module);
}

} // namespace

// ---------------------------------------------------------------- emulation controls

namespace platform {

void SetModuleDir(const std::string &dir) {
    Loader &loader = TheLoader();
    std::lock_guard guard(loader.lock);
    loader.moduleDir = dir;
}

std::string GetModuleDir() {
    Loader &loader = TheLoader();
    {
        std::lock_guard guard(loader.lock);
        if (!loader.moduleDir.empty())
            return loader.moduleDir;
    }
    return DefaultModuleDir();
}

void MapModule(const std::u16string &name, const std::string &path) {
    std::u16string base;
    if (ModuleBaseName(name, base) != ERROR_SUCCESS)
        return;
    Loader &loader = TheLoader();
    std::lock_guard guard(loader.lock);
    if (path.empty())
        loader.mappings.erase(base);
    else
        loader.mappings[base] = path;
}

void ClearModuleMaps() {
    Loader &loader = TheLoader();
    std::lock_guard guard(loader.lock);
    loader.mappings.clear();
}

std::string LastLoaderError() {
    return lastLoaderError;
}

} // namespace platform

// ---------------------------------------------------------------- Win32

// Fails with ERROR_INVALID_PARAMETER for NULL, ERROR_INVALID_NAME for a
// refused name (see above), ERROR_MOD_NOT_FOUND when there is no such file
// or dlopen refuses it (platform::LastLoaderError() says why; with
// TAVRINEL_LOADER_DEBUG set it also goes to stderr).
HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string base;
    if (const DWORD error = ModuleBaseName(fileName, base); error != ERROR_SUCCESS) {
        lastLoaderError = "refused module name";
        SetLastError(error);
        return nullptr;
    }
    Loader &loader = TheLoader();
    std::string hostPath;
    {
        std::lock_guard guard(loader.lock);
        const auto mapping = loader.mappings.find(base);
        if (mapping != loader.mappings.end())
            hostPath = mapping->second;
    }
    if (hostPath.empty())
        hostPath = platform::kernel::FindEntryIgnoreCase(platform::GetModuleDir(),
                                                         platform::text::Utf16ToUtf8(base));

    auto fail = [&](const std::string &why) -> HMODULE {
        lastLoaderError = why;
        if (std::getenv("TAVRINEL_LOADER_DEBUG"))
            (void)std::fprintf(stderr, "libplatform: LoadLibraryW(%s): %s\n",
                               platform::text::Utf16ToUtf8(fileName).c_str(), why.c_str());
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    };
    char canonical[PATH_MAX];
    if (!realpath(hostPath.c_str(), canonical))
        return fail(hostPath + ": no such file");

    {
        std::lock_guard guard(loader.lock);
        const auto known = loader.byPath.find(canonical);
        if (known != loader.byPath.end()) {
            ++loader.modules[known->second].references;
            return reinterpret_cast<HMODULE>(known->second);
        }
    }
    // dlopen runs the module's constructors (its DllMain); no lock of ours
    // is held, so they may load modules and start threads.
    void *library = dlopen(canonical, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        return fail(why ? why : "dlopen failed");
    }
    link_map *map = nullptr;
    dlinfo(library, RTLD_DI_LINKMAP, &map);

    std::lock_guard guard(loader.lock);
    const auto known = loader.byPath.find(canonical);
    if (known != loader.byPath.end()) {
        // Another thread loaded it meanwhile; dlopen counted our load too.
        ++loader.modules[known->second].references;
        dlclose(library);
        return reinterpret_cast<HMODULE>(known->second);
    }
    const uintptr_t id = platform::kernel::NewObjectId();
    Module &module = loader.modules[id];
    module.library = library;
    module.map = map;
    module.hostPath = canonical;
    module.deviceName = u"\\Windows\\" + base;
    module.references = 1;
    loader.byPath[canonical] = id;
    return reinterpret_cast<HMODULE>(id);
}

// Fails with ERROR_MOD_NOT_FOUND for a handle that names no loaded module.
BOOL WINAPI FreeLibrary(HMODULE module) {
    Loader &loader = TheLoader();
    void *unload = nullptr;
    {
        std::lock_guard guard(loader.lock);
        const auto it = loader.modules.find(ModuleKey(module));
        if (it == loader.modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (--it->second.references == 0) {
            unload = it->second.library;
            loader.byPath.erase(it->second.hostPath);
            loader.modules.erase(it);
        }
    }
    // Outside the lock: the module's destructors (its DllMain) may call us.
    if (unload)
        dlclose(unload);
    return TRUE;
}

// Only names exported by the module itself are found (not those of the
// libraries it imports). NULL module: the program. Ordinals are not
// supported. Failure: NULL with ERROR_PROC_NOT_FOUND, or
// ERROR_MOD_NOT_FOUND for an unknown module.
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName) {
    std::string name;
    if (procName && !IS_INTRESOURCE(procName)) {
        for (const WCHAR *p = procName; *p; ++p) {
            if (*p >= 0x80) {
                name.clear();
                break;
            }
            name.push_back(static_cast<char>(*p));
        }
    }
    Loader &loader = TheLoader();
    std::lock_guard guard(loader.lock); // keeps the module mapped during the lookup
    void *library = nullptr;
    const link_map *map = nullptr;
    if (!module) {
        static void *program = dlopen(nullptr, RTLD_NOW);
        library = program;
    } else {
        const auto it = loader.modules.find(ModuleKey(module));
        if (it == loader.modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        library = it->second.library;
        map = it->second.map;
    }
    if (name.empty()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(library, name.c_str());
    if (symbol && map) {
        Dl_info info{};
        link_map *owner = nullptr;
        if (!dladdr1(symbol, &info, reinterpret_cast<void **>(&owner), RTLD_DL_LINKMAP) ||
            owner != map)
            symbol = nullptr;
    }
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

// The device's name of the module: "\Windows\X". NULL: the program. A
// buffer too small gets size-1 characters and a terminator; the answer is
// then `size` with ERROR_INSUFFICIENT_BUFFER (Windows Vista and later).
// Success leaves the last error alone.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::u16string name;
    if (!module) {
        const std::string exe = ExecutablePath();
        name = u"\\Windows\\" + platform::text::Utf8ToUtf16(exe.substr(exe.rfind('/') + 1));
    } else {
        Loader &loader = TheLoader();
        std::lock_guard guard(loader.lock);
        const auto it = loader.modules.find(ModuleKey(module));
        if (it == loader.modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        name = it->second.deviceName;
    }
    if (size == 0 || !fileName) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() >= size) {
        name.copy(fileName, size - 1);
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    name.copy(fileName, name.size());
    fileName[name.size()] = 0;
    return static_cast<DWORD>(name.size());
}
