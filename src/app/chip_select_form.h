// The chip dialog TChipSelForm: the catalogue of the current vendor in a list
// box, OK and No. The four vendor radio buttons exist but stay hidden, so the
// list always follows the profile's vendor.
#pragma once

#include "chip/profile.h"
#include "shell/views.h"

namespace kvx {

class TChipSelForm : public Form {
public:
    explicit TChipSelForm(ChipProfile& profile);
    // Fills the list with a vendor's names and selects the first.
    void fillFor(ChipVendor v);
    void BitBtnOKClick();

private:
    ChipProfile& profile_;
    ChipVendor shownVendor_ = ChipVendor::SC;
};

}  // namespace kvx
