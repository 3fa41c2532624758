// The main window and the notification-area icon on Qt's offscreen platform: the start-up boxes,
// the channel rows, silent mode, the counter line, the About box, the pop-up menu, and every way
// of ending, while the recorder records from the stand-in server into SQLite.
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "platform/folderlock.h"
#include "recording_rig.h"
#include "rillet/ui/rilletdlg.h"
#include "rillet/ui/rilletprogram.h"

using namespace rillet_test;

namespace {

void EnsureApp() {
    if (QCoreApplication::instance() != nullptr) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "rillet_window_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    app->setQuitOnLastWindowClosed(false);
}

// Waits with a generous bound, running the window's events meanwhile; then runs what is queued.
bool WaitFor(const std::function<bool()>& condition) {
    bool met = QTest::qWaitFor(condition, static_cast<int>(kGenerousWaitSeconds * 1000));
    QCoreApplication::processEvents();
    return met;
}

const QRegularExpression kTimeText(R"(^\d{4}:\d{3}-\d{2}:\d{2}:\d{2}\.\d{3}$)");
const QRegularExpression kPacketStatus(
    R"(^ ABC    (BHZ |BHN\.00|LHZ )  \d{4}:\d{3}-\d{2}:\d{2}:\d{2}\.\d{3} $)");

// The stand-in server with station ABC at one packet a second per channel, a settings folder with
// a second group whose channel the server lacks (its row never changes), and the program started
// on them. No resume times are stored: recording begins at the newest data.
struct WindowRig {
    ScratchDir dir;
    std::unique_ptr<isisim::SimServer> server;
    std::unique_ptr<CRilletProgram> program;
    std::vector<QString> messages;
    int exitCode = -1;

    explicit WindowRig(bool trayAvailable,
                       const std::function<void(CRilletProgram&)>& adjust = nullptr) {
        EnsureApp();
        isiSetReconnectPauseForTests(50);
        std::vector<isisim::SimStream> streams;
        streams.push_back(isisim::SimStream::synthetic(Name("ABC", "BHZ", "  "), {20, 1}, 20, 600));
        streams.push_back(isisim::SimStream::synthetic(Name("ABC", "BHN", "00"), {20, 1}, 20, 600));
        streams.push_back(isisim::SimStream::synthetic(Name("ABC", "LHZ", "  "), {1, 1}, 1, 600));
        isisim::SimServerOptions options;
        options.port = 0;
        server = std::make_unique<isisim::SimServer>(std::move(streams), options);
        std::string error;
        if (!server->start(&error)) ADD_FAILURE() << error;

        WriteText(dir.Path("rillet.ini"),
                  "[SYSTEM]\nSERVER=127.0.0.1\nPORT=" + std::to_string(server->port()) +
                      "\nGROUPS=2\n[GROUP1]\nSTATION=abc\nCHAN=BHZ,BHN.00,LHZ\n"
                      "[GROUP2]\nSTATION=xyz\nCHAN=BHZ.00\n[LOG]\nDIR=" +
                      dir.Path("log") + "\n");
        WriteText(dir.Path("KVR.ini"), "[DATA]\nDIR=" + dir.Path("data") + "\n");
        std::filesystem::create_directories(dir.Path("data"));

        program = std::make_unique<CRilletProgram>(dir.Path("rillet.ini"), dir.Path("KVR.ini"));
        program->trayAvailable = trayAvailable;
        program->showMessage = [this](const QString& text) { messages.push_back(text); };
        program->Session().openDatabase = [this](CKvrCatalogue& catalogue) {
            std::string why;
            if (!OpenSqliteCatalogue(catalogue, dir.Path("kvr.db"), &why)) {
                ADD_FAILURE() << why;
                return false;
            }
            for (auto key :
                 {kvrSitechanKey("abc", "BHZ", "??", 20), kvrSitechanKey("abc", "BHN", "00", 20),
                  kvrSitechanKey("abc", "LHZ", "??", 1), kvrSitechanKey("xyz", "BHZ", "00", 20)})
                kvrPutSitechan(catalogue.Connection(), key);
            return true;
        };
        if (adjust) adjust(*program);
        exitCode = program->Start();
    }
    ~WindowRig() {
        program.reset();
        server->stop();
    }

