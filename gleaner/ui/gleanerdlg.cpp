#include "gleaner/ui/gleanerdlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "gleaner/ui/dialogs.h"
#include "gleaner/ui/maskedit.h"
#include "platform/errors.h"

namespace {

constexpr const char* kXferTitle = "Xfer Siphon";
constexpr int kStationRole = Qt::UserRole;      // channel row: station code
constexpr int kKeyRole = Qt::UserRole + 1;      // channel row: channel "." location
constexpr int kOrdinalRole = Qt::UserRole + 2;  // channel row: ordinal within the station
// Initial shares of the channel list's width; "Tend" is ours to choose.
constexpr double kChannelColumnShares[kColumnCount] = {0.1, 0.15, 0.15, 0.325, 0.325, 0.325};
constexpr int kChannelListWidth = 620;
constexpr int kCheckBoxSlack = 4;  // pixels right of the box that still count as on it

enum ChannelColumn { kColStation, kColChannel, kColLocation, kColRate, kColBegin, kColEnd };

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Every button has an icon and a tooltip of its own, and a pointer of its own over it.
QPushButton* makeButton(const QString& text, const QString& tip, QStyle::StandardPixmap icon,
                        QWidget* parent) {
    auto* b = new QPushButton(parent->style()->standardIcon(icon), text, parent);
    b->setToolTip(tip);
    b->setAutoDefault(false);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

}  // namespace

// The run's window onto the dialog: everything is carried to the dialog's thread; questions and
// message boxes wait there for the operator.
class CDialogHost : public CRetrievalHost {
  public:
    explicit CDialogHost(CGleanerDlg* dlg) : dlg_(dlg) {}
    void Note(const std::string& text) override { SetStatusText(text); }
    void SetStatusText(const std::string& text) override {
        QMetaObject::invokeMethod(
            dlg_, [d = dlg_, t = q(text)] { d->status_->setText(t); }, Qt::QueuedConnection);
    }
    void SetProgress(int position) override {
        QMetaObject::invokeMethod(
            dlg_, [d = dlg_, position] { d->progress_->setValue(position); }, Qt::QueuedConnection);
    }
    void SetWaitCursor(bool wait) override {
        QMetaObject::invokeMethod(
            dlg_,
            [d = dlg_, wait] {
                if (wait)
                    d->setCursor(Qt::WaitCursor);
                else
                    d->unsetCursor();
            },
            Qt::QueuedConnection);
    }
    void ShowMessage(const std::string& text, const std::string& title, bool errorIcon) override {
        QMetaObject::invokeMethod(
            dlg_,
            [d = dlg_, t = q(text), ti = q(title), errorIcon] { d->messageBox(t, ti, errorIcon); },
            Qt::BlockingQueuedConnection);
    }
    IoAnswer AskIoError(const std::string& text, const std::string& title) override {
        IoAnswer answer = IoAnswer::Ignore;
        QMetaObject::invokeMethod(
            dlg_,
            [d = dlg_, t = q(text), ti = q(title), &answer] { answer = d->ioQuestion(t, ti); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    void RunFinished() override {
        QMetaObject::invokeMethod(
            dlg_,
            [d = dlg_] {
                d->SetStatus("", false);
                d->progress_->setValue(0);
                d->progress_->hide();
                d->unsetCursor();
            },
            Qt::QueuedConnection);
        // ID_RETRIEVAL_DONE
        QMetaObject::invokeMethod(dlg_, "OnRetrievalDone", Qt::QueuedConnection);
    }

  private:
    CGleanerDlg* dlg_;
};

CGleanerDlg::CGleanerDlg(const std::string& settingsFile, QWidget* parent)
    : QDialog(parent), settingsFile_(settingsFile) {
    setWindowTitle("Gleaner");
    messageBox = [this](const QString& text, const QString& title, bool errorIcon) {
        QMessageBox box(errorIcon ? QMessageBox::Critical : QMessageBox::NoIcon, title, text,
                        QMessageBox::Ok, this);
        box.exec();
    };
    ioQuestion = [this](const QString& text, const QString& title) {
        QMessageBox box(QMessageBox::Warning, title, text,
                        QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, this);
        switch (box.exec()) {
            case QMessageBox::Abort:
                return IoAnswer::Abort;
            case QMessageBox::Retry:
                return IoAnswer::Retry;
            default:
                return IoAnswer::Ignore;
        }
    };
    showResults = [this](const std::vector<GLEANER_RESULT_ENTRY>& results) {
        CResultsDlg dlg(results, config_.timeFormat, this);
        dlg.exec();
    };

    // Server box, queries.
    serverBox_ = new QComboBox(this);
    serverBox_->setEditable(true);
    // Typed names join the list only after a successful "Query server".
    serverBox_->setInsertPolicy(QComboBox::NoInsert);
    serverBox_->setObjectName("server");
    auto* query = makeButton("Query server", "Query server", QStyle::SP_BrowserReload, this);
    auto* update =
        makeButton("Update times", "Update times", QStyle::SP_FileDialogDetailedView, this);
    // Lists.
    stationList_ = new QTreeWidget(this);
    stationList_->setRootIsDecorated(false);
    stationList_->setHeaderLabels({"Station"});
    channelList_ = new QTreeWidget(this);
    channelList_->setRootIsDecorated(false);
    channelList_->setHeaderLabels(
        {"Station", "Channels", "Loc.code", "Samp./sec.", "Tbeg", "Tend"});
    channelList_->setMinimumWidth(kChannelListWidth);
    auto* selectAll = makeButton("Select all", "Select all", QStyle::SP_DialogYesButton, this);
    auto* unselectAll = makeButton("Unselect all", "Unselect all", QStyle::SP_DialogNoButton, this);
    auto* clear = makeButton("Clear", "Clear", QStyle::SP_DialogResetButton, this);
    auto* wildcards = makeButton("Select channels with wildcards", "Select channels",
                                 QStyle::SP_FileDialogContentsView, this);
    // Interval.
    formatLabel_ = new QLabel(this);
    startField_ = new CDateTimeEdit(this);
    endField_ = new CDateTimeEdit(this);
    auto* options = makeButton("Options", "Options", QStyle::SP_FileDialogInfoView, this);
    getData_ = makeButton("Get data", "Get Data", QStyle::SP_ArrowDown, this);
    getData_->setDefault(true);
    auto* exitButton = makeButton("Exit", "Exit", QStyle::SP_DialogCloseButton, this);
    // Shown and enabled only while a run goes on: it ends the run within a second, keeping what
    // arrived.
    stop_ = makeButton("Stop", "Stop the retrieval, keeping what arrived", QStyle::SP_BrowserStop,
                       this);
    stop_->setObjectName("stop");
    stop_->hide();
    status_ = new QLabel(this);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);

    auto* grid = new QGridLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Server", this));
    top->addWidget(serverBox_, 1);
    top->addWidget(query);
    top->addWidget(update);
    grid->addLayout(top, 0, 0, 1, 2);
    grid->addWidget(stationList_, 1, 0);
    grid->addWidget(channelList_, 1, 1);
    auto* selection = new QHBoxLayout;
    for (QPushButton* b : {selectAll, unselectAll, clear, wildcards}) selection->addWidget(b);
    grid->addLayout(selection, 2, 0, 1, 2);
    auto* interval = new QHBoxLayout;
    interval->addWidget(formatLabel_);
    interval->addWidget(startField_);
    interval->addWidget(endField_);
    grid->addLayout(interval, 3, 0, 1, 2);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(status_, 1);
    bottom->addWidget(progress_, 1);
    bottom->addWidget(options);
    bottom->addWidget(getData_);
    bottom->addWidget(stop_);
    bottom->addWidget(exitButton);
    grid->addLayout(bottom, 4, 0, 1, 2);

    connect(query, &QPushButton::clicked, this, &CGleanerDlg::OnQueryServer);
    connect(serverBox_, qOverload<int>(&QComboBox::activated), this, &CGleanerDlg::OnServerChosen);
    connect(serverBox_, &QComboBox::editTextChanged, this,
            [this](const QString& text) { config_.server = text.toStdString(); });
    connect(update, &QPushButton::clicked, this, &CGleanerDlg::OnUpdateTimes);
    connect(selectAll, &QPushButton::clicked, this, &CGleanerDlg::OnSelectAll);
    connect(unselectAll, &QPushButton::clicked, this, &CGleanerDlg::OnUnselectAll);
    connect(clear, &QPushButton::clicked, this, &CGleanerDlg::OnClear);
    connect(wildcards, &QPushButton::clicked, this, &CGleanerDlg::OnWildcards);
    connect(options, &QPushButton::clicked, this, &CGleanerDlg::OnOptions);
    connect(getData_, &QPushButton::clicked, this, &CGleanerDlg::OnGetData);
    connect(stop_, &QPushButton::clicked, this, &CGleanerDlg::OnStop);
    connect(exitButton, &QPushButton::clicked, this, &CGleanerDlg::OnExit);
    stationList_->viewport()->installEventFilter(this);
    channelList_->viewport()->installEventFilter(this);
    connect(stationList_, &QTreeWidget::itemChanged, this, &CGleanerDlg::OnStationItemChanged);
    connect(channelList_, &QTreeWidget::itemChanged, this, &CGleanerDlg::OnChannelItemChanged);
    connect(channelList_, &QTreeWidget::itemDoubleClicked, this,
            &CGleanerDlg::OnChannelDoubleClicked);
    // While the server box has the focus, Enter queries the server.
    connect(qApp, &QApplication::focusChanged, this, [this, query](QWidget*, QWidget* now) {
        const bool inBox = now != nullptr && (now == serverBox_ || serverBox_->isAncestorOf(now));
        query->setDefault(inBox);
        getData_->setDefault(!inBox);
    });

    // The system menu's "About" entry: the window's own context menu here.
    auto* about = new QAction("&About Gleaner...", this);
    connect(about, &QAction::triggered, this,
            [this] { QMessageBox::about(this, "About Gleaner", "Gleaner Version 1.0.0"); });
    setContextMenuPolicy(Qt::ActionsContextMenu);
    addAction(about);

    // Settings.
    config_ = gleanerReadConfig(settingsFile_);
    gleanerReadInterval(&start_, &end_, settingsFile_);
    gleanerReadStations(&stations_, settingsFile_);
    for (int i = 0; i < kColumnCount; ++i)
        widths_[i] = int(kChannelListWidth * kChannelColumnShares[i]);
    gleanerReadColumnWidths(&widths_, settingsFile_);
    for (int i = 0; i < kColumnCount; ++i) channelList_->setColumnWidth(i, widths_[i]);
    FillServerBox();
    RefillStationList();
    ApplyTimeFormat();
    SetStatus("", false);
    progress_->hide();
}

CGleanerDlg::~CGleanerDlg() {
    stopFlag_.store(1);  // a run still under way ends within a second
    if (thread_.joinable()) thread_.join();
}

void CGleanerDlg::SetStatus(const QString& text, bool visible) {
    status_->setText(text);
    status_->setVisible(visible);
    status_->setEnabled(visible);
}

void CGleanerDlg::FillServerBox() {
    serverBox_->blockSignals(true);
    serverBox_->clear();
    gleanerReadServers(&servers_, settingsFile_);
    for (const std::string& s : servers_.Entries())
        if (!s.empty()) serverBox_->addItem(q(s));
    serverBox_->setEditText(q(config_.server));
    serverBox_->blockSignals(false);
}

void CGleanerDlg::AddServer(const std::string& name) {
    if (!servers_.Add(name)) return;
    serverBox_->blockSignals(true);
    serverBox_->addItem(q(name));
    serverBox_->setEditText(q(config_.server));
    serverBox_->blockSignals(false);
    gleanerWriteServers(servers_, settingsFile_);
}

bool CGleanerDlg::LoadConfiguration(bool fromServerBox) {
    SetStatus(QString("Attempting to connect %1::%2").arg(q(config_.server)).arg(config_.port),
              true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QApplication::processEvents();
    const bool ok = gleanerQueryConfiguration(config_.server, config_.port, nullptr, &stations_);
    const int error = platGetError();
    QApplication::restoreOverrideCursor();
    if (!ok) {
        QApplication::beep();
        // The fixed text as the operator knows it, then its cause.
        const QString cause = ":\n" + q(iacpFailureText(config_.server.c_str(), config_.port, error,
                                                        IACP_DEF_AT_TIMEO));
        if (fromServerBox)
            messageBox("Load Config from NRTS server '" + q(config_.server) + "' error" + cause,
                       kXferTitle, true);
        else
            messageBox("Load Config from NRTS server error" + cause, kSiphonTitle, true);
        updatingLists_ = true;
        channelList_->clear();
        stationList_->clear();
        updatingLists_ = false;
    } else {
        gleanerWriteStations(stations_, settingsFile_);
        RefillStationList();
        if (!fromServerBox) AddServer(config_.server);
    }
    SetStatus("", false);
    return ok;
}

void CGleanerDlg::OnQueryServer() {
    config_.server = serverBox_->currentText().toStdString();
    LoadConfiguration(false);
}

void CGleanerDlg::OnServerChosen(int index) {
    if (index < 0) return;
    config_.server = serverBox_->itemText(index).toStdString();
    LoadConfiguration(true);
}

void CGleanerDlg::OnUpdateTimes() {
    SetStatus(QString("Attempting to connect %1::%2").arg(q(config_.server)).arg(config_.port),
              true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = gleanerQueryTimes(config_.server, config_.port, nullptr, &stations_);
    QApplication::restoreOverrideCursor();
    if (!ok)
        QApplication::beep();
    else
        RewriteChannelTimes();
    SetStatus("", false);
}

void CGleanerDlg::RefillStationList() {
    updatingLists_ = true;
    SetStatus("Cleaning channels list", true);
    channelList_->clear();
    SetStatus("", false);
    stationList_->clear();
    for (const auto& [code, s] : stations_.Stations()) {
        auto* item = new QTreeWidgetItem(stationList_);
        item->setText(0, q(s.station));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, s.selected ? Qt::Checked : Qt::Unchecked);
        if (s.selected) ShowChannels(s);
    }
    stationList_->setColumnWidth(0, stationList_->viewport()->width() - 2);
    updatingLists_ = false;
}

void CGleanerDlg::ShowChannels(const CStationEntry& station) {
    const bool wasUpdating = updatingLists_;
    updatingLists_ = true;
    for (const auto& [key, c] : station.channels) {
        auto* item = new QTreeWidgetItem(channelList_);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setText(kColStation, q(station.station));
        item->setText(kColChannel, q(c.channel));
        item->setText(kColLocation, q(c.location));
        item->setText(kColRate, QString::asprintf("%.3f", c.sps));
        item->setText(kColBegin,
                      c.tbeg > 0.0 ? q(gleanerListTime(config_.timeFormat, c.tbeg)) : QString());
        item->setText(kColEnd,
                      c.tend > 0.0 ? q(gleanerListTime(config_.timeFormat, c.tend)) : QString());
        item->setData(0, kStationRole, q(station.station));
        item->setData(0, kKeyRole, q(key));
        item->setData(0, kOrdinalRole, c.ordinal);
        item->setCheckState(0, c.selected ? Qt::Checked : Qt::Unchecked);
    }
    SortChannels();
    updatingLists_ = wasUpdating;
}

void CGleanerDlg::SortChannels() {
    QList<QTreeWidgetItem*> items;
    while (channelList_->topLevelItemCount() > 0) items.append(channelList_->takeTopLevelItem(0));
    std::stable_sort(items.begin(), items.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        int c = QString::localeAwareCompare(a->text(kColStation), b->text(kColStation));
        if (c != 0) return c < 0;
        return a->data(0, kOrdinalRole).toInt() < b->data(0, kOrdinalRole).toInt();
    });
    channelList_->addTopLevelItems(items);
}

void CGleanerDlg::HideChannels(const QString& station) {
    for (int i = channelList_->topLevelItemCount() - 1; i >= 0; --i)
        if (channelList_->topLevelItem(i)
                ->text(kColStation)
                .compare(station, Qt::CaseInsensitive) == 0)
            delete channelList_->takeTopLevelItem(i);
}

void CGleanerDlg::RewriteChannelTimes() {
    for (int i = 0; i < channelList_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = channelList_->topLevelItem(i);
        CChannelEntry* c =
            stations_.FindChannel(item->data(0, kStationRole).toString().toStdString(),
                                  item->data(0, kKeyRole).toString().toStdString());
        if (c == nullptr) continue;
        item->setText(kColBegin,
                      c->tbeg > 0.0 ? q(gleanerListTime(config_.timeFormat, c->tbeg)) : QString());
        item->setText(kColEnd,
                      c->tend > 0.0 ? q(gleanerListTime(config_.timeFormat, c->tend)) : QString());
    }
}

void CGleanerDlg::OnStationItemChanged(QTreeWidgetItem* item, int) {
    if (updatingLists_) return;
    CStationEntry* s = stations_.Find(item->text(0).toStdString());
    if (s == nullptr) return;
    s->selected = item->checkState(0) == Qt::Checked;
    updatingLists_ = true;
    if (s->selected)
        ShowChannels(*s);
    else
        HideChannels(q(s->station));
    updatingLists_ = false;
}

void CGleanerDlg::OnChannelItemChanged(QTreeWidgetItem* item, int) {
    if (updatingLists_) return;
    CChannelEntry* c = stations_.FindChannel(item->data(0, kStationRole).toString().toStdString(),
                                             item->data(0, kKeyRole).toString().toStdString());
    if (c != nullptr) c->selected = item->checkState(0) == Qt::Checked ? 1 : 0;
}

void CGleanerDlg::OnChannelDoubleClicked(QTreeWidgetItem* item, int) {
    // A double click on the check box itself only ticks.
    constexpr int kCheckBoxMargin = 15;
    if (channelList_->viewport()->mapFromGlobal(QCursor::pos()).x() <= kCheckBoxMargin) return;
    const std::string key =
        (item->text(kColChannel) + "." + item->text(kColLocation)).toStdString();
    CChannelEntry* c = stations_.FindChannel(item->text(kColStation).toStdString(), key);
    if (c == nullptr) return;
    if (c->tbeg > 0.0) {
        startField_->SetEpoch(c->tbeg);
        start_ = c->tbeg;
    }
    if (c->tend > 0.0) {
        endField_->SetEpoch(c->tend);
        end_ = c->tend;
    }
}

void CGleanerDlg::OnSelectAll() {
    updatingLists_ = true;
    channelList_->clear();
    for (int i = 0; i < stationList_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = stationList_->topLevelItem(i);
        item->setCheckState(0, Qt::Checked);
        if (CStationEntry* s = stations_.Find(item->text(0).toStdString())) {
            s->selected = true;
            ShowChannels(*s);
        }
    }
    updatingLists_ = false;
}

void CGleanerDlg::OnUnselectAll() {
    updatingLists_ = true;
    for (int i = 0; i < stationList_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = stationList_->topLevelItem(i);
        if (CStationEntry* s = stations_.Find(item->text(0).toStdString())) s->selected = false;
        item->setCheckState(0, Qt::Unchecked);
        HideChannels(item->text(0));
    }
    updatingLists_ = false;
}

void CGleanerDlg::OnClear() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    stations_.ClearChannelSelections();
    updatingLists_ = true;
    for (int i = 0; i < channelList_->topLevelItemCount(); ++i)
        channelList_->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    updatingLists_ = false;
    gleanerWriteStations(stations_, settingsFile_);
    QApplication::restoreOverrideCursor();
}

void CGleanerDlg::OnWildcards() {
    CMaskDlg dlg(mask_, this);
    if (dlg.exec() == QDialog::Accepted) SelectByMask(dlg.Mask());
}

void CGleanerDlg::SelectByMask(const QString& mask) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    updatingLists_ = true;
    // Only the rows shown: stations that are not ticked keep their channels as they are.
    for (int i = 0; i < channelList_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = channelList_->topLevelItem(i);
        if (!gleanerMaskMatches(mask.toStdString(), item->text(kColChannel).toStdString()))
            continue;
        CChannelEntry* c =
            stations_.FindChannel(item->data(0, kStationRole).toString().toStdString(),
                                  item->data(0, kKeyRole).toString().toStdString());
        if (c != nullptr) c->selected = 1;
        item->setCheckState(0, Qt::Checked);
    }
    updatingLists_ = false;
    mask_ = mask;
    QApplication::restoreOverrideCursor();
}

void CGleanerDlg::ApplyTimeFormat() {
    formatLabel_->setText(gleanerFieldLabel(config_.timeFormat));
    startField_->SetFormat(config_.timeFormat);
    endField_->SetFormat(config_.timeFormat);
    startField_->SetEpoch(start_);
    endField_->SetEpoch(end_);
}

bool CGleanerDlg::TakeFields() {
    for (CDateTimeEdit* field : {startField_, endField_}) {
        if (!field->CheckTime()) {
            messageBox(kWrongTimeText, kWrongTimeTitle, true);
            field->setFocus();
            return false;
        }
    }
    config_.server = serverBox_->currentText().toStdString();
    return true;
}

void CGleanerDlg::OnOptions() {
    if (!TakeFields()) return;
    start_ = startField_->Epoch();
    end_ = endField_->Epoch();
    CConfigDlg dlg(&config_, settingsFile_, this);
    if (dlg.exec() == QDialog::Accepted) {
        ApplyTimeFormat();
        RewriteChannelTimes();
    }
}

void CGleanerDlg::SetControlsEnabled(bool enabled) {
    for (QWidget* w : findChildren<QWidget*>())
        if (w != status_ && w != progress_) w->setEnabled(enabled);
    // The one control of a run: Stop.
    stop_->setVisible(!enabled);
    stop_->setEnabled(!enabled);
}

void CGleanerDlg::OnStop() {
    if (!running_) return;
    stopFlag_.store(1);
    stop_->setEnabled(false);
    SetStatus("Stopping: keeping what arrived", true);
}

void CGleanerDlg::OnGetData() {
    if (running_ || !TakeFields()) return;
    if (stations_.SelectedChannelCount() == 0) {
        QApplication::beep();
        messageBox("Not channel selected", kXferTitle, true);
        return;
    }
    start_ = startField_->Epoch();
    end_ = endField_->Epoch();
    CDateTimeEdit* wrong = start_ < 0.0     ? startField_
                           : end_ < 0.0     ? endField_
                           : end_ <= start_ ? startField_
                                            : nullptr;
    if (wrong != nullptr) {
        QApplication::beep();
        messageBox("Wrong time interval", kXferTitle, true);
        wrong->setFocus();
        return;
    }
    gleanerWriteInterval(start_, end_, settingsFile_);
    gleanerWriteStations(stations_, settingsFile_);

    RETRIEVAL_INPUT input =
        gleanerRunInput(config_.server, config_.port, start_, end_, stations_.Streams());
    stopFlag_.store(0);
    input.stop = &stopFlag_;
    if (prepareRun) prepareRun(input);

    SetControlsEnabled(false);
    savedDirectory_ = QDir::currentPath();
    setCursor(Qt::WaitCursor);
    running_ = true;
    lastRun_ = RETRIEVAL_RESULT{};
    if (thread_.joinable()) thread_.join();
    host_ = std::make_unique<CDialogHost>(this);
    run_ = std::make_unique<CRetrievalRun>(std::move(input), *host_);
    thread_ = std::thread([this] { run_->Run(); });
    SetStatus("", true);
    progress_->setValue(0);
    progress_->show();
}

void CGleanerDlg::OnRetrievalDone() {
    // The run has posted its last message: the thread only returns from here on.
    if (thread_.joinable()) thread_.join();
    if (run_) lastRun_ = run_->Result();
    running_ = false;
    if (!lastRun_.runFailed) showResults(lastRun_.results);
    if (!savedDirectory_.isEmpty()) QDir::setCurrent(savedDirectory_);
    SetControlsEnabled(true);
}

bool CGleanerDlg::SaveAll() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!TakeFields()) {
        QApplication::restoreOverrideCursor();
        return false;
    }
    updatingLists_ = true;
    channelList_->clear();
    updatingLists_ = false;
    double begin = startField_->Epoch(), end = endField_->Epoch();
    gleanerWriteInterval(std::max(0.0, begin), std::max(0.0, end), settingsFile_);
    gleanerWriteStations(stations_, settingsFile_);
    gleanerWriteServer(config_, settingsFile_);
    for (int i = 0; i < kColumnCount; ++i) widths_[i] = channelList_->columnWidth(i);
    gleanerWriteColumnWidths(widths_, settingsFile_);
    QApplication::restoreOverrideCursor();
    return true;
}

void CGleanerDlg::OnExit() {
    if (running_ || !SaveAll()) return;
    closing_ = true;
    QDialog::accept();
}

void CGleanerDlg::reject() {
    OnExit();
}

void CGleanerDlg::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    event->ignore();
    OnExit();
}

bool CGleanerDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress) return QDialog::eventFilter(watched, event);
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::RightButton) return QDialog::eventFilter(watched, event);
    for (QTreeWidget* list : {stationList_, channelList_}) {
        if (watched != list->viewport()) continue;
        const QPoint at = mouse->position().toPoint();
        QTreeWidgetItem* item = list->itemAt(at);
        if (item == nullptr || !list->isEnabled()) return false;
        // The check box sits at the left of the first column, after the item's margin.
        const int boxRight = list->visualItemRect(item).left() +
                             list->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                             2 * list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) +
                             kCheckBoxSlack;
        if (at.x() > boxRight) return false;
        item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
