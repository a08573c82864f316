// platform/emulation.h — controls of the emulated device that have no
// Win32 counterpart: where its file system and modules live, how fast its
// clock runs, and the registry file. Used by the phone, the demo and tests;
// never by the deliverables themselves.
#ifndef TAVRINEL_PLATFORM_EMULATION_H
#define TAVRINEL_PLATFORM_EMULATION_H

#include <functional>
#include <memory>
#include <string>

#include "windows.h"

namespace platform {

// ---- device clock
// Every Sleep, GetTickCount and wait time-out runs on one clock. A speed of
// 10 runs a 5000 ms time-out in 500 ms of real time. Also read from the
// environment variable TAVRINEL_CLOCK_SPEED at first use. Speed > 0.
void SetClockSpeed(double speed);
double GetClockSpeed();

// ---- modules
// The folder that "\Windows\X" and bare module names resolve to. Defaults to
// TAVRINEL_MODULE_DIR from the environment, else the folder of the running
// executable.
void SetModuleDir(const std::string &dir);
std::string GetModuleDir();
// Test hook: LoadLibraryW(name) loads `path` instead (an absolute host
// path). An empty path removes the mapping.
void MapModule(const std::u16string &name, const std::string &path);
void ClearModuleMaps();
// Why the calling thread's last LoadLibraryW failed, in host terms (the
// dlerror text, "no such file", "refused module name"). Setting the
// environment variable TAVRINEL_LOADER_DEBUG also prints it to stderr.
std::string LastLoaderError();

// ---- device root (the phone's file system)
// Files named "\X" live under ROOT/X. Empty until set. The root's folder is
// held open: every file of it is created, opened, renamed and removed
// relative to that folder (never through its path again, no link followed
// on the way), so a path swapped while the device runs redirects nothing.

// A folder held open; the descriptor is closed with the last holder.
class HeldFolder {
public:
    HeldFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~HeldFolder();
    HeldFolder(const HeldFolder &) = delete;
    HeldFolder &operator=(const HeldFolder &) = delete;
    [[nodiscard]] int Fd() const { return fd_; } // -1: the folder could not be opened
    [[nodiscard]] const std::string &Path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// Opens `dir` as the root; setting the path of the root already held, and
// still naming the same folder, keeps it.
void SetDeviceRoot(const std::string &dir);
// Takes `fd`, a folder the caller opened and checked, as the root named
// `path`. A later SetDeviceRoot of the same path keeps it.
void SetDeviceRootFolder(int fd, const std::string &path);
std::string GetDeviceRoot();
// The root's folder; null when no root is set.
std::shared_ptr<const HeldFolder> GetDeviceRootFolder();

// A file named by a device path: the folder that holds it, held open, and
// its name in there ("." for the root itself); `hostPath` is for messages.
struct DeviceFileName {
    std::shared_ptr<const HeldFolder> folder;
    std::string name;
    std::string hostPath;
};
// 0, or an errno: ENOENT with no root set, EINVAL for a refused name (as
// ResolveDevicePath), else why a folder on the way did not open (ELOOP for
// a link: none is followed).
int LocateDeviceFile(const std::u16string &devicePath, DeviceFileName &out);

// Where the device's files tell the user of a file they refuse to use (a
// link or a FIFO where a file was expected), once for each. SetRegistryNotice
// sets it too: the phone has one place for the system's news.
void SetFileNotice(std::function<void(const std::string &)> notice);
// Says `text` through the file notice, unless it has been said already.
void FileNotice(const std::string &text);
// Host path of a device path ("\Tavrinel.log" -> ROOT/Tavrinel.log).
// Answers false for names that would leave the root ("..", absolute host
// paths) or when no root is set.
bool ResolveDevicePath(const std::u16string &devicePath, std::string &hostPath);

// ---- registry persistence
// Loads ROOT/registry.reg into the registry, or writes the first-boot
// defaults when there is no such file. On a malformed file the registry is
// left as it was (the defaults, or the last good state), the file is not
// overwritten, and `error` reads "FILE:LINE: message". From then on every
// change is saved (temp file + rename).
bool BootRegistry(const std::string &rootDir, std::string &error);
// Parse a registry file into the live registry (replacing both hives) or
// report "FILE:LINE: message". Nothing changes on error.
bool LoadRegistryFile(const std::string &path, std::string &error);
// Write the persistent part of the registry atomically.
bool SaveRegistryFile(const std::string &path, std::string &error);
// Where the registry tells the user what happens to its file: a save that
// fails (once for each cause, and when saving works again), a file that
// could not be read kept aside. Called with the registry's lock held: it
// must not call the registry. Also sets the file notice (SetFileNotice).
void SetRegistryNotice(std::function<void(const std::string &)> notice);
// Empties both hives and stops persisting (tests).
void ResetRegistry();
// Writes the keys a new phone has (volume keys, GPS multiplexer key).
void WriteRegistryDefaults();

// ---- audio
// Counts AudioUpdateFromRegistry calls (tests).
unsigned AudioRefreshCount();

// ---- text
std::u16string Widen(const std::string &utf8);
std::string Narrow(const std::u16string &utf16);

} // namespace platform

#endif // TAVRINEL_PLATFORM_EMULATION_H
