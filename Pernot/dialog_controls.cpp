// Dialog controls, reached through the operations of the dialog the host built.
#include "Pernot/window.h"

namespace pernot {
namespace {

const DIALOGOPS* Ops(HWND dlg) { return dlg ? dlg->ops : nullptr; }

}  // namespace

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
