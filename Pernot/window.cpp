#include "Pernot/window.h"

#include "Pernot/host_link.h"

namespace pernot {

UINT_PTR StartTimer(int intervalMs, TIMERPROC proc) {
    INT_PTR id = CallService(MS_HOST_SETTIMER, static_cast<WPARAM>(intervalMs),
                             reinterpret_cast<LPARAM>(proc));
    return id == CALLSERVICE_NOTFOUND ? 0 : static_cast<UINT_PTR>(id);
}

void StopTimer(UINT_PTR timerId) {
    if (timerId != 0) CallService(MS_HOST_KILLTIMER, timerId, 0);
}

void ShowMessage(const char* text, const char* caption) {
    CallService(MS_HOST_MESSAGEBOX, reinterpret_cast<WPARAM>(text),
                reinterpret_cast<LPARAM>(caption));
}


}  // namespace pernot
