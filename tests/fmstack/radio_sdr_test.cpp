// The SDR radios: rtltcp: against the fake rtl_tcp server (tune, seek both
// ways, a connection refused, a foreign or missing header, a connection
// dropped and made again), iq: and mpx: playing synthesised recordings,
// rtlsdr: refusing without a stick, and malformed specs refused.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "radio.h"
#include "radio_waits.h"
#include "rdsgen.h"
#include "sdr_radio.h"
#include "support/fake_rtl_tcp.h"
#include "support/rds_modulator.h"
#include "support/temp_folder.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const fms::BandLimits kBand = fms::kBands[0];

using radiotest::Eventually;

std::unique_ptr<fms::Radio> Make(
    const std::string &spec, std::function<void()> wake = [] {}) {
    std::string why;
    auto radio = fms::MakeSdrRadio(spec, std::move(wake), why);
    EXPECT_NE(radio, nullptr) << spec << ": " << why;
    return radio;
}

// The PIs of the groups taken from the radio until `groups` with a decoded
// block A have come (or the cap).
std::vector<int> TakePis(fms::Radio &radio, std::size_t groups, int capMs = 8000) {
    std::vector<int> pis;
    Eventually(
        [&] {
            std::vector<std::uint8_t> raw;
            fms::Millis wait = 100;
            radio.readRds(0, raw, wait);
            for (std::size_t i = 0; i + 12 <= raw.size(); i += 12)
                if (raw[i + 2] == 0x20)
                    pis.push_back((raw[i] << 8) | raw[i + 1]);
            return pis.size() >= groups;
        },
        capMs);
    return pis;
}

fms::SeekResult Seek(fms::Radio &radio, std::uint32_t from, bool up, double &seconds) {
    const auto start = Clock::now();
    const fms::SeekResult r = radiotest::SeekToEnd(radio, from, up, kBand, 20, 60000);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

// One server for the tests that need the default stations: making their
// signals takes a moment.
class RtlTcpRadio : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new testsupport::FakeRtlTcpServer();
        std::string why;
        ASSERT_TRUE(server_->Start(why)) << why;
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static std::string Spec() { return "rtltcp:127.0.0.1:" + std::to_string(server_->Port()); }

    static testsupport::FakeRtlTcpServer *server_;
};
testsupport::FakeRtlTcpServer *RtlTcpRadio::server_ = nullptr;

TEST_F(RtlTcpRadio, TuneBringsTheStationsGroupsAndRetunesWithAnOffset) {
    std::atomic<int> wakes{0};
    auto radio = Make(Spec(), [&] { ++wakes; });
    ASSERT_NE(radio, nullptr);
    std::string why;
    const auto start = Clock::now();
    ASSERT_TRUE(radio->powerOn(94400, why)) << why;
    std::vector<int> pis = TakePis(*radio, 1);
    ASSERT_FALSE(pis.empty()) << "no group on 94.4 MHz";
    std::printf("first group %.0f ms after power-on\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    EXPECT_EQ(pis[0], 0xD944);
    EXPECT_GT(wakes.load(), 0);
    EXPECT_EQ(server_->FrequencyHz(), 94650000u) << "tuned 250 kHz above the station";
    EXPECT_EQ(server_->SampleRate(), 1024000u);
    EXPECT_GT(radio->signal(), 100u);

    radio->tune(101700, 0);
    pis = TakePis(*radio, 3);
    ASSERT_GE(pis.size(), 3u) << "no groups after the tune";
    for (int pi : pis)
        EXPECT_EQ(pi, 0xDA17) << "a group of the old frequency after the tune";
    EXPECT_EQ(server_->FrequencyHz(), 101950000u);

    radio->tune(99000, 0); // nothing there
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(radio->signal(), 30u);
    EXPECT_TRUE(TakePis(*radio, 1, 500).empty());
    radio->powerOff();
}

TEST_F(RtlTcpRadio, SeekFindsTheStationsUpAndDownAndSkipsEmptyFrequencies) {
    auto radio = Make(Spec());
    ASSERT_NE(radio, nullptr);
    std::string why;
    ASSERT_TRUE(radio->powerOn(87500, why)) << why;
    double seconds = 0;
    fms::SeekResult r = Seek(*radio, 87500, true, seconds);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 90000u);
    std::printf("seek 87.5 -> %.1f MHz: %.2f s (25 steps)\n", r.positionKHz / 1000.0, seconds);
    const std::vector<int> pis = TakePis(*radio, 1);
    ASSERT_FALSE(pis.empty());
    EXPECT_EQ(pis[0], 0xD318);

    r = Seek(*radio, 90000, true, seconds);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 94400u);
    std::printf("seek 90.0 -> %.1f MHz: %.2f s (44 steps)\n", r.positionKHz / 1000.0, seconds);

    r = Seek(*radio, 94400, false, seconds);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 90000u);

    r = Seek(*radio, 90000, false, seconds);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.positionKHz, kBand.lowKHz);
    radio->powerOff();
}

