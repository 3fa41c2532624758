// The dialogs offscreen: typing into the interval fields, the options and results dialogs, and the
// main dialog against the stand-in server with a run to the end.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <cmath>
#include <memory>

#include "gleaner/ui/dialogs.h"
#include "gleaner/ui/gleanerdlg.h"
#include "gleaner/ui/maskedit.h"
#include "gleaner_test_support.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "server/server.h"

int gleanerRunDialog(int argc, char** argv);

namespace {

QApplication* App() {
    static int argc = 1;
    static char name[] = "gleaner_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

TEST(GleanerProgram, WithoutADisplayTheDialogSaysSoAndExits2) {
    const char* names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : names)
        if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    for (const char* name : names) unsetenv(name);
    char program[] = "gleaner";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(gleanerRunDialog(1, argv), 2);
    for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
}

TEST(DateTimeEditWidget, TypingOverwritesAndRefuses) {
    App();
    CDateTimeEdit field;
    field.SetEpoch(946684800.0);  // 01.01.2000 00:00:00
    field.setCursorPosition(0);
    QTest::keyClicks(&field, "12312007");
    EXPECT_EQ(field.text().toStdString(), "12.31.2007 00:00:00");
    const QString before = field.text();
    QTest::keyClick(&field, Qt::Key_A);
    QTest::keyClick(&field, Qt::Key_Backspace);
    QTest::keyClick(&field, Qt::Key_Delete);
    EXPECT_EQ(field.text(), before);
    EXPECT_DOUBLE_EQ(field.Epoch(), 1199059200.0);  // 2007-12-31 00:00:00 UTC
    field.SetFormat(2);
    EXPECT_EQ(field.text().toStdString(), "__:__:__ __/__/____");
    EXPECT_FALSE(field.CheckTime());
    field.SetEpoch(1199059200.0);
    EXPECT_EQ(field.text().toStdString(), "00:00:00 31/12/2007");
}

class DialogTest : public gleanertest::ScratchTest {
  protected:
    void SetUp() override {
        App();
        ScratchTest::SetUp();
        ini_ = dir_ + "/Siphon.ini";
    }
    std::string ini_;
};

TEST_F(DialogTest, OptionsRefuseAPortOutOfRangeAndStoreOnOk) {
    GLEANER_CONFIG config;
    CConfigDlg dlg(&config, ini_);
    QString range;
    dlg.rangeMessage = [&](const QString& text) { range = text; };
    dlg.PortField()->setText("8999");
    dlg.accept();
    EXPECT_FALSE(range.isEmpty());
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(std::filesystem::exists(ini_));
    dlg.PortField()->setText("9001");
    dlg.TimeFormatBox()->setCurrentIndex(1);
    dlg.ByteOrderBox()->setCurrentIndex(1);
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    GLEANER_CONFIG back = gleanerReadConfig(ini_);
    EXPECT_EQ(back.port, 9001);
    EXPECT_EQ(back.timeFormat, 1);
    EXPECT_EQ(back.outputByteOrder, 1);
}

TEST_F(DialogTest, ResultsListOneRowPerChannel) {
    std::vector<GLEANER_RESULT_ENTRY> results = {
        {"ABC", "BHZ", "00", 20.0, 1204243200.0, 1204246799.95, 72000},
        {"ABC", "LHZ", "  ", -1.0, 0.0, 0.0, 0}};
    CResultsDlg dlg(results, 1);
    QTreeWidget* list = dlg.List();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->headerItem()->text(2).toStdString(), "Samp./sec.");
    EXPECT_EQ(list->topLevelItem(0)->text(2).toStdString(), "20.000");
    EXPECT_EQ(list->topLevelItem(0)->text(3).toStdString(), "2008.060-00:00:00");
    EXPECT_EQ(list->topLevelItem(0)->text(4).toStdString(), "2008.060-00:59:59");
    EXPECT_EQ(list->topLevelItem(1)->text(2).toStdString(), "no data");
    EXPECT_TRUE(list->topLevelItem(1)->text(3).isEmpty());
}

