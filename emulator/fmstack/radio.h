// radio.h — the receiver under the FM stack. The stack (stack.h) owns
// everything the stack's clients see: entry points, command statuses, the
// event thread, latency, tune and seek reports, RDS runs. A Radio only
// tunes, measures, seeks and hands over raw RDS bytes in the stack's wire
// format (3-byte blocks, see rdsgroup.h).
//
// Every method is called with the stack's lock held and must not block for
// long; a radio with a thread of its own never takes that lock and tells the
// stack about news through `wake`.
#ifndef TAVRINEL_EMULATOR_RADIO_H
#define TAVRINEL_EMULATOR_RADIO_H

#ifndef _WIN32
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scenario.h"

namespace fms {

// Device clock, milliseconds (wraps).
using Millis = std::uint32_t;

struct SeekResult {
    std::uint32_t positionKHz = 0; // where the seek is now (or ended)
    bool ended = false;
    bool found = false; // ended on a station, else at the band limit
};

// The latest word of a radio (or of the stack about it) for the user: why
// it hears nothing, or what it is doing. Set and read from any thread.
// `serial` orders the words of all notices (0: nothing said yet); an empty
// text takes the word back. `cause` names the kind: the phone repeats a
// cause's word only where a line can be overwritten.
struct NoticeWord {
    std::uint64_t serial = 0;
    std::string cause, text;
};
class Notice {
public:
    void set(std::string cause, std::string text) {
        static std::atomic<std::uint64_t> serials{0};
        std::lock_guard<std::mutex> guard(lock_);
        word_ = {++serials, std::move(cause), std::move(text)};
    }
    [[nodiscard]] NoticeWord latest() const {
        std::lock_guard<std::mutex> guard(lock_);
        return word_;
    }

private:
    mutable std::mutex lock_;
    NoticeWord word_;
};

// What a radio with a source outside the process has seen.
struct RadioStats {
    std::atomic<std::uint64_t> groups{0};        // groups received
    std::atomic<std::uint64_t> garbage{0};       // lines or records not understood
    std::atomic<std::uint64_t> droppedGroups{0}; // lost because nobody took them in time
    std::atomic<std::uint64_t> starts{0};        // command runs started
    std::atomic<std::uint64_t> exits{0};         // command runs that ended on their own
    Notice notice;
};

// What a radio says when the system refuses it a thread (a memory limit).
inline constexpr const char *kNoThread = "cannot start a thread (memory limit?)";

// The next frequency of a stepped seek on the 100 kHz grid from `fromKHz`;
// the band's limit, with `atLimit` set, where the band ends.
std::uint32_t NextSeekStep(std::uint32_t fromKHz, bool up, BandLimits band, bool &atLimit);

// Raw RDS bytes a radio has received and the stack has not taken yet
// (not locked: the radio's own lock guards it). Bounded: the oldest whole
// blocks go first.
class RdsBacklog {
public:
    static constexpr std::size_t kMaxBytes = 64u << 10;
    // Holding whole groups, it drops whole groups: a run taken must start at block A.
    explicit RdsBacklog(bool groups = false) : unit_(groups ? 12 : 3) {}
    // Appends whole blocks (groups); answers how many bytes had to go.
    std::size_t add(const std::vector<std::uint8_t> &bytes);
    // Moves up to one run of whole blocks (group-aligned when `groups`) into `out`.
    bool take(std::vector<std::uint8_t> &out, bool groups);
    void clear() { bytes_.clear(); }

private:
    std::size_t unit_;
    std::deque<std::uint8_t> bytes_;
};

class Radio {
public:
    virtual ~Radio() = default;

    // Powers the receiver on, tuned to `frequencyKHz`. False with a one-line
    // reason when it cannot start: the stack runs on and hears nothing.
    virtual bool powerOn(std::uint32_t frequencyKHz, std::string &why) = 0;
    // Powers off; ends whatever the radio runs. Also called before unload.
    virtual void powerOff() = 0;
    // Tunes; RDS of the previous frequency is dropped.
    virtual void tune(std::uint32_t frequencyKHz, Millis now) = 0;
    // Signal of the tuned frequency, 0..kMaxSignal.
    [[nodiscard]] virtual unsigned signal() = 0;

    virtual void seekStart(std::uint32_t fromKHz, bool up, BandLimits band, unsigned level,
                           Millis now) = 0;
    // Where the running seek is; lowers `waitMs` to when to look again.
    virtual SeekResult seekPoll(Millis now, Millis &waitMs) = 0;

