// phone — the emulated Windows Mobile phone: boots a device root, loads the
// drivers, offers the GPS Intermediate Driver's multiplexer port and serves
// every COM port as a pseudo-terminal until it is powered off (SIGINT,
// SIGTERM, SIGQUIT or SIGHUP). On a terminal it also shows the phone's screen and starts the
// control program \Windows\VorliskClient.exe, as the shell would; with
// --headless it has no screen.
//
//   phone [--root DIR] [--headless] [--activate KEY]... [--poll-ms N]
//         [--speed F] [--scenario FILE] [--radio RADIO] [--install-driver]
#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include <fmsim.h>

#include "boot.h"
#include "gps_mux.h"
#include "launcher.h"
#include "pty_bridge.h"
#include "screen_curses.h"

namespace {

constexpr size_t kMaxKeyChars = 255; // a registry key path
constexpr int kMinPollMs = 1;
constexpr int kMaxPollMs = 1000;
constexpr double kMaxSpeed = 1000;
constexpr size_t kMaxRadioChars = 4096;

struct Options {
    std::string root;
    bool headless = false;
    bool installDriver = false;
    std::vector<std::string> activate;
    int pollMs = 0;   // 0: as the FM stack allows (see phone::kSafetyPollMs)
    double speed = 0; // 0: leave the clock alone
    std::string scenario;
    std::string radio = "sim";
};

void Usage(FILE *out) {
    std::fprintf(out,
                 "usage: phone [--root DIR] [--headless] [--activate KEY]... [--poll-ms N]\n"
                 "             [--speed F] [--scenario FILE] [--radio RADIO] [--install-driver]\n"
                 "  --root DIR        the device's file system (default "
                 "$XDG_STATE_HOME/tavrinel/phone)\n"
                 "  --headless        no screen and no control program (default on a\n"
                 "                    terminal: the screen, with VorliskClient started)\n"
                 "  --activate KEY    load the driver of HKLM\\KEY (e.g. \"Drivers\\Tavrinel\")\n"
                 "  --install-driver  write HKLM\\Drivers\\Tavrinel for the receiver driver "
                 "(COM9:) and load it\n"
                 "  --poll-ms N       read a port at least every N ms even when the radio\n"
                 "                    has not signalled (1..1000; default 1000, or 10 with\n"
                 "                    an FM stack that does not signal)\n"
                 "  --speed F         run the device clock F times faster (0 < F <= 1000)\n"
                 "  --scenario FILE   the stations of the FM stack simulator\n"
                 "  --radio RADIO     what the FM stack receives: sim (the simulated band,\n"
                 "                    default), v4l2:/dev/radioN (a Linux radio tuner) or\n"
                 "                    'cmd:COMMAND' (a decoder printing RDS hex groups; {khz}\n"
                 "                    and {mhz} stand for the frequency); with our own RDS\n"
                 "                    demodulator: rtlsdr:INDEX, rtltcp:HOST:PORT, iq:FILE,\n"
                 "                    mpx:FILE (README: \"With a real radio\")\n"
                 "Ctrl-C, Ctrl-\\, SIGTERM or SIGHUP powers the phone off. On the screen: "
                 "Tab/Shift-Tab move\n"
                 "the focus, Enter/Space press, arrows choose, F1/F2 the soft keys, Esc\n"
                 "closes a list or message; on the home screen s starts the program, p\n"
                 "powers off.\n");
}

bool ParseInt(const std::string &text, int low, int high, int &value) {
    if (text.empty() || text.size() > 10)
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseSpeed(const std::string &text, double &value) {
    if (text.empty() || text.size() > 32)
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxSpeed)
        return false;
    value = v;
    return true;
}

// A key path typed by the user: printable, bounded.
bool ValidKeyText(const std::string &key) {
    if (key.empty() || key.size() > kMaxKeyChars)
        return false;
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

// A value given by the user as one line of a message: its start, control bytes as '?'.
std::string Shown(const std::string &value) {
    constexpr size_t kShownChars = 60;
    std::string out = "'";
    for (size_t i = 0; i < value.size() && i < kShownChars; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        out += c < 0x20 || c == 0x7F ? '?' : value[i];
    }
    return out + (value.size() > kShownChars ? "...'" : "'");
}

// A line quoting what the user or a file gave (a path, a parser's words):
// control bytes as '?', so that it cannot play tricks on the terminal.
std::string Printable(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }, '?');
    return text;
}

