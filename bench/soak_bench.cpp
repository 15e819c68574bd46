// Soak: off-line production of many chips over eight emulated units with the
// window on Qt's offscreen platform, as a line runs it for days. Reports the
// memory in use after 10 000 chips and at the end, the production logs (the
// largest file, and all of them against the whole log), the longest stall of
// the logic thread, and the host's CPU time per status frame over the first,
// the second and the last 10 000 chips; exits 1 when a target is missed.
//
//   bench_soak [--chips 1000000] [--units 8] [--interval-ms 1] [--baud 0]
//
// The defaults run the units as fast as the emulator makes chips (1 ms a
// chip, the line unpaced); --chips 100000 --interval-ms 5 --baud 1000000
// paces them at the real line rate.
#include "bench_util.h"
#include "app/korvex_app.h"
#include "shell/scripted_prompts.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

#include <QApplication>
#include <QElapsedTimer>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace kvx;
using kvx::bench::cpuSeconds;

namespace {



double mb(double bytes) { return bytes / (1024.0 * 1024.0); }
}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_soak [--chips N] [--units U] [--interval-ms MS] [--baud B]
Off-line production of N chips (default 1 000 000) on U emulated units
(default 8), MS ms a chip (default 1), paced at B baud (default 0: full
speed), with the window offscreen; prints memory, production logs, the
longest logic-thread stall and the CPU per status frame as it goes.
)", {"--chips", "--units", "--interval-ms", "--baud"});
    int chips = args.number("--chips", 1000000);
    const int units = args.number("--units", 8);
    const std::string interval = args.text("--interval-ms", "1"), baud = args.text("--baud", "0");
    // The build folder: the benchmark lies in its "bench" folder.
    const std::filesystem::path build = std::filesystem::path(currentExecutablePath()).parent_path().parent_path();
    const std::string simPath = build / "korvex-sim";
    char tmpl[] = "/tmp/korvex-soak.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    pid_t sim = fork();
    if (sim == 0) {
        // Real units do not share the host's processor: the emulator runs
        // only on a core the program leaves idle.
        sched_param idle{};
        if (sched_setscheduler(0, SCHED_IDLE, &idle) != 0) (void)!nice(19);
        std::string n = std::to_string(units), ports = dir + "/ports";
        std::vector<const char*> args = {simPath.c_str(), "--units", n.c_str(), "--dir", ports.c_str(),
                                         "--chip-interval-ms", interval.c_str()};
        if (baud != "0") args.insert(args.end(), {"--baud", baud.c_str()});
        // SOAK_TRACE=FILE: the emulator's trace of every request and reply.
        if (const char* trace = std::getenv("SOAK_TRACE")) args.insert(args.end(), {"--trace", trace});
        args.push_back(nullptr);
        execv(simPath.c_str(), const_cast<char* const*>(args.data()));
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
        while (app.engine.devicesFound() < units && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        prompts.modalScript = [](Form& f) {
            if (f.className() == "TChipSelForm") {
                f["ListBoxCP"].setItemIndex(0);
                f["BitBtnOK"].click();
            }
        };
        app.DevButtonClick();
        const std::string hex = std::string(KORVEX_SOURCE_DIR) + "/docs/sample/demo.hex";
        app.openObjectFile(hex);
        app.SpdBtnDownLoadClick();
        t.restart();
        auto busy = [&] {
            for (int s = 0; s < 8; ++s)
                if (app.engine.channelState(s).busy) return true;
            return false;
        };
        while (busy() && t.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

        // The logic thread's longest stall: a 5 ms timer on the program's
        // loop notes the longest time between two of its ticks.
        if (!app.engine.fileLoaded || app.engine.devicesFound() < units) {
            std::fprintf(stderr, "soak: %d of %d units found, sample file %s\n", app.engine.devicesFound(), units,
                         app.engine.fileLoaded ? "loaded" : "not loaded");
            rc = 1;
            chips = 0;
        }
        app.engine.StartOfflineProgrm1Click();  // opens the ports with their waits
        using Clock = std::chrono::steady_clock;
        Clock::time_point lastTick = Clock::now();
        double stallMs = 0;
        int stallAt = 0;
        auto done = [&] { return app.engine.offlineOk() + app.engine.offlineNg(); };
        // SOAK_STALLS=MS prints every stall longer than MS with how much of
        // it the thread ran and how long it waited for a core.
        const double stallsOver = std::getenv("SOAK_STALLS") ? std::atof(std::getenv("SOAK_STALLS")) : -1;
        kvx::bench::ThreadTimes lastTimes = kvx::bench::threadTimes();
        EventLoop::TimerId meter = loop.startTimer(5, false, [&] {
            auto now = Clock::now();
            double gap = std::chrono::duration<double, std::milli>(now - lastTick).count() - 5;
            kvx::bench::ThreadTimes times = kvx::bench::threadTimes();
            if (stallsOver >= 0 && gap > stallsOver)
                std::fprintf(stderr, "stall %.1f ms at %d chips: ran %.1f ms, waited %.1f ms for a core\n", gap, done(),
                             times.ranMs - lastTimes.ranMs, times.waitedMs - lastTimes.waitedMs);
            lastTimes = times;
            if (gap > stallMs) {
                stallMs = gap;
                stallAt = done();
            }
            lastTick = now;
        });

        QElapsedTimer all;
        all.start();
        int last = 0;
        qint64 lastMs = 0;
        double firstPer = -1, lastPer = -1;
        double lastCpu = cpuSeconds(), firstCpuPerFrame = -1, lastCpuPerFrame = -1, secondCpuPerFrame = -1;
        auto statusFrames = [&] {
            uint64_t n = 0;
            for (int s = 0; s < 8; ++s) n += app.engine.channelCounts(s).statusFrames;
            return n;
        };
        uint64_t lastFrames = statusFrames();
        double rssAt10k = -1;
        constexpr int kWindow = 10000;  // chips per measuring window
        const qint64 limitMs = std::getenv("SOAK_LIMIT_S") ? std::atoi(std::getenv("SOAK_LIMIT_S")) * 1000 : 3600 * 1000;
        while (done() < chips && all.elapsed() < limitMs) {
            // Waits for events as the window's own loop does (the meter's
            // timer wakes it at least every 5 ms): a loop that spins would
            // count its own spinning as the program's time.
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            int now = done();
            if (now - last < kWindow) continue;
            double per = static_cast<double>(all.elapsed() - lastMs) * 1000.0 / (now - last);
            double cpu = cpuSeconds();
            uint64_t frames = statusFrames();
            double cpuPerFrame = (cpu - lastCpu) * 1e6 / static_cast<double>(std::max<uint64_t>(1, frames - lastFrames));
            lastCpu = cpu;
            lastFrames = frames;
            if (firstPer < 0) {
                firstPer = per;
                firstCpuPerFrame = cpuPerFrame;
            }
            lastPer = per;
            lastCpuPerFrame = cpuPerFrame;
            if (rssAt10k < 0 && now >= 10000) rssAt10k = kvx::bench::residentMB();
            if (secondCpuPerFrame < 0 && last >= 10000) secondCpuPerFrame = cpuPerFrame;
            if (now / 100000 != last / 100000 || std::getenv("SOAK_EVERY"))
                std::printf("  at %7d chips: %.1f s, %.2f us CPU per status frame, %.1f MB in use\n", now,
                            all.elapsed() / 1000.0, cpuPerFrame, kvx::bench::residentMB());
            std::fflush(stdout);
            last = now;
            lastMs = all.elapsed();
        }
        loop.stopTimer(meter);
        const int made = done();
        if (made < chips) {
            std::fprintf(stderr, "soak: stopped at %d chips; the log's last lines:\n", made);
            const auto& lines = app.log.lines();
            for (size_t i = lines.size() > 15 ? lines.size() - 15 : 0; i < lines.size(); ++i)
                std::fprintf(stderr, "  %s\n", lines[i].c_str());
        }
        const double rssEnd = kvx::bench::residentMB();
        const double seconds = all.elapsed() / 1000.0;
        app.productionLogs.finish();
        app.log.journal().flush();
        const double wholeLog = static_cast<double>(app.log.journal().bytes());
        double largest = 0, total = 0;
        int files = 0;
        for (auto& e : std::filesystem::directory_iterator(dir)) {
            if (e.path().filename().string().rfind("DodOZ_", 0) != 0) continue;
            double size = static_cast<double>(e.file_size());
            largest = std::max(largest, size);
            total += size;
            ++files;
        }
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        // The lines after the last save are in the log but in no file yet.
        const double unsaved = wholeLog - total;
        const bool memoryFlat = rssAt10k > 0 && rssEnd <= rssAt10k * 1.2;
        const bool logsLinear = wholeLog > 0 && unsaved >= 0 && unsaved <= wholeLog * 0.05;
        const bool noStall = stallMs <= 20;
        // The first chips run with an empty log view, which costs less than
        // a full one: CPU, like memory, is compared with what it is once the
        // log and its view hold all they keep (the second 10 000 chips).
        const bool cpuSteady = secondCpuPerFrame > 0 && lastCpuPerFrame <= secondCpuPerFrame * 1.1;
        auto mark = [](bool ok) { return ok ? "met" : "MISSED"; };
        std::printf("soak: %d chips on %d units in %.1f s (chip interval %s ms, %s), window offscreen\n", made, units,
                    seconds, interval.c_str(), baud == "0" ? "unpaced" : (baud + " baud").c_str());
        std::printf("  wall time per chip: first 10 000 %.1f us, last 10 000 %.1f us\n", firstPer, lastPer);
        std::printf("  memory in use after 10 000 chips %.1f MB, at the end %.1f MB, peak %.1f MB [%s: within 20 %%]\n",
                    rssAt10k, rssEnd, u.ru_maxrss / 1024.0, mark(memoryFlat));
        std::printf("  production logs: %d files (expected %d), largest %.2f MB, together %.1f MB of a %.1f MB log "
                    "(%.2f %% not yet saved) [%s: within 5 %%]\n",
                    files, made / 2000, mb(largest), mb(total), mb(wholeLog), 100.0 * unsaved / std::max(1.0, wholeLog),
                    mark(logsLinear));
        std::printf("  longest stall of the logic thread %.1f ms (at %d chips) [%s: at most 20 ms]\n", stallMs, stallAt,
                    mark(noStall));
        std::printf("  host CPU per status frame: first 10 000 chips %.2f us, second 10 000 %.2f us, last 10 000 %.2f us "
                    "[%s: within 10 %% of the second]\n",
                    firstCpuPerFrame, secondCpuPerFrame, lastCpuPerFrame, mark(cpuSteady));
        if (made < chips || files != made / 2000 || !memoryFlat || !logsLinear || !noStall || !cpuSteady) rc = 1;
        win.close();
    }
    kill(sim, SIGINT);
    waitpid(sim, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
