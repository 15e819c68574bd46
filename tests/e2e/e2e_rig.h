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

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvx::test {

inline std::string makeTempDir(const char* stem) {
    std::string t = std::string("/tmp/") + stem + ".XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "/tmp";
    return buf.data();
}

struct E2ERig {
    std::string portDir = makeTempDir("kvx-e2e-ports");
    std::string workDir = makeTempDir("kvx-e2e-work");
    std::unique_ptr<SimServer> sim;
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SeededRandom rng{2024};
    std::unique_ptr<KorvexApp> app;

    // Starts `units` emulated units (options adjusted by `tune`) and the
    // program, and waits for the device search after start-up.
    explicit E2ERig(int units, const std::function<void(SimOptions&)>& tune = {}) {
        SimOptions o;
        o.units = units;
        o.dir = portDir;
        o.unit.resize(static_cast<size_t>(units));
        if (tune) tune(o);
        sim = std::make_unique<SimServer>(o);
        sim->start();
        setenv("KORVEX_SERIAL_DIR", portDir.c_str(), 1);
        app = std::make_unique<KorvexApp>(loop, prompts, clock, rng);
        app->programFolder = workDir + "/";
        app->firmwareFileName = workDir + "/KorvexSCX.FWR";
        app->FormShow({});
        waitForDiscovery(units);
    }

    ~E2ERig() {
        app.reset();
        sim.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(portDir, ec);
        std::filesystem::remove_all(workDir, ec);
    }

    Program& engine() { return app->engine; }

    void waitForDiscovery(int expected) {
        loop.runUntil([&] { return !app->StartupDone; }, 3000);
        loop.runUntil(
            [&] {
                int n = 0;
                for (auto& c : engine().ch) n += c.connected;
                return n >= expected;
            },
            3000);
    }

    int connected() const {
        int n = 0;
        for (auto& c : app->engine.ch) n += c.connected;
        return n;
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
        prompts.openAnswers.push_back(FileChoice{path, 1});
        prompts.modalScript = [](Form& f) {
            if (f.className() == "TFormOfsAddr") f["BitBtn1"].click();  // keeps the start of flash
        };
        app->FileOpenBtnClick();
        prompts.modalScript = nullptr;
        return data;
    }

    bool anyBusy() const {
        for (auto& c : app->engine.ch)
            if (c.busy) return true;
        return false;
    }

    // Runs the loop until no channel is busy (or the time is up).
    bool waitIdle(int timeoutMs = 20000) {
        loop.runFor(5);
        return loop.runUntil([&] { return !anyBusy(); }, timeoutMs);
    }

    std::vector<uint8_t> unitFlash(int slot) {
        std::vector<uint8_t> out;
        sim->withUnit(slot, [&](SimUnit& u) { out = u.chip.flash; });
        return out;
    }

    size_t countRequests(int unit, int command, int parameter = -1) {
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
};

}  // namespace kvx::test
