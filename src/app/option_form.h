// The option-byte editor TCfgCPTxOptForm: the write-protection bytes of the
// option area, bit by bit, each with its complement kept valid.
#pragma once

#include "shell/views.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace kvx {

class TCfgCPTxOptForm : public Form {
public:
    // `options` is the 256-byte option-byte buffer the editor works on.
    // `chipName` gives the text of MCUNameEdit when the dialog is shown.
    TCfgCPTxOptForm(uint8_t* options, std::function<std::string()> chipName);

    struct BitSelector {
        int selector = 0;  // 0 .. 5: Data 0, Data 1, WRP0 .. WRP3
        uint8_t mask = 0;
    };
    BitSelector bitSelector;

    void pressBit(int selector, int bit);  // PnlXXBnMouseDown
    void N03Click();                        // menu "0"
    void N110Click();                       // menu "1"
    void ButtonA0Click();
    void ButtonA1Click();
    void BitBtnOKClick();
    void BitBtnNGClick();
    void GD32xDROPClick();
    void GD32xEROPClick();
    void setUserBit(int bit, bool set);  // the USER byte's radio buttons
    void refresh();

    // Offset of each selector's byte and of its complement.
    static constexpr int kOffset[6] = {4, 6, 8, 9, 12, 13};
    static constexpr int kComplement[6] = {5, 7, 10, 11, 14, 15};
    static const char* const kRowPrefix[6];

private:
    void setBit(bool one);
    void showByte(int selector);
    uint8_t* opt_;
    std::array<uint8_t, 128> backup_{};
    std::function<std::string()> chipName_;
};

}  // namespace kvx