    // Appends the next run of RDS bytes when one is due and answers true;
    // otherwise lowers `waitMs` to when one may be.
    virtual bool readRds(Millis now, std::vector<std::uint8_t> &out, Millis &waitMs) = 0;
    // RDS is not collected for a while (off, paused, just tuned): the radio
    // drops what it holds and starts counting afresh.
    virtual void rdsIdle() = 0;
    // Groups begun so far (for the counters).
    [[nodiscard]] virtual std::uint64_t groupsStarted() const = 0;

    // The tuned station's alternative frequency (0: none) and after how long
    // reception fades to it (0: only on request). Only the simulated band has them.
    [[nodiscard]] virtual std::uint32_t alternativeKHz() const { return 0; }
    [[nodiscard]] virtual std::uint32_t fadeAfterMs() const { return 0; }

    [[nodiscard]] virtual const RadioStats *stats() const { return nullptr; }

    // Audio settings, in the stack's encodings.
    virtual void setVolume(std::uint16_t) {}
    virtual void setMute(bool) {}
    virtual void setMono(bool) {}
    virtual void setDeemphasis75us(bool) {}
};

// "sim", "v4l2:/dev/radioN", "cmd:COMMAND" or an SDR radio (rtlsdr:,
// rtltcp:, iq:, mpx:; see MakeSdrRadio). Answers null with a reason
// when the text names no radio. `scenario` (the simulated band and its
// settings) and `simRate` (its RDS speed relative to broadcast) must outlive
// the radio; `wake` may be called from any thread until powerOff returns.
std::unique_ptr<Radio> MakeRadio(const std::string &spec, const Scenario &scenario,
                                 const double &simRate, std::function<void()> wake,
                                 std::string &why);

// The simulated radio over a scenario's band.
std::unique_ptr<Radio> MakeSimRadio(const Scenario &scenario, const double &rate);
#ifndef _WIN32 // the decoder command and the tuner radios need Linux
// A radio whose own thread receives (a command, a tuner, a sample stream):
// what it heard waits in a backlog under the radio's lock for the stack,
// and the stack's calls wake the thread through an eventfd.
class ReceivingRadio : public Radio {
public:
    bool readRds(Millis, std::vector<std::uint8_t> &out, Millis &) override {
        std::lock_guard<std::mutex> guard(mutex_);
        return !seeking_ && pending_.take(out, groups_);
    }
    void rdsIdle() override {
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.clear();
    }
    [[nodiscard]] std::uint64_t groupsStarted() const override { return stats_.groups.load(); }
    [[nodiscard]] const RadioStats *stats() const override { return &stats_; }

protected:
    // `groups`: the backlog holds whole groups (else whole blocks).
    explicit ReceivingRadio(bool groups) : groups_(groups), pending_(groups) {}
    // Wakes the radio's thread.
    void poke() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(control_, &one, sizeof one);
    }

    const bool groups_;
    int control_ = -1; // the eventfd the thread waits on beside its source
    RadioStats stats_;
    std::mutex mutex_; // guards the backlog, the seek flag and the radio's own state
    RdsBacklog pending_;
    bool seeking_ = false;
};

// The radio of a decoder command ({khz}/{mhz} replaced); seek dwells
// TAVRINEL_FM_SEEK_DWELL_MS (default 2000) on each frequency.
std::unique_ptr<Radio> MakeCommandRadio(const std::string &command, std::function<void()> wake,
                                        std::string &why);

// The system calls of the V4L2 radio, all through here: tests put a fake
// radio device behind it. Failures answer -1 with errno set.
class V4l2System {
public:
    virtual ~V4l2System() = default;
    virtual int open(const char *path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;
    virtual ssize_t read(int fd, void *buffer, std::size_t size) = 0;
    virtual int poll(pollfd *fds, nfds_t count, int timeoutMs) = 0;
};
std::shared_ptr<V4l2System> LinuxV4l2System();

// The radio of a Linux radio tuner (/dev/radioN).
std::unique_ptr<Radio> MakeV4l2Radio(const std::string &path, std::function<void()> wake,
                                     std::shared_ptr<V4l2System> sys, std::string &why);

// A software-defined radio with our own RDS demodulator (sdr_radio.h):
// "rtlsdr:INDEX[,gain=DB][,ppm=N]", "rtltcp:HOST:PORT[,gain=DB][,ppm=N]
// [,settle=MS]", "iq:FILE[,rate=N]" or "mpx:FILE[,rate=N]". Null with a
// reason when `spec` names none of them or is malformed.
std::unique_ptr<Radio> MakeSdrRadio(const std::string &spec, std::function<void()> wake,
                                    std::string &why);
#endif

} // namespace fms

#endif // TAVRINEL_EMULATOR_RADIO_H
