// pty_bridge.cpp — pseudo-terminals in front of the phone's COM devices
// (see pty_bridge.h for the rules).
#include "pty_bridge.h"

#include "boot.h"
#include "port_bridge.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <platform/devices.h>
#include <platform/emulation.h>

namespace phone {

namespace {

constexpr size_t kMaxPortDigits = 3; // "COM" + up to three digits

} // namespace

// ---------------------------------------------------------------- all ports

bool PortLinkName(const std::u16string &deviceName, std::string &linkName) {
    const size_t n = deviceName.size();
    if (n < 5 || n > 4 + kMaxPortDigits || deviceName.compare(0, 3, u"COM") != 0 ||
        deviceName[n - 1] != u':')
        return false;
    std::string name = "COM";
    for (size_t i = 3; i + 1 < n; ++i) {
        if (deviceName[i] < u'0' || deviceName[i] > u'9')
            return false;
        name += static_cast<char>(deviceName[i]);
    }
    linkName = name;
    return true;
}

PtyBridge::PtyBridge(BridgeOptions options) : options_(std::move(options)) {
    options_.pollMs = std::clamp(options_.pollMs, 1, 1000);
    options_.rescanMs = std::clamp(options_.rescanMs, 10, 10000);
}

PtyBridge::~PtyBridge() {
    Stop();
}

bool PtyBridge::Start(std::string &error) {
    devDir_ = options_.root + "/dev";
    // The phone's root was resolved and checked once at boot and is held
    // open: ROOT/dev is made and used relative to it, never through the path.
    auto root = platform::GetDeviceRootFolder();
    if (!root || root->Path() != options_.root) {
        const int fd = open(options_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + options_.root + ": " + Errno();
            return false;
        }
        root = std::make_shared<const platform::HeldFolder>(fd, options_.root);
    }
    if (mkdirat(root->Fd(), "dev", 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + devDir_ + ": " + Errno();
        return false;
    }
    // The links must live in a folder of ours: never follow a link here.
    const int dev = openat(root->Fd(), "dev", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (dev < 0 || fstat(dev, &st) != 0 || st.st_uid != getuid()) {
        if (dev >= 0)
            close(dev);
        error = devDir_ + " is not a folder of this user";
        return false;
    }
    devFolder_ = std::make_shared<const platform::HeldFolder>(dev, devDir_);
    if ((st.st_mode & 077) != 0 && fchmod(dev, 0700) != 0) {
        error = "cannot restrict " + devDir_ + ": " + Errno();
        return false;
    }
    platform::WatchActiveDevices(&PtyBridge::DevicesChanged, this);
    Rescan();
    if (!StartThread(watcher_, [this] { Watch(); })) {
        error = kNoThread;
        return false;
    }
    return true;
}

void PtyBridge::DevicesChanged(void *self) {
    auto *bridge = static_cast<PtyBridge *>(self);
    {
        std::lock_guard guard(bridge->lock_);
        bridge->changed_ = true;
    }
    bridge->wake_.notify_all();
}

void PtyBridge::Stop() {
    platform::WatchActiveDevices(nullptr, this);
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    std::lock_guard rescan(rescanLock_);
    std::map<std::string, Entry> ports;
    {
        std::lock_guard guard(lock_);
        ports.swap(ports_);
    }
    // Ask all first: a port that is opening its device finishes that open
    // before it can stop, and the others need not wait in line behind it.
    for (auto &[name, entry] : ports)
        entry.bridge->RequestStop();
    for (auto &[name, entry] : ports)
        entry.bridge.reset();
}

void PtyBridge::Watch() {
    for (;;) {
        {
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, std::chrono::milliseconds(options_.rescanMs),
                           [this] { return stopping_ || changed_; });
            if (stopping_)
                return;
            changed_ = false;
        }
        Rescan();
    }
}

void PtyBridge::Rescan() {
    std::lock_guard rescan(rescanLock_);
    std::map<std::string, HANDLE> wanted;
    std::map<std::string, std::u16string> deviceNames;
    for (const auto &device : platform::ListActiveDevices()) {
        std::string link;
        if (PortLinkName(device.name, link)) {
            wanted[link] = device.handle;
            deviceNames[link] = device.name;
        }
    }
    // Ports that went away, or came back as another device.
    std::vector<std::unique_ptr<PortBridge>> gone;
    {
        std::lock_guard guard(lock_);
        for (auto it = ports_.begin(); it != ports_.end();) {
            auto w = wanted.find(it->first);
            if (w == wanted.end() || w->second != it->second.device) {
                it->second.bridge->ReportGone();
                gone.push_back(std::move(it->second.bridge));
                it = ports_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = refused_.begin(); it != refused_.end();) {
            auto w = wanted.find(it->first);
            it = (w == wanted.end() || w->second != it->second) ? refused_.erase(it) : ++it;
        }
    }
    gone.clear(); // stops them, outside the lock

    for (const auto &[link, handle] : wanted) {
        {
            std::lock_guard guard(lock_);
            if (stopping_)
                return;
            if (ports_.count(link))
                continue;
        }
        PortLink where{devFolder_, link, devDir_ + "/" + link};
        std::string error;
        struct stat st {};
        if (fstatat(devFolder_->Fd(), link.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISLNK(st.st_mode)) {
            // Checked before making a terminal, so that a refused port costs
            // nothing at each check.
            error = where.path + " exists and is not a symbolic link; not touching it (move it "
                                 "away and the port is served at the next check)";
        }
        auto bridge = error.empty()
                          ? std::make_unique<PortBridge>(deviceNames[link], link, std::move(where),
                                                         options_.pollMs, options_.messages)
                          : nullptr;
        if (!bridge || !bridge->Create(error)) {
            bridge.reset();
            std::lock_guard guard(lock_);
            auto r = refused_.find(link);
            if (r == refused_.end() || r->second != handle)
                Report(options_.messages, "%s: not served: %s\n", link.c_str(), error.c_str());
            refused_[link] = handle;
            continue;
        }
        const ServedPort info = bridge->Info();
        bridge->Start();
        {
            std::lock_guard guard(lock_);
            refused_.erase(link);
            ports_[link] = Entry{handle, std::move(bridge)};
        }
        Report(options_.messages,
               "%s: %s (%s) - try: picocom -b 4800 %s\n"
               "      or: python3 -c 'import sys;[print(l.decode(errors=\"replace\"),end=\"\") "
               "for l in open(sys.argv[1],\"rb\",0)]' %s\n",
               link.c_str(), info.link.c_str(), info.slavePath.c_str(),
               ShellQuoted(info.link).c_str(), ShellQuoted(info.link).c_str());
    }
}

void PtyBridge::Wake() {
    std::lock_guard guard(lock_);
    for (auto &[name, entry] : ports_)
        entry.bridge->Wake();
}

std::vector<ServedPort> PtyBridge::Ports() {
    std::lock_guard guard(lock_);
    std::vector<ServedPort> out;
    for (const auto &[name, entry] : ports_)
        out.push_back(entry.bridge->Info());
    return out;
}

// ---------------------------------------------------------------- the radio's wake-up

StackWake::StackWake() {
    module_ = LoadLibraryW(u"FMS_API.dll");
    if (module_ == nullptr) {
        problem_ = "the FM stack cannot be loaded (" + platform::LastLoaderError() + ")";
        return;
    }
    setWake_ = reinterpret_cast<SetWakeFunction>(
        reinterpret_cast<void *>(GetProcAddressW(module_, u"FmsimSetWake")));
    if (setWake_ == nullptr) {
        problem_ = "the FM stack does not signal its events";
        FreeLibrary(module_);
        module_ = nullptr;
        return;
    }
}

void StackWake::Attach(PtyBridge *bridge) {
    if (setWake_ == nullptr)
        return;
    if (bridge == nullptr)
        setWake_(nullptr, nullptr);
    else
        setWake_([](void *context) { static_cast<PtyBridge *>(context)->Wake(); }, bridge);
}

StackWake::~StackWake() {
    if (setWake_ != nullptr)
        setWake_(nullptr, nullptr); // a running call has finished when this returns
    if (module_ != nullptr)
        FreeLibrary(module_);
}

} // namespace phone
