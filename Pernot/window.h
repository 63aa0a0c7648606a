// Window-system calls of the plug-in: timer, message box and dialog controls.
// Timers and message boxes are asked of the host; dialog controls are reached
// through the operations of the dialog the host built.
#pragma once

#include "Pernot/host_interface.h"

namespace pernot {

// Starts a periodic timer; returns its id, 0 when the host refused.
UINT_PTR StartTimer(int intervalMs, TIMERPROC proc);
void StopTimer(UINT_PTR timerId);
void ShowMessage(const char* text, const char* caption);

void SetDlgItemSigned(HWND dlg, int id, int value);
// The control's text as a signed number; 0 when it is not one.
int GetDlgItemSigned(HWND dlg, int id);
void CheckDlgButton(HWND dlg, int id, UINT check);
UINT IsDlgButtonChecked(HWND dlg, int id);

}  // namespace pernot
