// boot.h — the phone's start-up helpers: its root folder and the receiver
// driver's registry key.
#ifndef TAVRINEL_PHONE_BOOT_H
#define TAVRINEL_PHONE_BOOT_H

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace phone {

// The receiver driver's key under HKEY_LOCAL_MACHINE.
inline constexpr const char16_t *kReceiverDriverKey = u"Drivers\\Tavrinel";

// $XDG_STATE_HOME/tavrinel/phone, else ~/.local/state/tavrinel/phone; ""
// when neither a state folder nor a home folder is known.
std::string DefaultRoot();

// Resolves `path` once as the phone's root and holds it open as the device
// root (platform::SetDeviceRootFolder; `resolved` is its path, links
// followed). Refused, with one line naming the path and its owner, before
// anything is made or changed: a folder on the way, a link on the way or the
// root itself of another account (root's own excepted), a folder on the way
// that others can write without the sticky bit, an entry of the root or of
// ROOT/dev of another account, and a root that is neither empty nor holds a
// phone's files. Missing folders are then made with mode 0700. `notes` says
// whether the root was empty or a phone's.
bool OpenRoot(const std::string &path, std::string &resolved, std::vector<std::string> &notes,
              std::string &error);

// OpenRoot, its notes written to stderr.
bool MakePrivateFolder(const std::string &path, std::string &error);

// Takes the root for this process (the held root when it is `root`): a lock
// on ROOT/phone.lock, held until the
// process ends. When another phone holds it, answers false with a message
// that names the root and that phone's process id; nothing is changed.
bool LockRoot(const std::string &root, std::string &error);

// Makes a root that was open to others private again: the root and the
// folders in it 0700, its files 0600, each change told in `notes`. Refuses
// (false, `error`) when the root or anything in it or in ROOT/dev belongs to
// another user: they could have put it there. Every check is made before
// the first change. Links are left as they are
// (nothing follows them). Files with more than one hard link are named in
// `notes`: logs refuse them.
bool SecureRoot(const std::string &root, std::vector<std::string> &notes, std::string &error);

// Opens a log of the phone for appending as the driver's log is opened: no
// link followed, a regular file of a single link only, mode 0600. Null with
// `error` when refused.
FILE *OpenPrivateLog(const std::string &path, std::string &error);
// The same for the log `name` of the held root, opened relative to it. A
// path into the held root given to OpenPrivateLog takes this way too.
FILE *OpenRootLog(const std::string &name, std::string &error);

// ROOT/phone.log's cap, as the driver's log has one.
inline constexpr long kPhoneLogCapBytes = 1024 * 1024;
// What may be written between two looks at the log (BoundPhoneLog): it
// turns this much before its cap.
inline constexpr long kPhoneLogHeadroomBytes = 64 * 1024;

// Keeps ROOT/phone.log, which `log` and standard error write to, under its
// cap: once nearly full it becomes ROOT/phone.log.old and both write to a
// new file. While the old file cannot be replaced they write to nowhere.
// Called now and then (the phone's main loop looks every 250 ms), since
// much of the log comes through standard error from other modules.
void BoundPhoneLog(FILE *log);

// `text` as a line of the phone's log may hold it: control bytes (C0, DEL,
// C1 and the UTF-8 forms of C1) written as "\xHH", so that no text from
// outside can forge a line or reach the reader's terminal as a control.
std::string LogText(std::string_view text);

// What a refused registry change says: `what`, then why ("the registry is
// full" for ERROR_NOT_ENOUGH_QUOTA, else the error number).
std::string RegistryRefusal(const std::string &what, long rc);

// Active devices whose keys load the same module ("Dll", compared without
// regard to case), one line each: our drivers serve one port per module, so
// the later device takes it over and the earlier one fails every open.
std::vector<std::string> SharedDriverWarnings();

// The receiver driver's stored settings that keep its radio off, one line
// each (the driver only says so in its own log, at the first open).
std::vector<std::string> ReceiverSettingWarnings();

// The active device ("HKLM\\KEY (COM8:)") whose key loads the same module
// as HKLM\\`key`, or "" when there is none: loading it again would take
// that device's port over.
std::string DeviceOfTheSameModule(const std::u16string &key);

// `text` quoted for a POSIX shell, so that a pasted command line names
// exactly that path whatever it holds.
std::string ShellQuoted(const std::string &text);

// Writes the receiver driver's key as the control program would: "Dll",
// "Prefix" = "COM", "Index" = 9, "Order" = 9, and the settings "Band",
// "Data", "Mute", "Sound", "Frequency" only where they are missing, so that
// a frequency saved by the driver survives.
bool InstallReceiverDriver(std::string &error);

// ---------------------------------------------------------------- threads

// What the phone says when the system refuses it a thread.
inline constexpr const char *kNoThread = "cannot start a thread (memory limit?)";

// A refused thread is said (on standard error, once) and powers the phone
// off through its own power-off signal, which needs no thread.
void ThreadRefused();
// Whether a thread was refused since the phone started.
bool WasThreadRefused();

// Starts `body` on `thread`; false when the system refuses a thread (under
// a memory limit std::thread throws), after ThreadRefused.
template <typename Body> bool StartThread(std::thread &thread, Body &&body) {
    try {
        thread = std::thread(std::forward<Body>(body));
        return true;
    } catch (const std::exception &) {
        ThreadRefused();
        return false;
    }
}

} // namespace phone

#endif // TAVRINEL_PHONE_BOOT_H
