// CMaskEdit and CDateTimeEdit: the masked interval fields. The typing rules are CMaskText's
// (Qt's own input masks behave differently); this class only feeds it the keys.
#pragma once

#include <QLineEdit>

#include "gleaner/masktext.h"
#include "gleaner/timefields.h"

class CMaskEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit CMaskEdit(QWidget* parent = nullptr);
    void SetMask(const std::string& mask, const std::string& templ);
    void SetUseMask(bool on) { mask_.SetUseMask(on); }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    CMaskText mask_;
};

class CDateTimeEdit : public CMaskEdit {
    Q_OBJECT
  public:
    explicit CDateTimeEdit(QWidget* parent = nullptr);
    // 0, 1 or 2: sets mask and template.
    void SetFormat(int format);
    int Format() const { return format_; }
    void SetTime(const GLEANER_FIELD_TIME& t);
    // Shows a time given in epoch seconds (split as for the lists).
    void SetEpoch(double seconds) { SetTime(gleanerSplitTime(seconds)); }
    // The field's values; false when the text is not a possible date and time.
    bool GetTime(GLEANER_FIELD_TIME* t) const;
    bool CheckTime() const;
    // Seconds since 1970 of a checked field.
    double Epoch() const;

  private:
    int format_ = 0;
};
