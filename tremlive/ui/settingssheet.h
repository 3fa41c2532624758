// The "Set All Parameters" sheet: the Channels, Network and Display parameters pages. Each page
// starts from the session's values (the Channels page from a working copy of its station list); a
// page the user has shown applies its values to the session and its settings file on OK or
// Apply, after its fields pass their checks.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <QWidget>
#include <functional>

#include "tremlive/serverconfig.h"
#include "tremlive/session.h"
#include "tremlive/settings.h"

class QLineEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace tremlive {

// The two 16 x 16 check images of both lists: unchecked, then checked.
QPixmap CheckImage(bool checked);
inline constexpr int kCheckImageSize = 16;

class CSettingsPage : public QWidget {
    Q_OBJECT
  public:
    explicit CSettingsPage(CTremliveSession& session, QWidget* parent = nullptr)
        : QWidget(parent), session_(session) {}
    bool shown = false;
    bool changed = false;
    // Checks the fields; on failure shows the page's message and focuses the field.
    virtual bool Validate() { return true; }
    virtual void Apply() = 0;

  signals:
    void modified();

  protected:
    void markChanged() {
        changed = true;
        emit modified();
    }
    CTremliveSession& session_;
};

class CChannelsPage : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CChannelsPage(CTremliveSession& session, QWidget* parent = nullptr);
    CStationList workingCopy;
    QTreeWidget* stationList() const { return stations_; }
    QTreeWidget* channelList() const { return channels_; }
    QPushButton* loadButton() const { return load_; }
    // Fills a list from the server named in the settings (LoadStationsFromServer, off the
    // window's thread); tests replace it.
    CConfigLoader::Load loader;
    // The click test of the channel list, in viewport coordinates; true when it toggled.
    bool ClickChannelList(const QPoint& pos);
    // Starts the load; the page shows its result when it ends (LoadFinished, on this thread).
    void LoadFromServer();
    bool Loading() const { return loading_.Busy(); }
    void Apply() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void LoadFinished(bool ok, const CStationList& loaded, const std::string& cause);
    void fillStations();
    void showStation(int row);
    void refreshStationImage(int row);
    QTreeWidget* stations_;
    QTreeWidget* channels_;
    QPushButton* load_;
    std::string shownStation_;
    // Last, so that it goes first: a load under way is cancelled and waited for.
    CConfigLoader loading_;
};

class CNetworkPage : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CNetworkPage(CTremliveSession& session, QWidget* parent = nullptr);
    QLineEdit* server;  // 1004
    QLineEdit* port;    // 1005
    bool Validate() override;
    void Apply() override;

  private:
    int portValue_ = 0;
};

class CDisplayParamDlg : public CSettingsPage {
    Q_OBJECT
  public:
    explicit CDisplayParamDlg(CTremliveSession& session, QWidget* parent = nullptr);
    QLineEdit* displayed;  // 1006
    QLineEdit* buffered;   // 1007
    QLineEdit* refresh;    // 1008
    QLineEdit* delay;      // 1009
    bool Validate() override;
    void Apply() override;

  private:
    int values_[4] = {};
};

class CSettingsSheet : public QDialog {
    Q_OBJECT
  public:
    explicit CSettingsSheet(CTremliveSession& session, QWidget* parent = nullptr);
    CChannelsPage* channelsPage() const { return channels_; }
    CNetworkPage* networkPage() const { return network_; }
    CDisplayParamDlg* displayPage() const { return display_; }
    QTabWidget* tabs() const { return tabs_; }
    QPushButton* applyButton() const { return apply_; }
    // Validates and applies every shown page; false keeps the sheet open.
    bool ApplyAll();
    // OK: applies, and closes only when every shown page accepted its fields.
    void accept() override;

  private:
    QTabWidget* tabs_;
    CChannelsPage* channels_;
    CNetworkPage* network_;
    CDisplayParamDlg* display_;
    QPushButton* apply_;
    int current_ = 0;
};

}  // namespace tremlive
