#include "Pernot/reconnect.h"

#include "Pernot/host_link.h"
#include "Pernot/protocols.h"
#include "Pernot/settings.h"
#include "Pernot/state.h"
#include "Pernot/window.h"

namespace pernot {
namespace {

int ServiceStatus(const char* service) {
    return static_cast<int>(CallService(service));
}

// The status to set for one that is offline now: the remembered one, except
// that offline (even when chosen) becomes online.
int StatusToRestore(int& remembered) {
    if (remembered == ID_STATUS_OFFLINE) remembered = ID_STATUS_ONLINE;
    return remembered;
}

void RestoreGlobal(PluginState& state) {
    const int status = ServiceStatus(MS_CLIST_GETSTATUSMODE);
    if (status == ID_STATUS_OFFLINE) {
        CallService(MS_CLIST_SETSTATUSMODE, static_cast<WPARAM>(StatusToRestore(state.globalStatus)));
    } else if (status != ID_STATUS_CONNECTING) {
        state.globalStatus = status;
    }
}

void RestoreProtocol(PluginState& state, const PROTOCOLDESCRIPTOR* proto, int& remembered) {
    auto getStatus = ProtocolService(proto, PS_GETSTATUS);
    auto setStatus = ProtocolService(proto, PS_SETSTATUS);
    if (!getStatus || !setStatus) return;
    const int status = ServiceStatus(getStatus->c_str());
    if (status == ID_STATUS_OFFLINE) {
        // A protocol switched off on the options page is left offline.
        if (!ProtocolRestored(proto->szName)) return;
        const WORD wanted = static_cast<WORD>(StatusToRestore(remembered));
        CallService(setStatus->c_str(), wanted);
        if (state.debug) ShowMessage("Pernot: Try to reconnect.", "Pernot: Debug");
    } else if (status != ID_STATUS_CONNECTING) {
        remembered = status;
    }
}

}  // namespace

int OnStatusModeChange(WPARAM, LPARAM) {
    if (!HostLinked()) return 0;
    PluginState& state = State();
    state.globalStatus = ServiceStatus(MS_CLIST_GETSTATUSMODE);
    auto protocols = EnumProtocols();
    for (size_t i = 0; i < protocols.size(); ++i) {
        auto service = ProtocolService(protocols[i], PS_GETSTATUS);
        // A protocol that is still connecting keeps what was remembered before: restoring
        // "connecting" later would not bring the account back.
        if (!service) continue;
        int status = ServiceStatus(service->c_str());
        if (status != ID_STATUS_CONNECTING) state.protocolStatus[i] = status;
    }
    return 0;
}

void OnTimerTick(UINT_PTR) {
    if (!HostLinked()) return;
    PluginState& state = State();
    RestoreGlobal(state);
    auto protocols = EnumProtocols();
    for (size_t i = 0; i < protocols.size(); ++i) {
        if (state.protocolStatus[i] == 0) state.protocolStatus[i] = ID_STATUS_ONLINE;
    }
    for (size_t i = 0; i < protocols.size(); ++i)
        RestoreProtocol(state, protocols[i], state.protocolStatus[i]);
}

}  // namespace pernot
