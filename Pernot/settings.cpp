#include "Pernot/settings.h"

#include <string>

#include "Pernot/host_link.h"
#include "Pernot/state.h"

namespace pernot {

DWORD ReadSetting(const char* name, DWORD fallback) {
    DBVARIANT value{};
    DBCONTACTGETSETTING request{kModule, name, &value};
    if (CallService(MS_DB_CONTACT_GETSETTING, 0, reinterpret_cast<LPARAM>(&request)) != 0)
        return fallback;
    // A value stored as another type than a number is not ours to read.
    return value.type == DBVT_DWORD ? value.dVal : fallback;
}

void WriteSetting(const char* name, DWORD value) {
    DBCONTACTWRITESETTING request{kModule, name, DBVARIANT{DBVT_DWORD, value}};
    CallService(MS_DB_CONTACT_WRITESETTING, 0, reinterpret_cast<LPARAM>(&request));
}

static std::string RestoreSetting(const char* protocol) { return std::string("iRestore_") + protocol; }

bool ProtocolRestored(const char* protocol) { return ReadSetting(RestoreSetting(protocol).c_str(), 1) != 0; }

void SetProtocolRestored(const char* protocol, bool on) { WriteSetting(RestoreSetting(protocol).c_str(), on ? 1 : 0); }

void LoadSettings() {
    PluginState& state = State();
    state.interval = static_cast<int>(ReadSetting(kTimeOutSetting, kDefaultInterval));
    state.debug = ReadSetting(kDebugSetting, 0);
}

void SaveSettings() {
    const PluginState& state = State();
    WriteSetting(kTimeOutSetting, static_cast<DWORD>(state.interval));
    WriteSetting(kDebugSetting, state.debug);
}

}  // namespace pernot
