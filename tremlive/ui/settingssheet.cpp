// The settings sheet and its three pages.
#include "tremlive/ui/settingssheet.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "isi/isi.h"
#include "tremlive/ui/messages.h"
#include "util/util.h"

namespace tremlive {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

QTreeWidget* makeList(const QStringList& headers) {
    auto* list = new QTreeWidget;
    list->setColumnCount(int(headers.size()));
    list->setHeaderLabels(headers);
    list->setRootIsDecorated(false);
    list->setIndentation(0);
    list->setUniformRowHeights(true);
    list->setTextElideMode(Qt::ElideRight);  // texts cut to their column end in "..."
    list->setIconSize(QSize(kCheckImageSize, kCheckImageSize));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    return list;
}

bool stationHasSelected(const CStationConfig& s) {
    for (const CChannelConfig& c : s.channels)
        if (c.selected) return true;
    return false;
}

}  // namespace

QPixmap CheckImage(bool checked) {
    QPixmap pixmap(kCheckImageSize, kCheckImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawRect(1, 1, 13, 13);
    if (checked) {
        p.setPen(QPen(Qt::black, 2));
        p.drawLine(4, 8, 7, 11);
        p.drawLine(7, 11, 12, 4);
    }
    return pixmap;
}

// ---- Channels -----------------------------------------------------------------------------

CChannelsPage::CChannelsPage(CTremliveSession& session, QWidget* parent)
    : CSettingsPage(session, parent) {
    workingCopy.copyFrom(session_.stations);
    stations_ = makeList({"Station"});
    stations_->setObjectName("1002");
    channels_ = makeList({"Channels", "Loc.code", "Samp./sec."});
    channels_->setObjectName("1001");
    channels_->header()->setSectionResizeMode(QHeaderView::Stretch);  // a third each
    load_ = new QPushButton("Load config from ISI server");
    load_->setObjectName("1003");
    auto* layout = new QVBoxLayout(this);
    auto* lists = new QHBoxLayout;
    lists->addWidget(stations_, 1);
    lists->addWidget(channels_, 3);
    layout->addLayout(lists);
    layout->addWidget(load_);
    channels_->viewport()->installEventFilter(this);
    connect(stations_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item != nullptr) showStation(stations_->indexOfTopLevelItem(item));
    });
    connect(load_, &QPushButton::clicked, this, &CChannelsPage::LoadFromServer);
    fillStations();
}

void CChannelsPage::fillStations() {
    stations_->blockSignals(true);
    stations_->clear();
    for (const CStationConfig& s : workingCopy.stations) {
        auto* item = new QTreeWidgetItem(QStringList{text(s.station)});
        item->setIcon(0, CheckImage(stationHasSelected(s)));
        stations_->addTopLevelItem(item);
    }
    stations_->blockSignals(false);
    shownStation_.clear();
    channels_->clear();
    if (stations_->topLevelItemCount() > 0) {
        stations_->setCurrentItem(stations_->topLevelItem(0));
        showStation(0);
    }
}

void CChannelsPage::showStation(int row) {
    if (row < 0 || size_t(row) >= workingCopy.stations.size()) return;
    const CStationConfig& s = workingCopy.stations[size_t(row)];
    if (!shownStation_.empty() && EqualNoCase(shownStation_, s.station)) return;
    shownStation_ = s.station;
    channels_->clear();
    for (const CChannelConfig& c : s.channels) {
        auto* item = new QTreeWidgetItem(QStringList{
            text(c.channel), text(c.location), text(FormatSamplesPerSecond(c.samplesPerSecond))});
        item->setIcon(0, CheckImage(c.selected != 0));
        channels_->addTopLevelItem(item);
    }
}

void CChannelsPage::refreshStationImage(int row) {
    QTreeWidgetItem* item = stations_->topLevelItem(row);
    if (item != nullptr)
        item->setIcon(0, CheckImage(stationHasSelected(workingCopy.stations[size_t(row)])));
}

