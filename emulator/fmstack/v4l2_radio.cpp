// v4l2_radio.cpp — a Linux radio tuner through the kernel's V4L2 radio
// interface: frequencies in the tuner's units, the tuner's hardware seek (or
// a scan against the search level), signal from the tuner's measure, audio
// through the standard controls, and RDS read from the device as
// v4l2_rds_data records turned into the stack's 3-byte blocks.
//
// A reader thread waits on the device (poll) and keeps the blocks in a
// bounded buffer; a hardware seek, which blocks in the kernel, runs on a
// thread of its own. The stack's thread only makes short ioctls.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "radio.h"
#include "rdsgroup.h"

namespace fms {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kScanSettle = std::chrono::milliseconds(60); // tuner settles after a step

class LinuxSystem final : public V4l2System {
public:
    int open(const char *path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override {
        int r;
        do
            r = ::ioctl(fd, request, arg);
        while (r < 0 && errno == EINTR);
        return r;
    }
    ssize_t read(int fd, void *buffer, std::size_t size) override {
        return ::read(fd, buffer, size);
    }
    int poll(pollfd *fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
};

class V4l2Radio final : public ReceivingRadio {
public:
    V4l2Radio(std::string path, std::function<void()> wake, std::shared_ptr<V4l2System> sys)
        : ReceivingRadio(false), path_(std::move(path)), wake_(std::move(wake)),
          sys_(std::move(sys)) {}
    ~V4l2Radio() override { powerOff(); }

    bool powerOn(std::uint32_t frequencyKHz, std::string &why) override {
        powerOff();
        fd_ = sys_->open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            why = path_ + ": " + std::strerror(errno);
            return false;
        }
        if (!probe(why)) {
            sys_->close(fd_);
            fd_ = -1;
            return false;
        }
        control_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = false;
            gone_ = false;
        }
        setControl(V4L2_CID_AUDIO_MUTE, 0);
        tune(frequencyKHz, 0);
        try {
            reader_ = std::thread([this] { read(); });
        } catch (const std::exception &) {
            setControl(V4L2_CID_AUDIO_MUTE, 1);
            sys_->close(fd_);
            close(control_);
            fd_ = control_ = -1;
            why = kNoThread;
            return false;
        }
        return true;
    }

    void powerOff() override {
        if (fd_ < 0)
            return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        poke();
        if (reader_.joinable())
            reader_.join();
        if (seeker_.joinable())
            seeker_.join(); // a hardware seek ends on its own (the tuner's time-out)
        setControl(V4L2_CID_AUDIO_MUTE, 1);
        sys_->close(fd_);
        close(control_);
        fd_ = control_ = -1;
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.clear();
        seeking_ = scanning_ = false;
    }

    void tune(std::uint32_t frequencyKHz, Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        scanning_ = false;
        if (hwSeeking_) {
            // The kernel cannot be interrupted: tune once the seek returns.
            afterSeekKHz_ = frequencyKHz;
            frequencyKHz_ = frequencyKHz;
            seeking_ = false;
            return;
        }
        seeking_ = false;
        setFrequencyLocked(frequencyKHz);
    }

    unsigned signal() override {
        if (isGone())
            return 0;
        v4l2_tuner t{};
        if (sys_->ioctl(fd_, VIDIOC_G_TUNER, &t) < 0) {
            noteError("VIDIOC_G_TUNER");
            return 0;
        }
        return static_cast<unsigned>(std::min<std::uint32_t>(t.signal, 65535) * kMaxSignal / 65535);
    }

    void seekStart(std::uint32_t fromKHz, bool up, BandLimits band, unsigned level,
                   Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        seeking_ = true;
        seekFound_ = false;
        seekUp_ = up;
        band_ = {std::max(band.lowKHz, lowKHz_), std::min(band.highKHz, highKHz_)};
        level_ = level;
        frequencyKHz_ = fromKHz;
        if (hwSeek_ && !hwSeeking_ && !gone_) {
            hwSeeking_ = true;
            afterSeekKHz_ = 0;
            if (seeker_.joinable())
                seeker_.join();
            try {
                seeker_ = std::thread([this, up] { hardwareSeek(up); });
                return;
            } catch (const std::exception &) {
                hwSeeking_ = false; // no thread to wait in the kernel: scan instead
            }
        }
        scanning_ = true;
        stepLocked();
    }

