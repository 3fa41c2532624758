// The small dialogs of the retrieval program: wildcard mask, options, results.
#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "gleaner/kvrwriter.h"
#include "gleaner/settings.h"

class QLineEdit;
class QSpinBox;
class QComboBox;
class QTreeWidget;

// "Select channels": one edit field of at most four characters holding the last mask.
class CMaskDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CMaskDlg(const QString& mask, QWidget* parent = nullptr);
    QString Mask() const;
    QLineEdit* Field() const { return field_; }

  private:
    QLineEdit* field_;
};

// "Siphon Configuration": port, output byte order, time format.
class CConfigDlg : public QDialog {
    Q_OBJECT
  public:
    // settingsFile receives PORT, OUTPUTBYTEORDER and TIMEFORMAT on OK.
    CConfigDlg(GLEANER_CONFIG* config, const std::string& settingsFile, QWidget* parent = nullptr);
    QLineEdit* PortField() const { return port_; }
    QComboBox* ByteOrderBox() const { return byteOrder_; }
    QComboBox* TimeFormatBox() const { return timeFormat_; }
    // Where the range message goes (a message box unless a test replaces it).
    std::function<void(const QString&)> rangeMessage;

  public slots:
    void accept() override;

  private:
    GLEANER_CONFIG* config_;
    std::string settingsFile_;
    QLineEdit* port_;
    QComboBox* byteOrder_;
    QComboBox* timeFormat_;
};

// "Results": one row per channel written.
class CResultsDlg : public QDialog {
    Q_OBJECT
  public:
    CResultsDlg(const std::vector<GLEANER_RESULT_ENTRY>& results, int timeFormat,
                QWidget* parent = nullptr);
    QTreeWidget* List() const { return list_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    QTreeWidget* list_;
};
