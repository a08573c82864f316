// pty_bridge.h — offers every active "COM" device of the phone to Linux
// programs as a pseudo-terminal, so that any serial program is a real
// client of the port.
//
// Per port: a pseudo-terminal in raw mode (slave mode 0600) and a stable
// link ROOT/dev/COM9 to its slave. The bridge never holds the slave open
// itself, so the master reports a hang-up exactly while no program has the
// terminal open. When a program opens it, the bridge opens the device
// (CreateFileW), forwards what the program writes to WriteFile, and calls
// ReadFile when there can be something to read: when woken (Wake: the FM
// stack has delivered events, as a radio's interrupt wakes a device), right
// after a write, and at the latest one poll interval after the last read
// (a safety net for a stack that does not wake). What it reads goes to the
// terminal. When the program closes the terminal, the bridge closes the
// device. Bytes a program wrote reach the device even when it closed the
// terminal at once.
//
// Buffer rule: bytes read from the device wait in a pending buffer of
// kPendingBytes until the terminal takes them. While that buffer is full
// the bridge stops reading the device, so the driver's own buffer decides
// what is dropped when a program does not read.
//
// The link is only ever replaced when it is a symbolic link; a port whose
// link path holds anything else (a file, a folder) is not served, with a
// message, and nothing there is touched.
#ifndef TAVRINEL_PHONE_PTY_BRIDGE_H
#define TAVRINEL_PHONE_PTY_BRIDGE_H

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include <platform/emulation.h>

namespace phone {

inline constexpr size_t kPendingBytes = 4096;
// The longest the stack's thread waits for a port that has not yet read
// what the previous wake announced (PortBridge::Wake).
inline constexpr int kCatchUpMs = 50;
// The longest time without a read while a program is attached: long when
// the FM stack wakes the bridge (a safety net only), short when it does not
// (then the poll is what reads the port).
inline constexpr int kSafetyPollMs = 1000;
inline constexpr int kPollOnlyMs = 10;

struct BridgeOptions {
    std::string root;           // device root; links go to ROOT/dev
    int pollMs = kSafetyPollMs; // longest time without a ReadFile while a program is attached
    int rescanMs = 5000;        // safety net: the device manager tells of each change
    FILE *messages = stdout;    // where served ports and problems are reported
};

// What a served port looks like from Linux.
struct ServedPort {
    std::string name;      // "COM9"
    std::string link;      // ROOT/dev/COM9
    std::string slavePath; // /dev/pts/5
};

// Answers whether `deviceName` ("COM9:") is a port the bridge serves, and
// its link name ("COM9"). Names come from drivers' keys: only "COM" and one
// to three digits pass.
bool PortLinkName(const std::u16string &deviceName, std::string &linkName);

class PortBridge;

class PtyBridge {
public:
    explicit PtyBridge(BridgeOptions options);
    ~PtyBridge();
    PtyBridge(const PtyBridge &) = delete;
    PtyBridge &operator=(const PtyBridge &) = delete;

    // Serves the ports active now and starts watching for others.
    bool Start(std::string &error);
    // Stops every port (closing open devices) and removes the links.
    void Stop();
    // Checks the active devices once (also done periodically).
    void Rescan();
    [[nodiscard]] std::vector<ServedPort> Ports();
    // The radio has delivered events: every port with a program attached
    // reads its device now. Waits (up to kCatchUpMs a port) only for a port
    // that could read but has not yet taken the previous wake's data; any
    // thread may call it but a port's own.
    void Wake();

private:
    void Watch();
    static void DevicesChanged(void *self);

    BridgeOptions options_;
    std::string devDir_;                                    // for messages
    std::shared_ptr<const platform::HeldFolder> devFolder_; // ROOT/dev, held open
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool changed_ = false; // the device manager told of a change
    std::thread watcher_;
    struct Entry {
        HANDLE device = nullptr;
        std::unique_ptr<PortBridge> bridge;
    };
    std::map<std::string, Entry> ports_;    // by link name
    std::map<std::string, HANDLE> refused_; // reported once per activation
    std::mutex rescanLock_;                 // one rescan at a time
};

// The FM stack's wake-up (FMS_API.dll's export FmsimSetWake): once
// attached to a bridge, the stack calls its Wake after each batch of events
// it delivered. It holds the stack module loaded, so the connection
// outlives the driver's unloads. A stack without the hook leaves the ports
// to the poll; Problem() says why.
class StackWake {
public:
    StackWake();
    ~StackWake(); // detaches
    // Wakes `bridge` from now on (null: nobody); when this returns, a wake
    // of the previous bridge has finished.
    void Attach(PtyBridge *bridge);
    StackWake(const StackWake &) = delete;
    StackWake &operator=(const StackWake &) = delete;

    [[nodiscard]] bool Connected() const { return setWake_ != nullptr; }
    [[nodiscard]] const std::string &Problem() const { return problem_; }

private:
    using WakeFunction = void (*)(void *context);
    using SetWakeFunction = void (*)(WakeFunction wake, void *context);

    HMODULE module_ = nullptr;
    SetWakeFunction setWake_ = nullptr;
    std::string problem_;
};

} // namespace phone

#endif // TAVRINEL_PHONE_PTY_BRIDGE_H
