// The controls of the main window TKorvexMGxPrg: kinds, captions, hints,
// defaults, limits and positions. Handlers are bound by the program (app).
#pragma once

#include "shell/views.h"

namespace kvx {

class MainControls : public Form {
public:
    MainControls();

    static constexpr int kClientWidth = 846;
    static constexpr int kClientHeight = 571;
    // Gauge tops for 4 and 8 channels and the matching log heights.
    static constexpr int kGaugeTops[8] = {317, 336, 355, 374, 393, 412, 431, 450};
    static constexpr int kMemoHeight4 = 356;
    static constexpr int kMemoHeight8 = 278;

    Control& gauge(int channel);  // 1 .. 8
};

}  // namespace kvx
