// The V4L2 radio over a fake radio device: what is refused and why, the
// tuner's units, signal, controls, RDS records with corrections, errors and
// lost blocks, seeking with and without hardware seek, and a device that is
// unplugged while it streams.
#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "radio.h"
#include "radio_waits.h"

namespace {

using namespace std::chrono_literals;

constexpr int kFd = 42;

class FakeRadioDevice final : public fms::V4l2System {
public:
    std::mutex lock;
    int openError = 0, queryError = 0, readError = 0, seekError = 0;
    std::uint32_t caps = V4L2_CAP_RADIO | V4L2_CAP_TUNER | V4L2_CAP_RDS_CAPTURE;
    std::uint32_t tunerCaps = V4L2_TUNER_CAP_LOW | V4L2_TUNER_CAP_RDS;
    bool low = true;
    bool unplugged = false;
    std::uint32_t units = 0; // tuned frequency in the tuner's units
    std::uint32_t audmode = V4L2_TUNER_MODE_STEREO;
    std::map<std::uint32_t, std::uint16_t> stations; // kHz -> signal 0..65535
    std::map<std::uint32_t, std::int32_t> controls;
    std::deque<v4l2_rds_data> rds;

    std::uint32_t Khz(std::uint32_t u) const { return low ? u / 16 : u * 1000 / 16; }
    std::uint32_t Units(std::uint32_t khz) const { return low ? khz * 16 : khz * 16 / 1000; }

    int open(const char *, int) override { return Fail(openError) ? -1 : kFd; }
    int close(int) override { return 0; }
    int ioctl(int, unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> guard(lock);
        if (unplugged)
            return Fail(ENODEV);
        switch (request) {
        case VIDIOC_QUERYCAP: {
            if (Fail(queryError))
                return -1;
            auto *c = static_cast<v4l2_capability *>(arg);
            c->capabilities = caps | V4L2_CAP_DEVICE_CAPS;
            c->device_caps = caps;
            return 0;
        }
        case VIDIOC_G_TUNER: {
            auto *t = static_cast<v4l2_tuner *>(arg);
            t->capability = tunerCaps;
            t->rangelow = Units(76000);
            t->rangehigh = Units(108000);
            t->audmode = audmode;
            const auto s = stations.find(Khz(units));
            t->signal = s == stations.end() ? 0 : s->second;
            return 0;
        }
        case VIDIOC_S_TUNER:
            audmode = static_cast<v4l2_tuner *>(arg)->audmode;
            return 0;
        case VIDIOC_ENUM_FREQ_BANDS: {
            auto *b = static_cast<v4l2_frequency_band *>(arg);
            if (b->index > 0)
                return Fail(EINVAL);
            b->modulation = V4L2_BAND_MODULATION_FM;
            b->rangelow = Units(87500);
            b->rangehigh = Units(108000);
            return 0;
        }
        case VIDIOC_S_FREQUENCY:
            units = static_cast<v4l2_frequency *>(arg)->frequency;
            return 0;
        case VIDIOC_G_FREQUENCY:
            static_cast<v4l2_frequency *>(arg)->frequency = units;
            return 0;
        case VIDIOC_S_HW_FREQ_SEEK: {
            if (Fail(seekError))
                return -1;
            const bool up = static_cast<v4l2_hw_freq_seek *>(arg)->seek_upward != 0;
            auto it = up ? stations.upper_bound(Khz(units)) : stations.lower_bound(Khz(units));
            if (up ? it == stations.end() : it == stations.begin())
                return Fail(ENODATA);
            units = Units(up ? it->first : std::prev(it)->first);
            return 0;
        }
        case VIDIOC_QUERYCTRL: {
            auto *q = static_cast<v4l2_queryctrl *>(arg);
            q->minimum = 0;
            q->maximum = 15;
            return 0;
        }
        case VIDIOC_S_CTRL: {
            auto *c = static_cast<v4l2_control *>(arg);
            controls[c->id] = c->value;
            return 0;
        }
        default:
            return Fail(ENOTTY);
        }
    }
    ssize_t read(int, void *buffer, std::size_t size) override {
        std::lock_guard<std::mutex> guard(lock);
        if (unplugged || Fail(readError))
            return Fail(unplugged ? ENODEV : readError), -1;
        auto *out = static_cast<v4l2_rds_data *>(buffer);
        std::size_t n = 0;
        for (; n < size / sizeof *out && !rds.empty(); ++n) {
            out[n] = rds.front();
            rds.pop_front();
        }
        if (n == 0)
            return Fail(EAGAIN), -1;
        return static_cast<ssize_t>(n * sizeof *out);
    }
    int poll(pollfd *fds, nfds_t count, int timeoutMs) override {
        // The radio's own wake-up descriptor is real; the device is this fake.
        const int r = ::poll(fds, 1, std::min(timeoutMs, 5));
        std::lock_guard<std::mutex> guard(lock);
        for (nfds_t i = 1; i < count; ++i)
            fds[i].revents = unplugged ? POLLERR : readError || !rds.empty() ? POLLIN : 0;
        return r < 0 ? r : r + (count > 1 && fds[1].revents ? 1 : 0);
    }

private:
    static bool Fail(int error) {
        if (error == 0)
            return false;
        errno = error;
        return true;
    }
};

struct Rig {
    std::shared_ptr<FakeRadioDevice> device = std::make_shared<FakeRadioDevice>();
    std::unique_ptr<fms::Radio> radio;
    std::string why;
    std::atomic<int> wakes{0};
    bool Start(std::uint32_t khz = 94400) {
        radio = fms::MakeV4l2Radio(
            "/dev/radio7", [this] { ++wakes; }, device, why);
        return radio && radio->powerOn(khz, why);
    }
};

using radiotest::Eventually;

fms::SeekResult Seek(fms::Radio &radio, std::uint32_t from, bool up, unsigned level) {
    return radiotest::SeekToEnd(radio, from, up, fms::kBands[0], level, 5000);
}

v4l2_rds_data Block(std::uint16_t data, std::uint8_t block) {
    return {static_cast<std::uint8_t>(data & 0xFF), static_cast<std::uint8_t>(data >> 8), block};
}

} // namespace

