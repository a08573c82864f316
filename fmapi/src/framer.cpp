// framer.cpp — the RDS group framer: reassembles the stack's raw RDS bytes
// (stack event type 8) into groups, locks onto the station's PI code and
// hands each accepted group to the client's RDS callback.
//
// Raw group, twelve bytes: blocks A, B, C, D, each data high byte, data low
// byte, status byte. Status bytes must read 0x20, 0x21, 0x22, 0x24 (A..D);
// bit 3 (0x08) is a block's error bit and may be set on any block.
//
// Buffer rules: rdsBuffer grows only when an event's bytes do not fit, to
// exactly the size needed; unframed bytes are moved to the start once per
// event. After every event at most 26 bytes stay buffered.
#include <cstring>
#include <new>

#include "session.h"

namespace lumarc {

namespace {

constexpr DWORD kGroupStatusOk = 0x20212224u;    // status bytes A, B, C, D
constexpr DWORD kErrorBitsAllowed = 0xF7F7F7F7u; // everything but bit 3 of each byte
constexpr DWORD kErrorBitsMoved = 0x02020202u;   // bit 3 moved to bit 1

std::atomic<size_t> allocationLimit{static_cast<size_t>(-1)};

// Set while this thread frames an event: an RDS callback that makes the
// stack deliver another data event on the same thread must not re-enter
// (the buffer could be reallocated under the running loop).
thread_local bool framingOnThisThread = false;

struct FramingScope {
    FramingScope() { framingOnThisThread = true; }
    ~FramingScope() { framingOnThisThread = false; }
    FramingScope(const FramingScope &) = delete;
    FramingScope &operator=(const FramingScope &) = delete;
};

inline WORD blockData(const BYTE *block) {
    return static_cast<WORD>(block[0] << 8 | block[1]);
}

} // namespace

void SetRdsAllocationLimitForTesting(size_t bytes) {
    allocationLimit.store(bytes);
}
size_t rdsAllocationLimit() {
    return allocationLimit.load();
}

// ---------------------------------------------------------------- group tests

bool checkGroupStatus(const BYTE *group, DWORD &errorBits) {
    const DWORD w = static_cast<DWORD>(group[2]) << 24 | static_cast<DWORD>(group[5]) << 16 |
                    static_cast<DWORD>(group[8]) << 8 | static_cast<DWORD>(group[11]);
    if (w == kGroupStatusOk) {
        errorBits = 0;
        return true;
    }
    if ((w & kErrorBitsAllowed) == kGroupStatusOk) {
        errorBits = (w >> 2) & kErrorBitsMoved;
        return true;
    }
    return false;
}

// Block A at q equals the two bytes twelve further on: the next group's block A.
bool TunerSession::sameBlockA(DWORD q) const {
    const BYTE *p = rdsBuffer.get() + q;
    return p[0] == p[kRdsGroupBytes] && p[1] == p[kRdsGroupBytes + 1];
}

// ---------------------------------------------------------------- search

// The next acceptable group at or after `from`, searched byte by byte so
// that lost or extra bytes are skipped. When none is found the buffer has
// been compacted and kNoGroup is answered.
DWORD TunerSession::findGroup(DWORD from, DWORD &errorBits) {
    BYTE *buffer = rdsBuffer.get();
    const DWORD end = rdsLength;

    const DWORD pi = piLock.load(std::memory_order_relaxed);
    if (pi != kNoPiLock) {
        // Locked: block A must be the PI code, and one more byte must follow.
        const BYTE high = static_cast<BYTE>(pi >> 8);
        const BYTE low = static_cast<BYTE>(pi);
        for (DWORD q = from; q + kRdsGroupBytes < end; ++q) {
            const BYTE *group = buffer + q;
            if (group[0] == high && group[1] == low && checkGroupStatus(group, errorBits))
                return q;
        }
        const DWORD rest = end - from;
        if (rest < kRdsLockWindow) {
            // Too little to judge the lock: keep the bytes for the next event.
            if (from != 0)
                std::memmove(buffer, buffer + from, rest);
            rdsLength = rest;
            return kNoGroup;
        }
        piLock.store(kNoPiLock, std::memory_order_relaxed); // the station is gone
    }

    // Unlocked: two well-formed groups with the same block A, and the first
    // two bytes of a third repeating it.
    for (DWORD q = from; q + kRdsLockWindow < end; ++q) {
        DWORD secondErrors = 0;
        if (sameBlockA(q) && checkGroupStatus(buffer + q, errorBits) &&
            sameBlockA(q + kRdsGroupBytes) &&
            checkGroupStatus(buffer + q + kRdsGroupBytes, secondErrors)) {
            piLock.store(blockData(buffer + q), std::memory_order_relaxed);
            return q;
        }
    }
    if (rdsLength > kRdsLockWindow) {
        std::memmove(buffer, buffer + rdsLength - kRdsLockWindow, kRdsLockWindow);
        rdsLength = kRdsLockWindow;
    }
    return kNoGroup;
}

// ---------------------------------------------------------------- data events

DWORD TunerSession::onRdsData(WORD length, const BYTE *data) {
    if (framingOnThisThread)
        return 0;
    CriticalSectionGuard guard(rdsLock);
    FramingScope scope;
    // Nothing may escape into the stack; a failed growth drops the event's
    // bytes and leaves the buffer as it was.
    DWORD end = 0;
    DWORD cursor = 0; // bytes before it have been handed to the client
    try {
        if (length == 0 || data == nullptr)
            return 0;

        const DWORD need = rdsLength + length;
        if (need > static_cast<DWORD>(rdsCapacity)) {
            if (need > allocationLimit.load(std::memory_order_relaxed))
                throw std::bad_alloc();
            std::unique_ptr<BYTE[]> grown(new BYTE[need]); // exactly what is needed
            std::memcpy(grown.get(), rdsBuffer.get(), rdsLength);
            rdsBuffer = std::move(grown);
            rdsCapacity = static_cast<LONG>(need);
        }
        BYTE *buffer = rdsBuffer.get();
        std::memcpy(buffer + rdsLength, data, length);
        rdsLength = need;
        if (rdsLength <= kRdsGroupBytes)
            return 0; // nothing to frame yet

        end = rdsLength;
        do {
            DWORD errorBits = 0;
            const DWORD start = findGroup(cursor, errorBits);
            if (start == kNoGroup)
                return 0; // findGroup has compacted the buffer
            const BYTE *group = buffer + start;
            const RdsGroupRecord record{
                sizeof(RdsGroupRecord),
                blockData(group),
                blockData(group + kRdsBlockBytes),
                blockData(group + 2 * kRdsBlockBytes),
                blockData(group + 3 * kRdsBlockBytes),
                errorBits,
            };
            // Delivered once, whatever the callback does with it.
            cursor = start + kRdsGroupBytes;
            // Read before every group: a callback installed or removed
            // between groups takes effect from the next one.
            if (const DWORD_PTR callback =
                    properties->rdsCallback.load(std::memory_order_relaxed)) {
                reinterpret_cast<FMRdsCallback>(callback)(static_cast<HFMTUNER>(this), &record);
                if (rdsLength != end)
                    return 0; // a tune inside the callback emptied the buffer
            }
        } while (cursor + kRdsGroupBytes < end); // more than a group follows
    } catch (...) {
        // Also a callback that threw: what it was handed is not kept.
    }
    // Keep what follows the last delivered group for the next event.
    if (cursor != 0 && rdsLength == end) {
        BYTE *buffer = rdsBuffer.get();
        std::memmove(buffer, buffer + cursor, end - cursor);
        rdsLength = end - cursor;
    }
    return 0;
}

} // namespace lumarc
