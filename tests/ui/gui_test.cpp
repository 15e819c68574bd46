// Window tests on Qt's offscreen platform.
#include "app/korvex_app.h"
#include "shell/scripted_prompts.h"
#include "ui/form_view.h"
#include "ui/log_view.h"
#include "ui/gui_suites.h"
#include "ui/window_rig.h"
#include "ui/gauge_widget.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/qt_prompts.h"
#include "sim/sim_server.h"
#include "child_process.h"
#include "link/frame.h"
#include "link/requests.h"
#include "records/record_store.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <sys/inotify.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>

using namespace kvx;

class GuiTest : public QObject {
    Q_OBJECT
private slots:
    void heldLoopKeepsPostsAndTicksUntilRelease();
    void modalPromptHoldsSerialDataAndTicks();
    void mainWindowMirrorsTheModel();
    void spaceRunsAutoAndStillReachesTheControl();
    void logViewAppendSpeed();
    void filterStringsBecomeQtFilters();
    void fourMegabyteHexViewAppearsAtOnce();
    void operatorWalkthroughWithEmulatedUnits();
    void signalsEndTheWindowAsExitDoes();
    void heldKeysThroughTheWindowSystemRunOnce();
};

void GuiTest::heldLoopKeepsPostsAndTicksUntilRelease() {
    QtEventLoop loop;
    std::vector<int> order;
    int ticks = 0;
    loop.startTimer(5, false, [&] { ++ticks; });
    loop.hold();
    std::thread t([&] {
        for (int i = 0; i < 3; ++i) loop.post([&, i] { order.push_back(i); });
    });
    t.join();
    QTest::qWait(60);
    QVERIFY(order.empty());
    QCOMPARE(ticks, 0);
    loop.release();
    // They run from the event loop, after the code that released the hold.
    QVERIFY(order.empty());
    QCoreApplication::processEvents();
    QCOMPARE(order, (std::vector<int>{0, 1, 2}));
    // Ticks that fell due while held come as one tick, not as a burst (one
    // more may fall due while the events are processed).
    QVERIFY(ticks >= 1 && ticks <= 2);
    QTest::qWait(40);
    QVERIFY(ticks > 2);
}

void GuiTest::modalPromptHoldsSerialDataAndTicks() {
    QtEventLoop loop;
    QtPrompts prompts(loop, nullptr);
    std::atomic<bool> ranWhileModal{false};
    bool ran = false;
    int ticksWhileModal = 0;
    loop.startTimer(10, false, [&] {
        if (QApplication::activeModalWidget()) ++ticksWhileModal;
    });
    // A receive thread posts data while the box is open; the box closes later.
    QTimer::singleShot(30, [&] {
        std::thread([&] {
            loop.post([&] {
                ran = true;
                if (QApplication::activeModalWidget()) ranWhileModal = true;
            });
        }).detach();
    });
    QTimer::singleShot(250, [] {
        if (auto* w = QApplication::activeModalWidget()) static_cast<QMessageBox*>(w)->accept();
    });
    prompts.message("hold");
    QVERIFY(!ranWhileModal);
    QTRY_VERIFY(ran);
    QCOMPARE(ticksWhileModal, 0);
}

using kvx::test::WindowRig;

void GuiTest::mainWindowMirrorsTheModel() {
    WindowRig r;
    r.win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.win));
    auto& view = r.win.view();
    auto* g3 = view.widgetAs<GaugeWidget>("Gauge3");
    QVERIFY(g3);
    r.app.ui.gauge(3).setMaxValue(64);
    r.app.ui.gauge(3).setProgress(32);
    r.app.ui.gauge(3).setColor(kRed);
    QCOMPARE(g3->percent(), 50);
    QCOMPARE(g3->color(), QColor(255, 0, 0));
    r.app.ui["ChkBoxNVM"].setVisible(false);
    QVERIFY(!view.widget("ChkBoxNVM")->isVisible());
    r.app.ui.setCaption("Korvex200SC Programmer Wizard");
    QCOMPARE(r.win.windowTitle(), QString("Korvex200SC Programmer Wizard"));
    // The greeting of start-up appears in the log view.
    r.win.view().flushLog();
    auto* memo = view.widgetAs<LogView>("InfoMemo");
    memo->selectAll();
    QVERIFY(memo->selectedText().contains("Hello Korvex200SC User!"));
    // A click in the window runs the model's handler.
    auto* chk = view.widgetAs<QCheckBox>("CheckBoxRun");
    QVERIFY(!r.app.ui["CheckBoxRun"].checked());
    QTest::mouseClick(chk, Qt::LeftButton, {}, QPoint(5, chk->height() / 2));
    QVERIFY(r.app.ui["CheckBoxRun"].checked());
}

