// fake_rtl_tcp: the tests' fake rtl_tcp server as a command, for trying the
// phone's rtltcp: radio without a stick.
//   fake_rtl_tcp [--port N] [--station KHZ[:PI[:CAPTURE]]]... [--noise LSB]
// Without --station: 90.0, 94.4 and 101.7 MHz with synthesised RDS-TMC.
// Runs until interrupted (Ctrl-C, SIGTERM).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "support/fake_rtl_tcp.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

int Usage() {
    std::fprintf(stderr, "usage: fake_rtl_tcp [--port N] [--station KHZ[:PI[:CAPTURE]]]... "
                         "[--noise LSB]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv) {
    testsupport::FakeRtlTcpOptions options;
    options.port = 1234;
    bool stations = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const std::string value = argv[++i];
        if (arg == "--port") {
            options.port = static_cast<std::uint16_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--noise") {
            options.noiseLsb = std::strtod(value.c_str(), nullptr);
        } else if (arg == "--station") {
            if (!stations)
                options.stations.clear();
            stations = true;
            testsupport::FakeStation s;
            char *end = nullptr;
            s.khz = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &end, 10));
            if (*end == ':') {
                s.pi = static_cast<std::uint16_t>(std::strtoul(end + 1, &end, 16));
                if (*end == ':')
                    s.capture = end + 1;
            }
            char ps[16];
            std::snprintf(ps, sizeof ps, "F%-7u", s.khz / 100);
            s.ps = ps;
            if (s.khz < 60000 || s.khz > 110000)
                return Usage();
            options.stations.push_back(s);
        } else {
            return Usage();
        }
    }
    testsupport::FakeRtlTcpServer server(options);
    std::string why;
    if (!server.Start(why)) {
        std::fprintf(stderr, "fake_rtl_tcp: %s\n", why.c_str());
        return 1;
    }
    std::printf("fake_rtl_tcp: listening on 127.0.0.1:%u; stations:", server.Port());
    for (const auto &s : options.stations)
        std::printf(" %u.%u MHz (PI %04X)", s.khz / 1000, s.khz % 1000 / 100, s.pi);
    std::printf("\n");
    std::fflush(stdout);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    while (!g_stop)
        pause();
    server.Stop();
    return 0;
}
