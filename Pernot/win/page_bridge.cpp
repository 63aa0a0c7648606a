#include "Pernot/win/page_bridge.h"

#include "Pernot/host_link.h"
#include "Pernot/protocols.h"
#include "Pernot/settings.h"
#include "Pernot/state.h"
#include "Pernot/window.h"

namespace pernot::winpage {

int Interval() { return State().interval; }

bool Debug() { return State().debug != 0; }

void Store(int interval, bool debug) {
    PluginState& state = State();
    state.interval = interval;
    state.debug = debug ? 1 : 0;
    SaveSettings();
    if (state.debug) ShowMessage("Pernot:Your changes stored succefully.", "Pernot:Debug");
}

int ProtocolCount() { return static_cast<int>(EnumProtocols().size()); }

const char* ProtocolName(int index) {
    auto protocols = EnumProtocols();
    if (index < 0 || static_cast<size_t>(index) >= protocols.size() || !protocols[index]) return nullptr;
    return protocols[index]->szName;
}

bool ProtocolRestored(const char* name) { return pernot::ProtocolRestored(name); }

void SetProtocolRestored(const char* name, bool on) { pernot::SetProtocolRestored(name, on); }

void TranslateDialog(void* dialog) {
    LANGPACKTRANSLATEDIALOG translate{};
    translate.cbSize = sizeof translate;
    translate.flags = 0;
    translate.hwndDlg = static_cast<HWND>(dialog);
    translate.ignoreControls = nullptr;
    CallService(MS_LANGPACK_TRANSLATEDIALOG, 0, reinterpret_cast<LPARAM>(&translate));
}

}  // namespace pernot::winpage
