// How the window fares during a big search: runs one search in a real
// MainWindow (offscreen unless another platform is asked for) while a 10 ms
// timer on the UI thread notes the longest time between two of its ticks,
// i.e. the longest the UI thread was kept from its events.
//
//   bench_ui_probe --folder DIR --text TEXT [--timeout SECONDS] [--stop-after SECONDS]
//   bench_ui_probe --idle SECONDS
//
// --idle runs the same timer in the same window without a search: the gaps
// a busy machine causes by itself, to read the search's gaps against.
// --stop-after presses StopWindow's button that long after the click (say,
// while a big workbook is loading).
//
// Prints one JSON line: {"seconds": from the click to the end of the search,
// "max_gap_ms": longest gap between ticks, "ticks": n, "rows": match rows in
// the grid, "status": the end text}; with --stop-after also "stop_gap_ms",
// the longest gap from the press until the search has returned, and
// "stop_to_status_ms", from the press to the end text. Exit status 1 if the
// search did not end within the timeout.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/MainWindow.h"
#include "app/StopWindow.h"
#include "app/settings.h"
#include "platform/toolkit/progress_bar.h"
#include "platform/toolkit/user_dialogs.h"
#include "platform/xl/xlapi.h"
#include "results/results_grid.h"
#include "search/SearchControl.h"
#include "ui_MainWindow.h"
#include "ui_StopWindow.h"

namespace {
bool useStaticLibrary(XlApi& api, LibraryFailure&) {
    api = staticXlApi();
    return true;
}

// Nobody answers a dialog during a measurement: a message goes to stderr
// (answered No or OK), every other question is cancelled.
class UnattendedDialogs final : public UserDialogs {
 public:
    int messageBox(const QString& text, int flags) override {
        std::fprintf(stderr, "信息：%s\n", text.toUtf8().constData());
        return flags == kMessageBoxYesNo ? kAnswerNo : kAnswerOk;
    }
    std::optional<QString> saveFileDialog(const SaveFileRequest&, QWidget*) override { return std::nullopt; }
    QString folderOrFileDialog(QWidget*) override { return {}; }
    QAction* popupMenu(QMenu&, QPoint) override { return nullptr; }
    void openUrl(const QUrl&, std::function<void(bool)> done) override {
        if (done) done(false);
    }
    std::optional<uint32_t> colourDialog(uint32_t, QWidget*) override { return std::nullopt; }
};

std::string jsonEscaped(const QString& s) {
    std::string out;
    for (char c : s.toStdString()) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out;
}
}  // namespace

int main(int argc, char** argv) {
    const char* folder = nullptr;
    const char* text = nullptr;
    double timeoutSeconds = 600;
    double idleSeconds = 0;
    double stopAfterSeconds = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--folder") == 0) folder = argv[i + 1];
        else if (std::strcmp(argv[i], "--text") == 0) text = argv[i + 1];
        else if (std::strcmp(argv[i], "--timeout") == 0) timeoutSeconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--idle") == 0) idleSeconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--stop-after") == 0) stopAfterSeconds = std::atof(argv[i + 1]);
    }
    if ((!folder || !text || !*text) && idleSeconds <= 0) {
        std::fprintf(stderr,
                     "usage: bench_ui_probe --folder DIR --text TEXT [--timeout SECONDS] [--stop-after SECONDS]\n"
                     "       bench_ui_probe --idle SECONDS\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The settings file goes to a folder of our own, not beside the program.
    QTemporaryDir programDir;
    setProgramDirectoryForTesting(programDir.path().toStdString());

    UnattendedDialogs dialogs;
    MainWindow window(dialogs);
    if (!window.onMainWindowCreated(useStaticLibrary)) return 1;
    window.show();
    auto* control = window.findChild<SearchControl*>();
    if (!control) {
        std::fprintf(stderr, "bench_ui_probe: the window has no search control\n");
        return 1;
    }
    if (folder) window.form().编辑框1->setText(QString::fromUtf8(folder));
    if (text) window.form().编辑框2->setText(QString::fromUtf8(text));

    QElapsedTimer sinceClick, sinceTick, sinceStop;
    qint64 maxGapMs = 0, ticks = 0, seconds_ns = -1;
    qint64 stopGapMs = -1, stopToStatusMs = -1;  // -1: no stop pressed
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 gap = sinceTick.restart();
        maxGapMs = std::max(maxGapMs, gap);
        // The gap that spans the press counts: the button's own handler is
        // part of what the stop costs the window.
        if (stopGapMs >= 0) stopGapMs = std::max(stopGapMs, gap);
        ++ticks;
    });
    auto finish = [&] {
        seconds_ns = sinceClick.nsecsElapsed();
        const qint64 gap = sinceTick.elapsed();
        maxGapMs = std::max(maxGapMs, gap);
        if (stopGapMs >= 0) {
            stopGapMs = std::max(stopGapMs, gap);
            stopToStatusMs = sinceStop.elapsed();
        }
        probe.stop();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    };
    QTimer::singleShot(200, [&] {  // let the window settle first
        sinceClick.start();
        sinceTick.start();
        probe.start();
        if (idleSeconds > 0) QTimer::singleShot(int(idleSeconds * 1000), finish);
        else window.form().按钮1->click();
        if (idleSeconds <= 0 && stopAfterSeconds >= 0)
            QTimer::singleShot(int(stopAfterSeconds * 1000), [&] {
                StopWindow* stop = control->stopWindow();
                if (!stop || seconds_ns >= 0) return;  // the search ended first: no stop to measure
                stopGapMs = 0;
                sinceStop.start();
                stop->form().按钮1->click();
            });
    });
    QObject::connect(control, &SearchControl::searchFinished, finish);
    QTimer::singleShot(int(std::max(timeoutSeconds, idleSeconds + 10) * 1000), [&] {
        std::fprintf(stderr, "bench_ui_probe: the search did not end within %.0f s\n", timeoutSeconds);
        QCoreApplication::exit(1);
    });
    if (app.exec() != 0 || seconds_ns < 0) {
        setProgramDirectoryForTesting(std::nullopt);
        return 1;
    }
    std::string stopped;
    if (stopToStatusMs >= 0)
        stopped = ", \"stop_gap_ms\": " + std::to_string(stopGapMs) + ", \"stop_to_status_ms\": " +
                  std::to_string(stopToStatusMs);
    std::printf("{\"seconds\": %.3f, \"max_gap_ms\": %lld, \"ticks\": %lld, \"rows\": %d, \"status\": \"%s\"%s}\n",
                double(seconds_ns) / 1e9, static_cast<long long>(maxGapMs), static_cast<long long>(ticks),
                control->grid().rowCount() - 1, jsonEscaped(statusText(window.form().状态条1)).c_str(),
                stopped.c_str());
    setProgramDirectoryForTesting(std::nullopt);
    return 0;
}
