#include "rillet/ui/rilletdlg.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "rillet/session.h"
#include "rillet/settings.h"
#include "rillet/ui/aboutdlg.h"
#include "rillet/ui/dialogunits.h"
#include "rillet/ui/programicon.h"
#include "rillet/worker.h"

namespace {

// Size of the main dialog in dialog units.
constexpr int kWidthDlu = 320;
constexpr int kHeightDlu = 196;
constexpr int kColumns = 3;
constexpr int kTimeColumn = 2;

QLabel* SunkenLine(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

// The worker's view: its texts are handed to the window's thread by queued calls, so the worker
// never waits for the window (and the window may join the worker without a deadlock). Calls
// still queued when the window goes are dropped with it.
class CRilletDlg::CWindowView : public CRecorderView {
  public:
    explicit CWindowView(CRilletDlg* dlg) : dlg_(dlg) {}
    void SetStatusLine(const std::string& text) override {
        QMetaObject::invokeMethod(
            dlg_, [dlg = dlg_, t = QString::fromStdString(text)] { dlg->SetStatusText(t); },
            Qt::QueuedConnection);
    }
    void SetLastCountTime(size_t g, size_t c, const std::string& text) override {
        QMetaObject::invokeMethod(
            dlg_,
            [dlg = dlg_, g, c, t = QString::fromStdString(text)] {
                dlg->SetLastCountTime(dlg->Row(g, c), t);
            },
            Qt::QueuedConnection);
    }

  private:
    CRilletDlg* dlg_;
};

CRilletDlg::CRilletDlg(CRecorderSession& session, bool trayAvailable, QWidget* parent)
    : QDialog(parent), session_(session), trayAvailable_(trayAvailable) {
    setWindowTitle("Rillet");
    setWindowIcon(RilletIcon());

    // The notification-area icon, made with the window, before the window is initialised, so that
    // the program is reachable from the notification area from its first moment.
    if (trayAvailable_) {
        trayIcon_ = new QSystemTrayIcon(RilletIcon(), this);
        trayIcon_->setObjectName(kTrayMessageName);
        trayIcon_->setToolTip(kTrayToolTip);
        connect(trayIcon_, &QSystemTrayIcon::activated, this, &CRilletDlg::OnTrayNotify);
        trayIcon_->show();
    }
    popupMenu_ = new QMenu("POPUP", this);
    popupMenu_->setObjectName("POPUPMENU");
    QAction* activate = popupMenu_->addAction("Активизировать программу");
    activate->setData(kIdPopupActivate);
    connect(activate, &QAction::triggered, this, &CRilletDlg::OnPopupActivate);
    QAction* exit = popupMenu_->addAction("Завершить работу");
    exit->setData(kIdPopupExit);
    connect(exit, &QAction::triggered, this, &CRilletDlg::OnPopupExit);

    aboutAction_ = new QAction("&About Rillet...", this);
    aboutAction_->setData(kIdAbout);
    connect(aboutAction_, &QAction::triggered, this, &CRilletDlg::ShowAbout);
    addAction(aboutAction_);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    channelList_ = new QTreeWidget(this);
    channelList_->setObjectName("IDC_CHANNEL_LIST");
    channelList_->setRootIsDecorated(false);
    channelList_->setUniformRowHeights(true);
    channelList_->setSelectionMode(QAbstractItemView::SingleSelection);
    channelList_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    channelList_->setColumnCount(kColumns);
    channelList_->setHeaderLabels({"Station", "Channel", "Last count time"});
    channelList_->header()->setStretchLastSection(false);
    statusLine_ = SunkenLine(this, "IDC_STATUS_LINE");
    counterLine_ = SunkenLine(this, "IDC_COUNTER_LINE");
    auto* unused = new QLabel(this);  // an empty line, kept for the layout
    silentMode_ = new QCheckBox("Silent mode", this);
    silentMode_->setObjectName("IDC_SILENT_MODE");

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(counterLine_, 1);
    bottom->addWidget(unused, 1);
    bottom->addWidget(silentMode_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(channelList_, 1);
    layout->addWidget(statusLine_);
    layout->addLayout(bottom);
    resize(DialogUnitsToPixels(this, QSize(kWidthDlu, kHeightDlu)));

    FillRows();
    view_ = std::make_unique<CWindowView>(this);
    silentMode_->setChecked(true);
    session_.Start(*view_, true);
    connect(silentMode_, &QCheckBox::clicked, this,
            [this](bool checked) { Worker().SetSilent(checked); });

    // A session logout or any other quit of the application ends the program the same way.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &CRilletDlg::OnRecorderExit);

    counterTimer_ = new QTimer(this);
    counterTimer_->setInterval(kCounterIntervalMs);
    connect(counterTimer_, &QTimer::timeout, this, &CRilletDlg::OnCounterTimer);
    counterTimer_->start();
}

CRilletDlg::~CRilletDlg() {
    OnRecorderExit();
}

CRecorderWorker& CRilletDlg::Worker() const {
    return session_.Worker();
}

void CRilletDlg::FillRows() {
    int row = 0;
    for (const auto& group : session_.Settings().Groups()) {
        rows_.emplace_back();
        for (const auto& channel : group.channels) {
            QString code = QString::fromStdString(channel.channel);
            if (!channel.location.empty() && channel.location != kNoLocation)
                code += "." + QString::fromStdString(channel.location);
            auto* item = new QTreeWidgetItem(channelList_);
            item->setText(0, QString::fromStdString(group.station));
            item->setText(1, code);
            item->setText(kTimeColumn, kNoCountTime);
            rows_.back().push_back(row++);
        }
    }
}

void CRilletDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Each column a third of the list's client width, once the layout has given it one.
    if (!columnsSized_) {
        columnsSized_ = true;
        const int width = channelList_->viewport()->width() / kColumns;
        for (int c = 0; c < kColumns; ++c) channelList_->header()->resizeSection(c, width);
    }
}

void CRilletDlg::SetStatusText(const QString& text) {
    statusLine_->setText(text);
}

void CRilletDlg::SetLastCountTime(int row, const QString& text) {
    if (QTreeWidgetItem* item = channelList_->topLevelItem(row)) item->setText(kTimeColumn, text);
}

void CRilletDlg::OnCounterTimer() {
    counterLine_->setText(QString::number(Worker().PacketCount()));
}

void CRilletDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CRilletDlg::OnPopupActivate() {
    if (ended_) return;
    showNormal();
    raise();
    activateWindow();
}

void CRilletDlg::OnPopupExit() {
    QMetaObject::invokeMethod(this, &CRilletDlg::OnRecorderExit, Qt::QueuedConnection);
}

void CRilletDlg::OnRecorderExit() {
    if (ended_) return;
    ended_ = true;
    counterTimer_->stop();
    if (trayIcon_ != nullptr) trayIcon_->hide();
    session_.Stop();
    hide();
    emit programEnded();
}

bool CRilletDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    if (menuOpen_) return false;
    menuOpen_ = true;
    if (reason == QSystemTrayIcon::Trigger) {
        // Right-aligned: the menu's right edge at the cursor, as the icon sits at the screen's
        // right edge on most desktops.
        QPoint at = QCursor::pos() - QPoint(popupMenu_->sizeHint().width(), 0);
        popupMenu_->exec(at);
    }
    menuOpen_ = false;
    return true;
}

void CRilletDlg::closeEvent(QCloseEvent* event) {
    if (trayAvailable_ && !ended_) {
        hide();
        event->ignore();
        return;
    }
    OnRecorderExit();
    event->accept();
}

void CRilletDlg::keyPressEvent(QKeyEvent* event) {
    // Enter acts as the dialog's default button; a Qt dialog without buttons ignores it.
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            accept();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void CRilletDlg::done(int result) {
    OnRecorderExit();
    QDialog::done(result);
}
