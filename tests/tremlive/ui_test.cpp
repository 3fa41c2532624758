// The main window, its commands and the overview strip, and the settings sheet, on Qt's
// offscreen platform; one run end to end against the stand-in server.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/net.h"
#include "server/sim_fixture.h"
#include "tremlive/qt_app.h"
#include "tremlive/session.h"
#include "tremlive/temp_dir.h"
#include "tremlive/trem_fixture.h"
#include "tremlive/ui/mainframe.h"
#include "tremlive/ui/messages.h"
#include "tremlive/ui/overviewstrip.h"
#include "tremlive/ui/settingssheet.h"
#include "tremlive/ui/traceview.h"

using namespace tremlive;
using tremtest::AddChannel;
using tremtest::MakePacket;

namespace {

struct Shown {
    std::string caption;
    std::string text;
    MessageKind kind;
};

// A session of its own on a settings file of its own, message boxes recorded instead of shown.
class Windows {
  public:
    Windows() {
        tremtest::EnsureApp();
        session_.messageHook = [this](const std::string& caption, const std::string& text,
                                      MessageKind kind) {
            shown_.push_back({caption, text, kind});
        };
    }
    // What the status bar shows: a passing message when there is one, else its labels.
    std::string statusText(MainFrame& frame) {
        QStatusBar* bar = frame.statusBar();
        if (!bar->currentMessage().isEmpty()) return bar->currentMessage().toStdString();
        std::string text;
        for (QLabel* label : bar->findChildren<QLabel*>())
            text += label->text().toStdString() + "|";
        return text;
    }
    std::vector<int> toolbarCommands(MainFrame& frame) {
        std::vector<int> ids;
        for (QAction* a : frame.toolBar()->actions())
            if (!a->isSeparator()) ids.push_back(a->data().toInt());
        return ids;
    }
    std::string settingsText() {
        std::ifstream in(session_.settingsFile, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void release(QWidget* w, QPoint p) {
        QMouseEvent e(QEvent::MouseButtonRelease, p, w->mapToGlobal(p), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }
    static void move(QWidget* w, QPoint p) {
        QMouseEvent e(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }

    tremtest::TempDir dir_;
    CTremliveSession session_{dir_.file("TREMLIVE.INI")};
    std::vector<Shown> shown_;
};

class MainWindow : public ::testing::Test, public Windows {
  protected:
    void SetUp() override {
        frame_.resize(900, 700);
        frame_.show();
        QCoreApplication::processEvents();
    }
    // Three channels with data, as acquisition would leave them, without a thread.
    void fill() {
        CTraceBuffers& b = frame_.view()->buffers();
        double now = platNow();
        for (int i = 0; i < 3; ++i) {
            CDisplayChannel& ch = AddChannel(&b, "ABC",
                                             i == 0   ? "BHZ"
                                             : i == 1 ? "BHN"
                                                      : "BHE",
                                             "00");
            ch.receivedPackets = 10;
            std::vector<int32_t> v;
            for (int k = 0; k < 600; ++k) v.push_back((k % 20 - 10) * 100 * (i + 1));
            ch.AddPacket(MakePacket(now - 600, 1.0f, v));
        }
        frame_.view()->drawing().selected = 0;
        b.UpdateWindowTimes(now);
        frame_.view()->RedrawAll();
    }
    std::vector<std::pair<int32_t, int32_t>> scales() {
        std::vector<std::pair<int32_t, int32_t>> out;
        for (auto& ch : frame_.view()->buffers().channels)
            out.emplace_back(ch->scaleMin, ch->scaleMax);
        return out;
    }
    MainFrame frame_{session_};
};

TEST_F(MainWindow, RunWithoutSelectedChannelsOnlyComplains) {
    session_.stations.appendStation("ABC").channels = {{"BHZ", "00", 20.0, 0}};
    frame_.OnCommand(ID_RUN);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text, "No channels selected");
    EXPECT_EQ(shown_[0].kind, MessageKind::Error);
    EXPECT_EQ(toolbarCommands(frame_), (std::vector<int>{ID_RUN, ID_CONFIG, ID_APP_ABOUT}));
    EXPECT_FALSE(frame_.refreshTimer()->isActive());
    EXPECT_FALSE(session_.acquisition.Running());
}

TEST_F(MainWindow, ScaleCommandsFollowTheShiftRule) {
    fill();
    CTraceBuffers& b = frame_.view()->buffers();
    using S = std::vector<std::pair<int32_t, int32_t>>;
    frame_.OnCommand(ID_EXPAND_VERTICAL, false);
    EXPECT_EQ(scales(), (S{{-1500, 1500}, {-3000, 3000}, {-3000, 3000}}));
    frame_.OnCommand(ID_EXPAND_VERTICAL, true);
    EXPECT_EQ(scales(), (S{{-750, 750}, {-1500, 1500}, {-1500, 1500}}));
    frame_.OnCommand(ID_CONTRACT_VERTICAL, true);
    EXPECT_EQ(scales(), (S{{-1500, 1500}, {-3000, 3000}, {-3000, 3000}}));
    // Shifting never takes the Shift key into account.
    frame_.OnCommand(ID_SHIFT_UP, true);
    EXPECT_EQ(scales(), (S{{-1800, 1200}, {-3000, 3000}, {-3000, 3000}}));
    frame_.OnCommand(ID_SHIFT_DOWN, false);
    EXPECT_EQ(scales(), (S{{-1500, 1500}, {-3000, 3000}, {-3000, 3000}}));
    // The first sample v opens the range at v - 1 .. v + 1.
    frame_.OnCommand(ID_FIT_BUFFERED, false);
    EXPECT_EQ(scales(), (S{{-1001, 900}, {-3000, 3000}, {-3000, 3000}}));
    frame_.OnCommand(ID_FIT_DISPLAYED, true);
    EXPECT_EQ(scales(), (S{{-1001, 900}, {-2001, 1800}, {-3001, 2700}}));
    EXPECT_EQ(b.channels.size(), 3u);
    // The redrawn band shows the new scale values in its label panel.
    EXPECT_FALSE(frame_.view()->drawing().bitmap.isNull());
}

TEST_F(MainWindow, RefreshTimeThreeRefreshesAtOneFiveAndNineSeconds) {
    session_.settings.refreshTime = 3;
    std::vector<int> refreshes;
    int tick = 0;
    frame_.SetClock([&] {
        refreshes.push_back(tick);
        return platNow();
    });
    frame_.OnTimer();  // idle: ignored
    EXPECT_TRUE(refreshes.empty());
    session_.acquisition.control().running = 1;  // as if running, without a thread
    for (tick = 1; tick <= 10; ++tick) frame_.OnTimer();
    session_.acquisition.control().running = 0;
    EXPECT_EQ(refreshes, (std::vector<int>{1, 5, 9}));
}

TEST_F(MainWindow, MouseReadoutsAndBandSelection) {
    fill();
    CTraceView* view = frame_.view();
    const int H = view->height();
    const CDisplayChannel& ch = *view->buffers().channels[0];
    move(view, QPoint(ch.plot.left, H - ch.plot.top));
    EXPECT_TRUE(frame_.readoutPane()->text().startsWith("A:3000 T:"))
        << frame_.readoutPane()->text().toStdString();
    frame_.readoutPane()->setText("untouched");
    move(view, QPoint(10, H - ch.plot.top));  // over the label panel: no readout
    EXPECT_EQ(frame_.readoutPane()->text(), "untouched");

    const CDisplayChannel& top = *view->buffers().channels[2];
    release(view, QPoint(500, H - (top.band.top + top.band.bottom) / 2));
    EXPECT_EQ(view->drawing().selected, 2);
    release(view, QPoint(500, 0));  // above every band (the left-over rows): no change
    EXPECT_EQ(view->drawing().selected, 2);
}

TEST_F(MainWindow, StripClickAtTheMarginsMovesTheDisplayToTheBufferEnds) {
    fill();
    COverviewStrip* strip = frame_.strip();
    CTraceBuffers& b = frame_.view()->buffers();
    EXPECT_EQ(strip->height(), kStripHeight);
    const int W = strip->width();
    release(strip, QPoint(4, 10));
    EXPECT_EQ(b.displayedStart, b.bufferedStart);
    EXPECT_EQ(b.displayedEnd, b.bufferedStart + 900);
    release(strip, QPoint(W - 4, 10));
    EXPECT_EQ(b.displayedEnd, b.bufferedEnd);
    EXPECT_EQ(b.displayedStart, b.bufferedEnd - 900);
    // Not running: the strip stays empty, the view is drawn again.
    EXPECT_TRUE(strip->drawing().bitmap.isNull());
    EXPECT_FALSE(frame_.view()->drawing().bitmap.isNull());
}

class RunAgainstServer : public simtest::SimTest, public Windows {};

TEST_F(RunAgainstServer, RunRefreshStopAndTheEndMessage) {
    startServer({"ABC.BHZ.00:20:20", "ABC.BHN.00:20:20"});
    session_.settings.server = "127.0.0.1";
    session_.settings.port = server_->port();
    session_.settings.bufferedTime = 60;
    session_.settings.displayedTime = 30;
    session_.stations.appendStation("abc").channels = {{"BHZ", "00", 20.0, 1},
                                                       {"BHN", "00", 20.0, 0}};
    MainFrame frame(session_);
    frame.view()->SetAcquisitionLog(&log_);
    frame.resize(800, 600);
    frame.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(statusText(frame).rfind("Stopped|", 0), 0u) << statusText(frame);
    frame.OnCommand(ID_RUN);
    ASSERT_EQ(frame.view()->buffers().channels.size(), 1u);
    EXPECT_TRUE(frame.refreshTimer()->isActive());
    EXPECT_EQ(toolbarCommands(frame),
              (std::vector<int>{ID_STOP, ID_FIT_DISPLAYED, ID_FIT_BUFFERED, ID_EXPAND_VERTICAL,
                                ID_CONTRACT_VERTICAL, ID_AUTO_FIT, ID_SHIFT_DOWN, ID_SHIFT_UP}));
    // The status bar tells the state, also while the pointer rests on the Stop button.
    const std::string running =
        "Running: 127.0.0.1:" + std::to_string(server_->port()) + ", 1 channel|";
    EXPECT_EQ(statusText(frame).rfind(running, 0), 0u) << statusText(frame);
    frame.toolBar()->actions().front()->hover();
    EXPECT_EQ(statusText(frame).rfind(running, 0), 0u) << statusText(frame);
    EXPECT_EQ(frame.view()->buffers().autoFit, 1);
    QAction* autoFit = nullptr;
    for (QAction* a : frame.toolBar()->actions())
        if (a->data().toInt() == ID_AUTO_FIT) autoFit = a;
    ASSERT_NE(autoFit, nullptr);
    EXPECT_TRUE(autoFit->isChecked());
    autoFit->trigger();  // unchecks, then runs the command
    EXPECT_EQ(frame.view()->buffers().autoFit, 0);
    autoFit->trigger();
    EXPECT_EQ(frame.view()->buffers().autoFit, 1);
    CTraceBuffers& b = frame.view()->buffers();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(b.dataLock);
            if (b.channels[0]->packets().size() >= 40) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        QTest::qWait(20);
    }
    frame.Refresh();
    EXPECT_FALSE(frame.view()->drawing().bitmap.isNull());
    EXPECT_FALSE(frame.strip()->drawing().bitmap.isNull());
    EXPECT_EQ(b.displayedEnd - b.displayedStart, 30.0);

    frame.OnCommand(ID_STOP);
    EXPECT_FALSE(frame.refreshTimer()->isActive());
    // Stopping: the running toolbar stays until the thread's end message.
    EXPECT_EQ(toolbarCommands(frame).front(), ID_STOP);
    EXPECT_EQ(statusText(frame).rfind("Stopping...|", 0), 0u) << statusText(frame);
    until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (toolbarCommands(frame).front() != ID_RUN) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        QTest::qWait(50);
    }
    EXPECT_EQ(statusText(frame).rfind("Stopped|", 0), 0u) << statusText(frame);
    EXPECT_TRUE(b.channels.empty());
    EXPECT_TRUE(frame.view()->drawing().bitmap.isNull());
    EXPECT_TRUE(frame.strip()->drawing().bitmap.isNull());
}

TEST_F(RunAgainstServer, ClosingTheWindowWhileRunningEndsTheThreadFirst) {
    startServer({"ABC.BHZ.00:20:20"});
    session_.settings.server = "127.0.0.1";
    session_.settings.port = server_->port();
    session_.settings.bufferedTime = 60;
    session_.stations.appendStation("ABC").channels = {{"BHZ", "00", 20.0, 1}};
    auto frame = std::make_unique<MainFrame>(session_);
    frame->view()->SetAcquisitionLog(&log_);
    frame->show();
    frame->OnCommand(ID_RUN);
    ASSERT_TRUE(session_.acquisition.Active());
    auto started = std::chrono::steady_clock::now();
    frame->close();
    // close() returned only after the thread ended: nothing can touch the channels any more.
    EXPECT_FALSE(session_.acquisition.Running());
    EXPECT_TRUE(session_.acquisition.WaitForEnd(0));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
    frame.reset();
    QCoreApplication::processEvents();  // the thread's end message finds no window: dropped
}

class SettingsSheet : public ::testing::Test, public Windows {};

TEST_F(SettingsSheet, PagesRefuseValuesOutOfRangeInTheirOrder) {
    CSettingsSheet sheet(session_);
    sheet.tabs()->setCurrentIndex(1);
    sheet.networkPage()->port->setText("9999");
    EXPECT_FALSE(sheet.ApplyAll());
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_.back().text, "Please enter an integer between 10000 and 60000.");
    // Leaving the page with a refused field keeps it on that page.
    sheet.tabs()->setCurrentIndex(2);
    EXPECT_EQ(sheet.tabs()->currentIndex(), 1);
    sheet.networkPage()->port->setText("12000");
    sheet.networkPage()->server->setText("isi.example");
    sheet.tabs()->setCurrentIndex(2);
    EXPECT_EQ(sheet.tabs()->currentIndex(), 2);

