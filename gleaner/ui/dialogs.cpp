#include "gleaner/ui/dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "gleaner/timefields.h"

CMaskDlg::CMaskDlg(const QString& mask, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Select channels");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Enter wildcards mask (*,?, [a-z])", this));
    field_ = new QLineEdit(mask.left(int(kMaskMaxLength)), this);
    field_->setMaxLength(int(kMaskMaxLength));
    layout->addWidget(field_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString CMaskDlg::Mask() const {
    return field_->text();
}

CConfigDlg::CConfigDlg(GLEANER_CONFIG* config, const std::string& settingsFile, QWidget* parent)
    : QDialog(parent), config_(config), settingsFile_(settingsFile) {
    setWindowTitle("Siphon Configuration");
    auto* form = new QFormLayout(this);
    port_ = new QLineEdit(QString::number(config->port), this);
    port_->setValidator(new QIntValidator(0, 99999, port_));
    form->addRow("NRTS Server port number", port_);
    byteOrder_ = new QComboBox(this);
    byteOrder_->addItems({"little-endian (intel)", "big-endian (sparc)"});
    byteOrder_->setCurrentIndex(config->outputByteOrder == 1 ? 1 : 0);
    form->addRow("Output byte order", byteOrder_);
    timeFormat_ = new QComboBox(this);
    timeFormat_->addItems(
        {"MM.DD.YYYY hour:min:sec", "YYYY.DDD hour:min:sec", " hour:min:sec DD/MM/YYYY"});
    timeFormat_->setCurrentIndex(
        config->timeFormat >= 0 && config->timeFormat < kTimeFormatCount ? config->timeFormat : 0);
    form->addRow("Time format", timeFormat_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CConfigDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
    rangeMessage = [this](const QString& text) { QMessageBox::warning(this, windowTitle(), text); };
}

void CConfigDlg::accept() {
    bool ok = false;
    const int port = port_->text().toInt(&ok);
    if (!ok || port < kMinPort || port > kMaxPort) {
        rangeMessage(
            QString("Please enter an integer between %1 and %2.").arg(kMinPort).arg(kMaxPort));
        port_->setFocus();
        return;
    }
    config_->port = port;
    config_->outputByteOrder = byteOrder_->currentIndex();
    config_->timeFormat = timeFormat_->currentIndex();
    gleanerWriteOptions(*config_, settingsFile_);
    QDialog::accept();
}

namespace {
constexpr double kResultColumnShares[] = {0.1, 0.15, 0.15, 0.3, 0.3};
}

CResultsDlg::CResultsDlg(const std::vector<GLEANER_RESULT_ENTRY>& results, int timeFormat,
                         QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Results");
    auto* layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({"Station", "Channel", "Samp./sec.", "Tbeg.", "Tend."});
    for (const GLEANER_RESULT_ENTRY& e : results) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, QString::fromStdString(e.station));
        item->setText(1, QString::fromStdString(e.channel));
        item->setText(2, e.sps < 0.0 || e.samples == 0 ? QString("no data")
                                                       : QString::asprintf("%.3f", e.sps));
        if (e.firstSample > 0.0)
            item->setText(3, QString::fromStdString(gleanerListTime(timeFormat, e.firstSample)));
        if (e.lastSample > 0.0)
            item->setText(4, QString::fromStdString(gleanerListTime(timeFormat, e.lastSample)));
    }
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* view = buttons->addButton("View Data", QDialogButtonBox::AcceptRole);
    view->setDefault(true);
    buttons->addButton("Exit", QDialogButtonBox::RejectRole);
    // Both close the dialog; the choice is not used.
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 320);
}

void CResultsDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int width = list_->viewport()->width();
    for (int i = 0; i < 5; ++i) list_->setColumnWidth(i, int(width * kResultColumnShares[i]));
}
