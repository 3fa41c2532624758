#include "gleaner/ui/maskedit.h"

#include <QApplication>
#include <QKeyEvent>

CMaskEdit::CMaskEdit(QWidget* parent) : QLineEdit(parent) {}

void CMaskEdit::SetMask(const std::string& mask, const std::string& templ) {
    mask_.SetMask(mask, templ);
    setText(QString::fromStdString(mask_.Text()));
    setCursorPosition(0);
}

void CMaskEdit::keyPressEvent(QKeyEvent* event) {
    if (!mask_.UseMask()) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    const int key = event->key();
    if (key == Qt::Key_Backspace || key == Qt::Key_Delete || key == Qt::Key_Insert) {
        event->accept();
        return;
    }
    const QString typed = event->text();
    if (typed.size() == 1 && typed[0].isPrint() &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        event->accept();
        // Anything but Latin-1 can never fit a mask of digits.
        const char c = typed[0].unicode() < 0x80 ? char(typed[0].unicode()) : '\0';
        mask_.SetText(text().toStdString());
        mask_.SetCaret(cursorPosition(), hasSelectedText() ? selectionStart() : -1,
                       int(selectedText().size()));
        if (c == '\0' || !mask_.TypeChar(c)) {
            QApplication::beep();
            return;
        }
        setText(QString::fromStdString(mask_.Text()));
        setCursorPosition(mask_.Caret());
        return;
    }
    QLineEdit::keyPressEvent(event);
}

CDateTimeEdit::CDateTimeEdit(QWidget* parent) : CMaskEdit(parent) {
    SetFormat(0);
}

void CDateTimeEdit::SetFormat(int format) {
    format_ = format;
    SetMask(gleanerFieldMask(format), gleanerFieldTemplate(format));
}

void CDateTimeEdit::SetTime(const GLEANER_FIELD_TIME& t) {
    setText(QString::fromStdString(gleanerFieldText(format_, t)));
}

bool CDateTimeEdit::GetTime(GLEANER_FIELD_TIME* t) const {
    return gleanerReadField(format_, text().toStdString(), t);
}

bool CDateTimeEdit::CheckTime() const {
    GLEANER_FIELD_TIME t;
    return GetTime(&t);
}

double CDateTimeEdit::Epoch() const {
    GLEANER_FIELD_TIME t;
    if (!GetTime(&t)) return -1.0;
    return gleanerFieldToEpoch(t);
}