    SeekResult seekPoll(Millis, Millis &waitMs) override {
        unsigned measured = 0;
        bool measure = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (scanning_ && Clock::now() - stepAt_ >= kScanSettle)
                measure = true;
        }
        if (measure)
            measured = signal(); // outside the lock: signal() may note an error
        std::lock_guard<std::mutex> guard(mutex_);
        if (measure && scanning_) {
            if (measured >= level_ && level_ > 0) {
                scanning_ = seeking_ = false;
                seekFound_ = true;
            } else if (atLimit_ || gone_) {
                scanning_ = seeking_ = false;
            } else {
                stepLocked();
            }
        }
        if (seeking_)
            waitMs = std::min<Millis>(waitMs, 20);
        return {frequencyKHz_, !seeking_, seekFound_};
    }

    void setVolume(std::uint16_t volume) override {
        v4l2_queryctrl q{};
        q.id = V4L2_CID_AUDIO_VOLUME;
        if (fd_ < 0 || sys_->ioctl(fd_, VIDIOC_QUERYCTRL, &q) < 0 || q.maximum <= q.minimum)
            return;
        setControl(V4L2_CID_AUDIO_VOLUME,
                   q.minimum + static_cast<std::int32_t>(static_cast<std::int64_t>(volume) *
                                                         (q.maximum - q.minimum) / 65535));
    }
    void setMute(bool muted) override { setControl(V4L2_CID_AUDIO_MUTE, muted ? 1 : 0); }
    void setMono(bool mono) override {
        if (fd_ < 0)
            return;
        v4l2_tuner t{};
        if (sys_->ioctl(fd_, VIDIOC_G_TUNER, &t) < 0)
            return;
        t.audmode = mono ? V4L2_TUNER_MODE_MONO : V4L2_TUNER_MODE_STEREO;
        sys_->ioctl(fd_, VIDIOC_S_TUNER, &t);
    }
    void setDeemphasis75us(bool us75) override {
        setControl(V4L2_CID_TUNE_DEEMPHASIS, us75 ? V4L2_DEEMPHASIS_75_uS : V4L2_DEEMPHASIS_50_uS);
    }

private:
    // A radio tuner with RDS, its units and its band.
    bool probe(std::string &why) {
        v4l2_capability cap{};
        if (sys_->ioctl(fd_, VIDIOC_QUERYCAP, &cap) < 0) {
            why = path_ + ": not a V4L2 device (VIDIOC_QUERYCAP: " + std::strerror(errno) + ")";
            return false;
        }
        const std::uint32_t caps =
            cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
        if (!(caps & V4L2_CAP_RADIO) || !(caps & V4L2_CAP_TUNER)) {
            why = path_ + ": not a radio tuner";
            return false;
        }
        if (!(caps & V4L2_CAP_RDS_CAPTURE)) {
            why = path_ + ": the tuner receives no RDS";
            return false;
        }
        v4l2_tuner t{};
        if (sys_->ioctl(fd_, VIDIOC_G_TUNER, &t) < 0) {
            why = path_ + ": VIDIOC_G_TUNER: " + std::strerror(errno);
            return false;
        }
        low_ = (t.capability & V4L2_TUNER_CAP_LOW) != 0;
        hwSeek_ =
            (t.capability & (V4L2_TUNER_CAP_HWSEEK_BOUNDED | V4L2_TUNER_CAP_HWSEEK_WRAP)) != 0;
        std::uint32_t lowUnits = t.rangelow, highUnits = t.rangehigh;
        // The FM bands, where the tuner lists them, are narrower than its range.
        bool banded = false;
        for (std::uint32_t i = 0; i < 16; ++i) {
            v4l2_frequency_band b{};
            b.type = V4L2_TUNER_RADIO;
            b.index = i;
            if (sys_->ioctl(fd_, VIDIOC_ENUM_FREQ_BANDS, &b) < 0)
                break;
            if (!(b.modulation & V4L2_BAND_MODULATION_FM))
                continue;
            lowUnits = banded ? std::min(lowUnits, b.rangelow) : b.rangelow;
            highUnits = banded ? std::max(highUnits, b.rangehigh) : b.rangehigh;
            banded = true;
        }
        lowKHz_ = toKHz(lowUnits);
        highKHz_ = toKHz(highUnits);
        if (lowKHz_ >= highKHz_) {
            why = path_ + ": the tuner reports no usable frequency range";
            return false;
        }
        return true;
    }

