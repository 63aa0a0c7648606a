#include "Pernot/options.h"

#include "Pernot/host_link.h"
#include "Pernot/settings.h"
#include "Pernot/state.h"
#include "Pernot/window.h"
#ifdef _WIN32
#include "Pernot/win/page_bridge.h"
#endif

namespace pernot {
namespace {

#ifndef _WIN32

constexpr DIALOGCONTROL kOptionsControls[] = {
    {DLGCLASS_STATIC, IDC_STATIC, "Timeout (msec):", 7, 11, 52, 8, WS_CHILD | WS_VISIBLE | SS_LEFT},
    {DLGCLASS_EDIT, kTimeOutEdit, "", 63, 9, 68, 12,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
    {DLGCLASS_BUTTON, kDebugCheck, "Show debug messages", 7, 24, 89, 10,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX},
};

constexpr DIALOGRESOURCE kDialogs[] = {
    {kOptionsDialog, WS_CHILD | DS_SETFONT, 186, 95, 8, "Microsoft Sans Serif",
     static_cast<int>(sizeof kOptionsControls / sizeof kOptionsControls[0]), kOptionsControls},
};

constexpr MODULERESOURCES kResources = {1, kDialogs};

void InitDialog(HWND dlg) {
    LANGPACKTRANSLATEDIALOG translate{};
    translate.cbSize = sizeof translate;
    translate.flags = 0;
    translate.hwndDlg = dlg;
    translate.ignoreControls = nullptr;
    CallService(MS_LANGPACK_TRANSLATEDIALOG, 0, reinterpret_cast<LPARAM>(&translate));
    const PluginState& state = State();
    SetDlgItemSigned(dlg, kTimeOutEdit, state.interval);
    CheckDlgButton(dlg, kDebugCheck, state.debug ? BST_CHECKED : BST_UNCHECKED);
}

// Takes the page's values; the running timer keeps its interval until the
// next start.
void StoreChanges(HWND dlg) {
    PluginState& state = State();
    state.debug = IsDlgButtonChecked(dlg, kDebugCheck);
    state.interval = GetDlgItemSigned(dlg, kTimeOutEdit);
    SaveSettings();
    if (state.debug) ShowMessage("Pernot:Your changes stored succefully.", "Pernot:Debug");
}

bool IsStoreNotification(LPARAM lParam) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    return header && (header->code == PSN_APPLY || header->code == PSN_KILLACTIVE);
}

#endif

}  // namespace

#ifdef _WIN32
// On Windows the page is the dialog resource 101 of Pernot.dll with a real dialog procedure
// (win/options_page.cpp); the host creates it from the module handle.
HINSTANCE ModuleResources() { return reinterpret_cast<HINSTANCE>(winpage::Module()); }

static DLGPROC PageProcedure() { return reinterpret_cast<DLGPROC>(winpage::DialogProcedure()); }
#else
HINSTANCE ModuleResources() { return &kResources; }

static DLGPROC PageProcedure() { return OptionsDialogProc; }
#endif

int OnOptionsInitialise(WPARAM wParam, LPARAM) {
#ifdef _WIN32
    winpage::PrepareControls();
#endif
    OPTIONSDIALOGPAGE page{};
    page.cbSize = sizeof page;
    page.position = 0;
    page.pszTitle = Translate("Pernot");
    page.pfnDlgProc = PageProcedure();
    page.pszTemplate = MAKEINTRESOURCE(kOptionsDialog);
    page.hInstance = ModuleResources();
    page.pszGroup = Translate("Plugins");
    CallService(MS_OPT_ADDPAGE, wParam, reinterpret_cast<LPARAM>(&page));
    return 0;
}

#ifndef _WIN32
INT_PTR OptionsDialogProc(HWND dlg, UINT msg, WPARAM, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        InitDialog(dlg);
        return 1;
    case WM_NOTIFY:
        if (!IsStoreNotification(lParam)) return 0;
        StoreChanges(dlg);
        return 1;
    default:
        return 0;
    }
}

#endif

}  // namespace pernot