TEST_F(RtlTcpRadio, MalformedSpecsAreRefusedInOneLine) {
    for (const char *spec :
         {"rtltcp:", "rtltcp:host", "rtltcp::1234", "rtltcp:h:99999", "rtltcp:h:12x",
          "rtltcp:127.0.0.1:1234,foo=1", "rtltcp:127.0.0.1:1234,gain=x",
          "rtltcp:127.0.0.1:1234,rate=100", "iq:", "mpx:,rate=171000", "iq:f,rate=5",
          "rtlsdr:", "rtlsdr:x", "rtlsdr:0,ppm=1.5"}) {
        std::string why;
        EXPECT_EQ(fms::MakeSdrRadio(
                      spec, [] {}, why),
                  nullptr)
            << spec;
        EXPECT_FALSE(why.empty()) << spec;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    // A spec naming no radio at all says which there are.
    const fms::Scenario scenario;
    const double rate = 1.0;
    std::string why;
    EXPECT_EQ(fms::MakeRadio(
                  "rtl_tcp:127.0.0.1:1234", scenario, rate, [] {}, why),
              nullptr);
    EXPECT_NE(why.find("unknown radio"), std::string::npos) << why;
    EXPECT_NE(why.find("rtltcp:HOST:PORT"), std::string::npos) << why;
}

// A port where nothing listens.
std::uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0;
    close(fd);
    EXPECT_TRUE(bound);
    return ntohs(a.sin_port);
}

TEST(RtlTcpRadioFaults, ARefusedConnectionIsAOneLineReason) {
    auto radio = Make("rtltcp:127.0.0.1:" + std::to_string(ClosedPort()));
    ASSERT_NE(radio, nullptr);
    std::string why;
    EXPECT_FALSE(radio->powerOn(94400, why));
    EXPECT_NE(why.find("refused"), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos);
    radio->powerOff();
}

testsupport::FakeRtlTcpOptions OneStation() {
    testsupport::FakeRtlTcpOptions options;
    options.stations = {{94400, 0xD944, "FAKE 944", ""}};
    options.loopSeconds = 2.0;
    return options;
}

TEST(RtlTcpRadioFaults, AForeignHeaderOrNoneIsRefused) {
    for (const bool silent : {false, true}) {
        auto options = OneStation();
        options.header = "HTTP/1.0 400 Bad\r\n\x1b[2J";
        options.silent = silent;
        testsupport::FakeRtlTcpServer server(options);
        std::string why;
        ASSERT_TRUE(server.Start(why)) << why;
        auto radio = Make("rtltcp:127.0.0.1:" + std::to_string(server.Port()));
        ASSERT_NE(radio, nullptr);
        const auto start = Clock::now();
        EXPECT_FALSE(radio->powerOn(94400, why));
        EXPECT_LT(Clock::now() - start, 2500ms) << "power-on held the stack";
        EXPECT_NE(why.find(silent ? "no rtl_tcp header" : "not an rtl_tcp server"),
                  std::string::npos)
            << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
        EXPECT_EQ(why.find('\x1b'), std::string::npos) << why;
        radio->powerOff();
    }
}

