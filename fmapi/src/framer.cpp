// framer.cpp — the RDS group framer: reassembles the stack's raw RDS bytes
// (stack event type 8) into groups, locks onto the station's PI code and
// hands each accepted group to the client's RDS callback.
//
// The raw bytes and their status bytes are described in fmstack_rds.h.
//
// Buffer rules: rdsBuffer grows only when an event's bytes do not fit, to
// exactly the size needed; unframed bytes are moved to the start once per
// event. After every event at most 26 bytes stay buffered.
#include <cstring>
#include <new>

#include "session.h"

namespace lumarc {

namespace {

// The four status bytes of a group as one word, block A in the top byte.
constexpr DWORD StatusWord(BYTE a, BYTE b, BYTE c, BYTE d) {
    return static_cast<DWORD>(a) << 24 | static_cast<DWORD>(b) << 16 | static_cast<DWORD>(c) << 8 |
           static_cast<DWORD>(d);
}

constexpr DWORD kGroupStatusOk = StatusWord(kFmsRdsBlockStatus[0], kFmsRdsBlockStatus[1],
                                            kFmsRdsBlockStatus[2], kFmsRdsBlockStatus[3]);
// Everything but each block's error bit must match.
constexpr DWORD kErrorBitsAllowed =
    ~StatusWord(kFmsRdsErrorBit, kFmsRdsErrorBit, kFmsRdsErrorBit, kFmsRdsErrorBit);
// The error bits moved to bit 1 of each byte, where RdsGroupRecord wants them.
constexpr DWORD kErrorBitsMoved = 0x02020202u;
constexpr unsigned kErrorBitShift = 2;
static_assert(kGroupStatusOk == 0x20212224u && kErrorBitsAllowed == 0xF7F7F7F7u);
static_assert((kErrorBitsAllowed ^ 0xFFFFFFFFu) >> kErrorBitShift == kErrorBitsMoved);

std::atomic<size_t> allocationLimit{static_cast<size_t>(-1)};

// Set while this thread frames an event: an RDS callback that makes the
// stack deliver another data event on the same thread must not re-enter
// (the buffer could be reallocated under the running loop).
struct FramingScope {
    FramingScope() { setThreadActivity(threadActivity() | kThreadFraming); }
    ~FramingScope() { setThreadActivity(threadActivity() & ~kThreadFraming); }
    FramingScope(const FramingScope &) = delete;
    FramingScope &operator=(const FramingScope &) = delete;
};

inline WORD blockData(const BYTE *block) {
    return static_cast<WORD>(block[kFmsRdsDataHigh] << 8 | block[kFmsRdsDataLow]);
}

inline BYTE blockStatus(const BYTE *group, size_t block) {
    return group[block * kFmsRdsBlockBytes + kFmsRdsStatus];
}

} // namespace

void SetRdsAllocationLimitForTesting(size_t bytes) {
    allocationLimit.store(bytes);
}

// ---------------------------------------------------------------- group tests

bool checkGroupStatus(const BYTE *group, DWORD &errorBits) {
    const DWORD w = StatusWord(blockStatus(group, 0), blockStatus(group, 1), blockStatus(group, 2),
                               blockStatus(group, 3));
    if (w == kGroupStatusOk) {
        errorBits = 0;
        return true;
    }
    if ((w & kErrorBitsAllowed) == kGroupStatusOk) {
        errorBits = (w >> kErrorBitShift) & kErrorBitsMoved;
        return true;
    }
    return false;
}

// Block A at q equals the two bytes twelve further on: the next group's block A.
bool TunerSession::sameBlockA(DWORD q) const {
    const BYTE *p = rdsBuffer.get() + q;
    return p[0] == p[kFmsRdsGroupBytes] && p[1] == p[kFmsRdsGroupBytes + 1];
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
        for (DWORD q = from; q + kFmsRdsGroupBytes < end; ++q) {
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
            sameBlockA(q + kFmsRdsGroupBytes) &&
            checkGroupStatus(buffer + q + kFmsRdsGroupBytes, secondErrors)) {
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
    if ((threadActivity() & kThreadFraming) != 0)
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
        if (rdsLength <= kFmsRdsGroupBytes)
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
                blockData(group + kFmsRdsBlockBytes),
                blockData(group + 2 * kFmsRdsBlockBytes),
                blockData(group + 3 * kFmsRdsBlockBytes),
                errorBits,
            };
            // Delivered once, whatever the callback does with it.
            cursor = start + kFmsRdsGroupBytes;
            // Read before every group: a callback installed or removed
            // between groups takes effect from the next one.
            if (const DWORD_PTR callback =
                    properties->rdsCallback.load(std::memory_order_relaxed)) {
                reinterpret_cast<FMRdsCallback>(callback)(static_cast<HFMTUNER>(this), &record);
                if (rdsLength != end)
                    return 0; // a tune inside the callback emptied the buffer
            }
        } while (cursor + kFmsRdsGroupBytes < end); // more than a group follows
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