// What is wrong with a --radio value ("sim", "v4l2:/DEVICE" or "cmd:COMMAND",
// printable and bounded), or nullptr.
const char *RadioProblem(const std::string &radio) {
    if (radio.size() > kMaxRadioChars)
        return "longer than 4096 characters";
    for (unsigned char c : radio)
        if (c < 0x20 || c == 0x7F)
            return "holds a control character";
    if (radio == "sim")
        return nullptr;
    if (radio.rfind("v4l2:", 0) == 0)
        return radio.size() > 5 && radio[5] == '/' ? nullptr
                                                   : "give the device's full path, e.g. "
                                                     "v4l2:/dev/radio0";
    if (radio.rfind("cmd:", 0) == 0)
        return radio.find_first_not_of(" \t", 4) != std::string::npos
                   ? nullptr
                   : "no command given after cmd:";
    // The SDR radios check the rest of their spec themselves, when the stack makes them.
    for (const char *sdr : {"rtlsdr:", "rtltcp:", "iq:", "mpx:"})
        if (radio.rfind(sdr, 0) == 0)
            return radio.size() > std::strlen(sdr) ? nullptr : "nothing given after the colon";
    return "not sim, v4l2:/dev/radioN, cmd:COMMAND, rtlsdr:, rtltcp:, iq: or mpx:";
}

// Answers 0 to go on, or the exit status.
int ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        auto takeValue = [&](std::string &out) {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        const std::string given = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        } else if (arg == "--headless" && !hasValue) {
            o.headless = true;
        } else if (arg == "--install-driver" && !hasValue) {
            o.installDriver = true;
        } else if (arg == "--root" && takeValue(v) && !v.empty()) {
            o.root = v;
        } else if (arg == "--activate" && takeValue(v) && ValidKeyText(v)) {
            o.activate.push_back(v);
        } else if (arg == "--poll-ms" && takeValue(v) &&
                   ParseInt(v, kMinPollMs, kMaxPollMs, o.pollMs)) { // NOLINT(bugprone-branch-clone)
            // Parsed in the condition, as the speed is.
        } else if (arg == "--speed" && takeValue(v) && ParseSpeed(v, o.speed)) {
        } else if (arg == "--scenario" && takeValue(v) && !v.empty()) {
            o.scenario = v;
        } else if (arg == "--radio" && takeValue(v)) {
            if (const char *problem = RadioProblem(v)) {
                std::fprintf(stderr, "phone: --radio %s: %s\n", Shown(v).c_str(), problem);
                return 2;
            }
            o.radio = v;
        } else {
            std::fprintf(stderr, "phone: bad option or value: %s%s%s\n", given.c_str(),
                         v.empty() || hasValue ? "" : " ", hasValue ? "" : v.c_str());
            Usage(stderr);
            return 2;
        }
    }
    return 0;
}

// What an activation's error means to the user.
const char *ActivationError(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "no such key";
    case ERROR_INVALID_PARAMETER:
        return "\"Dll\", \"Prefix\" or \"Index\" missing or unusable";
    case ERROR_MOD_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return "the driver module cannot be loaded";
    case ERROR_PROC_NOT_FOUND:
        return "the module lacks a stream driver entry point";
    case ERROR_DEVICE_IN_USE:
        return "its device name is taken";
    case ERROR_GEN_FAILURE:
        return "the driver's Init failed";
    default:
        return "refused";
    }
}

// Loads the driver of HKLM\key and says what happened. A module that
// serves a device already is not loaded again: our drivers serve one port.
bool Activate(const std::string &key) {
    if (const std::string other = phone::DeviceOfTheSameModule(platform::Widen(key));
        !other.empty()) {
        std::fprintf(stderr,
                     "phone: HKLM\\%s is not loaded: its driver serves %s already, and it "
                     "serves one port only\n",
                     key.c_str(), other.c_str());
        return false;
    }
    HANDLE device = ActivateDeviceEx(platform::Widen(key).c_str(), nullptr, 0, nullptr);
    if (device)
        return true;
    const DWORD error = GetLastError();
    // The loader's reason only belongs to a failed module load.
    const bool loader = error == ERROR_MOD_NOT_FOUND || error == ERROR_INVALID_NAME;
    const std::string why = loader ? platform::LastLoaderError() : std::string();
    std::fprintf(stderr, "phone: cannot load the driver of HKLM\\%s: %s (error %lu%s%s)\n",
                 key.c_str(), ActivationError(error), static_cast<unsigned long>(error),
                 why.empty() ? "" : "; ", why.c_str());
    return false;
}