void GuiTest::spaceRunsAutoAndStillReachesTheControl() {
    WindowRig r;
    r.win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.win));
    auto* chk = r.win.view().widgetAs<QCheckBox>("ChkBoxBlkEr");
    chk->setFocus();
    QTest::keyClick(chk, Qt::Key_Space);
    QCOMPARE(r.prompts.texts(ScriptedPrompts::Kind::Information),
             (std::vector<std::string>{"请选择并确认芯片型号！"}));
    QVERIFY(r.app.ui["ChkBoxBlkEr"].checked());
}

void GuiTest::logViewAppendSpeed() {
    WindowRig r;
    r.win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.win));
    const int n = 200000;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        r.app.AppendInfoLine("Channel 1: Do Main Flash Programming....");
        if (i % 2000 == 0) QCoreApplication::processEvents();
    }
    r.win.view().flushLog();
    qint64 ms = t.elapsed();
    auto* memo = r.win.view().widgetAs<LogView>("InfoMemo");
    QCOMPARE(memo->end() - memo->first(), size_t(kMemoViewLines));  // the newest lines
    memo->repaint();
    qInfo("log view: %d lines in %lld ms (%.2f us per line)", n, ms, ms * 1000.0 / n);
}

void GuiTest::filterStringsBecomeQtFilters() {
    QStringList f = QtPrompts::qtFilters("All Files (*.*)|*.*|All Binary Files (*.Bin)|*.Bin");
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0], QString("All Files (*.*) (*)"));
    QCOMPARE(f[1], QString("All Binary Files (*.Bin) (*.Bin *.bin *.BIN)"));
}

void GuiTest::fourMegabyteHexViewAppearsAtOnce() {
    WindowRig r;
    r.win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.win));
    r.app.ui["ViewPageCtrl"].setItemIndex(1);  // the Main Flash page
    QCoreApplication::processEvents();
    auto& img = r.app.engine.image->ImageBuffer;
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 13);
    r.app.engine.chip.flashFirst = 0;
    QElapsedTimer t;
    t.start();
    r.app.showFlashView(0, 0x3FFFFF);
    QCoreApplication::processEvents();
    r.win.view().widget("HexViewer")->repaint();
    qint64 ms = t.elapsed();
    auto* table = r.win.view().widgetAs<QTableView>("HexViewer");
    QCOMPARE(table->model()->rowCount(), 262144);
    QCOMPARE(table->model()->index(262143, 0).data().toString(), QString("0x003FFFF0"));
    QCOMPARE(table->model()->headerData(15, Qt::Horizontal).toString(), QString("  E"));
    table->scrollToBottom();
    QCoreApplication::processEvents();
    qInfo("4 MiB hex view: %lld ms to appear (snapshot 4 MiB + 18 columns of rows on demand)", ms);
}

