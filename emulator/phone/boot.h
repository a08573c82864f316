// boot.h — the phone's start-up helpers: its root folder and the receiver
// driver's registry key.
#ifndef TAVRINEL_PHONE_BOOT_H
#define TAVRINEL_PHONE_BOOT_H

#include <string>

namespace phone {

// The receiver driver's key under HKEY_LOCAL_MACHINE.
inline constexpr const char16_t *kReceiverDriverKey = u"Drivers\\Tavrinel";

// $XDG_STATE_HOME/tavrinel/phone, else ~/.local/state/tavrinel/phone; ""
// when neither a state folder nor a home folder is known.
std::string DefaultRoot();

// Creates `path` and any missing parents with mode 0700. The folder must
// end up a folder of this user.
bool MakePrivateFolder(const std::string &path, std::string &error);

// Writes the receiver driver's key as the control program would: "Dll",
// "Prefix" = "COM", "Index" = 9, "Order" = 9, and the settings "Band",
// "Data", "Mute", "Sound", "Frequency" only where they are missing, so that
// a frequency saved by the driver survives.
bool InstallReceiverDriver(std::string &error);

} // namespace phone

#endif // TAVRINEL_PHONE_BOOT_H