// Where the registry's news go besides the log: the home screen, once there
// is one. The latest word from before it (the boot's own saves) waits for it.
std::mutex noticeLock;
phone::Launcher *noticeScreen = nullptr; // guarded by noticeLock
std::string earlyNotice;                 // guarded by noticeLock

void TellTheUser(const std::string &text) {
    std::fprintf(stderr, "phone: %s\n", phone::LogText(text).c_str());
    std::lock_guard<std::mutex> hold(noticeLock);
    if (noticeScreen)
        noticeScreen->Notice(text);
    else
        earlyNotice = text;
}

void SetNoticeScreen(phone::Launcher *launcher) {
    std::lock_guard<std::mutex> hold(noticeLock);
    noticeScreen = launcher;
    if (launcher && !earlyNotice.empty())
        launcher->Notice(std::exchange(earlyNotice, {}));
}

// The root made private again, with a word for each change.
bool SecureTheRoot(const std::string &root, std::string &error) {
    std::vector<std::string> notes;
    const bool ok = phone::SecureRoot(root, notes, error);
    for (const auto &note : notes)
        std::fprintf(stderr, "phone: %s\n", note.c_str());
    return ok;
}

// The start-up line about the ports, in a user's words. A refused driver
// has said why already.
void SayWhereThePortsAre(phone::PtyBridge &bridge, bool headless, bool activationFailed) {
    if (!bridge.Ports().empty() || activationFailed)
        return;
    std::string link;
    for (const auto &device : platform::ListActiveDevices())
        if (phone::PortLinkName(device.name, link))
            return; // loaded but not served: the bridge has said why
    if (headless)
        std::printf("phone: the receiver driver is not loaded, so there is no port to read; "
                    "start the phone with --install-driver to load it as COM9:\n");
    else
        std::printf("phone: press \"TMC\" in VorliskClient to load the receiver driver\n");
}

// After the first request to power off, a second one ends the phone at once
// (the drivers' unload takes seconds).
// Without a thread to spare (a memory limit) the unload runs unwatched.
void WatchForImpatience(int signals) {
    std::thread watcher;
    try {
        watcher = std::thread([signals] {
            pollfd fd{signals, POLLIN, 0};
            signalfd_siginfo info{};
            while (poll(&fd, 1, -1) > 0)
                if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    static const char message[] = "phone: powered off without unloading\n";
                    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, message, sizeof message - 1);
                    _exit(1);
                }
        });
    } catch (const std::exception &) {
        return;
    }
    watcher.detach();
}

// The power-off signals arrive through a descriptor, never as handlers:
// blocked before any thread exists, so that every thread inherits the mask.
// Answers the descriptor, or -1.
int TakePowerOffSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGQUIT); // Ctrl-\ on the screen
    sigaddset(&stopSignals, SIGHUP);  // the terminal closed
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// Waits for a power-off signal, calling `meanwhile` every kLookEveryMs.
void WaitForPowerOff(int signals, const std::function<void()> &meanwhile) {
    constexpr int kLookEveryMs = 250;
    signalfd_siginfo info{};
    for (;;) {
        pollfd fd{signals, POLLIN, 0};
        const int ready = poll(&fd, 1, kLookEveryMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            const ssize_t n = read(signals, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info) || (n < 0 && errno != EINTR))
                break;
            continue;
        }
        meanwhile();
    }
}

// ---------------------------------------------------------------- boot