    CDisplayParamDlg* d = sheet.displayPage();
    d->displayed->setText("0");
    d->buffered->setText("lots");
    shown_.clear();
    EXPECT_FALSE(sheet.ApplyAll());
    EXPECT_EQ(shown_.back().text, "Please enter an integer.");  // buffered is checked first
    d->buffered->setText("3600");
    EXPECT_FALSE(sheet.ApplyAll());
    EXPECT_EQ(shown_.back().text, "Please enter an integer between 1 and 86400.");
    d->displayed->setText("600");
    d->refresh->setText("61");
    EXPECT_FALSE(sheet.ApplyAll());
    EXPECT_EQ(shown_.back().text, "Please enter an integer between 1 and 60.");
    d->refresh->setText("2");
    d->delay->setText("-1");
    EXPECT_FALSE(sheet.ApplyAll());
    EXPECT_EQ(shown_.back().text, "Please enter an integer between 0 and 3600.");
    EXPECT_EQ(session_.settings.port, 39136);  // nothing applied so far
    d->delay->setText("5");
    EXPECT_TRUE(sheet.ApplyAll());
    EXPECT_EQ(session_.settings.server, "isi.example");
    EXPECT_EQ(session_.settings.port, 12000);
    EXPECT_EQ(session_.settings.displayedTime, 600);
    EXPECT_EQ(session_.settings.bufferedTime, 3600);
    EXPECT_EQ(session_.settings.refreshTime, 2);
    EXPECT_EQ(session_.settings.delay, 5);
    std::string file = settingsText();
    EXPECT_NE(file.find("PORT=12000"), std::string::npos) << file;
    EXPECT_NE(file.find("DELAY=5"), std::string::npos) << file;
}

TEST_F(SettingsSheet, ClickOnTheCheckImageTogglesTheChannelAndOkWritesIt) {
    session_.stations.appendStation("ABC").channels = {{"BHZ", "00", 20.0, 0},
                                                       {"BHN", "  ", 0.0, 0}};
    session_.stations.appendStation("XYZ").channels = {{"LHZ", "10", 1.0, 1}};
    CSettingsSheet sheet(session_);
    sheet.resize(600, 400);
    sheet.show();
    QCoreApplication::processEvents();
    CChannelsPage* page = sheet.channelsPage();
    QTreeWidget* channels = page->channelList();
    ASSERT_EQ(channels->topLevelItemCount(), 2);
    EXPECT_EQ(channels->topLevelItem(0)->text(2), "20.00");
    EXPECT_EQ(channels->topLevelItem(1)->text(1), "  ");
    EXPECT_EQ(channels->topLevelItem(1)->text(2), "-");

    QRect row = channels->visualItemRect(channels->topLevelItem(0));
    // A click on the text changes nothing; one on the image toggles.
    QTest::mouseClick(channels->viewport(), Qt::LeftButton, {},
                      QPoint(row.left() + 80, row.center().y()));
    EXPECT_EQ(page->workingCopy.stations[0].channels[0].selected, 0);
    QTest::mouseClick(channels->viewport(), Qt::LeftButton, {},
                      QPoint(row.left() + 6, row.center().y()));
    EXPECT_EQ(page->workingCopy.stations[0].channels[0].selected, 1);
    EXPECT_TRUE(sheet.applyButton()->isEnabled());
    QTest::mouseClick(channels->viewport(), Qt::RightButton, {},
                      QPoint(row.left() + 6, row.center().y()));
    EXPECT_EQ(page->workingCopy.stations[0].channels[0].selected, 0);
    QTest::mouseClick(channels->viewport(), Qt::LeftButton, {},
                      QPoint(row.left() + 6, row.center().y()));
    EXPECT_EQ(session_.stations.stations[0].channels[0].selected, 0);  // not applied yet

    // Another station shows its own channels.
    page->stationList()->setCurrentItem(page->stationList()->topLevelItem(1));
    EXPECT_EQ(channels->topLevelItemCount(), 1);
    EXPECT_EQ(channels->topLevelItem(0)->text(0), "LHZ");

    sheet.accept();
    EXPECT_EQ(session_.stations.stations[0].channels[0].selected, 1);
    EXPECT_EQ(CountSelected(session_.stations), 2);
    CStationList back;
    LoadStations(session_.settingsFile, &back);
    ASSERT_EQ(back.stations.size(), 2u);
    EXPECT_EQ(back.stations[0].channels[0].selected, 1);
    EXPECT_EQ(back.stations[0].channels[1].location, "  ");
    EXPECT_NE(settingsText().find("CH0.Selected=1"), std::string::npos);
}

TEST_F(SettingsSheet, FailedLoadKeepsThePageAndALoadReplacesIt) {
    session_.stations.appendStation("ABC").channels = {{"BHZ", "00", 20.0, 1}};
    CSettingsSheet sheet(session_);
    CChannelsPage* page = sheet.channelsPage();
    page->loader = [](CStationList*, std::string* cause) {
        *cause = "connection refused by isihost:39136 (nothing listens there)";
        return false;
    };
    page->loadButton()->click();
    // The load runs off the window's thread; the page shows its end.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); }, 5000));
    EXPECT_FALSE(page->Loading());
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].caption, "ERROR");
    EXPECT_EQ(shown_[0].text,
              "Load Config from server error: connection refused by isihost:39136 (nothing "
              "listens there)");
    EXPECT_EQ(shown_[0].kind, MessageKind::Error);
    ASSERT_EQ(page->workingCopy.stations.size(), 1u);
    EXPECT_EQ(page->workingCopy.stations[0].channels.size(), 1u);
    EXPECT_EQ(page->stationList()->topLevelItemCount(), 1);

    page->loader = [](CStationList* list, std::string*) {
        list->merge("NEW", {"BHZ", "  ", 40.0, 0});
        return true;
    };
    page->loadButton()->click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return page->workingCopy.stations[0].station == "NEW"; }, 5000));
    ASSERT_EQ(page->workingCopy.stations.size(), 1u);
    EXPECT_EQ(page->workingCopy.stations[0].station, "NEW");
    EXPECT_EQ(page->channelList()->topLevelItem(0)->text(2), "40.00");
    EXPECT_TRUE(sheet.applyButton()->isEnabled());
}

