// The whole program, headless, against emulated programmer units on real
// pseudo-terminals: the plain event loop, scripted prompts, the emulator in
// this process so tests can look at its chips and its trace.
#pragma once

#include "app/korvex_app.h"
#include "chip/catalogue.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"
#include "sim/sim_server.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kvx::test {

// The text of an information-log line after "> " and the time.
inline std::string lineText(const std::string& line) {
    if (line.rfind("> ", 0) != 0) return line;
    size_t sp = line.find(' ', 2);
    return sp == std::string::npos ? std::string() : line.substr(sp + 1);
}

// How long the event loop went without running a timer: a repeating timer
// on the loop notes the longest gap between its ticks while it lives. A
// loop starved by posted work, or blocked in a handler, shows a long gap.
class LoopGapMeter {
public:
    explicit LoopGapMeter(EventLoop& loop, int intervalMs = 10) : loop_(loop) {
        last_ = Clock::now();
        id_ = loop_.startTimer(intervalMs, false, [this] {
            auto now = Clock::now();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    ~LoopGapMeter() { stop(); }
    LoopGapMeter(const LoopGapMeter&) = delete;
    LoopGapMeter& operator=(const LoopGapMeter&) = delete;

    // Ends the measurement; the time since the last tick counts as a gap too.
    void stop() {
        if (!id_) return;
        loop_.stopTimer(id_);
        id_ = 0;
        longest_ = std::max(longest_, Clock::now() - last_);
    }
    double longestGapMs() const { return std::chrono::duration<double, std::milli>(longest_).count(); }

private:
    using Clock = std::chrono::steady_clock;
    EventLoop& loop_;
    EventLoop::TimerId id_ = 0;
    Clock::time_point last_;
    Clock::duration longest_{};
};

// The lines of the one system-named run log in programFolder + "ZEZuLogS/"
// (CR LF line ends); empty when there is none. `files` gets the number of
// files found there.
inline std::vector<std::string> readRunLog(const std::string& programFolder, size_t* files = nullptr) {
    std::vector<std::string> lines;
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(programFolder + "/ZEZuLogS", ec))
        if (e.path().filename().string().rfind("ZEZu_", 0) == 0) found.push_back(e.path());
    if (files) *files = found.size();
    if (found.size() != 1) return lines;
    std::ifstream f(found[0], std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(all.substr(at));  // a last line without its line end
            break;
        }
        lines.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

inline std::string makeTempDir(const char* stem) {
    std::string t = std::string("/tmp/") + stem + ".XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "/tmp";
    return buf.data();
}

// What every end-to-end rig has: the folders, the emulator, the loop, the
// prompts and the program, and the operator's actions and the questions the
// tests ask of the log and the emulated units.
struct ProgramRig {
    std::string portDir = makeTempDir("kvx-e2e-ports");
    std::string workDir = makeTempDir("kvx-e2e-work");
    std::unique_ptr<SimServer> sim;
    SteppedClock clock;  // the loop's timers run on it
    PlainEventLoop loop{&clock};
    ScriptedPrompts prompts;
    SeededRandom rng;
    std::unique_ptr<KorvexApp> app;

    explicit ProgramRig(uint32_t seed) : rng(seed) { setenv("KORVEX_SERIAL_DIR", portDir.c_str(), 1); }
    ~ProgramRig() {
        app.reset();
        sim.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(portDir, ec);
        std::filesystem::remove_all(workDir, ec);
    }
    ProgramRig(const ProgramRig&) = delete;
    ProgramRig& operator=(const ProgramRig&) = delete;

    // Starts `units` emulated units in portDir, options adjusted by `tune`.
    void startSim(int units, const std::function<void(SimOptions&)>& tune) {
        SimOptions o;
        o.units = units;
        o.dir = portDir;
        o.unit.resize(static_cast<size_t>(units));
        if (tune) tune(o);
        sim = std::make_unique<SimServer>(o);
        sim->start();
    }
    // The program's start-up with these arguments; the device search runs
    // from the loop 100 ms later.
    void startProgram(const std::vector<std::string>& args = {}) {
        app = std::make_unique<KorvexApp>(loop, prompts, clock, rng);
        app->programFolder = workDir + "/";
        app->firmwareFileName = workDir + "/KorvexSCX.FWR";
        if (configure) configure(*app);
        app->FormShow(args);
    }
    // Changes to the program's settings before its start-up.
    std::function<void(KorvexApp&)> configure;

    Program& engine() { return app->engine; }

    int connected() const {
        int n = 0;
        for (int s = 0; s < 8; ++s) n += app->engine.channelState(s).connected;
        return n;
    }
    bool anyBusy() const {
        for (int s = 0; s < 8; ++s)
            if (app->engine.channelState(s).busy) return true;
        return false;
    }
    // Runs the loop until no channel is busy (or the time is up). When
    // `maySkip` says that what is still busy waits for a unit that will not
    // answer, each 300 ms in which nothing arrives skip the clock 1 s ahead:
    // the watchdog's seconds then cost no real time.
    bool waitIdle(int timeoutMs = 20000, const std::function<bool()>& maySkip = {}) {
        loop.runFor(5);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (anyBusy()) {
            const uint64_t seen = loop.handled();
            const bool quiet = !loop.runUntil([&] { return !anyBusy() || loop.handled() != seen; },
                                              maySkip ? 300 : timeoutMs);
            if (!anyBusy()) break;
            if (std::chrono::steady_clock::now() >= until) return false;
            if (quiet && maySkip && maySkip()) loop.skipAhead(clock, 1000);
        }
        return true;
    }

    // Chooses a chip through the chip dialog, as the operator does.
    void chooseChip(const std::string& name) {
        for (int v = 0; v < 4; ++v) {
            const auto& names = chipNames(static_cast<ChipVendor>(v));
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == name) {
                    engine().chip.vendor = static_cast<ChipVendor>(v);
                    prompts.modalScript = [i](Form& f) {
                        if (f.className() != "TChipSelForm") return;
                        f["ListBoxCP"].setItemIndex(static_cast<int>(i));
                        f["BitBtnOK"].click();
                    };
                    app->DevButtonClick();
                    prompts.modalScript = nullptr;
                    return;
                }
        }
        ADD_FAILURE() << "no chip " << name;
    }
    // Opens a binary object file at the start of flash, as the operator does.
    void openBinary(const std::string& path) {
        prompts.openAnswers.push_back(FileChoice{path, 1});
        prompts.modalScript = [](Form& f) {
            if (f.className() == "TFormOfsAddr") f["BitBtn1"].click();  // keeps the start of flash
        };
        app->FileOpenBtnClick();
        prompts.modalScript = nullptr;
    }

    // What an emulated unit took in of a firmware upgrade.
    struct UnitFirmware {
        bool upgraded = false;
        std::set<int> blocks;
        std::vector<uint8_t> image;
    };
    UnitFirmware unitFirmware(int slot) {
        UnitFirmware f;
        sim->withUnit(slot, [&](SimUnit& u) {
            f.upgraded = u.upgraded;
            f.blocks = u.firmwareBlocks;
            f.image = u.firmwareImage;
        });
        return f;
    }

    std::vector<uint8_t> unitFlash(int slot) {
        std::vector<uint8_t> out;
        sim->withUnit(slot, [&](SimUnit& u) { out = u.chip.flash; });
        return out;
    }
    size_t countRequests(int unit, int command, int parameter = -1) const {
        size_t n = 0;
        for (auto& e : sim->trace().events())
            if (e.unit == unit && e.kind == "request" && e.command == command &&
                (parameter < 0 || e.parameter == parameter))
                ++n;
        return n;
    }

    bool logHas(const std::string& text) const {
        for (auto& l : app->log.lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    size_t logCount(const std::string& text) const {
        size_t n = 0;
        for (auto& l : app->log.lines()) n += l.find(text) != std::string::npos;
        return n;
    }
    // Lines whose text is exactly `text`, from line `from` on.
    size_t countText(const std::string& text, size_t from = 0) const {
        size_t n = 0;
        const auto& ls = app->log.lines();
        for (size_t i = from; i < ls.size(); ++i) n += lineText(ls[i]) == text;
        return n;
    }
    // The texts of channel `channel`'s lines ("Channel N: " taken off), in
    // order, from line `from` on.
    std::vector<std::string> channelTexts(int channel, size_t from = 0) const {
        const std::string prefix = "Channel " + std::to_string(channel) + ": ";
        std::vector<std::string> out;
        const auto& ls = app->log.lines();
        for (size_t i = from; i < ls.size(); ++i) {
            std::string t = lineText(ls[i]);
            if (t.rfind(prefix, 0) == 0) out.push_back(t.substr(prefix.size()));
        }
        return out;
    }
};

// The program started against `units` emulated units, after its start-up
// device search.
struct E2ERig : ProgramRig {
    explicit E2ERig(int units, const std::function<void(SimOptions&)>& tune = {}) : ProgramRig(2024) {
        startSim(units, tune);
        startProgram();
        waitForDiscovery(units);
    }

    void waitForDiscovery(int expected) {
        loop.runUntil([&] { return !app->StartupDone; }, 20000);
        loop.runUntil([&] { return connected() >= expected; }, 20000);
    }

    // Writes a binary file of `bytes` and opens it as the object file.
    std::vector<uint8_t> loadRandomImage(size_t bytes, uint32_t seed = 1) {
        std::vector<uint8_t> data(bytes);
        uint32_t x = seed * 2654435761u + 1;
        for (auto& b : data) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        std::string path = workDir + "/image.bin";
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
        openBinary(path);
        return data;
    }
};

}  // namespace kvx::test
