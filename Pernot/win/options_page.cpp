// The options page on Windows: dialog 101 of Pernot.dll, created by the host with this
// procedure. Initialisation fills the controls from the settings and lists the host's
// protocols with a check box each (checked: the timer restores it); apply and kill-active
// check the interval, then store the interval, the debug switch and the protocols' boxes.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "Pernot/win/page_bridge.h"

namespace pernot::winpage {
namespace {

constexpr int kTimeOutEdit = 1001;
constexpr int kDebugCheck = 1002;
constexpr int kProtocolList = 1003;

void FillProtocols(HWND list) {
    ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    RECT r{};
    GetClientRect(list, &r);
    LVCOLUMNA column{};
    column.mask = LVCF_WIDTH;
    column.cx = r.right - r.left;
    SendMessageA(list, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
    const int count = ProtocolCount();
    for (int i = 0; i < count; ++i) {
        const char* name = ProtocolName(i);
        if (!name) continue;
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = ListView_GetItemCount(list);
        item.pszText = const_cast<char*>(name);
        item.lParam = i;
        int at = static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
        if (at >= 0) ListView_SetCheckState(list, at, ProtocolRestored(name));
    }
}

void InitPage(HWND dlg) {
    TranslateDialog(dlg);
    SetDlgItemInt(dlg, kTimeOutEdit, static_cast<UINT>(Interval()), TRUE);
    CheckDlgButton(dlg, kDebugCheck, Debug() ? BST_CHECKED : BST_UNCHECKED);
    FillProtocols(GetDlgItem(dlg, kProtocolList));
}

// The interval must be a whole number of milliseconds, 1 or more: anything else would stop
// the timer or make it fire without pause at the next start.
// Blanks around the digits are allowed; a sign, other characters or more than
// 2147483647 are not.
bool ReadInterval(HWND dlg, int& interval) {
    char text[32] = {};
    if (GetDlgItemTextA(dlg, kTimeOutEdit, text, sizeof text) >= static_cast<int>(sizeof text) - 1) return false;
    const char* p = text;
    while (*p == ' ') ++p;
    long long value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 11; ++p, ++digits) value = value * 10 + (*p - '0');
    while (*p == ' ') ++p;
    if (*p != '\0' || digits == 0 || value < 1 || value > 2147483647) return false;
    interval = static_cast<int>(value);
    return true;
}

void StoreProtocols(HWND list) {
    const int count = ListView_GetItemCount(list);
    for (int i = 0; i < count; ++i) {
        char name[MAX_PATH] = {};
        ListView_GetItemText(list, i, 0, name, sizeof name);
        if (name[0]) SetProtocolRestored(name, ListView_GetCheckState(list, i) != 0);
    }
}

// PSN_APPLY and PSN_KILLACTIVE. A bad interval keeps the page open and stores nothing.
INT_PTR StorePage(HWND dlg, UINT code) {
    int interval = 0;
    if (!ReadInterval(dlg, interval)) {
        SetFocus(GetDlgItem(dlg, kTimeOutEdit));
        SetWindowLongPtrA(dlg, DWLP_MSGRESULT, code == PSN_APPLY ? PSNRET_INVALID_NOCHANGEPAGE : TRUE);
        return TRUE;
    }
    StoreProtocols(GetDlgItem(dlg, kProtocolList));
    Store(interval, IsDlgButtonChecked(dlg, kDebugCheck) == BST_CHECKED);
    SetWindowLongPtrA(dlg, DWLP_MSGRESULT, code == PSN_APPLY ? PSNRET_NOERROR : FALSE);
    return TRUE;
}

INT_PTR CALLBACK PageProc(HWND dlg, UINT msg, WPARAM, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        InitPage(dlg);
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header && (header->code == PSN_APPLY || header->code == PSN_KILLACTIVE))
            return StorePage(dlg, header->code);
        return FALSE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

void* Module() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&PageProc), &module);
    return module;
}

void* DialogProcedure() { return reinterpret_cast<void*>(&PageProc); }

void PrepareControls() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
}

}  // namespace pernot::winpage
