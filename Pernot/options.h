// The options page: interval and debug switch.
#pragma once

#include "Pernot/host_interface.h"

namespace pernot {

constexpr int kOptionsDialog = 101;
constexpr int kTimeOutEdit = 1001;
constexpr int kDebugCheck = 1002;

// The plug-in's resources; the options page names this as its module.
HINSTANCE ModuleResources();

// Hook of "Opt/Initialise": adds the page.
int OnOptionsInitialise(WPARAM wParam, LPARAM lParam);

#ifndef _WIN32
// The page's procedure over the host-built dialog (POSIX hosts).
INT_PTR OptionsDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
#endif

}  // namespace pernot
