// The seam every modal dialog of the window goes through. The program runs a
// real modal loop; a test installs a hook that fills the dialog's fields and
// presses OK or Cancel (accept()/reject(), so the dialog's own OK handling
// runs) instead of clicking through a modal loop.
// Thread safety: user-interface thread only.
#pragma once
#include <QDialog>
#include <functional>

namespace tvl {

// Called with the dialog shown (not modal); it should end the dialog with
// accept(), reject() or done(). A dialog still open afterwards is closed as
// Rejected.
using DialogHook = std::function<void(QDialog& dialog)>;

// Replaces the hook; an empty function restores real modal loops.
void set_dialog_hook(DialogHook hook);

// exec() of the dialog, or the hook when one is set. Returns the dialog's
// result (QDialog::Accepted or QDialog::Rejected, or what done() was given).
int run_dialog(QDialog& dialog);

}  // namespace tvl
