// port_bridge.h — one COM port of the phone behind its pseudo-terminal, on
// a thread of its own (see pty_bridge.h for the rules all ports follow).
// Private to the phone's bridge.
//
// The port's thread waits, idle, for a program to open the terminal; then
// it opens the device and serves the program until it hangs up: what the
// program writes goes to the device at once, and the device is read when
// the radio wakes the port, right after a write, and at the latest one poll
// interval after the last read. On the hang-up it closes the device and
// waits for the next program.
#ifndef TAVRINEL_PHONE_PORT_BRIDGE_H
#define TAVRINEL_PHONE_PORT_BRIDGE_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "pty_bridge.h"

namespace phone {

// A line to `out` (none when null), flushed at once.
void Report(FILE *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The current errno in words.
std::string Errno();

// Where a port's link lives: its name in the held ROOT/dev folder, and the
// path only for messages (never opened: a path can be swapped under us).
struct PortLink {
    std::shared_ptr<const platform::HeldFolder> dir;
    std::string name; // COM9
    std::string path; // ROOT/dev/COM9
};

class PortBridge {
public:
    PortBridge(std::u16string deviceName, std::string name, PortLink link, int pollMs,
               FILE *messages);
    ~PortBridge();
    PortBridge(const PortBridge &) = delete;
    PortBridge &operator=(const PortBridge &) = delete;

    // Creates the pseudo-terminal and the link.
    bool Create(std::string &error);
    // Starts the port's thread.
    void Start();
    // Asks the thread to stop; it closes the device if a program has it open.
    void RequestStop();
    // Stops the thread and removes the link.
    void Stop();

    // The radio has delivered: a program's port reads its device now. If the
    // port could read but has not yet done so since the previous wake, the
    // caller (the stack's thread) first waits for that read, at most
    // kCatchUpMs: a stack that outruns a reader kept from running fills the
    // driver's buffer, which then drops what it holds, while a stack held
    // back a little loses nothing (a terminal that stops taking bytes holds
    // the read back, and with it the stack). A port writing a command to
    // the device, which may need the stack's thread, is never waited for.
    void Wake();

    [[nodiscard]] ServedPort Info() const { return {name_, link_.path, slavePath_}; }

    // The device went away. A program holding the port hears it plainly,
    // once, whether this or the port's own failing read tells first.
    void ReportGone();

private:
    using Clock = std::chrono::steady_clock;

    // Why a program's time with the device ended, or None while it goes on.
    enum class Ending { None, StopAsked, HungUp, DeviceFailed, TerminalFailed };

    // One program's time with the device.
    struct Session {
        HANDLE device = nullptr;
        bool readWanted = true;     // the device may hold data: read it when there is room
        Clock::time_point nextRead; // the safety net's next read
    };

    // What woke the port's thread.
    struct Events {
        bool stop = false;     // asked to stop
        bool radio = false;    // the radio delivered
        bool terminal = false; // the program wrote or hung up
    };

    enum class Drain { More, Empty, HungUp };

    // The thread: idle until a program comes, serve it, again.
    void Run();
    bool WaitForProgram();
    bool ProgramAttached();
    bool StopRequested(int timeoutMs);
    bool ResetTerminal(std::string &error);

    // Serving one program; answers true when asked to stop.
    bool Serve();
    HANDLE OpenDevice();
    void BeginServing();
    Ending ServeOnce(Session &session);
    Ending ReadFromDevice(Session &session);
    bool WaitForEvents(const Session &session, Events &events);
    Ending ForwardWrites(Session &session);
    void ReadWhenDue(Session &session);
    bool EndServing(HANDLE device, Ending ending);
    bool DiscardUntilClosed();
    void ReportUnloadedWhileOpen();

    // The bytes.
    Drain ReadTerminal(std::vector<char> &chunk);
    bool FlushPending();
    bool WriteDevice(HANDLE device, const std::vector<char> &data);
    bool ReadDevice(HANDLE device, bool &drained);

    // The stack's wakes against this port's reads (see Wake).
    void SetCanRead(bool can);
    [[nodiscard]] uint64_t WakesSoFar();
    void Served(uint64_t wakes);
    void TakeWake();

    const std::u16string deviceName_;
    const std::string name_;
    const PortLink link_;
    const Clock::duration pollInterval_;
    FILE *const messages_;
    int master_ = -1;
    int stopPipe_[2] = {-1, -1};
    int radioWake_ = -1; // eventfd: the radio delivered
    std::string slavePath_;
    bool linked_ = false;
    std::thread thread_;
    DWORD deviceError_ = ERROR_SUCCESS; // why the last device call failed
    std::atomic<bool> serving_{false};  // a program has the device open through us
    std::mutex flowLock_;
    std::condition_variable flow_;
    uint64_t wakes_ = 0;   // wake-ups given
    uint64_t served_ = 0;  // wake-ups whose data a read has taken
    bool canRead_ = false; // serving, with room for what the device holds
    std::atomic<bool> unloadReported_{false};
    std::vector<char> pending_;                    // device bytes the terminal has not taken yet
    std::array<char, kPendingBytes> readBuffer_{}; // one ReadFile's bytes
    std::vector<char> chunk_;                      // one read of the terminal
};

} // namespace phone

#endif // TAVRINEL_PHONE_PORT_BRIDGE_H
