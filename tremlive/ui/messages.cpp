// Message boxes, or whatever replaced them.
#include "tremlive/ui/messages.h"

namespace tremlive {

namespace {
MessageBoxHook g_hook;
}

void SetMessageBoxHook(MessageBoxHook hook) {
    g_hook = std::move(hook);
}

void ShowMessage(QWidget* parent, const QString& caption, const QString& text,
                 QMessageBox::Icon icon) {
    if (g_hook) {
        g_hook(parent, caption, text, icon);
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace tremlive