class LoadFromServer : public simtest::SimTest, public Windows {};

TEST_F(LoadFromServer, ServerStreamsArriveUnselectedInServerOrder) {
    startServer({"ZZZ.BHZ.00:20:20", "AAA.LHZ:1:10", "ZZZ.BHN.00:40:20"});
    CStationList list;
    list.appendStation("OLD");
    ASSERT_TRUE(LoadStationsFromServer("127.0.0.1", server_->port(), &list));
    ASSERT_EQ(list.stations.size(), 2u);
    EXPECT_EQ(list.stations[0].station, "ZZZ");
    ASSERT_EQ(list.stations[0].channels.size(), 2u);
    EXPECT_EQ(list.stations[0].channels[1].channel, "BHN");
    EXPECT_EQ(list.stations[0].channels[1].samplesPerSecond, 40.0);
    EXPECT_EQ(list.stations[1].channels[0].location, "  ");
    EXPECT_EQ(CountSelected(list), 0);
}

TEST_F(LoadFromServer, UnreachableServerFailsAtOnceAndKeepsTheList) {
    PLAT_SOCKET listener = platListenTcp("127.0.0.1", 0, 1);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    uint16_t port = platLocalPort(listener);
    platCloseSocket(listener);  // nothing listens there now: connections are refused
    CStationList list;
    list.appendStation("OLD");
    auto started = std::chrono::steady_clock::now();
    std::string cause;
    EXPECT_FALSE(LoadStationsFromServer("127.0.0.1", port, &list, &cause));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(9));
    EXPECT_EQ(cause, "connection refused by 127.0.0.1:" + std::to_string(port) +
                         " (nothing listens there)");
    ASSERT_EQ(list.stations.size(), 1u);
    EXPECT_EQ(list.stations[0].station, "OLD");
}

}  // namespace
