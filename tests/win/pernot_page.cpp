#include "tests/win/pernot_page.h"

#include <windows.h>
#include <commctrl.h>

namespace page_driver {

void* Open(void* module, const char* dialogTemplate, void* procedure) {
  HWND parent = CreateWindowA("STATIC", "options", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                              nullptr);
  if (!parent) return nullptr;
  HWND page = CreateDialogParamA(static_cast<HINSTANCE>(module), dialogTemplate, parent,
                                 reinterpret_cast<DLGPROC>(procedure), 0);
  if (!page) DestroyWindow(parent);
  return page;
}

void Close(void* page) {
  HWND parent = GetParent(static_cast<HWND>(page));
  DestroyWindow(static_cast<HWND>(page));
  if (parent) DestroyWindow(parent);
}

std::string Text(void* page, int id) {
  char buf[256] = {};
  GetDlgItemTextA(static_cast<HWND>(page), id, buf, sizeof buf);
  return buf;
}

void SetText(void* page, int id, const char* text) { SetDlgItemTextA(static_cast<HWND>(page), id, text); }

bool Checked(void* page, int id) { return IsDlgButtonChecked(static_cast<HWND>(page), id) == BST_CHECKED; }

// A click through the button itself, so the automatic check box changes its own state.
void Click(void* page, int id) { SendMessageA(GetDlgItem(static_cast<HWND>(page), id), BM_CLICK, 0, 0); }

std::vector<std::string> ListRows(void* page, int id) {
  HWND list = GetDlgItem(static_cast<HWND>(page), id);
  std::vector<std::string> rows;
  if (!list) return rows;
  int count = ListView_GetItemCount(list);
  for (int i = 0; i < count; ++i) {
    char name[128] = {};
    ListView_GetItemText(list, i, 0, name, sizeof name);
    rows.push_back(std::string(name) + (ListView_GetCheckState(list, i) ? "=1" : "=0"));
  }
  return rows;
}

void SetListCheck(void* page, int id, int row, bool on) {
  ListView_SetCheckState(GetDlgItem(static_cast<HWND>(page), id), row, on);
}

intptr_t Apply(void* page) {
  PSHNOTIFY note{};
  note.hdr.hwndFrom = GetParent(static_cast<HWND>(page));
  note.hdr.code = PSN_APPLY;
  SendMessageA(static_cast<HWND>(page), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&note));
  return GetWindowLongPtrA(static_cast<HWND>(page), DWLP_MSGRESULT);
}

}  // namespace page_driver
