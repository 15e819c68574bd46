#include "app/chip_select_form.h"

#include "chip/catalogue.h"

namespace kvx {

namespace {
const char* const kRadio[4] = {"RadioButtonLKS", "RadioButtonCPT", "RadioButtonFG", "RadioButtonSC"};
}

TChipSelForm::TChipSelForm(ChipProfile& profile) : Form("TChipSelForm", "ChipSelForm", 300, 360), profile_(profile) {
    setCaption("ChipSelForm");
    using K = ControlKind;
    add("ListBoxCP", K::ListBox, "", 10, 10, 280, 290);
    for (int v = 0; v < 4; ++v) {
        Control& rb = add(kRadio[v], K::RadioButton, "", 10 + 70 * v, 305, 68, 20, vendorCaption(static_cast<ChipVendor>(v)));
        rb.setVisible(false);
        rb.onClick = [this, v] {
            if ((*this)[kRadio[v]].checked()) fillFor(static_cast<ChipVendor>(v));
        };
    }
    Control& ok = add("BitBtnOK", K::Button, "", 60, 322, 80, 30, "OK");
    ok.onClick = [this] {
        BitBtnOKClick();
        close(Ok);
    };
    Control& no = add("BitBtnNO", K::Button, "", 160, 322, 80, 30, "No");
    no.onClick = [this] { close(No); };
    // A double click in the list chooses the entry, as OK does.
    (*this)["ListBoxCP"].onClick = [this] {
        BitBtnOKClick();
        close(Ok);
    };
    onShow = [this] { fillFor(profile_.vendor); };
}

void TChipSelForm::fillFor(ChipVendor v) {
    profile_.vendor = v;
    shownVendor_ = v;
    for (int i = 0; i < 4; ++i) {
        Control& rb = (*this)[kRadio[i]];
        auto keep = rb.onClick;
        rb.onClick = nullptr;  // checking here must not refill
        rb.setChecked(i == static_cast<int>(v));
        rb.onClick = keep;
    }
    Control& list = (*this)["ListBoxCP"];
    list.setItems(chipNames(v));
    list.setItemIndex(0);
}

void TChipSelForm::BitBtnOKClick() {
    int index = (*this)["ListBoxCP"].itemIndex();
    if (index < 0) index = 0;
    chooseChip(profile_, shownVendor_, index);
}

}  // namespace kvx
