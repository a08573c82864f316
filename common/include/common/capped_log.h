// capped_log.h — a log file on the device that never grows past its cap: a
// line that would take it further first turns it into the old file
// (replacing an older one) and starts a new one, so a phone running for
// days keeps at most two files' worth. Used by the receiver driver's
// "\Tavrinel.log" and the phone's "\phone.log".
#ifndef TAVRINEL_COMMON_CAPPED_LOG_H
#define TAVRINEL_COMMON_CAPPED_LOG_H

#include <cstddef>
#include <cstdio>

#include <windows.h>

// One capped log: its names and its turning state (one per file).
struct CappedLog {
    const WCHAR *path;    // the log, e.g. TEXT("\\Tavrinel.log")
    const WCHAR *oldPath; // where a full log goes, e.g. TEXT("\\Tavrinel.log.old")
    const char *oldName;  // the old file as the log's own lines name it
    long capBytes;
    LONG volatile rotating;      // a thread is turning the file into the old one
    LONG volatile stalled;       // the old file could not be replaced: lines are dropped
    DWORD volatile stalledSince; // GetTickCount of the last failed turn
};

// Opens the log for appending a line of `bytes` ("a+"), first turning a
// full one into the old one. One thread turns it; the others append to
// whichever file is there. When the old file cannot be replaced (a folder
// in its way, a file held open), the log says so once and NULL is answered
// until a later try, at most once a second, succeeds: it never grows past
// its cap. NULL also when the file cannot be opened.
FILE *OpenCappedLog(CappedLog &log, size_t bytes);

#endif // TAVRINEL_COMMON_CAPPED_LOG_H