    CRilletDlg& Dlg() { return *program->Dialog(); }
    QStringList Column(int column) {
        QStringList texts;
        for (int r = 0; r < Dlg().ChannelList()->topLevelItemCount(); ++r)
            texts << Dlg().ChannelList()->topLevelItem(r)->text(column);
        return texts;
    }
    int64_t Resume(const char* key) {
        return std::atoll(platGetProfileString("GROUP1", key, "0", dir.Path("rillet.ini")).c_str());
    }
    // Waits until the worker has received packets of every served channel.
    void WaitForPackets(uint64_t more = 6) {
        const uint64_t target = Dlg().Worker().PacketCount() + more;
        ASSERT_TRUE(WaitFor([&] { return Dlg().Worker().PacketCount() >= target; }));
    }
    // After an orderly end: the worker has stopped and the pending run of ABC BHZ (far from the
    // 4900 samples that would have written it while recording) is in its file, with its resume
    // time; the icon is gone and the log says so.
    void ExpectOrderlyEnd() {
        EXPECT_TRUE(Dlg().Ended());
        EXPECT_FALSE(Dlg().isVisible());
        if (Dlg().TrayIcon() != nullptr) {
            EXPECT_FALSE(Dlg().TrayIcon()->isVisible());
        }
        const CChannelState& bhz = program->Session().Recorder().State(0, 0);
        EXPECT_EQ(bhz.runCount, 0);
        ASSERT_GT(bhz.nextTime, 0);
        EXPECT_GT(Resume("BHZ"), 0);
        EXPECT_NEAR(static_cast<double>(Resume("BHZ")), bhz.nextTime, 1.0);
        EXPECT_TRUE(AnyLineHas(LogLines(dir.Path("log")), "#Recorder stopped#"));
    }
};

}  // namespace

TEST(RilletWindow, StartUpFailuresShowTheirBoxBeforeAnyWindow) {
    auto folder = [](CRilletProgram& p) {
        return std::filesystem::path(p.Settings().RilletIni()).parent_path();
    };
    PlatFolderLock otherRecorder;
    struct Case {
        const char* name;
        std::function<void(CRilletProgram&)> adjust;
        int exitCode;
        const char* text;  // the start of the box's text
    } cases[] = {
        {"sockets", [](CRilletProgram& p) { p.Session().networkInit = [] { return false; }; },
         kExitSockets, "Windows sockets initialization failed."},
        {"database",
         [](CRilletProgram& p) { p.Session().openDatabase = [](CKvrCatalogue&) { return false; }; },
         kExitDatabase, "KVR database open error"},
        {"no rates",
         [&](CRilletProgram& p) {
             p.Session().openDatabase = [&p, &folder](CKvrCatalogue& c) {
                 std::string why;
                 return OpenSqliteCatalogue(c, (folder(p) / "empty.db").string(), &why);
             };
         },
         kExitNothingToRecord, "nothing to record: no channel of the 2 group section(s)"},
        {"locked",
         [&](CRilletProgram& p) {
             std::string holder, error;
             ASSERT_TRUE(
                 otherRecorder.Acquire((folder(p) / kRecorderLockFile).string(), &holder, &error));
         },
         kExitLocked, "another recorder (pid "},
    };
    for (const auto& c : cases) {
        WindowRig rig(true, c.adjust);
        otherRecorder.Release();
        EXPECT_EQ(rig.exitCode, c.exitCode) << c.name;
        ASSERT_EQ(rig.messages.size(), 1u) << c.name;
        EXPECT_TRUE(rig.messages[0].startsWith(c.text)) << rig.messages[0].toStdString();
        EXPECT_EQ(rig.program->Dialog(), nullptr) << c.name;
        for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << c.name;
    }
}

