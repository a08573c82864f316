// fmdemo — drives the FM tuner library over the FM stack simulator and
// prints what a client of the library sees: every tune report and every
// RDS group as it arrives (and the library's debug lines with --debug).
//
// Keys (when standard input is a terminal): u / d seek up / down,
// + / - tune 100 kHz up / down, q or Ctrl-C quit.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <fmapi.h>
#include <windows.h>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#else
#include <platform/emulation.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> quitRequested{false};
std::mutex outputLock;
HFMTUNER tuner = nullptr;

// Programme service name, rebuilt from the 0A/0B segments of the station.
char psName[9] = "        ";

struct Options {
    DWORD frequencyKHz = 90000;
    DWORD band = FMBAND_CCIR;
    bool debug = false;
    double seekEverySeconds = 0; // 0 = only on a key
    double clockSpeed = 1;
    std::string scenario;
};

void Print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char *format, ...) {
    std::lock_guard<std::mutex> guard(outputLock);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

const char *ReasonName(FMTuneReason reason) {
    switch (reason) {
    case FMTUNE_TUNED:
        return "tuned";
    case FMTUNE_SEEK:
        return "seek";
    case FMTUNE_BAND_LIMIT:
        return "band limit";
    case FMTUNE_AF_JUMP:
        return "AF jump";
    }
    return "?";
}

// The library's texts are ASCII; anything else shows as '?'.
std::string Ascii(LPCWSTR text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

void OnDebug(LPCWSTR message) {
    std::string text = Ascii(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    Print("  debug: %s\n", text.c_str());
}

// Runs on the stack's event thread, like a real client's callback; it reads
// the signal strength there too, as the receiver port driver does.
void OnTune(HFMTUNER session, DWORD frequencyKHz, FMTuneReason reason) {
    DWORD_PTR rssi = 0;
    const DWORD result = FMGetProp(session, FMPROP_RSSI, &rssi);
    std::memset(psName, ' ', 8);
    if (result == 0)
        Print("TUNE  %lu.%lu MHz  (%s)  signal %lu\n",
              static_cast<unsigned long>(frequencyKHz / 1000),
              static_cast<unsigned long>(frequencyKHz % 1000 / 100), ReasonName(reason),
              static_cast<unsigned long>(rssi));
    else
        Print("TUNE  %lu.%lu MHz  (%s)  signal unknown (error %lu)\n",
              static_cast<unsigned long>(frequencyKHz / 1000),
              static_cast<unsigned long>(frequencyKHz % 1000 / 100), ReasonName(reason),
              static_cast<unsigned long>(result));
}

char Printable(unsigned value) {
    return value >= 0x20 && value < 0x7F ? static_cast<char>(value) : '.';
}

void OnRdsGroup(HFMTUNER, const RdsGroupRecord *group) {
    const unsigned type = group->wBlockB >> 12;
    const char version = (group->wBlockB & 0x0800) ? 'B' : 'A';
    if (type == 0) {
        const unsigned segment = group->wBlockB & 3;
        psName[segment * 2] = Printable(group->wBlockD >> 8);
        psName[segment * 2 + 1] = Printable(group->wBlockD & 0xFF);
    }
    Print("RDS   PI %04X  %2u%c  B %04X  C %04X  D %04X%s  PS \"%s\"\n", group->wBlockA, type,
          version, group->wBlockB, group->wBlockC, group->wBlockD,
          group->dwBlockErrors ? "  (corrected)" : "", psName);
}

void OnSignal(int) {
    quitRequested = true;
}

constexpr const char *kUsage = "usage: fmdemo [--frequency kHz] [--band 0|1|2] [--scenario FILE]\n"
                               "              [--seek-every SECONDS] [--speed FACTOR] [--debug]\n";

void Help() {
    std::printf("%s", kUsage);
    std::printf(
        "Drives the FM tuner library over the FM stack simulator and prints what a client\n"
        "of the library sees: every tune report and every RDS group as it arrives.\n"
        "\n"
        "  --frequency kHz       the frequency to tune to first (default 90000)\n"
        "  --band 0|1|2          0: 87.5-108 MHz (default), 1: 76-91, 2: 76-108\n"
        "  --scenario FILE       the simulated band (stations, RDS) instead of the built-in one\n"
        "  --seek-every SECONDS  seek up on its own this often (0: never)\n"
        "  --speed FACTOR        the device clock's speed (2: twice as fast)\n"
        "  --debug               also print the library's debug lines\n"
        "  --help                this text\n"
        "\n"
        "Keys (standard input a terminal): u / d seek up / down, + / - tune 100 kHz\n"
        "up / down, q or Ctrl-C quit.\n");
}

// False to end: `exitCode` says how (0 after --help).
bool ParseOptions(int argc, char **argv, Options &options, int &exitCode) {
    exitCode = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            Help();
            exitCode = 0;
            return false;
        } else if (arg == "--debug") {
            options.debug = true;
        } else if (arg == "--frequency" && hasValue) {
            options.frequencyKHz = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--band" && hasValue) {
            options.band = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--seek-every" && hasValue) {
            options.seekEverySeconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--speed" && hasValue) {
            options.clockSpeed = std::strtod(argv[++i], nullptr);
        } else if (arg == "--scenario" && hasValue) {
            options.scenario = argv[++i];
        } else {
            std::fprintf(stderr, "%s(fmdemo --help explains)\n", kUsage);
            return false;
        }
    }
    if (options.band > FMBAND_WORLD || !(options.clockSpeed > 0) || options.seekEverySeconds < 0) {
        std::fprintf(stderr, "fmdemo: band must be 0, 1 or 2; speed and seek interval positive\n");
        return false;
    }
    return true;
}

#ifdef _WIN32
// The console hands out key presses one by one already.
struct RawTerminal {
    bool active = _isatty(_fileno(stdin)) != 0;
};

int ReadKey(int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (_kbhit())
            return _getch();
        Sleep(10);
    }
    return -1;
}
#else
// Restores the terminal however the program ends.
struct RawTerminal {
    termios saved{};
    bool active = false;
    RawTerminal() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
            return;
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    RawTerminal(const RawTerminal &) = delete;
    RawTerminal &operator=(const RawTerminal &) = delete;
};

