// output.cpp — the sentence output buffer between the producers (FM
// callbacks, command answers) and the port's reader.
#include <cstring>

#include "driver.h"

void CreateOutputLock() {
    OutputBuffer &out = driverState.output;
    InitializeCriticalSection(&out.lock);
    out.lockReady = true;
}

void DeleteOutputLock() {
    OutputBuffer &out = driverState.output;
    if (!out.lockReady)
        return;
    out.lockReady = false;
    DeleteCriticalSection(&out.lock);
}

void Append(const char *bytes, DWORD length) {
    OutputBuffer &out = driverState.output;
    if (bytes == nullptr || !out.lockReady)
        return;
    // Producers never hand more than a sentence; a longer run is cut to
    // the buffer rather than written past it.
    if (length > kOutputBufferBytes)
        length = kOutputBufferBytes;
    EnterCriticalSection(&out.lock);
    if (out.writePos + length < kOutputBufferBytes) {
        std::memcpy(out.data + out.writePos, bytes, length);
        out.writePos += length;
    } else {
        // Restart: the unread bytes are dropped, silently. A reader that has
        // taken part of a sentence still gets the rest of that one sentence
        // first, so it never sees half a sentence run into the next; that
        // rest is kept through any number of restarts until it is read.
        DWORD keep = 0;
        if (out.readerMidSentence && out.readPos < out.writePos) {
            const void *end = std::memchr(out.data + out.readPos, '\n', out.writePos - out.readPos);
            if (end != nullptr)
                keep =
                    static_cast<DWORD>(static_cast<const char *>(end) - (out.data + out.readPos)) +
                    1;
        }
        std::memmove(out.data, out.data + out.readPos, keep);
        out.readPos = 0;
        out.writePos = keep;
        if (keep == 0)
            out.readerMidSentence = false; // nothing of its sentence is left: start afresh
        // A sentence too long to follow the rest is dropped rather than
        // joined to a part of it.
        if (keep + length <= kOutputBufferBytes) {
            std::memcpy(out.data + keep, bytes, length);
            out.writePos = keep + length;
        }
    }
    LeaveCriticalSection(&out.lock);
}

DWORD ReadPending(BYTE *destination, DWORD count) {
    OutputBuffer &out = driverState.output;
    if (!out.lockReady)
        return 0;
    // The copied bytes as text for the log line, ended after the last one.
    char text[kOutputBufferBytes + 1];
    EnterCriticalSection(&out.lock);
    const DWORD pending = out.writePos - out.readPos;
    if (pending == 0) {
        LeaveCriticalSection(&out.lock);
        return 0;
    }
    if (destination == nullptr) {
        // Nowhere to copy to: hand out nothing and keep the data.
        LeaveCriticalSection(&out.lock);
        return 0;
    }
    DWORD copied;
    if (pending > count) {
        copied = count;
        std::memcpy(destination, out.data + out.readPos, copied);
        std::memcpy(text, out.data + out.readPos, copied);
        text[copied] = '\0';
        LogFormatted(TEXT("readed bytes (partial) = %d \r\n%S "), static_cast<int>(copied), text);
        out.readPos += copied;
        if (copied != 0)
            out.readerMidSentence = text[copied - 1] != '\n';
    } else {
        copied = pending;
        std::memcpy(destination, out.data + out.readPos, copied);
        std::memcpy(text, out.data + out.readPos, copied);
        text[copied] = '\0';
        LogFormatted(TEXT(" readed bytes (all)= %d  \r\n%S"), static_cast<int>(copied), text);
        out.readPos = 0;
        out.writePos = 0;
        out.readerMidSentence = text[copied - 1] != '\n';
    }
    LeaveCriticalSection(&out.lock);
    return copied;
}