bool CChannelsPage::ClickChannelList(const QPoint& pos) {
    QTreeWidgetItem* item = channels_->itemAt(pos);
    if (item == nullptr) return false;
    // Only a click on the check image toggles; the image sits at the start of the first column.
    QRect cell = channels_->visualItemRect(item);
    int imageLeft = cell.left() + channels_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin);
    if (pos.x() < imageLeft || pos.x() >= imageLeft + kCheckImageSize + 4) return false;
    markChanged();
    CStationConfig* s = workingCopy.findStation(shownStation_);
    if (s == nullptr) return false;
    std::string chn = item->text(0).toStdString();
    std::string loc = item->text(1).toStdString();
    for (CChannelConfig& c : s->channels) {
        if (EqualNoCase(c.channel, chn) && c.location == loc) {
            c.selected = c.selected ? 0 : 1;
            item->setIcon(0, CheckImage(c.selected != 0));
            break;
        }
    }
    for (int row = 0; row < stations_->topLevelItemCount(); ++row) {
        if (EqualNoCase(stations_->topLevelItem(row)->text(0).toStdString(), shownStation_))
            refreshStationImage(row);
    }
    return true;
}

bool CChannelsPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == channels_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton || mouse->button() == Qt::RightButton) {
            if (ClickChannelList(mouse->position().toPoint())) return true;
        }
    }
    return CSettingsPage::eventFilter(watched, event);
}

void CChannelsPage::LoadFromServer() {
    // The query runs on the loader's thread: the window keeps painting while the server answers.
    CConfigLoader::Load load = loader;
    if (!load) {
        const std::string server = session_.settings.server;
        const int port = session_.settings.port;
        const std::atomic<int>* cancel = loading_.CancelFlag();
        load = [server, port, cancel](CStationList* list, std::string* cause) {
            return LoadStationsFromServer(server, port, list, cause, cancel);
        };
    }
    QPointer<CChannelsPage> page(this);
    const bool started =
        loading_.Start(load, [page](bool ok, CStationList list, std::string cause) {
            QMetaObject::invokeMethod(
                page,
                [page, ok, list = std::move(list), cause] { page->LoadFinished(ok, list, cause); },
                Qt::QueuedConnection);
        });
    if (!started) return;
    load_->setEnabled(false);
    setCursor(Qt::WaitCursor);
}

void CChannelsPage::LoadFinished(bool ok, const CStationList& loaded, const std::string& cause) {
    load_->setEnabled(true);
    unsetCursor();
    if (!ok) {
        // The page keeps showing, and applying keeps, the configuration it had.
        ShowMessage(
            session_, this, "ERROR",
            QString::fromStdString(cause.empty() ? std::string("Load Config from server error")
                                                 : "Load Config from server error: " + cause),
            QMessageBox::Critical);
        return;
    }
    workingCopy = loaded;
    fillStations();
    markChanged();
}

void CChannelsPage::Apply() {
    SaveStations(session_.settingsFile, workingCopy);
    session_.stations.copyFrom(workingCopy);
}

// ---- Network --------------------------------------------------------------------------------

CNetworkPage::CNetworkPage(CTremliveSession& session, QWidget* parent)
    : CSettingsPage(session, parent) {
    server = new QLineEdit(text(session_.settings.server));
    server->setObjectName("1004");
    port = new QLineEdit(QString::number(session_.settings.port));
    port->setObjectName("1005");
    auto* form = new QFormLayout(this);
    form->addRow("ISI Server", server);
    form->addRow("Port number", port);
    connect(server, &QLineEdit::textEdited, this, [this] { markChanged(); });
    connect(port, &QLineEdit::textEdited, this, [this] { markChanged(); });
}

bool CNetworkPage::Validate() {
    std::string message;
    if (!ValidateIntegerField(port->text().toStdString(), kPortRange, &portValue_, &message)) {
        ShowMessage(session_, this, window()->windowTitle(), text(message), QMessageBox::Warning);
        port->setFocus();
        port->selectAll();
        return false;
    }
    return true;
}

void CNetworkPage::Apply() {
    session_.settings.server = server->text().toStdString();
    session_.settings.port = portValue_;
    SaveNetworkSettings(session_.settingsFile, session_.settings);
}

// ---- Display parameters ---------------------------------------------------------------------