TEST(RtlTcpRadioFaults, ADroppedConnectionIsMadeAgainAndGroupsGoOn) {
    auto options = OneStation();
    options.dropAfterBytes = 1 << 20; // half a second
    testsupport::FakeRtlTcpServer server(options);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    auto radio = Make("rtltcp:127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_NE(radio, nullptr);
    ASSERT_TRUE(radio->powerOn(94400, why)) << why;
    EXPECT_TRUE(Eventually([&] { return server.Connections() >= 3; }, 10000));
    // Tuned again after each connection.
    EXPECT_EQ(server.FrequencyHz(), 94650000u);
    radio->tune(94400, 0);
    EXPECT_FALSE(TakePis(*radio, 1, 5000).empty()) << "no groups between the drops";
    server.Stop(); // now it stays away: the radio waits, says so, and powers off at once
    EXPECT_TRUE(Eventually(
        [&] {
            return radio->stats()->notice.latest().text.find("trying again") != std::string::npos;
        },
        2000))
        << radio->stats()->notice.latest().text;
    const auto start = Clock::now();
    radio->powerOff();
    EXPECT_LT(Clock::now() - start, 2000ms);
}

TEST(RtlSdrRadio, WithoutAStickItRefusesInOneLine) {
    std::string why;
    auto radio = fms::MakeSdrRadio(
        "rtlsdr:0", [] {}, why);
    if (radio == nullptr) {
        GTEST_SKIP() << why; // built without librtlsdr
    }
    if (radio->powerOn(94400, why)) {
        radio->powerOff();
        GTEST_SKIP() << "an RTL-SDR stick is attached";
    }
    EXPECT_EQ(why.rfind("no RTL-SDR stick at index 0", 0), 0u) << why;
    radio->powerOff();
}

std::vector<testsupport::TxGroup> Synthesised(std::uint16_t pi, std::size_t count) {
    rds::GeneratorConfig config;
    config.pi = pi;
    config.tmc = true;
    rds::GroupGenerator generator(config);
    std::vector<testsupport::TxGroup> groups(count);
    for (auto &tx : groups) {
        const rds::Group g = generator.next();
        for (std::size_t b = 0; b < 4; ++b)
            tx.blocks[b] = g.block[b];
    }
    return groups;
}

// One station whose signal starts afresh at each tune to it, white noise
// elsewhere; unpaced, as the radio judges by sample time.
class OneStationSource final : public fms::SampleSource {
public:
    OneStationSource(std::uint32_t stationHz, std::vector<testsupport::TxGroup> groups)
        : stationHz_(stationHz), groups_(std::move(groups)) {}
    fms::SampleKind kind() const override { return fms::SampleKind::Cu8Iq; }
    double rate() const override { return 1024000.0; }
    std::string name() const override { return "one station"; }
    bool open(std::uint32_t centreHz, std::string &why) override {
        return setCentre(centreHz, why);
    }
    void close() override {}
    bool setCentre(std::uint32_t centreHz, std::string &) override {
        modulator_.reset();
        if (centreHz == stationHz_) {
            testsupport::IqOptions options;
            options.rate = rate();
            options.cnr_db = 30.0;
            options.lead_in_s = 0.05;
            modulator_ = std::make_unique<testsupport::IqModulator>(groups_, options);
        }
        return true;
    }
    long read(std::uint8_t *buffer, std::size_t size, int, int, std::string &) override {
        size = std::min<std::size_t>(size, 8192) & ~std::size_t{1};
        if (modulator_ != nullptr)
            if (const std::size_t n = modulator_->Generate({buffer, size}); n > 0)
                return static_cast<long>(n);
        for (std::size_t i = 0; i < size; ++i)
            buffer[i] = static_cast<std::uint8_t>(noise_() >> 23);
        return static_cast<long>(size);
    }
    bool reopen(std::uint32_t centreHz, int, std::string &why) override {
        return open(centreHz, why);
    }

private:
    const std::uint32_t stationHz_;
    const std::vector<testsupport::TxGroup> groups_;
    std::unique_ptr<testsupport::IqModulator> modulator_;
    std::minstd_rand noise_{7};
};

// A seek stops only where one PI comes twice: a station whose PI is heard
// once within the dwell (its later groups lose block A) is passed.
TEST(SdrSeek, APiHeardOnceIsNoStation) {
    std::vector<testsupport::TxGroup> groups = Synthesised(0xD318, 20);
    for (std::size_t i = 0; i < groups.size(); ++i)
        groups[i].missing[0] = i != 2; // the others keep block synchronisation
    auto radio = fms::MakeSdrRadioOver(std::make_unique<OneStationSource>(90500000, groups), [] {});
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why)) << why;
    const fms::SeekResult r = radiotest::SeekToEnd(*radio, 90000, true, {90000, 91000});
    EXPECT_FALSE(r.found) << "stopped at " << r.positionKHz;
    EXPECT_EQ(r.positionKHz, 91000u);
    EXPECT_GE(radio->groupsStarted(), 1u) << "the station was never heard";
    radio->powerOff();
}

TEST(FileRadio, IqAndMpxRecordingsPlayAndDecode) {
    testsupport::TempFolder dir;
    const auto groups = Synthesised(0xC0DE, 20);
    {
        testsupport::IqOptions options;
        options.cnr_db = 25.0;
        testsupport::IqModulator modulator(groups, options);
        std::ofstream out(dir.File("station.cu8"), std::ios::binary);
        std::vector<std::uint8_t> chunk(1 << 16);
        for (std::size_t n; (n = modulator.Generate(chunk)) > 0;)
            out.write(reinterpret_cast<const char *>(chunk.data()), static_cast<long>(n));
    }
    {
        testsupport::MpxOptions options;
        options.rate = 171000;
        options.ebn0_db = 20.0;
        testsupport::MpxModulator modulator(groups, options);
        std::ofstream out(dir.File("station.s16"), std::ios::binary);
        std::vector<float> chunk(1 << 14);
        for (std::size_t n; (n = modulator.Generate(chunk)) > 0;) {
            const auto bytes = testsupport::ToS16le({chunk.data(), n});
            out.write(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<long>(bytes.size()));
        }
    }
    for (const std::string &spec :
         {"iq:" + dir.File("station.cu8"), "mpx:" + dir.File("station.s16") + ",rate=171000"}) {
        auto radio = Make(spec);
        ASSERT_NE(radio, nullptr);
        std::string why;
        ASSERT_TRUE(radio->powerOn(94400, why)) << why;
        const std::vector<int> pis = TakePis(*radio, 3);
        ASSERT_GE(pis.size(), 3u) << spec;
        for (int pi : pis)
            EXPECT_EQ(pi, 0xC0DE) << spec;
        // The recording is heard everywhere: a seek stops at the next step.
        double seconds = 0;
        const fms::SeekResult r = Seek(*radio, 94400, true, seconds);
        EXPECT_TRUE(r.found) << spec;
        EXPECT_EQ(r.positionKHz, 94500u) << spec;
        radio->powerOff();
    }
    std::string why;
    auto missing = Make("iq:" + dir.File("absent.cu8"));
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(missing->powerOn(94400, why));
    EXPECT_NE(why.find("absent.cu8"), std::string::npos) << why;
}

} // namespace
