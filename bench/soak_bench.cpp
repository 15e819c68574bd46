// Soak: off-line production of many chips over eight emulated units with the
// window on Qt's offscreen platform. Reports, for the first and the last 2000
// chips, the wall time per chip (the units' production rate, which the host
// must keep up with) and this process's CPU time per status frame (what the
// host spends on each frame: it must not grow as the log grows), the
// production-log saves, the memory in use at both points and the peak.
//
//   bench_soak [--chips 100000] [--units 8] [--interval-ms 5]
#include "bench_util.h"
#include "app/korvex_app.h"
#include "shell/scripted_prompts.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace kvx;
using kvx::bench::cpuSeconds;

namespace {

// Resident memory now, from /proc/self/statm.
double residentMB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}
}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int chips = 100000, units = 8;
    std::string interval = "5";  // ms per chip and unit: 1600 chips a second in all
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--chips") chips = std::atoi(argv[i + 1]);
        else if (a == "--units") units = std::atoi(argv[i + 1]);
        else if (a == "--interval-ms") interval = argv[i + 1];
    }
    std::string simPath = std::filesystem::path(argv[0]).parent_path().parent_path() / "korvex-sim";
    char tmpl[] = "/tmp/korvex-soak.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    pid_t sim = fork();
    if (sim == 0) {
        std::string n = std::to_string(units);
        execl(simPath.c_str(), simPath.c_str(), "--units", n.c_str(), "--dir", (dir + "/ports").c_str(),
              "--chip-interval-ms", interval.c_str(), "--baud", "1000000", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !std::filesystem::exists(dir + "/ports/COM" + std::to_string(units)); ++i) usleep(20000);
    setenv("KORVEX_SERIAL_DIR", (dir + "/ports").c_str(), 1);

    QApplication qapp(argc, argv);
    QtEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SystemRandom rng;
    int rc = 0;
    {
        KorvexApp app(loop, prompts, clock, rng);
        app.programFolder = dir + "/";
        TKorvexMGxPrg win(app, {});
        win.show();
        QElapsedTimer t;
        t.start();
        while (app.engine.DevicesFound < units && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        prompts.modalScript = [](Form& f) {
            if (f.className() == "TChipSelForm") {
                f["ListBoxCP"].setItemIndex(0);
                f["BitBtnOK"].click();
            }
        };
        app.DevButtonClick();
        std::string hex = std::filesystem::path(argv[0]).parent_path().parent_path().parent_path() / "docs/sample/demo.hex";
        app.openObjectFile(hex);
        app.engine.SpdBtnDownLoadClick();
        t.restart();
        auto busy = [&] {
            for (auto& c : app.engine.ch)
                if (c.busy) return true;
            return false;
        };
        while (busy() && t.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        app.engine.StartOfflineProgrm1Click();
        // Time per chip over windows of 2000 chips.
        QElapsedTimer all;
        all.start();
        int last = 0;
        qint64 lastMs = 0;
        double firstPer = -1, lastPer = -1;
        double lastCpu = cpuSeconds(), firstCpuPerFrame = -1, lastCpuPerFrame = -1;
        auto statusFrames = [&] {
            uint64_t n = 0;
            for (auto& c : app.engine.ch) n += c.statusFrames;
            return n;
        };
        uint64_t lastFrames = statusFrames(), framesPerChip = 0;
        double firstRss = -1, lastRss = -1;
        while (app.engine.totalOk + app.engine.totalNg < chips && all.elapsed() < 600000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            int done = app.engine.totalOk + app.engine.totalNg;
            if (done - last >= 2000) {
                double per = static_cast<double>(all.elapsed() - lastMs) * 1000.0 / (done - last);
                double cpu = cpuSeconds();
                uint64_t frames = statusFrames();
                double cpuPerFrame = (cpu - lastCpu) * 1e6 / static_cast<double>(std::max<uint64_t>(1, frames - lastFrames));
                framesPerChip = (frames - lastFrames) / static_cast<uint64_t>(done - last);
                lastCpu = cpu;
                lastFrames = frames;
                if (firstPer < 0) {
                    firstPer = per;
                    firstCpuPerFrame = cpuPerFrame;
                    firstRss = residentMB();
                }
                lastPer = per;
                lastCpuPerFrame = cpuPerFrame;
                lastRss = residentMB();
                // The course in between, every 10 000 chips.
                if (done / 10000 != last / 10000)
                    std::printf("  at %6d chips: %.2f us CPU per status frame, %.1f MB in use, %zu log lines\n", done,
                                cpuPerFrame, lastRss, app.log.size());
                last = done;
                lastMs = all.elapsed();
            }
        }
        int done = app.engine.totalOk + app.engine.totalNg;
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        int saves = 0;
        for (auto& e : std::filesystem::directory_iterator(dir))
            saves += e.path().filename().string().rfind("DodOZ_", 0) == 0;
        std::printf("soak: %d chips on %d units in %.1f s, window offscreen\n", done, units, all.elapsed() / 1000.0);
        std::printf("  wall time per chip (about %llu status frames): first 2000 %.1f us, last 2000 %.1f us\n",
                    static_cast<unsigned long long>(framesPerChip), firstPer, lastPer);
        std::printf("  host CPU per status frame: first 2000 chips %.2f us, last 2000 %.2f us\n", firstCpuPerFrame,
                    lastCpuPerFrame);
        std::printf("  memory in use after the first 2000 chips %.1f MB, after the last %.1f MB\n", firstRss, lastRss);
        std::printf("  production-log saves %d (expected %d)\n", saves, done / 2000);
        std::printf("  information log lines %zu, peak memory %.1f MB\n", app.log.size(), u.ru_maxrss / 1024.0);
        if (done < chips || saves != done / 2000) rc = 1;
        win.close();
    }
    kill(sim, SIGINT);
    waitpid(sim, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
