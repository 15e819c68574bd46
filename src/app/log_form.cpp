#include "app/log_form.h"

namespace kvx {

TLogCfgForm::TLogCfgForm(Prompts& prompts) : Form("TLogCfgForm", "LogCfgForm", 400, 300), prompts_(prompts) {
    setCaption("Config Log File.");
    using K = ControlKind;
    Control& en = add("CheckBoxLog", K::CheckBox, "", 16, 12, 200, 22, "生成Logog文件");
    en.setChecked(true);
    en.onClick = [this] { CheckBoxLogClick(); };
    Control& creat = add("RadioGrpCreat", K::RadioGroup, "", 16, 40, 368, 50, "Log文件生成方式");
    creat.setColumns(2);
    creat.setItems({"系统自动生成Logo文件", "客户指定Log文件"});
    creat.setItemIndex(0);
    creat.onClick = [this] { RadioGrpCreatClick(); };
    Control& mod = add("RadioGrpMod", K::RadioGroup, "", 16, 96, 368, 74, "客户Log文件配置");
    mod.setColumns(2);
    mod.setItems({"生成新的文件", "覆盖原文件", "追加到原文件尾部"});
    mod.setItemIndex(0);
    mod.setEnabled(false);
    add("Label1", K::Label, "", 16, 184, 130, 22, "指定Log文件名：       ");
    Control& name = add("EditLogName", K::Edit, "", 16, 208, 290, 24);
    name.setText("ZEZu2021.log");
    name.setEnabled(false);
    Control& browse = add("SpeedButtonOP", K::SpeedButton, "", 314, 206, 70, 28, "浏览");
    browse.setEnabled(false);
    browse.onClick = [this] { SpeedButtonOPClick(); };
    add("OK", K::Button, "", 160, 250, 80, 30, "OK").onClick = [this] { OKClick(); };
    onClose = [this] {
        if (writeConfiguration) writeConfiguration();
    };
}

void TLogCfgForm::CheckBoxLogClick() {
    bool on = (*this)["CheckBoxLog"].checked();
    for (const char* n : {"RadioGrpCreat", "RadioGrpMod", "SpeedButtonOP", "EditLogName"}) (*this)[n].setEnabled(on);
}

void TLogCfgForm::RadioGrpCreatClick() {
    bool user = (*this)["RadioGrpCreat"].itemIndex() == 1;
    for (const char* n : {"RadioGrpMod", "SpeedButtonOP", "EditLogName"}) (*this)[n].setEnabled(user);
    (*this)["RadioGrpMod"].setItemIndex(0);
}

void TLogCfgForm::SpeedButtonOPClick() {
    auto c = prompts_.saveFile({"Log File", "All Log Files(*.Log,*.Txt)|*.log;*.Txt", 1, "*.log"});
    if (c) (*this)["EditLogName"].setText(c->path);
}

void TLogCfgForm::OKClick() {
    if ((*this)["RadioGrpCreat"].itemIndex() == 1 && (*this)["EditLogName"].text().empty()) {
        prompts_.message("请输入有效的Log文件名称！");
        (*this)["EditLogName"].setFocus();
        return;
    }
    close(Ok);
}

}  // namespace kvx
