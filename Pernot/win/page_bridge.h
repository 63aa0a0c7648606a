// What the Windows options page needs of the plug-in, in plain types: the page's code
// includes <windows.h>, whose window types clash with those of the host header.
#pragma once

namespace pernot::winpage {

// Pernot.dll's module handle (its resources hold dialog 101) and the page's dialog procedure.
void* Module();
void* DialogProcedure();
// Registers the list-view class the page uses; called before the host creates the page.
void PrepareControls();

// Implemented beside the rest of the plug-in (page_bridge.cpp).
int Interval();
bool Debug();
// Takes the page's interval and debug switch and writes them to the host's settings; shows
// the debug box when the switch is on.
void Store(int interval, bool debug);
// The host's protocols, by position; null for an entry without a name.
int ProtocolCount();
const char* ProtocolName(int index);
bool ProtocolRestored(const char* name);
void SetProtocolRestored(const char* name, bool on);
void TranslateDialog(void* dialog);

}  // namespace pernot::winpage
