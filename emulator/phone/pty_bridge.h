// pty_bridge.h — offers every active "COM" device of the phone to Linux
// programs as a pseudo-terminal, so that any serial program is a real
// client of the port.
//
// Per port: a pseudo-terminal in raw mode (slave mode 0600) and a stable
// link ROOT/dev/COM9 to its slave. The bridge never holds the slave open
// itself, so the master reports a hang-up exactly while no program has the
// terminal open. When a program opens it, the bridge opens the device
// (CreateFileW), forwards what the program writes to WriteFile, polls
// ReadFile every poll interval and writes what it gets back; when the
// program closes the terminal, the bridge closes the device.
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

namespace phone {

inline constexpr size_t kPendingBytes = 4096;

struct BridgeOptions {
    std::string root;        // device root; links go to ROOT/dev
    int pollMs = 10;         // ReadFile interval while a program is attached
    int rescanMs = 250;      // how often the active device list is checked
    FILE *messages = stdout; // where served ports and problems are reported
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

private:
    void Watch();

    BridgeOptions options_;
    std::string devDir_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread watcher_;
    struct Entry {
        HANDLE device = nullptr;
        std::unique_ptr<PortBridge> bridge;
    };
    std::map<std::string, Entry> ports_;    // by link name
    std::map<std::string, HANDLE> refused_; // reported once per activation
    std::mutex rescanLock_;                 // one rescan at a time
};

} // namespace phone

#endif // TAVRINEL_PHONE_PTY_BRIDGE_H
