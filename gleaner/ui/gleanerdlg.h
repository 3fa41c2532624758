// CGleanerDlg, the main dialog: server box, server queries, station and channel lists, interval
// fields, "Get data" with its RetrievalThread, options and exit. The logic is in gleanercore;
// this class translates widget events into calls on it and shows the results.
#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "gleaner/kvrwriter.h"
#include "gleaner/retrieval.h"
#include "gleaner/selection.h"
#include "gleaner/settings.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class CDateTimeEdit;
class CDialogHost;

class CGleanerDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CGleanerDlg(const std::string& settingsFile = kSettingsFile,
                         QWidget* parent = nullptr);
    ~CGleanerDlg() override;

    // Message boxes go through these, so tests answer them.
    std::function<void(const QString& text, const QString& title, bool errorIcon)> messageBox;
    std::function<IoAnswer(const QString& text, const QString& title)> ioQuestion;
    std::function<void(const std::vector<GLEANER_RESULT_ENTRY>&)> showResults;
    // The run's input is completed by this before the thread starts (tests point it at their
    // catalogue and folders).
    std::function<void(RETRIEVAL_INPUT&)> prepareRun;

    CStationMap& Stations() { return stations_; }
    GLEANER_CONFIG& Config() { return config_; }
    QComboBox* ServerBox() const { return serverBox_; }
    QTreeWidget* StationList() const { return stationList_; }
    QTreeWidget* ChannelList() const { return channelList_; }
    CDateTimeEdit* StartField() const { return startField_; }
    CDateTimeEdit* EndField() const { return endField_; }
    QLabel* StatusText() const { return status_; }
    QProgressBar* Progress() const { return progress_; }
    QPushButton* GetDataButton() const { return getData_; }
    QPushButton* StopButton() const { return stop_; }
    bool Running() const { return running_; }
    const RETRIEVAL_RESULT& LastRun() const { return lastRun_; }
    double Start() const { return start_; }
    double End() const { return end_; }

  public slots:
    void OnQueryServer();
    void OnServerChosen(int index);
    void OnUpdateTimes();
    void OnSelectAll();
    void OnUnselectAll();
    void OnClear();
    void OnWildcards();
    // The wildcard selection itself, after the mask dialog's OK.
    void SelectByMask(const QString& mask);
    void OnOptions();
    void OnGetData();
    // Ends the run under way within a second; what arrived is kept.
    void OnStop();
    void OnExit();
    // ID_RETRIEVAL_DONE.
    void OnRetrievalDone();

  protected:
    // A right click on a row's check box in either list toggles it as a left click does.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private slots:
    void OnStationItemChanged(QTreeWidgetItem* item, int column);
    void OnChannelItemChanged(QTreeWidgetItem* item, int column);
    void OnChannelDoubleClicked(QTreeWidgetItem* item, int column);

  private:
    friend class CDialogHost;
    bool LoadConfiguration(bool fromServerBox);
    void RefillStationList();
    void ShowChannels(const CStationEntry& station);
    void HideChannels(const QString& station);
    void SortChannels();
    void RewriteChannelTimes();
    void ApplyTimeFormat();
    void SetStatus(const QString& text, bool visible);
    void FillServerBox();
    void AddServer(const std::string& name);
    void SetControlsEnabled(bool enabled);
    // Takes the field values in; false (with the field's message) when a time is refused.
    bool TakeFields();
    bool SaveAll();

    std::string settingsFile_;
    GLEANER_CONFIG config_;
    CStationMap stations_;
    CServerList servers_;
    GLEANER_WIDTHS widths_{};
    QString mask_ = kDefaultMask;
    double start_ = 0.0;
    double end_ = 0.0;
    bool updatingLists_ = false;

    QComboBox* serverBox_;
    QTreeWidget* stationList_;
    QTreeWidget* channelList_;
    QLabel* formatLabel_;
    CDateTimeEdit* startField_;
    CDateTimeEdit* endField_;
    QLabel* status_;
    QProgressBar* progress_;
    QPushButton* getData_;
    QPushButton* stop_;

    bool running_ = false;
    bool closing_ = false;
    QString savedDirectory_;
    std::thread thread_;
    std::unique_ptr<CDialogHost> host_;
    std::unique_ptr<CRetrievalRun> run_;  // the run under way, or the last one
    std::atomic<int> stopFlag_{0};        // the run's stop flag (RETRIEVAL_INPUT::stop)
    RETRIEVAL_RESULT lastRun_;
};
