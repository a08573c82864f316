// boot.h — the phone's start-up helpers: its root folder and the receiver
// driver's registry key.
#ifndef TAVRINEL_PHONE_BOOT_H
#define TAVRINEL_PHONE_BOOT_H

#include <cstdio>
#include <string>
#include <vector>

namespace phone {

// The receiver driver's key under HKEY_LOCAL_MACHINE.
inline constexpr const char16_t *kReceiverDriverKey = u"Drivers\\Tavrinel";

// $XDG_STATE_HOME/tavrinel/phone, else ~/.local/state/tavrinel/phone; ""
// when neither a state folder nor a home folder is known.
std::string DefaultRoot();

// Creates `path` and any missing parents with mode 0700. The folder must
// end up a folder of this user.
bool MakePrivateFolder(const std::string &path, std::string &error);

// Takes the root for this process: a lock on ROOT/phone.lock, held until the
// process ends. When another phone holds it, answers false with a message
// that names the root and that phone's process id; nothing is changed.
bool LockRoot(const std::string &root, std::string &error);

// Makes a root that was open to others private again: the root and the
// folders in it 0700, its files 0600, each change told in `notes`. Refuses
// (false, `error`) when the root or anything in it or in ROOT/dev belongs to
// another user: they could have put it there. Links are left as they are
// (nothing follows them). Files with more than one hard link are named in
// `notes`: logs refuse them.
bool SecureRoot(const std::string &root, std::vector<std::string> &notes, std::string &error);

// Opens a log of the phone for appending as the driver's log is opened: no
// link followed, a regular file of a single link only, mode 0600. Null with
// `error` when refused.
FILE *OpenPrivateLog(const std::string &path, std::string &error);

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

} // namespace phone

#endif // TAVRINEL_PHONE_BOOT_H
