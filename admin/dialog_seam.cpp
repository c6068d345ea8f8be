#include "admin/dialog_seam.h"

namespace tvl {

namespace {
DialogHook g_hook;
}

void set_dialog_hook(DialogHook hook) { g_hook = std::move(hook); }

int run_dialog(QDialog& dialog) {
  if (!g_hook) return dialog.exec();
  // The hook may replace itself (a dialog that opens another one), so it is
  // called through a copy.
  DialogHook hook = g_hook;
  dialog.setResult(QDialog::Rejected);
  dialog.show();
  hook(dialog);
  if (dialog.isVisible()) dialog.done(QDialog::Rejected);
  return dialog.result();
}

}  // namespace tvl