// The FM stack (FMS_API.dll), told the phone's scenario and radio through
// its own controls (fmsim.h) before any driver loads it, and held loaded so
// that what it was told outlives the driver's unloads. A stack without the
// controls is told through the environment, which it reads at FM_Init.
class StackSettings {
public:
    StackSettings() = default;
    ~StackSettings() {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    StackSettings(const StackSettings &) = delete;
    StackSettings &operator=(const StackSettings &) = delete;

    // `scenario` is a resolved path, or empty for the stack's own choice.
    // Answers false with the reason when the stack refuses the scenario.
    bool Apply(const std::string &scenario, const std::string &radio, std::string &error) {
        module_ = LoadLibraryW(u"FMS_API.dll");
        using UseRadio = void (*)(const char *spec);
        using LoadScenario = int (*)(const char *path, char *error, size_t errorSize);
        if (auto useRadio = Control<UseRadio>(u"FmsimUseRadio"))
            useRadio(radio.c_str());
        else
            setenv("TAVRINEL_FM_RADIO", radio.c_str(), 1);
        if (scenario.empty())
            return true;
        auto loadScenario = Control<LoadScenario>(u"FmsimLoadScenario");
        if (loadScenario == nullptr) {
            setenv("TAVRINEL_FM_SCENARIO", scenario.c_str(), 1);
            return true;
        }
        char why[512] = {};
        if (loadScenario(scenario.c_str(), why, sizeof why))
            return true;
        error = why;
        return false;
    }

    // The radio's latest word; false when the stack cannot tell it.
    bool Notice(FmsimNotice &notice) {
        using GetNotice = void (*)(FmsimNotice * notice);
        if (!getNotice_)
            getNotice_ = Control<GetNotice>(u"FmsimGetNotice");
        if (getNotice_ == nullptr)
            return false;
        notice = FmsimNotice{};
        getNotice_(&notice);
        notice.cause[sizeof notice.cause - 1] = '\0';
        notice.text[sizeof notice.text - 1] = '\0';
        return true;
    }

private:
    template <typename Function> Function Control(const char16_t *name) {
        if (module_ == nullptr)
            return nullptr;
        return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddressW(module_, name)));
    }

    HMODULE module_ = nullptr;
    void (*getNotice_)(FmsimNotice *) = nullptr;
};

// What the boot leaves for the steps after it.
struct Device {
    std::string root;
    bool activationFailed = false; // a driver asked for was refused (and said why)
    StackSettings stack;
};

