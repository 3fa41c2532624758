// The main window and its commands.
#include "tremlive/ui/mainframe.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include "platform/clock.h"
#include "tremlive/acquisition.h"
#include "tremlive/settings.h"
#include "tremlive/ui/messages.h"
#include "tremlive/ui/overviewstrip.h"
#include "tremlive/ui/settingssheet.h"
#include "tremlive/ui/traceview.h"

namespace tremlive {

namespace {

constexpr const char* kStoppedText = "Stopped";
constexpr const char* kStoppingText = "Stopping...";

struct WaitCursor {
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
};

void showAbout(QWidget* parent) {
    QDialog dialog(parent);
    dialog.setWindowTitle("About Tremlive(ISI)");
    auto* layout = new QVBoxLayout(&dialog);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(parent->windowIcon().pixmap(32, 32));
    row->addWidget(icon);
    row->addWidget(new QLabel("Tremlive(ISI) Version 1.0"));
    layout->addLayout(row);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons);
    dialog.exec();
}

}  // namespace

MainFrame::MainFrame(CTremliveSession& session, QWidget* parent)
    : QMainWindow(parent),
      session_(session),
      clock_(platNow),
      endTarget_(std::make_shared<EndTarget>()) {
    endTarget_->frame = this;
    setWindowTitle("Tremlive(ISI)");
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));

    toolBar_ = addToolBar("Toolbar");
    toolBar_->setMovable(false);
    toolBar_->setIconSize(QSize(16, 15));
    loadIdleToolbar();

    state_ = new QLabel(kStoppedText);
    state_->setTextFormat(Qt::PlainText);  // the server's name comes from the settings file
    statusBar()->addWidget(state_, 1);
    readout_ = new QLabel;
    readout_->setFixedWidth(kReadoutPaneWidth);
    statusBar()->addPermanentWidget(readout_);

    central_ = new QWidget;
    central_->installEventFilter(this);
    setCentralWidget(central_);
    view_ = new CTraceView(session_, central_);
    view_->setObjectName(QString::number(kTraceViewId));
    strip_ = new COverviewStrip(session_, view_, central_);
    strip_->setObjectName(QString::number(kOverviewStripId));

    connect(view_, &CTraceView::updateView, this, [this] { OnCommand(ID_CMD_UPDATE_VIEW); });
    connect(view_, &CTraceView::readout, readout_, &QLabel::setText);
    connect(strip_, &COverviewStrip::readout, readout_, &QLabel::setText);
    connect(&timer_, &QTimer::timeout, this, &MainFrame::OnTimer);
}

MainFrame::~MainFrame() {
    std::lock_guard<std::mutex> lock(endTarget_->mutex);
    endTarget_->frame = nullptr;
}

bool MainFrame::Running() const {
    return session_.acquisition.Running();
}

QAction* MainFrame::addCommand(int id, const QString& prompt, const QString& tip,
                               QStyle::StandardPixmap icon) {
    QAction* action = toolBar_->addAction(style()->standardIcon(icon), tip);
    // The prompt goes into the tool tip, not the status bar, which keeps telling the run's state
    // while the pointer rests on a button.
    action->setToolTip(prompt.isEmpty() ? tip : prompt);
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    return action;
}

void MainFrame::loadIdleToolbar() {
    toolBar_->clear();
    autoFit_ = nullptr;
    addCommand(ID_RUN, "Run Tremlive", "Run", QStyle::SP_MediaPlay);
    addCommand(ID_CONFIG, "Config", "Config", QStyle::SP_FileDialogDetailedView);
    toolBar_->addSeparator();
    addCommand(ID_APP_ABOUT, "Display program information, version number and copyright", "About",
               QStyle::SP_MessageBoxInformation);
}

void MainFrame::loadRunningToolbar() {
    toolBar_->clear();
    addCommand(ID_STOP, "Stop", "Stop", QStyle::SP_MediaStop);
    toolBar_->addSeparator();
    const QString fitDisplayed = "Fit displayed signal data to window";
    const QString fitBuffered = "Fit buffered signal data to window";
    addCommand(ID_FIT_DISPLAYED, fitDisplayed, fitDisplayed, QStyle::SP_TitleBarNormalButton);
    addCommand(ID_FIT_BUFFERED, fitBuffered, fitBuffered, QStyle::SP_TitleBarMaxButton);
    addCommand(ID_EXPAND_VERTICAL, "Expand vertical", "Expand vertical", QStyle::SP_ArrowUp);
    addCommand(ID_CONTRACT_VERTICAL, "Contract vertical", "Contract vertical",
               QStyle::SP_ArrowDown);
    autoFit_ = addCommand(ID_AUTO_FIT, QString(), QString(), QStyle::SP_BrowserReload);
    autoFit_->setCheckable(true);
    autoFit_->setChecked(true);
    toolBar_->addSeparator();
    addCommand(ID_SHIFT_DOWN, "Shift graph down", "Shift graph down", QStyle::SP_ArrowDown);
    addCommand(ID_SHIFT_UP, "Shift graph up", "Shift graph up", QStyle::SP_ArrowUp);
}