TEST(V4l2Radio, RefusesWhatIsNoRadioTunerWithRdsAndSaysWhy) {
    Rig busy;
    busy.device->openError = EBUSY;
    EXPECT_FALSE(busy.Start());
    EXPECT_EQ(busy.why, std::string("/dev/radio7: ") + std::strerror(EBUSY));
    Rig video;
    video.device->queryError = EINVAL;
    EXPECT_FALSE(video.Start());
    EXPECT_NE(video.why.find("not a V4L2 device"), std::string::npos) << video.why;
    Rig noRds;
    noRds.device->caps &= ~V4L2_CAP_RDS_CAPTURE;
    EXPECT_FALSE(noRds.Start());
    EXPECT_NE(noRds.why.find("no RDS"), std::string::npos) << noRds.why;
    std::string why;
    EXPECT_EQ(fms::MakeV4l2Radio(
                  "radio0", [] {}, busy.device, why),
              nullptr);
}

TEST(V4l2Radio, TunesInTheTunersUnitsMeasuresSetsAudioAndConvertsRds) {
    for (const bool low : {true, false}) {
        Rig rig;
        rig.device->low = low;
        if (!low)
            rig.device->tunerCaps &= ~V4L2_TUNER_CAP_LOW;
        ASSERT_TRUE(rig.Start(94400)) << rig.why;
        EXPECT_EQ(rig.device->units, low ? 94400u * 16 : 1510u);
        rig.device->stations[rig.device->Khz(rig.device->units)] = 65535;
        EXPECT_EQ(rig.radio->signal(), fms::kMaxSignal);
        const std::uint32_t tuned = rig.device->units;
        rig.radio->tune(80000, 0); // outside the FM band the tuner lists
        EXPECT_EQ(rig.device->units, tuned);
        rig.radio->tune(108000, 0); // the band's top is inside it
        EXPECT_EQ(rig.device->units, low ? 108000u * 16 : 1728u);
        rig.radio->powerOff();
    }
    Rig rig;
    ASSERT_TRUE(rig.Start());
    rig.radio->setVolume(0xFFFF);
    rig.radio->setMute(true);
    rig.radio->setMono(true);
    rig.radio->setDeemphasis75us(true);
    EXPECT_EQ(rig.device->controls[V4L2_CID_AUDIO_VOLUME], 15);
    EXPECT_EQ(rig.device->controls[V4L2_CID_AUDIO_MUTE], 1);
    EXPECT_EQ(rig.device->controls[V4L2_CID_TUNE_DEEMPHASIS], V4L2_DEEMPHASIS_75_uS);
    EXPECT_EQ(rig.device->audmode, static_cast<std::uint32_t>(V4L2_TUNER_MODE_MONO));

    {
        std::lock_guard<std::mutex> guard(rig.device->lock);
        // A, B corrected, C', D in error; then a group that lost its block B.
        rig.device->rds = {Block(0xD318, V4L2_RDS_BLOCK_A),
                           Block(0x0548, V4L2_RDS_BLOCK_B | V4L2_RDS_BLOCK_CORRECTED),
                           Block(0xD318, V4L2_RDS_BLOCK_C_ALT),
                           Block(0x1234, V4L2_RDS_BLOCK_D | V4L2_RDS_BLOCK_ERROR),
                           Block(0xD318, V4L2_RDS_BLOCK_A),
                           Block(0xE795, V4L2_RDS_BLOCK_C),
                           Block(0x4865, V4L2_RDS_BLOCK_D)};
    }
    std::vector<std::uint8_t> raw;
    ASSERT_TRUE(Eventually([&] {
        fms::Millis wait = 100;
        rig.radio->readRds(0, raw, wait);
        return raw.size() >= 21;
    }));
    // The stack sleeps up to a second when not woken: the blocks' wake comes well before.
    EXPECT_TRUE(Eventually([&] { return rig.wakes.load() > 0; }, 300));
    const std::vector<std::uint8_t> expected = {0xD3, 0x18, 0x20, 0x05, 0x48, 0x29, 0xD3,
                                                0x18, 0x22, 0x00, 0x00, 0x34, 0xD3, 0x18,
                                                0x20, 0xE7, 0x95, 0x22, 0x48, 0x65, 0x24};
    EXPECT_EQ(raw, expected);
    EXPECT_EQ(rig.radio->groupsStarted(), 2u);
}

