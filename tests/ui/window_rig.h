// The main window over the program with scripted prompts: the window's tests
// drive it with real events and answer its boxes from a script.
#pragma once

#include "app/korvex_app.h"
#include "shell/scripted_prompts.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

namespace kvx::test {

struct WindowRig {
    QtEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SeededRandom rng{1};
    KorvexApp app{loop, prompts, clock, rng};
    TKorvexMGxPrg win{app, {}};
};

}  // namespace kvx::test
