// Feeds arbitrary bytes to the registry file reader: it must refuse or
// accept them without crashing, and a refused file must change nothing.
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include <platform/emulation.h>
#include <windows.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = [] {
        char templ[] = "/tmp/tavrinel-regfuzz-XXXXXX";
        const int fd = mkstemp(templ);
        if (fd >= 0)
            close(fd);
        return std::string(templ);
    }();
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    platform::ResetRegistry();
    HKEY key = nullptr;
    DWORD disposition = 0;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Sentinel", 0, nullptr, 0, 0, nullptr, &key, &disposition);
    RegCloseKey(key);
    std::string error;
    if (!platform::LoadRegistryFile(path, error)) {
        // Refused: the registry is as it was.
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Sentinel", 0, 0, &key) != ERROR_SUCCESS ||
            error.empty())
            __builtin_trap();
        RegCloseKey(key);
    }
    return 0;
}
