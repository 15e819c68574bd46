// The fixed serial-number data dialog TConfigSNForm: a constant run of bytes
// (a string or hexadecimal bytes) written into the flash image, or into the
// NVM data, at a chosen address.
#pragma once

#include "chip/profile.h"
#include "image/image_state.h"
#include "shell/seams.h"
#include "shell/views.h"

#include <functional>

namespace kvx {

class TConfigSNForm : public Form {
public:
    TConfigSNForm(Prompts& prompts, const ChipProfile& chip, ImageState& image);
    void RadioGrpSNClick();
    void BitBtnOKClick();
    // Redraws the flash view after bytes went into the main flash.
    std::function<void()> onFlashChanged;
    std::function<void()> onNvmChanged;

    // The bytes of the data text in the chosen format. A hexadecimal token is
    // taken when a blank ends it, and also when the end of the text ends it.
    static std::vector<uint8_t> dataBytes(const std::string& text, bool hex);

private:
    Prompts& prompts_;
    const ChipProfile& chip_;
    ImageState& image_;
};

}  // namespace kvx
