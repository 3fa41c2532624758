// Message boxes, or whatever the session puts in their place.
#include "tremlive/ui/messages.h"

#include "tremlive/session.h"

namespace tremlive {

namespace {

MessageKind kindOf(QMessageBox::Icon icon) {
    switch (icon) {
        case QMessageBox::Critical:
            return MessageKind::Error;
        case QMessageBox::Warning:
            return MessageKind::Warning;
        default:
            return MessageKind::Information;
    }
}

}  // namespace

void ShowMessage(const CTremliveSession& session, QWidget* parent, const QString& caption,
                 const QString& text, QMessageBox::Icon icon) {
    if (session.messageHook) {
        session.messageHook(caption.toStdString(), text.toStdString(), kindOf(icon));
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace tremlive