CDisplayParamDlg::CDisplayParamDlg(CTremliveSession& session, QWidget* parent)
    : CSettingsPage(session, parent) {
    const TremliveSettings& s = session_.settings;
    displayed = new QLineEdit(QString::number(s.displayedTime));
    displayed->setObjectName("1006");
    buffered = new QLineEdit(QString::number(s.bufferedTime));
    buffered->setObjectName("1007");
    refresh = new QLineEdit(QString::number(s.refreshTime));
    refresh->setObjectName("1008");
    delay = new QLineEdit(QString::number(s.delay));
    delay->setObjectName("1009");
    auto* form = new QFormLayout(this);
    form->addRow("Displayed window size (sec.)", displayed);
    form->addRow("Buffered window size (sec.)", buffered);
    form->addRow("Refresh time(sec.)", refresh);
    form->addRow("Delay (sec)", delay);
    for (QLineEdit* edit : {displayed, buffered, refresh, delay})
        connect(edit, &QLineEdit::textEdited, this, [this] { markChanged(); });
}

bool CDisplayParamDlg::Validate() {
    // The order of the old dialog's checks: buffered, displayed, refresh, delay.
    struct Field {
        QLineEdit* edit;
        IntRange range;
        int* value;
    } fields[] = {{buffered, kBufferedTimeRange, &values_[1]},
                  {displayed, kDisplayedTimeRange, &values_[0]},
                  {refresh, kRefreshTimeRange, &values_[2]},
                  {delay, kDelayRange, &values_[3]}};
    for (const Field& f : fields) {
        std::string message;
        if (!ValidateIntegerField(f.edit->text().toStdString(), f.range, f.value, &message)) {
            ShowMessage(session_, this, window()->windowTitle(), text(message),
                        QMessageBox::Warning);
            f.edit->setFocus();
            f.edit->selectAll();
            return false;
        }
    }
    return true;
}

void CDisplayParamDlg::Apply() {
    TremliveSettings& s = session_.settings;
    s.displayedTime = values_[0];
    s.bufferedTime = values_[1];
    s.refreshTime = values_[2];
    s.delay = values_[3];
    SaveDisplaySettings(session_.settingsFile, s);
}

// ---- the sheet ------------------------------------------------------------------------------

CSettingsSheet::CSettingsSheet(CTremliveSession& session, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Set All Parameters");
    tabs_ = new QTabWidget;
    channels_ = new CChannelsPage(session);
    network_ = new CNetworkPage(session);
    display_ = new CDisplayParamDlg(session);
    tabs_->addTab(channels_, "Channels");
    tabs_->addTab(network_, "Network");
    tabs_->addTab(display_, "Display parameters");
    channels_->shown = true;
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::Apply);
    apply_ = buttons->button(QDialogButtonBox::Apply);
    apply_->setEnabled(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(apply_, &QPushButton::clicked, this, [this] {
        if (ApplyAll()) apply_->setEnabled(false);
    });
    for (CSettingsPage* page :
         {static_cast<CSettingsPage*>(channels_), static_cast<CSettingsPage*>(network_),
          static_cast<CSettingsPage*>(display_)})
        connect(page, &CSettingsPage::modified, apply_, [this] { apply_->setEnabled(true); });
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        // Leaving a page checks its fields; a refused field brings the page back.
        auto* leaving = static_cast<CSettingsPage*>(tabs_->widget(current_));
        if (index != current_ && !leaving->Validate()) {
            tabs_->blockSignals(true);
            tabs_->setCurrentIndex(current_);
            tabs_->blockSignals(false);
            return;
        }
        current_ = index;
        static_cast<CSettingsPage*>(tabs_->widget(index))->shown = true;
    });
}

bool CSettingsSheet::ApplyAll() {
    CSettingsPage* pages[] = {channels_, network_, display_};
    for (int i = 0; i < 3; ++i) {
        if (!pages[i]->shown) continue;
        if (!pages[i]->Validate()) {
            tabs_->blockSignals(true);
            tabs_->setCurrentIndex(i);
            current_ = i;
            tabs_->blockSignals(false);
            return false;
        }
    }
    for (CSettingsPage* page : pages) {
        if (page->shown) {
            page->Apply();
            page->changed = false;
        }
    }
    return true;
}

void CSettingsSheet::accept() {
    if (ApplyAll()) QDialog::accept();
}

}  // namespace tremlive