TEST(V4l2Radio, SeeksWithAndWithoutHardwareAndSurvivesUnplugging) {
    Rig hw;
    hw.device->tunerCaps |= V4L2_TUNER_CAP_HWSEEK_BOUNDED;
    hw.device->stations = {{94000, 30000}, {99100, 50000}};
    ASSERT_TRUE(hw.Start(94400));
    fms::SeekResult r = Seek(*hw.radio, 94400, true, 20);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 99100u);
    r = Seek(*hw.radio, 99100, true, 20);
    EXPECT_FALSE(r.found);
    // A tuner that offers seek and then refuses it is scanned instead.
    for (const int refusal : {EINVAL, ENOTTY}) {
        Rig refusing;
        refusing.device->tunerCaps |= V4L2_TUNER_CAP_HWSEEK_BOUNDED;
        refusing.device->stations = {{94000, 30000}, {108000, 30000}};
        refusing.device->seekError = refusal;
        ASSERT_TRUE(refusing.Start(94400));
        r = Seek(*refusing.radio, 94400, false, 20);
        EXPECT_TRUE(r.found) << std::strerror(refusal);
        EXPECT_EQ(r.positionKHz, 94000u) << std::strerror(refusal);
        r = Seek(*refusing.radio, 107500, true, 20); // up to the band's top
        EXPECT_TRUE(r.found) << std::strerror(refusal);
        EXPECT_EQ(r.positionKHz, 108000u) << std::strerror(refusal);
        refusing.radio->powerOff();
    }
    hw.radio->powerOff();

    Rig scan; // no hardware seek: steps against the search level
    scan.device->stations = {{95000, 10000}, {96300, 40000}};
    ASSERT_TRUE(scan.Start(94400));
    r = Seek(*scan.radio, 94400, true, 20); // 95.0 is below the level (10000 -> 19)
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 96300u);

    testing::internal::CaptureStderr();
    {
        std::lock_guard<std::mutex> guard(scan.device->lock);
        scan.device->unplugged = true;
    }
    EXPECT_TRUE(Eventually([&] { return scan.radio->signal() == 0; }));
    r = Seek(*scan.radio, 96300, true, 20);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(scan.radio->stats()->notice.latest().text, "radio: /dev/radio7 was unplugged");
    scan.radio->powerOff();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("/dev/radio7"), std::string::npos) << log;
    EXPECT_NE(log.find(std::strerror(ENODEV)), std::string::npos) << log;
}
