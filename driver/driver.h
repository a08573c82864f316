// driver.h — the receiver port driver's single set of globals and the
// routines its parts share. One driver instance per loaded library.
#ifndef TAVRINEL_DRIVER_DRIVER_H
#define TAVRINEL_DRIVER_DRIVER_H

#include <atomic>
#include <cstddef>

#include <fmapi.h>
#include <windows.h>

// ---------------------------------------------------------------- output buffer

inline constexpr DWORD kOutputBufferBytes = 2048;

// Sentence text waiting for the port's reader. Linear, not a ring: space
// before readPos is reused only when a read empties the buffer. A sentence
// that does not fit restarts the buffer and drops every unread byte.
struct OutputBuffer {
    char data[kOutputBufferBytes];
    DWORD writePos;
    DWORD readPos;
    CRITICAL_SECTION lock;
    bool lockReady; // between COM_Init and COM_Deinit
    // The reader has taken the start of a sentence but not its end: its
    // rest, wherever it now lies, survives restarts until it is read.
    bool readerMidSentence;
};

void CreateOutputLock();
void DeleteOutputLock();
// Adds one complete sentence (with its "\r\n", no terminator).
void Append(const char *bytes, DWORD length);
// Hands out and consumes pending bytes; never waits. Body of COM_Read.
DWORD ReadPending(BYTE *destination, DWORD count);

// ---------------------------------------------------------------- settings and state

inline constexpr DWORD kDeviceSignature = 8;
inline constexpr DWORD kDefaultFrequencyKHz = 90000;
inline constexpr size_t kKeyPathChars = 260;

struct DeviceContext {
    DWORD signature; // kDeviceSignature
    LONG openCount;  // changed atomically
};

struct DriverSettings {
    DWORD Band;
    DWORD Data;
    DWORD Sound;
    DWORD Mute;
    DWORD Frequency; // kHz
    WCHAR keyPath[kKeyPathChars + 1];
};

struct DriverState {
    std::atomic<HFMTUNER> tunerHandle{nullptr};
    std::atomic<HANDLE> gpsPort{INVALID_HANDLE_VALUE};
    // Written by the tune callback, read by the command interpreter on a
    // writer's thread: single 32-bit stores, made atomic for the host.
    std::atomic<DWORD> currentFrequency{kDefaultFrequencyKHz};
    char frequencyText[8]{};
    std::atomic<DWORD> signalStrength{0};
    DriverSettings settings{};
    OutputBuffer output{};
};

extern DriverState driverState;

void LoadDriverSettings();

// ---------------------------------------------------------------- sentences

inline constexpr size_t kSentenceBytes = 2048;

// Checksum, "\r\n", Append.
void EmitSentence(char *text, size_t capacity);
void OnRdsGroup(HFMTUNER tuner, const RdsGroupRecord *group);
void OnTuned(HFMTUNER tuner, DWORD frequencyKHz, FMTuneReason reason);

// ---------------------------------------------------------------- commands

inline constexpr DWORD kWorkCopyBytes = 2048;
// Scans one piece of written bytes (at most kWorkCopyBytes - 1).
void InterpretWrite(const BYTE *bytes, DWORD count);

// ---------------------------------------------------------------- log

inline constexpr size_t kLogLineChars = 2048;
inline constexpr size_t kStampChars = 32;
inline constexpr size_t kStampPartChars = 30;

void LogLine(LPCWSTR text);
// The text, a blank and the short date and time.
void LogLineStamped(LPCWSTR text);
// Formats into a line buffer (bounded, cut at kLogLineChars - 1) and logs.
void LogFormatted(LPCWSTR format, ...);
void LogFormattedStamped(LPCWSTR format, ...);

#endif // TAVRINEL_DRIVER_DRIVER_H
