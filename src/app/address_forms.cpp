#include "app/address_forms.h"

#include "shell/text.h"

#include <algorithm>

namespace kvx {

TFormOfsAddr::TFormOfsAddr(Prompts& prompts, const uint32_t& flashFirst, const uint32_t& flashLast, uint32_t& binOffset)
    : Form("TFormOfsAddr", "FormOfsAddr", 330, 110),
      prompts_(prompts),
      flashFirst_(flashFirst),
      flashLast_(flashLast),
      binOffset_(binOffset) {
    setCaption("设置BIN文件偏移地址");
    using K = ControlKind;
    add("Label1", K::Label, "", 12, 20, 190, 22, "设置BIN文件偏移地址：         ");
    Control& e = add("EditOfsAddr", K::Edit, "", 200, 16, 110, 24);
    e.setText("0x00008000");
    add("BitBtn1", K::Button, "", 125, 62, 80, 30, "OK").onClick = [this] { BitBtn1Click(); };
    onShow = [this] { (*this)["EditOfsAddr"].setText(format("0x%0.8x", flashFirst_)); };
}

void TFormOfsAddr::BitBtn1Click() {
    int64_t a = 0;
    const std::string& text = (*this)["EditOfsAddr"].text();
    if (!tryParseInt64(text, a)) {
        prompts_.warning(ConvertError(text).what());
        return;
    }
    // The file must start inside the chip's flash; anything else would place it
    // outside the image.
    if (a < flashFirst_ || a > flashLast_) {
        prompts_.warning(format("BIN文件偏移地址必须在芯片Flash地址空间内：0x%0.8x-0x%0.8x", flashFirst_, flashLast_));
        return;
    }
    binOffset_ = static_cast<uint32_t>(a - flashFirst_);
    close(Ok);
}

TSetAddressForm::TSetAddressForm(Prompts& prompts, uint32_t& readAddress, uint16_t& readLength)
    : Form("TSetAddressForm", "SetAddressForm", 340, 130), prompts_(prompts), readAddress_(readAddress), readLength_(readLength) {
    setCaption("Specify Read Address");
    using K = ControlKind;
    add("Label1", K::Label, "", 12, 16, 190, 22, "设置需要读取的首地址：  ");
    add("EditAddr", K::Edit, "", 210, 12, 110, 24);
    add("Label2", K::Label, "", 12, 50, 190, 22, "设置需要读取的数据长度：  ");
    Control& s = add("SpinEditRD", K::SpinEdit, "", 210, 46, 110, 24);
    s.setRange(16, 4096);
    s.setIncrement(16);
    s.setValue(16);
    add("BitBtnOK", K::Button, "", 130, 88, 80, 30, "OK").onClick = [this] { BitBtnOKClick(); };
    onShow = [this] {
        (*this)["EditAddr"].setText(format("0x%0.8x", readAddress_));
        (*this)["SpinEditRD"].setValue(std::clamp<int64_t>(readLength_, 16, 4096));
    };
}

void TSetAddressForm::BitBtnOKClick() {
    const std::string& text = (*this)["EditAddr"].text();
    int64_t a = 0;
    if (!tryParseInt64(text, a)) {
        // The previous address and length stay.
        prompts_.warning(ConvertError(text).what());
        close(Cancel);
        return;
    }
    readAddress_ = static_cast<uint32_t>(a) & ~0xFu;
    readLength_ = static_cast<uint16_t>(std::clamp<int64_t>((*this)["SpinEditRD"].value(), 16, 4096));
    close(Ok);
}

}  // namespace kvx
