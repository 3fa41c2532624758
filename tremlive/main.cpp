// tremlive: the live viewer of one ISI server's channels.
//
//   tremlive [/RUN]
//   tremlive --snapshot FILE.png [--seconds N] [--size WxH]
//
// Settings come from .\TREMLIVE.INI in the current folder. /RUN (any case, any suffix) starts
// acquisition at once. The snapshot mode starts as with /RUN, acquires for N seconds (20)
// without showing a window, refreshes once and saves the main window's picture. Exit status: 0,
// 1 for a failure (options, sockets, a message box, the picture not written), 2 when a window is
// asked for and no display is named, 3 when the snapshot was written but no sample arrived.
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "commandline/program.h"
#include "platform/display.h"
#include "tremlive/session.h"
#include "tremlive/ui/mainframe.h"
#include "tremlive/ui/messages.h"
#include "tremlive/ui/traceview.h"
#include "util/util.h"

using namespace tremlive;

namespace {

constexpr int kExitNoDisplay = 2;  // as rillet: a window was asked for and cannot be shown
constexpr int kExitNoData = 3;     // the snapshot was written, but no sample arrived
constexpr int kDefaultSnapshotSeconds = 20;
constexpr int kDefaultSnapshotWidth = 1200;
constexpr int kDefaultSnapshotHeight = 800;

struct Options {
    std::string snapshot;
    int seconds = kDefaultSnapshotSeconds;
    int width = kDefaultSnapshotWidth;
    int height = kDefaultSnapshotHeight;
    std::vector<std::string> args;  // every argument, the program path included
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: tremlive [/RUN]\n"
                 "       tremlive --snapshot FILE.png [--seconds N] [--size WxH]\n"
                 "\n"
                 "Shows the selected channels of the ISI server named in .\\TREMLIVE.INI as live\n"
                 "traces. /RUN starts acquisition at once.\n"
                 "  --snapshot FILE.png  start as with /RUN without showing a window, acquire,\n"
                 "                       refresh once and save the window's picture\n"
                 "  --seconds N          acquisition time of the snapshot (default %d)\n"
                 "  --size WxH           window size of the snapshot (default %dx%d)\n"
                 "  --help               this text\n"
                 "  --version            the version\n",
                 kDefaultSnapshotSeconds, kDefaultSnapshotWidth, kDefaultSnapshotHeight);
}

// -1 to run, else the status to exit with: 0 after --help or --version, kExitUsage after a bad
// option (the cause printed on standard error; parseOptions adds the usage).
int parseArguments(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; ++i) o->args.push_back(argv[i]);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tremlive: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("%s\n", programVersionText("tremlive").c_str());
            return 0;
        } else if (a == "--snapshot") {
            const char* v = next("--snapshot");
            if (v == nullptr) return kExitUsage;
            o->snapshot = v;
        } else if (a == "--seconds") {
            const char* v = next("--seconds");
            if (v == nullptr) return kExitUsage;
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (*end != '\0' || n < 0 || n > 86400) {
                std::fprintf(stderr, "tremlive: --seconds wants 0..86400, not %s\n", v);
                return kExitUsage;
            }
            o->seconds = int(n);
        } else if (a == "--size") {
            const char* v = next("--size");
            if (v == nullptr) return kExitUsage;
            int w = 0, h = 0;
            char extra = 0;
            if (std::sscanf(v, "%dx%d%c", &w, &h, &extra) != 2 || w < 100 || h < 100 || w > 8000 ||
                h > 8000) {
                std::fprintf(stderr, "tremlive: --size wants WxH from 100x100 to 8000x8000\n");
                return kExitUsage;
            }
            o->width = w;
            o->height = h;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "tremlive: unknown option %s\n", a.c_str());
            return kExitUsage;
        }
    }
    return -1;
}

int parseOptions(int argc, char** argv, Options* o) {
    int status = parseArguments(argc, argv, o);
    if (status == kExitUsage) usage(stderr);
    return status;
}

// Packets received over all channels.
uint64_t ReceivedPackets(MainFrame& frame) {
    CTraceBuffers& buffers = frame.view()->buffers();
    std::lock_guard<std::mutex> lock(buffers.dataLock);
    uint64_t total = 0;
    for (const auto& channel : buffers.channels) total += channel->receivedPackets;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parseOptions(argc, argv, &options); status >= 0) return status;
    bool snapshot = !options.snapshot.empty();
    // The snapshot never shows a window: Qt's off-screen platform unless one was chosen.
    if (snapshot && std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!platHasDisplay()) {
        std::fprintf(stderr, "tremlive: no display for the window; use --snapshot\n");
        return kExitNoDisplay;
    }

    QApplication app(argc, argv);
    // Numbers in the settings file use a decimal point whatever the user's locale.
    std::setlocale(LC_ALL, "C");
    CTremliveSession session;
    session.autoRun = ParseAutoRun(options.args);

    if (snapshot) {
        int status = 0;
        session.messageHook = [&](const std::string& caption, const std::string& text,
                                  MessageKind) {
            std::fprintf(stderr, "tremlive: %s: %s\n", caption.c_str(), text.c_str());
            status = 1;
        };
        if (!utilNetworkInit()) return 1;
        session.LoadConfig();
        MainFrame frame(session);
        frame.resize(options.width, options.height);
        frame.show();
        session.LoadStationList();
        frame.OnCommand(ID_RUN);
        if (status != 0) return status;
        QTimer::singleShot(options.seconds * 1000, &frame, [&] {
            frame.Refresh();
            QApplication::processEvents();
            QPixmap picture = frame.grab();
            if (!picture.save(QString::fromStdString(options.snapshot), "PNG")) {
                std::fprintf(stderr, "tremlive: cannot write %s\n",
                             utilPrintableString(options.snapshot).c_str());
                status = 1;
            } else if (ReceivedPackets(frame) == 0) {
                // The picture of empty bands is still written, but it is no record of data.
                std::fprintf(stderr, "tremlive: no sample arrived in %d seconds\n",
                             options.seconds);
                status = kExitNoData;
            }
            frame.OnCommand(ID_STOP);
            frame.close();
            app.quit();
        });
        app.exec();
        return status;
    }

    if (!utilNetworkInit()) {
        ShowMessage(session, nullptr, "Tremlive(ISI)", "Windows sockets initialization failed.",
                    QMessageBox::Critical);
        return 1;
    }
    session.LoadConfig();
    MainFrame frame(session);
    frame.showMaximized();
    session.LoadStationList();
    if (session.autoRun) {
        QMetaObject::invokeMethod(
            &frame, [&frame] { frame.OnCommand(ID_RUN); }, Qt::QueuedConnection);
    }
    return app.exec();
}

// Fontconfig keeps a little of its cache for the life of the process; sanitizer builds' leak
// checker is told so, or every run that draws text would end as a failure.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