TEST_F(DialogTest, QuerySelectAndGetDataThroughTheMainDialog) {
    OpenCatalogue();
    std::vector<isisim::SimStream> streams;
    for (const char* option :
         {"ABC.BHZ:20:50", "ABC.BHN:20:50", "ABC.LHZ:1:10", "XYZ.BHZ.00:20:50"}) {
        isisim::SimStream s;
        ASSERT_TRUE(isisim::simParseStreamSpec(option, 100, 7200.0, &s, nullptr));
        streams.push_back(s);
    }
    isisim::SimServerOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    isisim::SimServer server(std::move(streams), options);
    ASSERT_TRUE(server.start(nullptr));
    platWriteProfileString("-CONFIG-", "SERVER", "127.0.0.1", ini_);
    platWriteProfileString("-CONFIG-", "PORT", std::to_string(server.port()), ini_);

    CGleanerDlg dlg(ini_);
    std::vector<std::string> messages;
    bool onDialogThread = true;
    dlg.messageBox = [&](const QString& text, const QString& title, bool) {
        onDialogThread = onDialogThread && QThread::currentThread() == App()->thread();
        messages.push_back(title.toStdString() + "|" + text.toStdString());
    };
    std::vector<std::vector<GLEANER_RESULT_ENTRY>> shown;
    dlg.showResults = [&](const std::vector<GLEANER_RESULT_ENTRY>& r) { shown.push_back(r); };
    dlg.prepareRun = [&](RETRIEVAL_INPUT& in) {
        in.dataDirectory = data_;
        in.spoolDirectory = dir_;
    };

    dlg.OnQueryServer();
    ASSERT_TRUE(messages.empty());
    ASSERT_EQ(dlg.StationList()->topLevelItemCount(), 2);
    EXPECT_EQ(dlg.ServerBox()->itemText(0).toStdString(), "127.0.0.1");
    EXPECT_EQ(dlg.ChannelList()->topLevelItemCount(), 0);
    // A right click on a check box toggles it in both lists; one on the text does not.
    auto rightClick = [](QTreeWidget* list, int row, bool onBox) {
        const QRect rect = list->visualItemRect(list->topLevelItem(row));
        const QPoint at(onBox ? rect.left() + 4 : rect.left() + 80, rect.center().y());
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, at);
        return list->topLevelItem(row)->checkState(0);
    };
    dlg.show();
    EXPECT_EQ(rightClick(dlg.StationList(), 0, true), Qt::Checked);  // ABC
    ASSERT_EQ(dlg.ChannelList()->topLevelItemCount(), 3);
    EXPECT_EQ(rightClick(dlg.StationList(), 0, false), Qt::Checked);
    EXPECT_EQ(rightClick(dlg.ChannelList(), 1, true), Qt::Checked);
    EXPECT_EQ(dlg.Stations().SelectedChannelCount(), 1);
    EXPECT_EQ(rightClick(dlg.ChannelList(), 1, true), Qt::Unchecked);
    EXPECT_EQ(dlg.Stations().SelectedChannelCount(), 0);
    // Listed by the station's own order of channels.
    EXPECT_EQ(dlg.ChannelList()->topLevelItem(0)->text(1).toStdString(), "BHZ");

    // Nothing ticked yet.
    const double begin = std::floor(platNow()) - 3000.0;
    dlg.StartField()->SetEpoch(begin);
    dlg.EndField()->SetEpoch(begin + 120.0);
    dlg.OnGetData();
    EXPECT_EQ(messages, std::vector<std::string>{"Xfer Siphon|Not channel selected"});

    dlg.SelectByMask("bh?");  // lower case: nothing
    EXPECT_EQ(dlg.Stations().SelectedChannelCount(), 0);
    dlg.SelectByMask("BH?");
    EXPECT_EQ(gleanertest::NamesText(dlg.Stations().Streams()), "ABC.BHN+ABC.BHZ");
    EXPECT_EQ(dlg.ChannelList()->topLevelItem(0)->checkState(0), Qt::Checked);

    // An impossible date stops the command with the field's own (Russian) message.
    messages.clear();
    dlg.EndField()->setText("02.29.2007 00:00:00");
    dlg.OnGetData();
    EXPECT_EQ(messages, std::vector<std::string>{"Ошибка|Введено ошибочное время"});

    messages.clear();
    dlg.EndField()->SetEpoch(begin);
    dlg.OnGetData();
    EXPECT_EQ(messages, std::vector<std::string>{"Xfer Siphon|Wrong time interval"});
    EXPECT_FALSE(dlg.Running());

    messages.clear();
    dlg.EndField()->SetEpoch(begin + 120.0);
    dlg.OnGetData();
    EXPECT_TRUE(dlg.Running());
    EXPECT_FALSE(dlg.GetDataButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.Running(), 30000);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dlg.GetDataButton()->isEnabled());
    EXPECT_FALSE(dlg.Progress()->isVisible());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].size(), 2u);
    EXPECT_EQ(Rows().size(), 2u);
    EXPECT_EQ(platGetProfileString("-CONFIG-", "TIMEBEG", "", ini_),
              std::to_string(int64_t(begin)));

    // A failing run reports on the dialog's thread and shows no results.
    dlg.prepareRun = [&](RETRIEVAL_INPUT& in) { in.connectString = "DSN=NOSUCHKVR;"; };
    dlg.OnGetData();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.Running(), 30000);
    ASSERT_EQ(messages.size(), 1u);
    // The fixed text, then the driver's reason.
    EXPECT_EQ(messages[0].rfind("|KVR Database open error\n[unixODBC]", 0), 0u) << messages[0];
    EXPECT_TRUE(onDialogThread);
    EXPECT_EQ(shown.size(), 1u);

    // Exit saves the selections.
    dlg.OnExit();
    CStationMap saved;
    gleanerReadStations(&saved, ini_);
    EXPECT_EQ(gleanertest::NamesText(saved.Streams()), "ABC.BHN+ABC.BHZ");
    server.stop();
}

}  // namespace
