// Remembering statuses and putting fallen accounts back.
#pragma once

#include "Pernot/host_interface.h"

namespace pernot {

// Hook of "CList/StatusModeChange": records the global status and the status
// of every protocol. Its arguments are not used.
int OnStatusModeChange(WPARAM wParam, LPARAM lParam);

// Timer procedure: restores the global status and every protocol that has
// fallen offline.
void OnTimerTick(UINT_PTR timerId);

}  // namespace pernot
