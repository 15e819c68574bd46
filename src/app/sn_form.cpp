#include "app/sn_form.h"

#include "shell/text.h"

namespace kvx {

TConfigSNForm::TConfigSNForm(Prompts& prompts, const ChipProfile& chip, ImageState& image)
    : Form("TConfigSNForm", "ConfigSNForm", 420, 250), prompts_(prompts), chip_(chip), image_(image) {
    setCaption("Config S/N Constant");
    using K = ControlKind;
    add("Label6", K::Label, "", 12, 16, 160, 22, "数据存储首地址：   ");
    Control& a = add("AddrEditSN", K::Edit, "", 170, 12, 120, 24);
    a.setMaxLength(10);
    a.setText("0x00000000");
    Control& area = add("RadioGrpSN", K::RadioGroup, "", 12, 46, 396, 44, " SN地址区域 ");
    area.setColumns(2);
    area.setItems({"主数据地址区", "EEP数据地址区"});
    area.setItemIndex(0);
    area.onClick = [this] { RadioGrpSNClick(); };
    Control& fm = add("RadioGroupFM", K::RadioGroup, "", 12, 94, 396, 44, "数据格式");
    fm.setColumns(2);
    fm.setItems({"字符串数据", "16进制数据"});
    fm.setItemIndex(0);
    add("Label2", K::Label, "", 12, 146, 396, 22, "数据内容(16进制格式以空格分隔）：   ");
    Control& d = add("EditDataSN", K::Edit, "", 12, 170, 396, 24);
    d.setMaxLength(255);
    d.onChange = [this] {
        Control& e = (*this)["EditDataSN"];
        std::string up = upperAscii(e.text());
        if (up != e.text()) e.setText(up);
    };
    add("ChkBoxSNEndin", K::CheckBox, "", 12, 200, 200, 22, "数据保存为大端模式").setVisible(false);
    add("BitBtnOK", K::Button, "", 220, 206, 85, 30, "OK").onClick = [this] { BitBtnOKClick(); };
    add("BitBtnCancel", K::Button, "", 316, 206, 85, 30, "Cancel").onClick = [this] { close(Cancel); };
    onShow = [this] {
        (*this)["AddrEditSN"].setText(format("0x%0.8x", chip_.flashFirst));
        (*this)["RadioGrpSN"].setCaption(" SN地址区域 ");
        (*this)["RadioGroupFM"].setCaption("数据格式");
    };
}

void TConfigSNForm::RadioGrpSNClick() {
    bool eep = (*this)["RadioGrpSN"].itemIndex() == 1;
    (*this)["AddrEditSN"].setText(format("0x%0.8x", eep ? chip_.nvmFirst : chip_.flashFirst));
}

std::vector<uint8_t> TConfigSNForm::dataBytes(const std::string& d, bool hex) {
    std::vector<uint8_t> out;
    if (!hex) {
        out.assign(d.begin(), d.end());
        return out;
    }
    size_t i = 0;
    while (i < d.size()) {
        while (i < d.size() && d[i] == ' ') ++i;
        if (i >= d.size()) break;
        uint8_t v = 0;
        while (i < d.size() && d[i] != ' ') {
            char c = d[i++];
            int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : 0;
            v = static_cast<uint8_t>(v * 16 + digit);
        }
        out.push_back(v);
    }
    return out;
}

void TConfigSNForm::BitBtnOKClick() {
    Control& data = (*this)["EditDataSN"];
    if (data.text().empty()) {
        prompts_.message("请输入有效的序列号数据!");
        data.setFocus();
        return;
    }
    int64_t a = 0;
    const std::string& addrText = (*this)["AddrEditSN"].text();
    if (!tryParseInt64(addrText, a)) {
        prompts_.warning(ConvertError(addrText).what());
        return;
    }
    bool hex = (*this)["RadioGroupFM"].itemIndex() == 1;
    std::vector<uint8_t> bytes = dataBytes(data.text(), hex);
    bool eep = (*this)["RadioGrpSN"].itemIndex() == 1;
    if (eep) {
        // The dialog shows the NVM address; the bytes go to the NVM data there.
        uint32_t base = static_cast<uint32_t>(a) - chip_.nvmFirst;
        for (size_t k = 0; k < bytes.size(); ++k) image_.NvmBuffer()[(base + k) % kNvmSize] = bytes[k];
        if (onNvmChanged) onNvmChanged();
    } else {
        uint32_t base = static_cast<uint32_t>(a) - chip_.flashFirst;
        for (size_t k = 0; k < bytes.size(); ++k) image_.ImageBuffer[(base + k) % 0x100000] = bytes[k];
        if (onFlashChanged) onFlashChanged();
    }
    close(Ok);
}

}  // namespace kvx
