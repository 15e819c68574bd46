// The gang benchmark: the automatic sequence for a 128 KB chip with a full
// image on eight emulated units paced at 1 000 000 baud (korvex-sim, a
// separate process), compared with the time the serial lines themselves need
// for the exact bytes each channel exchanged (11 bit times per byte, channels
// in parallel), and the host's CPU time over the run.
//
//   bench_gang [--units N] [--sim PATH] [--kb 128]
// bench_gang_window runs the same with the window on Qt's offscreen platform.
#include "bench_util.h"
#include "app/korvex_app.h"
#include "shell/plain_loop.h"
#ifdef KORVEX_GANG_WINDOW
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#endif
#include "shell/scripted_prompts.h"
#include "shell/text.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace kvx;
using kvx::bench::cpuSeconds;

int main(int argc, char** argv) {
    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_gang [--units N] [--kb K] [--sim PATH]
An automatic run of a K KB image (default 128) on N emulated units (default 8)
paced at 1 000 000 baud, against korvex-sim (default: the build folder's);
prints the run's time against the line's time and the host's CPU.
)", {"--units", "--kb", "--sim"});
    const int units = args.number("--units", 8);
    const int kb = args.number("--kb", 128);
    const std::string simPath =
        args.text("--sim", std::filesystem::path(argv[0]).parent_path().parent_path() / "korvex-sim");
    char dirTmpl[] = "/tmp/korvex-gang.XXXXXX";
    std::string dir = mkdtemp(dirTmpl);
    pid_t sim = fork();
    if (sim == 0) {
        std::string n = std::to_string(units);
        execl(simPath.c_str(), simPath.c_str(), "--units", n.c_str(), "--dir", dir.c_str(), "--baud", "1000000",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !std::filesystem::exists(dir + "/COM" + std::to_string(units)); ++i) usleep(20000);
    setenv("KORVEX_SERIAL_DIR", dir.c_str(), 1);

#ifdef KORVEX_GANG_WINDOW
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication qapp(argc, argv);
    QtEventLoop loop;
    // Waits in Qt's own event loop, looking at the condition every 2 ms.
    auto waitUntil = [](const std::function<bool()>& pred, int ms) {
        if (pred()) return true;
        QEventLoop el;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &el, [&] {
            if (pred()) el.quit();
        });
        check.start(2);
        QTimer::singleShot(ms, &el, &QEventLoop::quit);
        el.exec();
        return pred();
    };
    const char* mode = "window (offscreen)";
#else
    PlainEventLoop loop;
    auto waitUntil = [&loop](const std::function<bool()>& pred, int ms) { return loop.runUntil(pred, ms); };
    const char* mode = "headless";
#endif
    ScriptedPrompts prompts;
    SystemClock clock;
    SeededRandom rng(1);
    int rc = 0;
    {
        KorvexApp app(loop, prompts, clock, rng);
        app.programFolder = dir + "/";
#ifdef KORVEX_GANG_WINDOW
        TKorvexMGxPrg win(app, {});
        win.show();
#else
        app.FormShow({});
#endif
        waitUntil([&] { return app.engine.devicesFound() >= units; }, 5000);
        if (app.engine.devicesFound() < units) {
            std::fprintf(stderr, "only %d of %d units found\n", app.engine.devicesFound(), units);
            rc = 1;
        } else {
            // An SC chip of the requested size, with a full image of random bytes.
            const char* chipName = kb >= 128 ? "SC32F52128LF1G" : kb >= 64 ? "SC32F5264LF1G" : "SC32F5232JV1G";
            prompts.modalScript = [chipName](Form& f) {
                if (f.className() != "TChipSelForm") return;
                auto& items = f["ListBoxCP"].items();
                for (size_t i = 0; i < items.size(); ++i)
                    if (items[i] == chipName) f["ListBoxCP"].setItemIndex(static_cast<int>(i));
                f["BitBtnOK"].click();
            };
            app.DevButtonClick();
            std::string bin = dir + "/image.bin";
            {
                std::vector<uint8_t> data(static_cast<size_t>(app.engine.chip.flashSizeKB) * 1024);
                for (auto& b : data) b = rng.byte();
                FILE* f = std::fopen(bin.c_str(), "wb");
                std::fwrite(data.data(), 1, data.size(), f);
                std::fclose(f);
            }
            prompts.modalScript = [](Form& f) {
                if (f.className() == "TFormOfsAddr") f["BitBtn1"].click();
            };
            app.openObjectFile(bin);
            // The line bytes of this run: the counts from here on.
            std::array<uint64_t, 8> before{};
            for (int s = 0; s < 8; ++s) {
                const auto n = app.engine.channelCounts(s);
                before[static_cast<size_t>(s)] = n.txBytes + n.rxBytes;
            }

            double cpu0 = cpuSeconds();
            auto t0 = std::chrono::steady_clock::now();
            app.AutoSpdBtnClick();
            waitUntil(
                [&] {
                    for (int s = 0; s < 8; ++s)
                        if (app.engine.channelState(s).busy) return false;
                    return true;
                },
                600000);
            auto t1 = std::chrono::steady_clock::now();
            double cpu = cpuSeconds() - cpu0;
            double elapsed = std::chrono::duration<double>(t1 - t0).count();
            double bound = 0;
            uint64_t total = 0;
            for (int s = 0; s < units; ++s) {
                const auto n = app.engine.channelCounts(s);
                const uint64_t bytes = n.txBytes + n.rxBytes - before[static_cast<size_t>(s)];
                double line = static_cast<double>(bytes) * 11.0 / 1e6;
                bound = std::max(bound, line);
                total += bytes;
            }
            int ok = 0;
            for (int s = 0; s < units; ++s) ok += app.ui.gauge(s + 1).color() == kBlue;
            std::printf("gang auto, %s, %d units, %d KB chip at 1000000 baud 8N2\n", mode, units,
                        app.engine.chip.flashSizeKB);
            std::printf("  channels good          %d of %d\n", ok, units);
            std::printf("  bytes on the lines     %llu (both ways, all channels)\n", static_cast<unsigned long long>(total));
            std::printf("  serial-line bound      %.3f s\n", bound);
            std::printf("  elapsed                %.3f s\n", elapsed);
            std::printf("  elapsed / bound        %.4f (target <= 1.03)\n", elapsed / bound);
            std::printf("  host CPU               %.3f s = %.2f %% of one core (target < 10 %%)\n", cpu,
                        100.0 * cpu / elapsed);
            if (ok != units) rc = 1;
        }
        app.FormClose();
    }
    kill(sim, SIGINT);
    waitpid(sim, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
