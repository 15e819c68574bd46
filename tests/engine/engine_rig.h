// A program engine with scripted prompts, a fixed clock and a seeded random
// source, and no ports opened: for tests of the engine's own logic.
#pragma once

#include "engine/program.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"

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
    // Puts an offline status frame (8 bytes, check byte fixed up unless told
    // otherwise) into a channel's frame buffer.
    void statusFrame(int slot, uint8_t stage, uint8_t result, uint16_t progress, uint16_t total, int checkDelta = 0) {
        auto& f = p.ch[slot].frameBuffer;
        f[0] = 0xFD;
        f[1] = stage;
        f[2] = result;
        f[3] = static_cast<uint8_t>(progress);
        f[4] = static_cast<uint8_t>(progress >> 8);
        f[5] = static_cast<uint8_t>(total);
        f[6] = static_cast<uint8_t>(total >> 8);
        uint8_t s = 0;
        for (int i = 0; i < 7; ++i) s = static_cast<uint8_t>(s + f[i]);
        f[7] = static_cast<uint8_t>(0 - s + checkDelta);
        p.ch[slot].frameLength = 8;
    }
    const std::string& lastLine() const { return log.line(log.size() - 1); }
};

}  // namespace kvx::test