    // 62.5 Hz units with V4L2_TUNER_CAP_LOW, else 62.5 kHz.
    std::uint32_t toKHz(std::uint32_t units) const {
        return low_ ? static_cast<std::uint32_t>(units / 16)
                    : static_cast<std::uint32_t>(static_cast<std::uint64_t>(units) * 1000 / 16);
    }
    std::uint32_t toUnits(std::uint32_t khz) const {
        return low_ ? khz * 16 : static_cast<std::uint32_t>((khz * 16 + 500) / 1000);
    }

    void setFrequencyLocked(std::uint32_t khz) {
        frequencyKHz_ = khz;
        pending_.clear();
        if (gone_)
            return;
        if (khz < lowKHz_ || khz > highKHz_) {
            std::fprintf(stderr, "FMS_API: radio: %u kHz is outside the tuner's %u..%u kHz\n", khz,
                         lowKHz_, highKHz_);
            return;
        }
        v4l2_frequency f{};
        f.type = V4L2_TUNER_RADIO;
        f.frequency = toUnits(khz);
        if (sys_->ioctl(fd_, VIDIOC_S_FREQUENCY, &f) < 0)
            noteErrorLocked("VIDIOC_S_FREQUENCY");
    }

    // Next 100 kHz step of a scan; the band limit ends it.
    void stepLocked() {
        const std::uint32_t f = NextSeekStep(frequencyKHz_, seekUp_, band_, atLimit_);
        setFrequencyLocked(f);
        stepAt_ = Clock::now();
    }

