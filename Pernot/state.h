// What the plug-in keeps in memory between host calls.
#pragma once

#include <array>

#include "Pernot/host_interface.h"

namespace pernot {

// Used when no interval is stored, and at Load for a stored 0 or below (what the options
// page writes for text that is not a number), which would make the timer fire without pause.
constexpr int kDefaultInterval = 20000;
// Room in the table of remembered protocol statuses.
constexpr int kMaxProtocols = 100;

struct PluginState {
    int interval = kDefaultInterval;
    DWORD debug = 0;
    int globalStatus = ID_STATUS_ONLINE;
    // By position in the host's protocol list; 0 = nothing recorded yet.
    std::array<int, kMaxProtocols> protocolStatus{};
    UINT_PTR timer = 0;
    HANDLE optionsHook = nullptr;
    HANDLE statusHook = nullptr;
};

PluginState& State();

}  // namespace pernot
