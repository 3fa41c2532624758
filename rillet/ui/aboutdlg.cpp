#include "rillet/ui/aboutdlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "rillet/ui/dialogunits.h"
#include "rillet/ui/programicon.h"

namespace {

// Size of the box in dialog units.
constexpr int kWidthDlu = 235;
constexpr int kHeightDlu = 55;
constexpr int kIconPixels = 32;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Rillet");
    setWindowIcon(RilletIcon());

    auto* icon = new QLabel(this);
    icon->setObjectName("IDR_MAINFRAME");
    icon->setPixmap(RilletIcon().pixmap(kIconPixels, kIconPixels));
    auto* version = new QLabel("Rillet Version 1.0", this);
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("IDOK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addWidget(version, 1, Qt::AlignTop);
    layout->addWidget(ok, 0, Qt::AlignTop);
    resize(DialogUnitsToPixels(this, QSize(kWidthDlu, kHeightDlu)));
}
