// A program engine with scripted prompts, a fixed clock and a seeded random
// source, and no ports opened: for tests of the engine's own logic. The units'
// side is played by handing frames to the engine's receive path, as a port
// would.
#pragma once

#include "engine/program.h"
#include "link/frame.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"

#include <string>
#include <vector>

namespace kvx::test {

struct EngineRig {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{42};
    MainControls ui;
    InfoLog log;
    InfoWriter info{log, clock};
    Program p{loop, prompts, clock, rng, ui, info};
    EngineRig() { clock.time = LocalTime{2024, 5, 12, 14, 3, 7, 0}; }

    // The frame on the channel's line, escaped between flags; its check code
    // is appended first when `withCrc`.
    void feed(int slot, std::vector<uint8_t> frame, bool withCrc = true) {
        if (withCrc) {
            frame.resize(frame.size() + 2);
            appendFrameCrc(frame.data(), frame.size() - 2);
        }
        std::vector<uint8_t> wire(2 * frame.size() + 8);
        wire.resize(EncodeFrame(frame.data(), frame.size(), wire.data()));
        p.receiveData(slot, wire.data(), static_cast<uint16_t>(wire.size()));
    }
    // A programmer answers the device search on the channel.
    void connect(int slot, const std::string& text = "") {
        const std::string t = text.empty() ? "Korvex200RTQ V2.10, Unit " + std::to_string(slot + 1) : text;
        std::vector<uint8_t> f = {0xA3, 0xA5, 0x35, 0x0C, 0x00, 0x01, 0, 0};
        f.resize(28, 0);
        f.insert(f.end(), t.begin(), t.end());
        f.push_back(0);
        put16(&f[6], static_cast<uint16_t>(f.size() - 8));
        feed(slot, f);
    }
    // The unit's result reply to the channel's request.
    void result(int slot, uint8_t code) {
        std::vector<uint8_t> f(kHeaderSize, 0);
        f[6] = 1;
        f.push_back(code);
        feed(slot, f);
    }
    // An off-line status frame (8 bytes, check byte fixed up unless told
    // otherwise) from the channel's unit.
    void statusFrame(int slot, uint8_t stage, uint8_t result, uint16_t progress, uint16_t total, int checkDelta = 0) {
        std::vector<uint8_t> f = {0xFD,
                                  stage,
                                  result,
                                  static_cast<uint8_t>(progress),
                                  static_cast<uint8_t>(progress >> 8),
                                  static_cast<uint8_t>(total),
                                  static_cast<uint8_t>(total >> 8),
                                  0};
        uint8_t s = 0;
        for (int i = 0; i < 7; ++i) s = static_cast<uint8_t>(s + f[static_cast<size_t>(i)]);
        f[7] = static_cast<uint8_t>(0 - s + checkDelta);
        feed(slot, f, false);
    }
    // A chip of `flashKB` chosen and, with `file`, an image loaded (its bytes
    // as the buffer holds them).
    void chooseChip(uint16_t flashKB = 64, bool file = false) {
        p.chip.chipChosen = true;
        p.chip.chipName = "SC32F5232JV1G ";
        p.chip.flashSizeKB = flashKB;
        p.chip.flashLast = p.chip.flashFirst + flashKB * 1024u - 1;
        p.fileLoaded = file;
    }
    const std::string& lastLine() const { return log.line(log.size() - 1); }
};

}  // namespace kvx::test