// An operator's round in the window against four emulated units: choose a
// chip, load a file, run Auto, read back, save and reload the project, start
// off-line production. KORVEX_SHOTS=DIR saves a picture after each step.
void GuiTest::operatorWalkthroughWithEmulatedUnits() {
    char tmpl[] = "/tmp/kvx-gui-walk.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    SimOptions o;
    o.units = 4;
    o.dir = dir + "/ports";
    o.unit.resize(4);
    for (auto& u : o.unit) u.chipIntervalMs = 20;
    SimServer sim(o);
    sim.start();
    setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    {
        WindowRig r;
        r.app.programFolder = dir + "/";
        const char* shots = std::getenv("KORVEX_SHOTS");
        int n = 0;
        auto shot = [&](const char* what) {
            r.win.view().flushLog();
            QCoreApplication::processEvents();
            if (shots) r.win.grab().save(QString("%1/%2-%3.png").arg(shots).arg(++n).arg(what));
        };
        r.win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.win));
        QTRY_COMPARE_WITH_TIMEOUT(int(r.app.engine.devicesFound()), 4, 20000);
        shot("found");
        r.prompts.modalScript = [](Form& f) {
            if (f.className() == "TChipSelForm") {
                f["ListBoxCP"].setItemIndex(4);  // SC32F5264LF1G
                f["BitBtnOK"].click();
            }
        };
        r.app.ui["DevButton"].click();
        r.prompts.openAnswers.push_back(FileChoice{std::string(KORVEX_SAMPLE_HEX), 5});
        r.app.ui["SpdBtnOpen"].click();
        QCOMPARE(QString::fromStdString(r.app.ui["ProductEdit"].text()), QString("demo.hex"));
        shot("loaded");
        r.app.ui["AutoSpdBtn"].click();
        auto idle = [&] {
            for (int s = 0; s < 8; ++s)
                if (r.app.engine.channelState(s).busy) return false;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        for (int g = 1; g <= 4; ++g) QCOMPARE(r.app.ui.gauge(g).color(), kBlue);
        shot("auto");
        r.app.ui["ReadChipMemory1"].click();
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        r.app.ui["ViewPageCtrl"].setItemIndex(1);
        shot("readback");
        r.app.ui["ViewPageCtrl"].setItemIndex(0);
        r.prompts.saveAnswers.push_back(FileChoice{dir + "/job.pmw", 1});
        r.app.ui["SavetoProjectFile1"].click();
        QVERIFY(std::filesystem::exists(dir + "/job.pmw"));
        r.prompts.openAnswers.push_back(FileChoice{dir + "/job.pmw", 1});
        r.app.ui["SpdBtnLdPrj"].click();
        QCOMPARE(r.prompts.texts(ScriptedPrompts::Kind::Message).back(), std::string("Project File Open Success!"));
        r.app.ui["SpdBtnDownLoad"].click();
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        r.app.ui["StartOfflineProgrm1"].click();
        QTRY_VERIFY_WITH_TIMEOUT(r.app.engine.offlineOk() >= 8, 20000);
        shot("offline");
        r.win.close();
    }
    unsetenv("KORVEX_SERIAL_DIR");
    sim.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// The window as a process, against two emulated units in off-line production:
