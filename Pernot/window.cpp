#include "Pernot/window.h"

#include "Pernot/host_link.h"

namespace pernot {
namespace {

const DIALOGOPS* Ops(HWND dlg) { return dlg ? dlg->ops : nullptr; }

}  // namespace

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

void SetDlgItemSigned(HWND dlg, int id, int value) {
    const DIALOGOPS* ops = Ops(dlg);
    if (ops && ops->SetItemInt) ops->SetItemInt(dlg, id, static_cast<UINT>(value), 1);
}

int GetDlgItemSigned(HWND dlg, int id) {
    const DIALOGOPS* ops = Ops(dlg);
    if (!ops || !ops->GetItemInt) return 0;
    int translated = 0;
    UINT value = ops->GetItemInt(dlg, id, &translated, 1);
    return translated ? static_cast<int>(value) : 0;
}

void CheckDlgButton(HWND dlg, int id, UINT check) {
    const DIALOGOPS* ops = Ops(dlg);
    if (ops && ops->CheckButton) ops->CheckButton(dlg, id, check);
}

UINT IsDlgButtonChecked(HWND dlg, int id) {
    const DIALOGOPS* ops = Ops(dlg);
    return ops && ops->IsButtonChecked ? ops->IsButtonChecked(dlg, id) : BST_UNCHECKED;
}

}  // namespace pernot
