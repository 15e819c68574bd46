#include "shell/main_controls.h"

#include "shell/job_options.h"
#include "shell/text.h"

namespace kvx {

namespace {
using K = ControlKind;

Control& spin(Form& f, const std::string& name, const std::string& parent, int l, int t, const SpinRange& range,
              int step) {
    Control& c = f.add(name, K::SpinEdit, parent, l, t, 90, 24);
    c.setRange(range.min, range.max);
    c.setIncrement(step);
    c.setValue(range.defaultValue);
    return c;
}

Control& item(Form& f, const std::string& name, const std::string& menu, const std::string& caption,
              const std::string& key = "") {
    Control& c = f.add(name, K::MenuItem, menu, 0, 0, 0, 0, caption);
    c.setShortcut(key);
    return c;
}
}  // namespace

Control& MainControls::gauge(int channel) { return (*this)["Gauge" + std::to_string(channel)]; }

MainControls::MainControls() : Form("TKorvexMGxPrg", "KorvexMGxPrg", kClientWidth, kClientHeight) {
    setCaption("Korvex200RTQ Programmer Wizard");

    // --- menus ---------------------------------------------------------------
    add("File1", K::Menu, "", 0, 0, 0, 0, "&File");
    item(*this, "Execute1", "File1", "&Load Object File");
    item(*this, "LoadNVMDataFile1", "File1", "Load NVM Data File");
    item(*this, "SaveFile1", "File1", "&Save Memory to File");
    item(*this, "SaveNVMDatatoFile1", "File1", "Save NVM Data to File");
    item(*this, "LoadFromProjectFile1", "File1", "Load From Project File");
    item(*this, "SavetoProjectFile1", "File1", "Save to Project File");
    item(*this, "Exit1", "File1", "E&xit", "Ctrl+X");

    add("Operation1", K::Menu, "", 0, 0, 0, 0, "&Operation");
    item(*this, "Download1", "Operation1", "&Download", "F4");
    item(*this, "AutoProgram1", "Operation1", "&Auto Program", "F5");
    item(*this, "BlankCheck1", "Operation1", "&Blank Check", "F7");
    item(*this, "EraseChip1", "Operation1", "&Erase Chip", "F8");
    item(*this, "Programming1", "Operation1", "&Programming", "F9");
    item(*this, "VeriufyDownload1", "Operation1", "&Verification", "F10");
    item(*this, "WriteOptionByte1", "Operation1", "Write NVM Byte", "F11");
    item(*this, "ReadOptionByte1", "Operation1", "Read NVM Data", "Ctrl+O");
    item(*this, "ReadVO32voChipID1", "Operation1", "&Read Chip ID", "Ctrl+I");
    item(*this, "ReadChipMemory1", "Operation1", "Read Chip Memory", "F12");
    item(*this, "ReadAddress1", "Operation1", "Read Address");
    item(*this, "StartOfflineProgrm1", "Operation1", "Start Off-line Progrm");

    add("Setting1", K::Menu, "", 0, 0, 0, 0, "&Setting");
    item(*this, "ConfigLogFile1", "Setting1", "Config Log File");
    item(*this, "DoFirmwareUpgrade1", "Setting1", "Do Firmware Upgrade");
    item(*this, "ProductionRecords1", "Setting1", "Production Records");

    add("Help1", K::Menu, "", 0, 0, 0, 0, "&Help");
    item(*this, "About1", "Help1", "About", "F1");

    // --- view pages ------------------------------------------------------------
    add("ViewPageCtrl", K::PageControl, "", 0, 0, 846, 500);
    add("ChipSett", K::TabSheet, "ViewPageCtrl", 0, 0, 0, 0, "Chip Setting");
    add("TabSheetFlash", K::TabSheet, "ViewPageCtrl", 0, 0, 0, 0, "Main Flash");
    Control& eepSheet = add("TabSheetEEP", K::TabSheet, "ViewPageCtrl", 0, 0, 0, 0, "NVM Data");
    eepSheet.setVisible(false);

    // Chip group.
    add("GroupBoxChip", K::GroupBox, "ChipSett", 4, 2, 346, 108, "芯片设置");
    add("LabelMCU", K::Label, "GroupBoxChip", 10, 24, 80, 20, "MCU 型号：");
    Control& name = add("MCUNameEdit", K::Edit, "GroupBoxChip", 88, 20, 170, 24);
    name.setMaxLength(16);
    name.setReadOnly(true);
    name.setText("请选择目标MCU的型号...");
    add("DevButton", K::Button, "GroupBoxChip", 264, 18, 74, 28, "选择芯片");
    add("LabelFlash", K::Label, "GroupBoxChip", 10, 54, 80, 20, "Flash 容量：");
    add("lbFlashSize", K::Label, "GroupBoxChip", 88, 54, 200, 20, "xxxxKB");
    add("LabelProduct", K::Label, "GroupBoxChip", 10, 80, 80, 20, "目标文件：");
    Control& product = add("ProductEdit", K::Edit, "GroupBoxChip", 88, 76, 250, 24);
    product.setMaxLength(20);
    product.setReadOnly(true);

    Control& combo = add("ComboBoxCOM", K::ComboBox, "ChipSett", 6, 116, 196, 26);
    combo.setSorted(true);
    combo.setText("请选择通讯口......");
    add("BitBtnFindDev", K::Button, "ChipSett", 208, 114, 142, 30, "查找并连接设备");

    // Settings pages.
    add("PageControlSet", K::PageControl, "ChipSett", 4, 148, 346, 320);
    add("TabSheetPrg", K::TabSheet, "PageControlSet", 0, 0, 0, 0, "编程设置");
    add("TabSheetTime", K::TabSheet, "PageControlSet", 0, 0, 0, 0, "时间设置");
    add("TabSheetSN", K::TabSheet, "PageControlSet", 0, 0, 0, 0, "序列号设置");

    Control& volt = add("RadioGpVolt", K::RadioGroup, "TabSheetPrg", 4, 2, 118, 52, " 接口电平 ");
    volt.setColumns(2);
    volt.setItems({"3.3V", "5.0V"});
    volt.setItemIndex(0);
    Control& speed = add("RadioGroupBitF", K::RadioGroup, "TabSheetPrg", 126, 2, 208, 52, " 编程速度 ");
    speed.setColumns(2);
    speed.setItems({"Slow SWCLK", "Fast SWCLK"});
    speed.setItemIndex(1);
    Control& rst = add("RadioGrpRST", K::RadioGroup, "TabSheetPrg", 4, 56, 330, 58, "复位信号（RESET）");
    rst.setColumns(3);
    rst.setItems({"输出常低电平", "关闭输出(高阻)", "输出复位后关闭"});
    rst.setItemIndex(0);

    add("ChkBoxVDD", K::CheckBox, "TabSheetPrg", 8, 120, 200, 22, "编程完成后关闭电源输出").setChecked(true);
    add("CheckBoxRun", K::CheckBox, "TabSheetPrg", 8, 144, 150, 22, "编程完成后启动芯片");
    add("ChkBoxRunSHT", K::CheckBox, "TabSheetPrg", 8, 168, 150, 22, "Run and then Shut");
    add("ChkBoxBlkEr", K::CheckBox, "TabSheetPrg", 8, 192, 150, 22, "非空报错退出");
    add("ChkBoxEnROP", K::CheckBox, "TabSheetPrg", 168, 192, 160, 22, "使能加密功能");
    add("CheckBoxOpt", K::CheckBox, "TabSheetPrg", 8, 216, 160, 22, "Program Option Byte");
    add("ButtonOpt", K::Button, "TabSheetPrg", 190, 212, 140, 28, "Set Option Byte").setVisible(false);
    add("ChkBoxNVM", K::CheckBox, "TabSheetPrg", 8, 244, 160, 22, "擦写数据区");
    add("ButtonLdCFG", K::Button, "TabSheetPrg", 190, 240, 140, 28, "Load Config Data");
    Control& wdt = add("ChkBoxEnWDT", K::CheckBox, "TabSheetPrg", 168, 144, 160, 22, "Enable WatchDog");
    wdt.setVisible(false);
    add("ChkBoxAuto", K::CheckBox, "TabSheetPrg", 168, 168, 160, 22, "自动芯片检测");
    Control& fs = add("ChkBoxDpFS", K::CheckBox, "TabSheetPrg", 190, 270, 140, 22, "显示文件校验和");
    fs.setChecked(true);
    fs.setVisible(false);

    add("LabelIn", K::Label, "TabSheetTime", 8, 10, 200, 22, "芯片插入检测延时(ms)：");
    spin(*this, "SpinEditIn", "TabSheetTime", 220, 8, kInsertMsRange, 30).setEnabled(false);
    add("LabelOut", K::Label, "TabSheetTime", 8, 42, 200, 22, "芯片移除检测延时(ms)：");
    spin(*this, "SpinEditOut", "TabSheetTime", 220, 40, kRemoveMsRange, 30).setEnabled(false);
    add("LabelVddTim", K::Label, "TabSheetTime", 8, 74, 200, 22, "上电稳定时间(ms)：");
    spin(*this, "SpinEditVddTim", "TabSheetTime", 220, 72, kPowerUpMsRange, 10);
    add("LabelPwdTim", K::Label, "TabSheetTime", 8, 106, 200, 22, "掉电稳定时间(ms)：");
    spin(*this, "SpinEditPwdTim", "TabSheetTime", 220, 104, kPowerDownMsRange, 10);
    add("LabelRTM", K::Label, "TabSheetTime", 8, 138, 200, 22, "运行时间 Run and then Shut(ms)：");
    spin(*this, "SpinEditRTM", "TabSheetTime", 220, 136, kRunTimeMsRange, 10);
    add("CheckBoxCtrl", K::CheckBox, "TabSheetTime", 8, 172, 200, 22, "限制烧写总数");
    Control& num = spin(*this, "SpinEditNum", "TabSheetTime", 220, 170, kCountLimitRange, 100);
    num.setGeometry(220, 170, 110, 24);
    num.setEnabled(false);

    add("CheckBoxSN", K::CheckBox, "TabSheetSN", 8, 6, 200, 22, "添加序列号功能").setHint("序列号只存储于Flash区域！");
    add("LabelSN1", K::Label, "TabSheetSN", 8, 38, 120, 22, "序列号1初值：");
    Control& sn = add("SNEdit1", K::Edit, "TabSheetSN", 130, 36, 120, 24);
    sn.setMaxLength(10);
    sn.setText("0x00000000");
    sn.setEnabled(false);
    add("LabelGain", K::Label, "TabSheetSN", 8, 70, 120, 22, "序列号增量：");
    Control& gain = add("GainEdit", K::Edit, "TabSheetSN", 130, 68, 120, 24);
    gain.setMaxLength(4);
    gain.setText("0x01");
    gain.setEnabled(false);
    add("LabelAddr", K::Label, "TabSheetSN", 8, 102, 120, 22, "序列号地址：");
    Control& addr = add("AddrEdit", K::Edit, "TabSheetSN", 130, 100, 120, 24);
    addr.setMaxLength(10);
    addr.setText("0x0000FFF0");
    addr.setEnabled(false);
    Control& order = add("SNOrderChk", K::CheckBox, "TabSheetSN", 8, 134, 200, 22, "大端模式(Big Endian)");
    order.setChecked(true);
    order.setEnabled(false);
    add("ChkBoxPCSN", K::CheckBox, "TabSheetSN", 8, 160, 200, 22, "允许联机序列号").setEnabled(false);
    add("ChkBoxSNDP", K::CheckBox, "TabSheetSN", 8, 186, 200, 22, "序列号十进制显示");
    add("ButtonCfgSN", K::Button, "TabSheetSN", 8, 220, 200, 30, "设置固定SN初始数据");

    // Information log, device panel and gauges.
    Control& panel = add("InfoPanel", K::Panel, "ChipSett", 360, 6, 472, 26, "Device = ??????");
    panel.setColor(kRed);
    Control& memo = add("InfoMemo", K::Memo, "ChipSett", 360, 35, 472, 356);
    memo.setReadOnly(true);
    memo.setColor(kBlue);
    add("PopupMenu2", K::PopupMenu, "InfoMemo", 0, 0, 0, 0);
    add("ClearInformation1", K::MenuItem, "PopupMenu2", 0, 0, 0, 0, "Clear Information");
    add("CopytoCli1", K::MenuItem, "PopupMenu2", 0, 0, 0, 0, "Copy Information");
    for (int i = 1; i <= 8; ++i) {
        Control& g = add(format("Gauge%d", i), K::Gauge, "ChipSett", 358, kGaugeTops[i - 1], 476, 18);
        g.setRange(0, 100);
        g.setValue(0);
        g.setEnabled(false);
        g.setColor(kBlue);
    }

    // Hex views.
    Control& hex = add("HexViewer", K::Grid, "TabSheetFlash", 0, 0, 838, 470);
    hex.setColor(Rgb{0, 0, 128});  // navy
    Control& eep = add("EEPDataView", K::Grid, "TabSheetEEP", 0, 0, 838, 470);
    eep.setColor(Rgb{0, 128, 0});  // green
    add("PopupMenuOTP", K::PopupMenu, "EEPDataView", 0, 0, 0, 0);
    add("LoadFileOTP", K::MenuItem, "PopupMenuOTP", 0, 0, 0, 0, "Load From File");
    add("SaveBuffer1", K::MenuItem, "PopupMenuOTP", 0, 0, 0, 0, "Save to File");

    // Button panel.
    add("PanelBtns", K::Panel, "", 0, 500, 846, 52);
    struct Btn {
        const char* name;
        const char* caption;
        const char* hint;
    };
    const Btn btns[] = {
        {"SpdBtnOpen", "&加载数据", "加载目标文件"},
        {"SpdBtnLoadMore", "加载更多数据", "加载更多的目标文件数据"},
        {"SpdBtnLdPrj", "打开工程", "加载工程文件"},
        {"SpdBtnDownLoad", "下载", "下载目标程序到编程器的FLASH中"},
        {"AutoSpdBtn", "自动", "编程、校验并写入Option Bytes"},
        {"SpdBtnBlankChk", "查空", "目标MCU Flash查空"},
        {"SpdBtnErase", "擦除", "在线擦除目标MCU Flash"},
        {"SpdBtnProg", "编程", "将目标代码写入到MCU的Flash中"},
        {"SpdBtnVerify", "校验", "编程数据的校验"},
        {"SpdBtnWrtOPB", "写Option Byte", "Option Bytes的写入"},
        {"SpdBtnExit", "退出", "退出程序"},
    };
    int x = 4;
    for (const Btn& b : btns) {
        int w = std::string(b.name) == "SpdBtnWrtOPB" || std::string(b.name) == "SpdBtnLoadMore" ? 92 : 66;
        add(b.name, K::SpeedButton, "PanelBtns", x, 6, w, 40, b.caption).setHint(b.hint);
        x += w + 4;
    }

    Control& status = add("StatusBarX", K::StatusBar, "", 0, 552, 846, 19);
    status.setItems({"文件校验和：", "芯片校验和：", ""});
}

}  // namespace kvx
