// The two small address dialogs: TFormOfsAddr asks where a BIN file goes in
// flash; TSetAddressForm asks which stretch of chip memory channel 1 reads.
#pragma once

#include "shell/seams.h"
#include "shell/views.h"

#include <cstdint>

namespace kvx {

class TFormOfsAddr : public Form {
public:
    TFormOfsAddr(Prompts& prompts, const uint32_t& flashFirst, const uint32_t& flashLast, uint32_t& binOffset);
    // OK: the typed absolute address must be a number inside the chip's flash.
    void BitBtn1Click();

private:
    Prompts& prompts_;
    const uint32_t& flashFirst_;
    const uint32_t& flashLast_;
    uint32_t& binOffset_;
};

class TSetAddressForm : public Form {
public:
    TSetAddressForm(Prompts& prompts, uint32_t& readAddress, uint16_t& readLength);
    void BitBtnOKClick();

private:
    Prompts& prompts_;
    uint32_t& readAddress_;
    uint16_t& readLength_;
};

}  // namespace kvx
