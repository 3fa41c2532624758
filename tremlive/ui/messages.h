// Message boxes of the program. Every box goes through one function so that the session's message
// hook can take it instead: the snapshot mode prints rather than wait for a click, and tests
// record what would be shown.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace tremlive {

class CTremliveSession;

// The modal box, or the session's message hook when it has one.
void ShowMessage(const CTremliveSession& session, QWidget* parent, const QString& caption,
                 const QString& text, QMessageBox::Icon icon);

}  // namespace tremlive