void MainFrame::OnCommand(int id, std::optional<bool> shift) {
    bool shiftHeld = shift.has_value()
                         ? *shift
                         : (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier) != 0;
    CTraceBuffers& buffers = view_->buffers();
    switch (id) {
        case ID_RUN: {
            if (CountSelected(session_.stations) == 0) {
                ShowMessage(session_, this, windowTitle(), "No channels selected",
                            QMessageBox::Critical);
                return;
            }
            loadRunningToolbar();
            buffers.autoFit = 1;
            std::shared_ptr<EndTarget> target = endTarget_;
            view_->StartAcquisition([target] {
                std::lock_guard<std::mutex> lock(target->mutex);
                if (target->frame == nullptr) return;
                QMetaObject::invokeMethod(
                    target->frame,
                    [frame = target->frame] { frame->OnCommand(ID_CMD_ACQUISITION_ENDED); },
                    Qt::QueuedConnection);
            });
            countdown_.Reset();
            timer_.start(kRefreshTimerMs);
            size_t channels = 0;
            {
                std::lock_guard<std::mutex> data(buffers.dataLock);
                channels = buffers.channels.size();
            }
            state_->setText(QString("Running: %1:%2, %3 channel%4")
                                .arg(QString::fromStdString(session_.settings.server))
                                .arg(session_.settings.port)
                                .arg(channels)
                                .arg(channels == 1 ? "" : "s"));
            break;
        }
        case ID_STOP:
            timer_.stop();
            session_.acquisition.Stop();
            state_->setText(kStoppingText);
            break;
        case ID_CMD_ACQUISITION_ENDED: {
            WaitCursor wait;
            session_.acquisition.WaitForEnd(kCloseWaitMs);
            view_->ClearView();
            strip_->Clear();
            loadIdleToolbar();
            state_->setText(kStoppedText);
            break;
        }
        case ID_CONFIG: {
            CSettingsSheet sheet(session_, this);
            sheet.exec();
            break;
        }
        case ID_APP_ABOUT:
            showAbout(this);
            break;
        case ID_FIT_DISPLAYED:
            view_->RedrawChannels(shiftHeld, [&buffers](size_t i) { buffers.FitScale(i, 0); });
            break;
        case ID_FIT_BUFFERED:
            view_->RedrawChannels(shiftHeld, [&buffers](size_t i) { buffers.FitScale(i, 1); });
            break;
        case ID_EXPAND_VERTICAL:
            view_->RedrawChannels(shiftHeld, [&buffers](size_t i) { buffers.ExpandScale(i); });
            break;
        case ID_CONTRACT_VERTICAL:
            view_->RedrawChannels(shiftHeld, [&buffers](size_t i) { buffers.ContractScale(i); });
            break;
        case ID_SHIFT_UP:
            view_->RedrawChannels(
                false, [&buffers](size_t i) { buffers.ShiftScale(i, ShiftDirection::Up); });
            break;
        case ID_SHIFT_DOWN:
            view_->RedrawChannels(
                false, [&buffers](size_t i) { buffers.ShiftScale(i, ShiftDirection::Down); });
            break;
        case ID_AUTO_FIT: {
            std::lock_guard<std::mutex> data(buffers.dataLock);
            buffers.autoFit = autoFit_ != nullptr && autoFit_->isChecked() ? 1 : 0;
            break;
        }
        case ID_CMD_UPDATE_VIEW:
            strip_->Redraw();
            break;
        default:
            break;
    }
}

void MainFrame::OnTimer() {
    if (!session_.acquisition.Running()) return;
    if (countdown_.Tick(session_.settings.refreshTime)) Refresh();
}

void MainFrame::Refresh() {
    view_->buffers().UpdateWindowTimes(clock_());
    view_->buffers().PurgeOldPackets();
    view_->RedrawAll();
    strip_->Redraw();
}

void MainFrame::layoutChildren() {
    // The view one pixel below the toolbar, the strip at the bottom above the status bar.
    int w = central_->width();
    int h = central_->height();
    view_->setGeometry(0, 1, w, std::max(0, h - 1 - kStripHeight));
    strip_->setGeometry(0, std::max(0, h - kStripHeight), w, kStripHeight);
}

bool MainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == central_ && event->type() == QEvent::Resize) layoutChildren();
    return QMainWindow::eventFilter(watched, event);
}

void MainFrame::closeEvent(QCloseEvent* event) {
    // The view and its channels must outlive the thread: stop it and wait for its end.
    if (session_.acquisition.Active()) {
        timer_.stop();
        session_.acquisition.Stop();
        WaitCursor wait;
        session_.acquisition.WaitForEnd(kCloseWaitMs);
    }
    event->accept();
}

}  // namespace tremlive