// SIGTERM, SIGHUP and SIGINT end it as Exit does (status 0, the run log
// written, every chip it showed recorded), also while a box is open: the
// missing firmware file at start-up (and a second signal meanwhile), the run
// log that cannot be written at shut-down.
void GuiTest::signalsEndTheWindowAsExitDoes() {
    char tmpl[] = "/tmp/kvx-gui-signals.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    SimOptions o;
    o.units = 2;
    o.dir = dir + "/ports";
    o.unit.resize(2);
    for (auto& u : o.unit) u.chipIntervalMs = 100;
    SimServer sim(o);
    sim.start();
    setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    // The job the units produce with, downloaded by the front end.
    setenv("KORVEX_HOME", (dir + "/cli").c_str(), 1);
    test::Child cli = test::spawnChild(KORVEX_CLI_BIN, {"-q", "-c", "SC32F5264LF1G", "-f", KORVEX_SAMPLE_HEX, "download"});
    QCOMPARE(test::waitExit(cli.pid, 60000), 0);
    close(cli.out);
    unsetenv("KORVEX_HOME");
    uint8_t frame[600];
    std::vector<uint8_t> restart(2 * sizeof frame);
    restart.resize(EncodeFrame(frame, buildProgrammerRestart(frame), restart.data()));
    enum Box { None, AtStart, AtEnd };
    // The first row also names two projects, the first after "--": the
    // window takes the first and tells that it ignores the other.
    const struct { int sig; Box box; std::vector<std::string> args; } rows[] = {
        {SIGTERM, None, {"--", "-first.pmw", "second.pmw"}}, {SIGHUP, None, {}}, {SIGINT, None, {}},
        {SIGTERM, AtStart, {}}, {SIGTERM, AtEnd, {}}};
    for (const auto& row : rows) {
        const std::string at = dir + "/w" + std::to_string(row.sig) + "-" + std::to_string(row.box);
        // A copy of the window in a folder of its own keeps its files there.
        std::filesystem::create_directories(at);
        std::filesystem::copy_file(KORVEX_WINDOW_BIN, at + "/korvex200");
        if (row.box != AtStart) std::ofstream(at + "/KorvexSCX.FWR") << "x";
        if (row.box == AtEnd) std::ofstream(at + "/ZEZuLogS") << "x";  // the run-log folder's name taken
        auto records = [&] {
            try {
                return RecordStore(at + "/" + kRecordsFileName, true).query({});
            } catch (const RecordStoreError&) {
                return std::vector<ProductionRecord>();
            }
        };
        sim.trace().clear();
        // Start-up lists the port folder just before the box opens.
        const int listed = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(listed, o.dir.c_str(), IN_OPEN);
        test::Child win = test::spawnChild(at + "/korvex200", row.args);
        pollfd pf{listed, POLLIN, 0};
        QVERIFY(poll(&pf, 1, 30000) == 1);
        close(listed);
        // Once the window has found them, the units start producing, as
        // their start key would make them.
        for (int u = 0; u < 2 && row.box != AtStart; ++u) {
            QVERIFY(sim.trace().waitFor(
                [u](const SimTraceEvent& e) { return e.unit == u + 1 && e.note.rfind("device query", 0) == 0; }, 30000));
            sim.withUnit(u, [&](SimUnit& unit) {
                std::vector<SimOutput> out;
                unit.handleRun(restart.data(), restart.size(), sim.trace().nowMs(), out);
            });
        }
        if (row.box != AtStart) QTRY_VERIFY_WITH_TIMEOUT(records().size() >= 2, 30000);
        kill(win.pid, row.sig);
        if (row.box == AtStart) kill(win.pid, SIGHUP);
        QVERIFY2(test::waitExit(win.pid, 30000) == 0, at.c_str());
        close(win.out);
        if (row.box != None) continue;
        std::string runLog;
        for (const auto& f : std::filesystem::directory_iterator(at + "/ZEZuLogS"))
            runLog = (std::ostringstream() << std::ifstream(f.path()).rdbuf()).str();
        size_t shown = 0;
        for (size_t p = 0; (p = runLog.find("Progrmming Completed", p)) != std::string::npos; ++p) ++shown;
        QVERIFY2(shown >= 2, runLog.c_str());
        QCOMPARE(records().size(), shown);
        if (!row.args.empty()) {
            QVERIFY2(runLog.find("Load Tandra Project file of \"-first.pmw\"") != std::string::npos, runLog.c_str());
            QVERIFY(runLog.find("Argument \"second.pmw\" is ignored: only the first names a project") != std::string::npos);
        }
    }
    unsetenv("KORVEX_SERIAL_DIR");
    sim.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// A foot switch on a bench holds Space or Enter: the real window on an X
// server, the key held for 3 s through XTEST (xdotool), so the server's own
// auto-repeat makes the repeats (most of them not flagged as such on X11).
// One press is one run: one blank check per unit.
void GuiTest::heldKeysThroughTheWindowSystemRunOnce() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0 || ::access("/usr/bin/xdotool", X_OK) != 0)
        QSKIP("Xvfb or xdotool is not installed");
    char tmpl[] = "/tmp/kvx-gui-keys.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    // Whatever ends the test, its X server and window end with it (and
    // their output is theirs: none holds the test's own).
    test::Child x, win;
    struct Cleanup {
        std::function<void()> run;
        ~Cleanup() { run(); }
    } cleanup{[&] {
        for (test::Child* c : {&win, &x}) {
            if (c->pid <= 0) continue;
            kill(c->pid, SIGKILL);
            test::waitExit(c->pid, 10000);
            close(c->out);
        }
        unsetenv("DISPLAY");
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }};
    const std::string display = ":" + std::to_string(300 + getpid() % 600);
    x = test::spawnChild("/usr/bin/Xvfb", {display, "-nolisten", "tcp"}, true);
    const std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
    QTRY_VERIFY_WITH_TIMEOUT(::access(socket.c_str(), F_OK) == 0, 20000);
    SimOptions o;
    o.units = 2;
    o.dir = dir + "/ports";
    o.unit.resize(2);
    SimServer sim(o);
    sim.start();
    setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    setenv("KORVEX_HOME", (dir + "/cli").c_str(), 1);
    test::Child save = test::spawnChild(KORVEX_CLI_BIN, {"-q", "-c", "SC32F5264LF1G", "-f", KORVEX_SAMPLE_HEX, "save-project",
                                                         dir + "/job.pmw"}, true);
    QCOMPARE(test::waitExit(save.pid, 60000), 0);
    close(save.out);
    unsetenv("KORVEX_HOME");
    std::filesystem::copy_file(KORVEX_WINDOW_BIN, dir + "/korvex200");
    std::ofstream(dir + "/KorvexSCX.FWR") << "x";  // no box at start-up
    const std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DISPLAY", display.c_str(), 1);
    // Under the leak checker: what D-Bus and fontconfig keep at exit is
    // theirs, not the program's.
    setenv("LSAN_OPTIONS", "suppressions=" KORVEX_TEST_SOURCE "/ui/lsan_xcb.supp", 1);
    win = test::spawnChild(dir + "/korvex200", {dir + "/job.pmw"}, true);
    unsetenv("LSAN_OPTIONS");
    setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    auto xdotool = [&](const std::vector<std::string>& args) {
        test::Child c = test::spawnChild("/usr/bin/xdotool", args);
        std::string out = test::readUntil(c.out, "\x01", 60000);
        close(c.out);
        return std::make_pair(test::waitExit(c.pid, 20000), out);
    };
    for (int u = 1; u <= 2; ++u)
        QVERIFY(sim.trace().waitFor([u](const SimTraceEvent& e) { return e.unit == u && e.kind == "reply"; }, 60000));
    const auto [found, id] = xdotool({"search", "--sync", "--name", "Programmer Wizard"});
    QCOMPARE(found, 0);
    QCOMPARE(xdotool({"windowfocus", "--sync", id.substr(0, id.find('\n'))}).first, 0);
    auto blankChecks = [&] {
        size_t n = 0;
        for (const auto& e : sim.trace().events())
            n += e.unit == 1 && e.kind == "request" && e.command == 0x93 && e.parameter == kSubBlankCheck;
        return n;
    };
    // A run has ended (and any that repeats would have started have begun)
    // when the unit has been quiet for a second.
    auto untilQuiet = [&] {
        for (size_t seen = 0, waited = 0; seen != sim.trace().events().size() && waited < 60; ++waited) {
            seen = sim.trace().events().size();
            QTest::qWait(1000);
        }
    };
    // The units have answered, but the window may still be taking their
    // answers in (a loaded machine, the sanitizers): it is ready when a tap
    // of the key starts a run.
    for (int tries = 0; blankChecks() == 0 && tries < 30; ++tries) {
        QCOMPARE(xdotool({"key", "space"}).first, 0);
        QTest::qWait(2000);
    }
    QVERIFY(blankChecks() > 0);
    untilQuiet();
    for (const char* key : {"space", "Return"}) {
        const size_t before = blankChecks();
        QCOMPARE(xdotool({"keydown", key}).first, 0);
        QTest::qWait(3000);
        QCOMPARE(xdotool({"keyup", key}).first, 0);
        // The run has begun by the time the key is let go.
        QVERIFY(blankChecks() > before);
        untilQuiet();
        QVERIFY2(blankChecks() == before + 1, qPrintable(QString("%1 held: %2 runs").arg(key).arg(blankChecks() - before)));
    }
    kill(win.pid, SIGTERM);
    const int status = test::waitExit(win.pid, 30000);
    win.pid = -1;
    close(win.out);
    QCOMPARE(status, 0);
    sim.stop();
}

KORVEX_GUI_SUITE(GuiTest);
#include "gui_test.moc"