// The device's root folder: made, locked and private. Answers 0 or the
// exit status.
int PrepareRoot(const Options &options, std::string &root) {
    root = options.root.empty() ? phone::DefaultRoot() : options.root;
    std::string error;
    if (root.empty()) {
        std::fprintf(stderr, "phone: no home folder; give --root DIR\n");
        return 2;
    }
    if (!phone::MakePrivateFolder(root, error)) {
        std::fprintf(stderr, "phone: %s\n", error.c_str());
        return 1;
    }
    char resolvedRoot[PATH_MAX] = {};
    if (realpath(root.c_str(), resolvedRoot))
        root = resolvedRoot;
    if (!phone::LockRoot(root, error) || !SecureTheRoot(root, error)) {
        std::fprintf(stderr, "phone: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// The drivers of the boot and of the options; answers whether one was refused.
bool LoadDrivers(const Options &options) {
    std::vector<std::string> builtinErrors;
    platform::LoadBuiltinDrivers(builtinErrors);
    for (const auto &line : builtinErrors)
        std::fprintf(stderr, "phone: at boot: %s\n", line.c_str());
    bool activationFailed = false;
    std::string error;
    if (options.installDriver) {
        if (phone::InstallReceiverDriver(error)) {
            activationFailed |= !Activate(platform::Narrow(phone::kReceiverDriverKey));
        } else {
            std::fprintf(stderr, "phone: %s\n", error.c_str());
            activationFailed = true;
        }
    }
    for (const auto &key : options.activate)
        activationFailed |= !Activate(key);
    for (const auto &line : phone::SharedDriverWarnings())
        std::fprintf(stderr, "phone: %s\n", line.c_str());
    for (const auto &line : phone::ReceiverSettingWarnings())
        std::fprintf(stderr, "phone: %s\n", line.c_str());
    return activationFailed;
}

// From the options to a device with its drivers loaded. Answers 0 or the
// exit status.
int Boot(Options &options, Device &device) {
    if (!options.headless && (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))) {
        std::printf("phone: not on a terminal; running headless\n");
        std::fflush(stdout);
        options.headless = true;
    }
    // Wide characters on the screen; numbers keep the C conventions.
    if (!options.headless)
        std::setlocale(LC_CTYPE, "");
    std::string scenario;
    if (!options.scenario.empty()) {
        char resolved[PATH_MAX] = {};
        if (!realpath(options.scenario.c_str(), resolved) || access(resolved, R_OK) != 0) {
            const std::string why = std::strerror(errno);
            std::fprintf(
                stderr, "phone: %s\n",
                Printable("cannot read the scenario " + options.scenario + ": " + why).c_str());
            return 2;
        }
        scenario = resolved;
    }
    if (options.speed > 0)
        platform::SetClockSpeed(options.speed);
    if (const int status = PrepareRoot(options, device.root))
        return status;

    std::string error;
    platform::SetDeviceRoot(device.root);
    platform::SetRegistryNotice(TellTheUser);
    if (!platform::BootRegistry(device.root, error))
        std::fprintf(stderr,
                     "phone: %s\nphone: running on the defaults; the file is kept aside "
                     "(registry.reg.bad) when a setting is first saved\n",
                     error.c_str());
    // Before any driver can load the stack.
    if (!device.stack.Apply(scenario, options.radio, error)) {
        std::fprintf(stderr, "phone: %s\n",
                     Printable("the scenario " + scenario + " is refused: " + error).c_str());
        return 2;
    }
    std::u16string muxName;
    if (!phone::StartGpsMux(muxName, error))
        std::fprintf(stderr,
                     "phone: GPS Intermediate Driver: %s\nphone: a receiver port cannot be "
                     "opened without it\n",
                     error.c_str());
    device.activationFailed = LoadDrivers(options);
    return 0;
}

// ---------------------------------------------------------------- serve

// The ports served as pseudo-terminals, read when the radio wakes them.
struct Serving {
    FILE *log = nullptr; // ROOT/phone.log with a screen, else none
    phone::StackWake stackWake;
    std::unique_ptr<phone::PtyBridge> bridge;

    ~Serving() {
        bridge.reset(); // it may still write to the log
        if (log)
            std::fclose(log);
    }
};

void Serve(Options &options, const Device &device, Serving &serving) {
    // With a screen, messages go to ROOT/phone.log instead of over it.
    std::string error;
    if (!options.headless) {
        serving.log = phone::OpenPrivateLog(device.root + "/phone.log", error);
        if (serving.log) {
            setvbuf(serving.log, nullptr, _IOLBF, 0);
            phone::BoundPhoneLog(serving.log); // one left full by an earlier run
        } else {
            // Its messages would be written over the screen.
            std::fprintf(stderr, "phone: %s; running headless\n", error.c_str());
            options.headless = true;
        }
    }
    std::fprintf(serving.log ? serving.log : stderr, "phone: radio %s\n", options.radio.c_str());
    // The radio wakes the port reader, as its interrupt would on a phone;
    // the poll is then only a safety net.
    phone::BridgeOptions bridgeOptions;
    bridgeOptions.root = device.root;
    bridgeOptions.pollMs = options.pollMs > 0              ? options.pollMs
                           : serving.stackWake.Connected() ? phone::kSafetyPollMs
                                                           : phone::kPollOnlyMs;
    if (serving.log)
        bridgeOptions.messages = serving.log;
    serving.bridge = std::make_unique<phone::PtyBridge>(bridgeOptions);
    serving.stackWake.Attach(serving.bridge.get());
    if (!serving.stackWake.Connected())
        std::fprintf(bridgeOptions.messages, "phone: %s; the ports are read every %d ms\n",
                     serving.stackWake.Problem().c_str(), bridgeOptions.pollMs);
    if (!serving.bridge->Start(error)) {
        if (!phone::WasThreadRefused()) // said already
            std::fprintf(stderr, "phone: %s\n", error.c_str());
    } else
        SayWhereThePortsAre(*serving.bridge, options.headless, device.activationFailed);
    std::printf("phone: running on %s; Ctrl-C powers off\n", device.root.c_str());
    std::fflush(stdout);
}

// ---------------------------------------------------------------- the screen

// The phone's screen and the control program on it, while the phone runs on
// a terminal; standard error goes to the log meanwhile.
class PhoneScreen {
public:
    PhoneScreen() = default;
    PhoneScreen(const PhoneScreen &) = delete;
    PhoneScreen &operator=(const PhoneScreen &) = delete;

    void Show(const std::string &root, phone::PtyBridge &bridge, FILE *log) {
        phone::CursesScreen::Options screenOptions;
        screenOptions.input = [this](const platform::shell::InputEvent &event) {
            launcher_->Input(event);
        };
        screenOptions.resize = [this](int columns, int lines) {
            launcher_->Resize(columns, lines);
        };
        screen_ = std::make_unique<phone::CursesScreen>(screenOptions);
        phone::LauncherOptions launcherOptions;
        launcherOptions.root = root;
        // The home screen's power-off key is a power-off signal like Ctrl-C.
        launcherOptions.powerOff = [] { kill(getpid(), SIGTERM); };
        launcher_ = std::make_unique<phone::Launcher>(
            launcherOptions, &bridge,
            [this](const platform::shell::ScreenView &view) { screen_->Present(view); });
        if (log) {
            savedStderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
            dup2(fileno(log), STDERR_FILENO);
        }
        std::string error;
        if (!screen_->Start(error)) {
            RestoreStderr();
            if (!phone::WasThreadRefused()) // then the phone powers off instead
                std::fprintf(stderr, "phone: %s; running headless\n", error.c_str());
            screen_.reset();
            launcher_.reset();
            return;
        }
        platform::shell::SetRenderer(&launcher_->ShellRenderer());
        SetNoticeScreen(launcher_.get());
        launcher_->Begin();
    }

    [[nodiscard]] bool Shown() const { return screen_ != nullptr; }
    // The notification line above the programs.
    void SetNotice(const std::string &text) {
        if (screen_)
            screen_->SetNotice(text);
    }

    // Gives the terminal back; answers false when the control program did
    // not close.
    bool Close() {
        if (!launcher_)
            return true;
        SetNoticeScreen(nullptr);
        const bool programEnded = launcher_->End();
        platform::shell::SetRenderer(nullptr);
        screen_->Stop(); // the terminal is the user's again
        RestoreStderr();
        if (!programEnded)
            std::fprintf(stderr, "phone: the control program did not close\n");
        return programEnded;
    }

    // Its parts go before the screen they draw on.
    ~PhoneScreen() {
        launcher_.reset();
        screen_.reset();
    }

private:
    void RestoreStderr() {
        if (savedStderr_ < 0)
            return;
        dup2(savedStderr_, STDERR_FILENO);
        close(savedStderr_);
        savedStderr_ = -1;
    }

    std::unique_ptr<phone::Launcher> launcher_;
    std::unique_ptr<phone::CursesScreen> screen_;
    int savedStderr_ = -1;
};

// ---------------------------------------------------------------- the radio's word

// Shows the radio's latest word on the notification line; without a
// screen, says each kind of word once on standard error.
class RadioWords {
public:
    void Look(StackSettings &stack, PhoneScreen &screen) {
        FmsimNotice notice{};
        if (!stack.Notice(notice) || notice.serial == 0)
            return;
        if (screen.Shown()) {
            screen.SetNotice(notice.text);
            return;
        }
        if (notice.text[0] == '\0' || said_.size() >= kMaxCauses ||
            !said_.insert(notice.cause).second)
            return;
        std::fprintf(stderr, "phone: %s\n", phone::LogText(notice.text).c_str());
    }

private:
    static constexpr std::size_t kMaxCauses = 32;
    std::set<std::string> said_;
};

// ---------------------------------------------------------------- power off

// Stops serving and unloads the drivers; a second request meanwhile ends
// the phone at once.
void PowerOff(int signals, Serving &serving) {
    WatchForImpatience(signals);
    std::printf("phone: powering off\n");
    std::fflush(stdout);
    serving.bridge->Stop();
    serving.stackWake.Attach(nullptr);
    std::printf("phone: unloading drivers...\n");
    std::fflush(stdout);
    platform::DeactivateAllDevices();
    std::printf("phone: off\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    const int signals = TakePowerOffSignals();
    if (signals < 0) {
        std::perror("phone: signalfd");
        return 1;
    }
    Options options;
    if (const int status = ParseOptions(argc, argv, options))
        return status < 0 ? 0 : status;

    Device device;
    if (const int status = Boot(options, device))
        return status;
    Serving serving;
    Serve(options, device, serving);
    PhoneScreen screen;
    if (!options.headless)
        screen.Show(device.root, *serving.bridge, serving.log);

    RadioWords words;
    WaitForPowerOff(signals, [&] {
        words.Look(device.stack, screen);
        phone::BoundPhoneLog(serving.log);
    });
    const bool programEnded = screen.Close();
    PowerOff(signals, serving);
    if (!programEnded) {
        // Its thread still runs inside the shell: no static destructors.
        std::fflush(nullptr);
        _exit(phone::WasThreadRefused() ? 1 : 0);
    }
    return phone::WasThreadRefused() ? 1 : 0;
}
