// Entry points the host looks up in the plug-in library.
#include "Pernot/host_interface.h"
#include "Pernot/host_link.h"
#include "Pernot/options.h"
#include "Pernot/reconnect.h"
#include "Pernot/settings.h"
#include "Pernot/state.h"
#include "Pernot/window.h"

// On a 32-bit build the records have the host's sizes.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(PLUGININFO) == 40);
static_assert(sizeof(OPTIONSDIALOGPAGE) == 60);
static_assert(sizeof(LANGPACKTRANSLATEDIALOG) == 16);
#endif

#ifdef _WIN32
#define PERNOT_EXPORT extern "C" __declspec(dllexport)
#else
#define PERNOT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace pernot {
namespace {

PluginState g_state;

PLUGININFO g_info = {
    sizeof(PLUGININFO),
    "Pernet",
    PLUGIN_MAKE_VERSION(0, 2, 1, 2),
    "Plugin try to restore connection automatically.",
    "Tarn",
    "vorn@localhost",
    "(c) Tarn",
    "http://localhost/vorn/",
    0,
    0,
};

// Timer and hooks of an earlier Load that was not followed by Unload.
void Detach(PluginState& state) {
    StopTimer(state.timer);
    UnhookEvent(state.optionsHook);
    UnhookEvent(state.statusHook);
    state.timer = 0;
    state.optionsHook = nullptr;
    state.statusHook = nullptr;
}

void ShowDebug(const char* text) {
    if (g_state.debug) ShowMessage(text, "Pernot:Debug");
}

}  // namespace

PluginState& State() { return g_state; }

}  // namespace pernot

using namespace pernot;

PERNOT_EXPORT PLUGININFO* MirandaPluginInfo(DWORD) { return &g_info; }

PERNOT_EXPORT int Load(PLUGINLINK* link) {
    if (HostLinked()) Detach(g_state);
    g_state = PluginState{};
    SetHostLink(link);
    if (!link) return 0;
    g_state.optionsHook = HookEvent(ME_OPT_INITIALISE, OnOptionsInitialise);
    g_state.statusHook = HookEvent(ME_CLIST_STATUSMODECHANGE, OnStatusModeChange);
    LoadSettings();
    // 0 or below is what the options page stores for text that is not a number.
    if (g_state.interval <= 0) g_state.interval = kDefaultInterval;
    ShowDebug("Pernot:Try to reconnect.");
    g_state.timer = StartTimer(g_state.interval, OnTimerTick);
    ShowDebug("Pernot:Loaded succefully.");
    return 0;
}

PERNOT_EXPORT int Unload(void) {
    if (!HostLinked()) return 0;
    SaveSettings();
    ShowDebug("Pernot:Unloaded succefully.");
    Detach(g_state);
    SetHostLink(nullptr);
    return 0;
}
