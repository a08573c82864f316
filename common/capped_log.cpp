// capped_log.cpp — see capped_log.h.
#include <common/capped_log.h>

namespace {

constexpr DWORD kRotationRetryMs = 1000; // a stalled log looks again this often

// Whether appending `bytes` would take a file that holds lines past the cap.
bool Full(FILE *file, size_t bytes, long capBytes) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(file);
    return size > 0 && size + static_cast<long>(bytes) > capBytes;
}

// Turns the full log into the old one.
bool Rotate(const CappedLog &log) {
    DeleteFileW(log.oldPath);
    return MoveFileW(log.path, log.oldPath) != FALSE;
}

} // namespace

FILE *OpenCappedLog(CappedLog &log, size_t bytes) {
    FILE *file = _wfopen(log.path, TEXT("a+"));
    if (file == nullptr)
        return nullptr;
    if (!Full(file, bytes, log.capBytes)) {
        InterlockedExchange(&log.stalled, 0); // the log was emptied or removed meanwhile
        return file;
    }
    if (InterlockedCompareExchange(&log.rotating, 1, 0) != 0) {
        if (log.stalled == 0)
            return file;
        std::fclose(file);
        return nullptr;
    }
    const bool wasStalled = log.stalled != 0;
    if (wasStalled && GetTickCount() - log.stalledSince < kRotationRetryMs) {
        InterlockedExchange(&log.rotating, 0);
        std::fclose(file);
        return nullptr;
    }
    std::fclose(file);
    // Looked at again: another thread may have started a new file meanwhile.
    file = _wfopen(log.path, TEXT("a+"));
    if (file != nullptr && Full(file, bytes, log.capBytes)) {
        std::fclose(file);
        if (Rotate(log)) {
            InterlockedExchange(&log.stalled, 0);
            file = _wfopen(log.path, TEXT("a+"));
            if (file != nullptr && wasStalled)
                std::fprintf(file, "%s replaced again; lines were dropped until now\n",
                             log.oldName);
        } else {
            const DWORD error = GetLastError();
            file = wasStalled ? nullptr : _wfopen(log.path, TEXT("a+"));
            if (file != nullptr) {
                std::fprintf(file,
                             "%s cannot be replaced (error %lu); no more lines are written "
                             "until it can\n",
                             log.oldName, static_cast<unsigned long>(error));
                std::fclose(file);
                file = nullptr;
            }
            log.stalledSince = GetTickCount();
            InterlockedExchange(&log.stalled, 1);
        }
    }
    InterlockedExchange(&log.rotating, 0);
    return file;
}
