// Message boxes of the program. Every box goes through one function so that the snapshot mode
// can print instead of waiting for a click, and tests can record what would be shown.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace tremlive {

using MessageBoxHook = std::function<void(QWidget* parent, const QString& caption,
                                          const QString& text, QMessageBox::Icon icon)>;

// Replaces the modal box (none restores it).
void SetMessageBoxHook(MessageBoxHook hook);
void ShowMessage(QWidget* parent, const QString& caption, const QString& text,
                 QMessageBox::Icon icon);

}  // namespace tremlive