TEST(RilletWindow, ListsEveryChannelWithItsCodeAndNoTimeYet) {
    WindowRig rig(true);
    ASSERT_EQ(rig.exitCode, 0);
    CRilletDlg& dlg = rig.Dlg();
    EXPECT_EQ(dlg.windowTitle(), "Rillet");
    EXPECT_TRUE(dlg.isVisible());
    QTreeWidgetItem* header = dlg.ChannelList()->headerItem();
    EXPECT_EQ(header->text(0), "Station");
    EXPECT_EQ(header->text(1), "Channel");
    EXPECT_EQ(header->text(2), "Last count time");
    // Groups in load order, channels in CHAN order; a location shows after a dot, "??" not.
    EXPECT_EQ(rig.Column(0), QStringList({"abc", "abc", "abc", "xyz"}));
    EXPECT_EQ(rig.Column(1), QStringList({"BHZ", "BHN.00", "LHZ", "BHZ.00"}));
    EXPECT_EQ(rig.Column(2), QStringList(4, "---------"));
    int row = 0;
    const auto& groups = rig.program->Settings().Groups();
    for (size_t g = 0; g < groups.size(); ++g)
        for (size_t c = 0; c < groups[g].channels.size(); ++c) EXPECT_EQ(dlg.Row(g, c), row++);
    const int third = dlg.ChannelList()->viewport()->width() / 3;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(dlg.ChannelList()->header()->sectionSize(c), third);
    // Nothing reported yet: the worker's texts wait for the window's event loop.
    EXPECT_TRUE(dlg.SilentMode()->isChecked());
    EXPECT_EQ(dlg.SilentMode()->text(), "Silent mode");
    EXPECT_EQ(dlg.StatusLine()->text(), "");
    EXPECT_EQ(dlg.CounterLine()->text(), "");
}

TEST(RilletWindow, SilentModeShowsOnlyConnectionStepsUntilUnticked) {
    WindowRig rig(true);
    ASSERT_EQ(rig.exitCode, 0);
    CRilletDlg& dlg = rig.Dlg();
    rig.WaitForPackets();
    EXPECT_EQ(dlg.StatusLine()->text(), "Connected...");
    EXPECT_EQ(rig.Column(2), QStringList(4, "---------"));

    QTest::mouseClick(dlg.SilentMode(), Qt::LeftButton);
    ASSERT_FALSE(dlg.SilentMode()->isChecked());
    ASSERT_TRUE(WaitFor([&] {
        QStringList times = rig.Column(2);
        return times[0] != "---------" && times[1] != "---------" && times[2] != "---------";
    }));
    QStringList times = rig.Column(2);
    for (int r = 0; r < 3; ++r)
        EXPECT_TRUE(kTimeText.match(times[r]).hasMatch()) << times[r].toStdString();
    EXPECT_EQ(times[3], "---------");  // the server has no XYZ
    EXPECT_TRUE(kPacketStatus.match(dlg.StatusLine()->text()).hasMatch())
        << dlg.StatusLine()->text().toStdString();

    // Ticked again: the texts stand still while packets keep coming.
    QTest::mouseClick(dlg.SilentMode(), Qt::LeftButton);
    ASSERT_TRUE(dlg.SilentMode()->isChecked());
    QCoreApplication::processEvents();
    const QStringList frozen = rig.Column(2);
    const QString status = dlg.StatusLine()->text();
    rig.WaitForPackets();
    EXPECT_EQ(rig.Column(2), frozen);
    EXPECT_EQ(dlg.StatusLine()->text(), status);
}

TEST(RilletWindow, CounterLineShowsThePacketsReceivedOnItsTimer) {
    WindowRig rig(true);
    ASSERT_EQ(rig.exitCode, 0);
    CRilletDlg& dlg = rig.Dlg();
    EXPECT_EQ(dlg.CounterTimer()->interval(), 3000);
    EXPECT_TRUE(dlg.CounterTimer()->isActive());
    rig.WaitForPackets();
    EXPECT_EQ(dlg.CounterLine()->text(), "");  // not before the timer fires
    // The same timer, made quick so that the test need not wait its three seconds.
    dlg.CounterTimer()->setInterval(20);
    ASSERT_TRUE(WaitFor([&] { return dlg.CounterLine()->text().toULongLong() >= 6; }));
    EXPECT_LE(dlg.CounterLine()->text().toULongLong(), dlg.Worker().PacketCount());
}