int ReadKey(int timeoutMs) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) <= 0)
        return -1;
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}
#endif

} // namespace

int main(int argc, char **argv) {
    Options options;
    int exitCode = 0;
    if (!ParseOptions(argc, argv, options, exitCode))
        return exitCode;
#ifdef _WIN32
    // Windows clocks run at their own pace.
    if (options.clockSpeed != 1.0)
        std::fprintf(stderr, "fmdemo: --speed is not available on Windows; ignored\n");
    if (!options.scenario.empty())
        _putenv_s("TAVRINEL_FM_SCENARIO", options.scenario.c_str());
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#else
    if (!options.scenario.empty())
        setenv("TAVRINEL_FM_SCENARIO", options.scenario.c_str(), 1);
    platform::SetClockSpeed(options.clockSpeed);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif

    if (options.debug)
        FMSetDebugFunction(OnDebug);
    tuner = FMOpen(0);
    if (tuner == nullptr) {
        std::fprintf(stderr, "fmdemo: FMOpen failed, error %lu\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    FMSetProp(tuner, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnTune));
    FMSetProp(tuner, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnRdsGroup));
    DWORD result = FMPowerOn(tuner, 1, static_cast<FMRadioBand>(options.band));
    if (result != 0) {
        std::fprintf(stderr, "fmdemo: power on failed, error %lu\n",
                     static_cast<unsigned long>(result));
        FMClose(tuner);
        return 1;
    }
    TagFMDEVINFO info{};
    info.dwSize = sizeof info;
    if (FMGetDevInfo(tuner, &info) == 0)
        Print("radio on: %s, chip status %08lX\n", Ascii(info.szDeviceName).c_str(),
              static_cast<unsigned long>(info.dwChipStatus));
    result = FMSetProp(tuner, FMPROP_FREQUENCY, options.frequencyKHz);
    if (result != 0)
        Print("tuning to %lu kHz refused, error %lu\n",
              static_cast<unsigned long>(options.frequencyKHz), static_cast<unsigned long>(result));

    {
        RawTerminal terminal;
        if (terminal.active)
            Print("keys: u/d seek up/down, +/- step 100 kHz, q quit\n");
        const DWORD seekEveryMs = static_cast<DWORD>(options.seekEverySeconds * 1000);
        DWORD lastSeek = GetTickCount();
        while (!quitRequested) {
            const int key = terminal.active ? ReadKey(50) : (Sleep(50), -1);
            if (key == 'q' || key == 'Q')
                break;
            if (key == 'u')
                FMSeek(tuner, FMSEEK_UP);
            else if (key == 'd')
                FMSeek(tuner, FMSEEK_DOWN);
            else if (key == '+' || key == '-') {
                DWORD_PTR current = 0;
                if (FMGetProp(tuner, FMPROP_FREQUENCY, &current) == 0)
                    FMSetProp(tuner, FMPROP_FREQUENCY, key == '+' ? current + 100 : current - 100);
            }
            if (seekEveryMs != 0 && GetTickCount() - lastSeek >= seekEveryMs) {
                lastSeek = GetTickCount();
                FMSeek(tuner, FMSEEK_UP);
            }
        }
    }

    Print("powering off\n");
    result = FMPowerOn(tuner, 0, FMBAND_CCIR);
    if (result != 0)
        Print("power off answered %lu\n", static_cast<unsigned long>(result));
    FMClose(tuner);
    Print("closed\n");
    return 0;
}
