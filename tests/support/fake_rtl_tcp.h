// A fake rtl_tcp server on the loopback, for tests and for trying the phone's
// rtltcp: radio without a stick (command fake_rtl_tcp). It speaks the
// protocol's 12-byte header and 5-byte commands and streams cu8 IQ paced at
// the sample rate: per tuned frequency the stations that fall in the sampled
// band, each at its offset from the centre, FM-modulated by IqModulator from
// RDS groups (synthesised by rds::GroupGenerator, or a capture's), over
// white noise. Faults for tests: a foreign header, silence, a connection
// dropped after so many bytes.
#ifndef TAVRINEL_TESTS_SUPPORT_FAKE_RTL_TCP_H
#define TAVRINEL_TESTS_SUPPORT_FAKE_RTL_TCP_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

struct FakeStation {
    std::uint32_t khz = 0;
    std::uint16_t pi = 0xD318; // synthesised groups with this PI ...
    std::string ps = "FAKE";
    std::string capture; // ... or a capture file's first groups instead
};

// The three stations of fake_rtl_tcp and the tests: 90.0 MHz (the phone's
// default frequency), 94.4 and 101.7 MHz, synthesised.
std::vector<FakeStation> DefaultFakeStations();

struct FakeRtlTcpOptions {
    std::vector<FakeStation> stations = DefaultFakeStations();
    std::uint16_t port = 0;   // 0: any free port
    double rate = 1024000.0;  // the rate the stations are made for
    double loopSeconds = 4.0; // each station's signal repeats after this
    double noiseLsb = 3.0;    // white noise per component, in cu8 steps
    std::string header = std::string("RTL0\0\0\0\5\0\0\0\x1d", 12); // R820T, 29 gains
    bool silent = false;              // accept, then send nothing at all
    std::uint64_t dropAfterBytes = 0; // close each connection after this many IQ bytes
};

class FakeRtlTcpServer {
public:
    explicit FakeRtlTcpServer(FakeRtlTcpOptions options = {});
    ~FakeRtlTcpServer();
    FakeRtlTcpServer(const FakeRtlTcpServer &) = delete;
    FakeRtlTcpServer &operator=(const FakeRtlTcpServer &) = delete;

    // Makes the stations' signals and listens; false with a reason.
    bool Start(std::string &why);
    void Stop();
    [[nodiscard]] std::uint16_t Port() const { return port_; }

    // What clients have asked.
    [[nodiscard]] std::uint32_t FrequencyHz() const { return frequency_.load(); }
    [[nodiscard]] std::uint32_t SampleRate() const { return rate_.load(); }
    [[nodiscard]] unsigned Connections() const { return connections_.load(); }
    [[nodiscard]] std::vector<std::pair<std::uint8_t, std::uint32_t>> Commands() const;

private:
    struct Signal;
    void Run();
    void Serve(int fd);

    FakeRtlTcpOptions options_;
    std::vector<std::unique_ptr<Signal>> signals_;
    std::vector<float> noise_;
    int listen_ = -1;
    int stop_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<std::uint32_t> frequency_{0};
    std::atomic<std::uint32_t> rate_{0};
    std::atomic<unsigned> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::pair<std::uint8_t, std::uint32_t>> commands_;
};

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_FAKE_RTL_TCP_H