TEST(RilletWindow, AboutEntryShowsTheAboutBox) {
    WindowRig rig(true);
    ASSERT_EQ(rig.exitCode, 0);
    CRilletDlg& dlg = rig.Dlg();
    // Qt has no system menu: the entry is on the window's context menu.
    EXPECT_EQ(dlg.contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_TRUE(dlg.actions().contains(dlg.AboutAction()));
    EXPECT_EQ(dlg.AboutAction()->text(), "&About Rillet...");

    QString title;
    QStringList labels;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        if (about == nullptr) return;
        title = about->windowTitle();
        for (QLabel* l : about->findChildren<QLabel*>()) labels << l->text();
        for (QPushButton* b : about->findChildren<QPushButton*>())
            if (b->text() == "OK") b->click();
    });
    dlg.AboutAction()->trigger();  // returns when OK closes the box
    EXPECT_EQ(title, "About Rillet");
    EXPECT_TRUE(labels.contains("Rillet Version 1.0"));
    EXPECT_FALSE(dlg.Ended());
}

TEST(RilletWindow, TrayIconMenuBringsTheClosedWindowBackAndEndsTheProgram) {
    WindowRig rig(true);
    ASSERT_EQ(rig.exitCode, 0);
    CRilletDlg& dlg = rig.Dlg();
    QSignalSpy ended(&dlg, &CRilletDlg::programEnded);
    QSystemTrayIcon* tray = dlg.TrayIcon();
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), "NRTS->KVR");
    EXPECT_EQ(tray->objectName(), "NRTSREADMESSAGE");
    QList<QAction*> items = dlg.PopupMenu()->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->text(), "Активизировать программу");
    EXPECT_EQ(items[1]->text(), "Завершить работу");

    // A left click opens the menu (a second notification meanwhile does nothing); a right click
    // opens nothing.
    QWidget* shown = nullptr;
    bool again = true;
    QTimer::singleShot(0, [&] {
        shown = QApplication::activePopupWidget();
        again = dlg.OnTrayNotify(QSystemTrayIcon::Trigger);
        if (shown != nullptr) shown->close();
    });
    EXPECT_TRUE(dlg.OnTrayNotify(QSystemTrayIcon::Trigger));
    EXPECT_EQ(shown, dlg.PopupMenu());
    EXPECT_FALSE(again);
    EXPECT_TRUE(dlg.OnTrayNotify(QSystemTrayIcon::Context));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    // Closing hides the window; recording and the icon go on.
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    rig.WaitForPackets();
    EXPECT_FALSE(dlg.Ended());
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(ended.count(), 0);

    items[0]->trigger();
    EXPECT_TRUE(dlg.isVisible());

    items[1]->trigger();  // posted: the menu closes before the program ends
    EXPECT_FALSE(dlg.Ended());
    ASSERT_TRUE(WaitFor([&] { return ended.count() == 1; }));
    rig.ExpectOrderlyEnd();
}

TEST(RilletWindow, WithoutANotificationAreaEveryEndIsOrderly) {
    struct Case {
        const char* name;
        std::function<void(CRilletDlg&)> end;
    } cases[] = {
        {"close", [](CRilletDlg& d) { d.close(); }},
        {"Escape", [](CRilletDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"Enter", [](CRilletDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WindowRig rig(false);
        ASSERT_EQ(rig.exitCode, 0);
        CRilletDlg& dlg = rig.Dlg();
        EXPECT_EQ(dlg.TrayIcon(), nullptr);
        QSignalSpy ended(&dlg, &CRilletDlg::programEnded);
        rig.WaitForPackets();
        c.end(dlg);
        EXPECT_EQ(ended.count(), 1);
        rig.ExpectOrderlyEnd();
    }
}
