// The plug-in's two settings in the host's database (module "Pernot",
// no contact, 32-bit numbers).
#pragma once

#include "Pernot/host_interface.h"

namespace pernot {

inline constexpr char kModule[] = "Pernot";
inline constexpr char kTimeOutSetting[] = "iTimeOut";
inline constexpr char kDebugSetting[] = "iDebugMsg";

DWORD ReadSetting(const char* name, DWORD fallback);
void WriteSetting(const char* name, DWORD value);

// Whether the timer restores a protocol that has gone offline: the setting "iRestore_" + the
// protocol's name, 1 (restore) when missing. The Windows options page lists the host's
// protocols with a check box for each.
bool ProtocolRestored(const char* protocol);
void SetProtocolRestored(const char* protocol, bool on);

// Reads "iTimeOut" and "iDebugMsg" into the state, defaults when missing.
void LoadSettings();
// Writes the state's interval and debug flag.
void SaveSettings();

}  // namespace pernot