    void hardwareSeek(bool up) {
        v4l2_hw_freq_seek s{};
        s.type = V4L2_TUNER_RADIO;
        s.seek_upward = up ? 1 : 0;
        s.spacing = kStepKHz * 1000;
        const int r = sys_->ioctl(fd_, VIDIOC_S_HW_FREQ_SEEK, &s);
        const int error = errno;
        v4l2_frequency f{};
        const bool where = sys_->ioctl(fd_, VIDIOC_G_FREQUENCY, &f) == 0;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            hwSeeking_ = false;
            if (r < 0 && (error == EINVAL || error == ENOTTY) && seeking_) {
                // Offered but refused: scan instead, from now on.
                hwSeek_ = false;
                scanning_ = true;
                stepLocked();
                return;
            }
            if (r < 0 && error == ENODEV)
                gone_ = true;
            if (afterSeekKHz_ != 0) {
                setFrequencyLocked(afterSeekKHz_); // tuned while it ran
            } else if (seeking_) {
                if (where)
                    frequencyKHz_ = toKHz(f.frequency);
                seekFound_ = r == 0;
                seeking_ = false;
            }
        }
        wake_();
    }

    void read() {
        v4l2_rds_data records[64];
        int expected = 0; // block position that should come next
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(mutex_);
                if (stop_ || gone_)
                    break;
            }
            pollfd fds[2] = {{control_, POLLIN, 0}, {fd_, POLLIN, 0}};
            if (sys_->poll(fds, 2, 500) < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN)
                continue; // stop_ is looked at above
            // An error shows in what read() says.
            if (!(fds[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)))
                continue;
            const ssize_t n = sys_->read(fd_, records, sizeof records);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                noteError("read");
                if (errno == ENODEV || errno == EIO)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            std::vector<std::uint8_t> bytes;
            const std::size_t count = static_cast<std::size_t>(n) / sizeof(v4l2_rds_data);
            for (std::size_t i = 0; i < count; ++i)
                Convert(records[i], expected, bytes);
            if (bytes.empty())
                continue;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                stats_.droppedGroups += pending_.add(bytes) / kFmsRdsGroupBytes;
            }
            wake_();
        }
    }

    // One record as a stack block: data high byte first, the block's status
    // byte (C' as C), the error bit for a corrected block, a damaged status
    // for an erroneous one.
    void Convert(const v4l2_rds_data &r, int &expected, std::vector<std::uint8_t> &out) {
        const int id = r.block & V4L2_RDS_BLOCK_MSK;
        int position;
        if (r.block & V4L2_RDS_BLOCK_ERROR || id == V4L2_RDS_BLOCK_INVALID) {
            position = expected;
            out.push_back(0);
            out.push_back(0);
            out.push_back(
                static_cast<std::uint8_t>(kFmsRdsBlockStatus[position] | kFmsRdsNotDecodedBit));
        } else {
            position = id == V4L2_RDS_BLOCK_C_ALT ? 2 : std::min(id, 3);
            std::uint8_t status = kFmsRdsBlockStatus[position];
            if (r.block & V4L2_RDS_BLOCK_CORRECTED)
                status |= kFmsRdsErrorBit;
            out.push_back(r.msb);
            out.push_back(r.lsb);
            out.push_back(status);
        }
        if (position == 0)
            stats_.groups++;
        expected = (position + 1) % 4;
    }

    void setControl(std::uint32_t id, std::int32_t value) {
        if (fd_ < 0 || isGone())
            return;
        v4l2_control c{};
        c.id = id;
        c.value = value;
        sys_->ioctl(fd_, VIDIOC_S_CTRL, &c); // a tuner without the control has nothing to set
    }

    bool isGone() {
        std::lock_guard<std::mutex> guard(mutex_);
        return gone_ || fd_ < 0;
    }
    void noteError(const char *what) {
        const int error = errno;
        std::lock_guard<std::mutex> guard(mutex_);
        errno = error;
        noteErrorLocked(what);
    }
    // Says what failed, once per kind; an unplugged device is gone for good.
    void noteErrorLocked(const char *what) {
        const int error = errno;
        if (error == ENODEV)
            gone_ = true;
        if (error != lastError_) {
            lastError_ = error;
            std::fprintf(stderr, "FMS_API: radio %s: %s: %s%s\n", path_.c_str(), what,
                         std::strerror(error), error == ENODEV ? " (unplugged?)" : "");
            if (error == ENODEV)
                stats_.notice.set("gone", "radio: " + path_ + " was unplugged");
            else
                stats_.notice.set("error",
                                  "radio: " + path_ + ": " + what + ": " + std::strerror(error));
        }
    }

    const std::string path_;
    const std::function<void()> wake_;
    const std::shared_ptr<V4l2System> sys_;
    int fd_ = -1;
    std::thread reader_, seeker_;
    bool low_ = false;
    bool hwSeek_ = false;
    std::uint32_t lowKHz_ = 0, highKHz_ = 0;

    // mutex_ (ReceivingRadio) guards everything below
    bool stop_ = false;
    bool gone_ = false;
    int lastError_ = 0;
    std::uint32_t frequencyKHz_ = 0;
    bool scanning_ = false, hwSeeking_ = false;
    bool seekFound_ = false, seekUp_ = true, atLimit_ = false;
    std::uint32_t afterSeekKHz_ = 0;
    unsigned level_ = 0;
    BandLimits band_{};
    Clock::time_point stepAt_;
};

} // namespace

std::shared_ptr<V4l2System> LinuxV4l2System() {
    return std::make_shared<LinuxSystem>();
}

std::unique_ptr<Radio> MakeV4l2Radio(const std::string &path, std::function<void()> wake,
                                     std::shared_ptr<V4l2System> sys, std::string &why) {
    if (path.empty() || path.front() != '/') {
        why = "give the device's full path, e.g. v4l2:/dev/radio0";
        return nullptr;
    }
    return std::make_unique<V4l2Radio>(path, std::move(wake), std::move(sys));
}

} // namespace fms
