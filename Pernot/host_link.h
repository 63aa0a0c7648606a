// The plug-in's copy of the host's service table and thin calls through it.
#pragma once

#include "Pernot/host_interface.h"

namespace pernot {

// Keeps a copy of the table given to Load; a null link clears it.
void SetHostLink(const PLUGINLINK* link);
bool HostLinked();

// Calls a host service; without a link (or a service pointer) returns
// CALLSERVICE_NOTFOUND.
INT_PTR CallService(const char* name, WPARAM wParam = 0, LPARAM lParam = 0);
HANDLE HookEvent(const char* name, MIRANDAHOOK hook);
void UnhookEvent(HANDLE hook);

// The host's translation of a text; the text itself when the host gives none.
const char* Translate(const char* text);

}  // namespace pernot
