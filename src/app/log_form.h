// The log configuration dialog TLogCfgForm. Its controls are the only copy of
// the configuration while the program runs.
#pragma once

#include "shell/seams.h"
#include "shell/views.h"

#include <functional>

namespace kvx {

class TLogCfgForm : public Form {
public:
    explicit TLogCfgForm(Prompts& prompts);
    void CheckBoxLogClick();
    void RadioGrpCreatClick();
    void SpeedButtonOPClick();
    void OKClick();
    // Runs at every closing (OK or the close box): writes the configuration.
    std::function<void()> writeConfiguration;

private:
    Prompts& prompts_;
};

}  // namespace kvx
