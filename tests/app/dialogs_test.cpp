// The main form's chip selection and dialogs, driven through their controls
// with scripted prompts, without ports.
#include "app/korvex_app.h"
#include "chip/catalogue.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace kvx;

namespace {
struct Rig {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{3};
    KorvexApp app{loop, prompts, clock, rng};
    std::string dir;
    Rig() {
        char t[] = "/tmp/kvx-app.XXXXXX";
        dir = mkdtemp(t);
        app.programFolder = dir + "/";
        clock.time = LocalTime{2021, 5, 12, 9, 5, 33, 0};
    }
    ~Rig() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Chooses a catalogue entry through the chip dialog.
    void choose(ChipVendor v, int index) {
        app.engine.chip.vendor = v;
        prompts.modalScript = [index](Form& f) {
            if (f.className() != "TChipSelForm") return;
            f["ListBoxCP"].setItemIndex(index);
            f["BitBtnOK"].click();
        };
        app.DevButtonClick();
        prompts.modalScript = nullptr;
    }
    Control& ui(const char* n) { return app.ui[n]; }
};
}  // namespace

struct ChipCase {
    ChipVendor vendor;
    int index;
    const char* label;
    bool optVisible, optChecked, nvmVisible, ropVisible, wdtVisible, ldCfgVisible, readOptVisible;
    int volt;
    const char* nvmCaption;
    const char* caption;
};

TEST(ChipSelection, ControlsFollowTheVendor) {
    const ChipCase cases[] = {
        {ChipVendor::LKS, 0, "32K,EEP=1024B", true, false, true, true, false, false, false, 0, "擦写数据区",
         "Korvex200SC Programmer Wizard"},
        {ChipVendor::CPT, 0, "32K,EEP=0B", true, true, false, false, true, false, true, 1, "擦写数据区",
         "Korvex200SC Programmer Wizard"},
        {ChipVendor::CPT, 6, "32K,EEP=0B", true, true, false, false, false, false, true, 1, "擦写数据区",
         "Korvex200SC Programmer Wizard"},
        {ChipVendor::FG, 1, "64K,EEP=0B", true, true, false, true, false, false, true, 0, "擦写数据区",
         "Korvex200SC Programmer Wizard"},
        {ChipVendor::SC, 4, "64K,EEP=512B", false, false, true, false, false, true, true, 1, "擦写NVM数据",
         "Korvex200SC Programmer Wizard"},
    };
    for (const ChipCase& c : cases) {
        Rig r;
        r.app.FormShow({});
        r.choose(c.vendor, c.index);
        std::string name = chipNames(c.vendor)[static_cast<size_t>(c.index)];
        SCOPED_TRACE(name);
        EXPECT_EQ(r.ui("MCUNameEdit").text(), name);
        EXPECT_EQ(r.ui("lbFlashSize").caption(), c.label);
        EXPECT_EQ(r.ui("CheckBoxOpt").visible(), c.optVisible);
        EXPECT_EQ(r.ui("CheckBoxOpt").checked(), c.optChecked);
        EXPECT_EQ(r.ui("ChkBoxNVM").visible(), c.nvmVisible);
        EXPECT_EQ(r.ui("ChkBoxEnROP").visible(), c.ropVisible);
        EXPECT_EQ(r.ui("ChkBoxEnWDT").visible(), c.wdtVisible);
        EXPECT_EQ(r.ui("ButtonLdCFG").visible(), c.ldCfgVisible);
        EXPECT_EQ(r.ui("ButtonOpt").visible(), c.vendor == ChipVendor::CPT);
        EXPECT_EQ(r.ui("ReadOptionByte1").visible(), c.readOptVisible);
        EXPECT_EQ(r.ui("RadioGpVolt").itemIndex(), c.volt);
        EXPECT_EQ(r.ui("ChkBoxNVM").caption(), c.nvmCaption);
        EXPECT_EQ(r.app.ui.caption(), c.caption);
        EXPECT_TRUE(r.app.log.line(r.app.log.size() - 1).find("Chip \"" + name + "\" has been selected!") !=
                    std::string::npos);
    }
}

TEST(ChipSelection, SameChipAgainOrNoKeepsTheLoadedFile) {
    Rig r;
    r.app.FormShow({});
    r.choose(ChipVendor::SC, 0);
    r.app.engine.fileLoaded = true;
    r.choose(ChipVendor::SC, 0);  // the name does not change: nothing runs
    EXPECT_TRUE(r.app.engine.fileLoaded);
    r.prompts.modalScript = [](Form& f) { f["BitBtnNO"].click(); };
    r.app.DevButtonClick();
    EXPECT_TRUE(r.app.engine.fileLoaded);
    EXPECT_EQ(r.app.engine.chip.chipName, "SC32F5232JV1G");
    r.choose(ChipVendor::SC, 36);
    EXPECT_FALSE(r.app.engine.fileLoaded);
    EXPECT_EQ(r.app.engine.chip.flashLast, 0x0001FFFFu);
    EXPECT_EQ(r.app.engine.job.jobFlags[5], 0x00);
}

TEST(OptionEditor, BitsComplementsCancelAndLines) {
    Rig r;
    r.app.FormShow({});
    r.choose(ChipVendor::CPT, 0);
    uint8_t* nvm = r.app.engine.image->NvmBuffer();
    std::fill(nvm, nvm + 256, 0xFF);
    nvm[10] = nvm[11] = nvm[14] = nvm[15] = 0x00;
    // WRP0 bit 3 to "0", then OK.
    r.prompts.modalScript = [](Form& f) {
        auto& d = static_cast<TCfgCPTxOptForm&>(f);
        d["PnlP0B3"].click();
        d["N03"].click();
        EXPECT_EQ(d["GD32xOptWP0"].caption(), "0xF7");
        EXPECT_EQ(d["PnlP0B3"].caption(), "Bit3=0");
        d["BitBtnOK"].click();
    };
    r.app.ui["ButtonOpt"].click();
    EXPECT_EQ(r.app.engine.image->OptionBytesBuffer()[8], 0xF7);
    EXPECT_EQ(r.app.engine.image->OptionBytesBuffer()[10], 0x08);
    EXPECT_EQ(nvm[8], 0xF7);  // back into the NVM data for a CPT chip
    EXPECT_EQ(r.app.optionForm.caption(), "CPT2816QN24-A1 Option Byte Setup");
    EXPECT_EQ(r.app.log.line(r.app.log.size() - 2), "> 9:05:33 Option Byte Setting: F7 FF FF FF ");
    EXPECT_EQ(r.app.log.line(r.app.log.size() - 1), "> 9:05:33 Option Byte Buffer: F7 FF 08 00 FF FF 00 00 ");
    // Clear All and Cancel: everything as it was when shown, NVM unchanged.
    r.prompts.modalScript = [](Form& f) {
        f["ButtonA0"].click();
        EXPECT_EQ(f["GD32xOptWP2"].caption(), "0x00");
        f["BitBtnNG"].click();
    };
    r.app.ui["ButtonOpt"].click();
    EXPECT_EQ(nvm[8], 0xF7);
    EXPECT_EQ(nvm[12], 0xFF);
    EXPECT_EQ(r.app.log.line(r.app.log.size() - 1), "> 9:05:33 Option Byte Buffer: F7 FF 08 00 FF FF 00 00 ");
    // Clear All to 0 and OK.
    r.prompts.modalScript = [](Form& f) {
        f["ButtonA0"].click();
        f["BitBtnOK"].click();
    };
    r.app.ui["ButtonOpt"].click();
    EXPECT_EQ(r.app.log.line(r.app.log.size() - 2), "> 9:05:33 Option Byte Setting: 00 00 00 00 ");
    EXPECT_EQ(r.app.log.line(r.app.log.size() - 1), "> 9:05:33 Option Byte Buffer: 00 00 FF FF 00 00 FF FF ");
}

TEST(SerialNumbers, DisplayFormsAndFixedData) {
    Rig r;
    r.app.FormShow({});
    r.ui("CheckBoxSN").click();
    EXPECT_TRUE(r.ui("SNEdit1").enabled());
    EXPECT_EQ(r.app.captureJobSettings()->snEnable, 0x0F);
    r.ui("SNEdit1").setText("0x0000FFFF");
    r.ui("ChkBoxSNDP").click();
    EXPECT_EQ(r.ui("SNEdit1").text(), "65535");
    r.ui("ChkBoxSNDP").click();
    EXPECT_EQ(r.ui("SNEdit1").text(), "0x0000FFFF");
    r.ui("SNEdit1").setText("x?");
    r.ui("ChkBoxSNDP").click();  // not a number: shown, text left as it is
    EXPECT_EQ(r.ui("SNEdit1").text(), "x?");
    EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::Warning), 1u);

    // The fixed data dialog needs a chip and a file.
    r.ui("ButtonCfgSN").click();
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Warning).back(), "请先选择芯片并加载数据文件！");
    r.choose(ChipVendor::SC, 0);
    r.app.engine.fileLoaded = true;
    struct DataCase {
        int format;
        const char* text;
        uint32_t addrOffset;
        std::vector<uint8_t> bytes;
    } cases[] = {{0, "ab1", 0x10, {0x41, 0x42, 0x31}}, {1, "12 34 ", 0x20, {0x12, 0x34}}, {1, "1G 1234", 0x30, {0x10, 0x34}}};
    for (auto& c : cases) {
        r.prompts.modalScript = [&](Form& f) {
            f["RadioGroupFM"].setItemIndex(c.format);
            f["AddrEditSN"].setText(format("0x%0.8x", c.addrOffset));
            f["EditDataSN"].setText(c.text);
            f["BitBtnOK"].click();
        };
        r.ui("ButtonCfgSN").click();
        for (size_t k = 0; k < c.bytes.size(); ++k)
            EXPECT_EQ(r.app.engine.image->ImageBuffer[c.addrOffset + k], c.bytes[k]) << c.text << " " << k;
    }
    // Empty data: the message, nothing written, the dialog stays.
    r.prompts.modalScript = [&](Form& f) {
        f["EditDataSN"].setText("");
        f["BitBtnOK"].click();
        EXPECT_FALSE(f.closeRequested());
        f.close(Form::Cancel);
    };
    r.ui("ButtonCfgSN").click();
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Message).back(), "请输入有效的序列号数据!");
    // The EEP area choice shows nvmFirst and writes the NVM data there.
    r.prompts.modalScript = [&](Form& f) {
        f["RadioGrpSN"].setItemIndex(1);
        EXPECT_EQ(f["AddrEditSN"].text(), "0x00000000");
        f["AddrEditSN"].setText("0x10");
        f["RadioGroupFM"].setItemIndex(1);
        f["EditDataSN"].setText("AA BB");
        f["BitBtnOK"].click();
    };
    r.ui("ButtonCfgSN").click();
    EXPECT_EQ(r.app.engine.image->NvmBuffer()[0x10], 0xAA);
    EXPECT_EQ(r.app.engine.image->NvmBuffer()[0x11], 0xBB);
}

TEST(SerialNumbers, IncrementSurvivesAProjectRoundTrip) {
    // Whatever the 4-character increment edit can hold comes back from a
    // project file as the same 16-bit increment.
    struct Case {
        const char* typed;
        uint16_t want;
    };
    const Case cases[] = {{"0x01", 0x01}, {"0xFF", 0xFF}, {"256", 0x100}, {"9999", 9999}, {"$FFF", 0xFFF},
                          {"-1", 0xFFFF}, {"-999", 0xFC19}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Rig r;
        r.app.FormShow({});
        r.choose(ChipVendor::SC, 0);
        r.app.engine.fileLoaded = true;
        r.ui("CheckBoxSN").click();
        r.ui("GainEdit").setText(c.typed);
        const std::string prj = r.dir + "/sn.pmw";
        r.prompts.saveAnswers.push_back(FileChoice{prj, 1});
        r.app.SavetoProjectFile1Click();
        ASSERT_EQ(r.app.engine.job.snIncrement, c.want);
        r.ui("GainEdit").setText("0x01");
        ASSERT_TRUE(r.app.loadProject(prj));
        EXPECT_EQ(r.app.captureJobSettings()->snIncrement, c.want) << r.ui("GainEdit").text();
    }
}

TEST(JobCapture, CountLimitAndConversionErrors) {
    Rig r;
    r.app.FormShow({});
    // A count limit of 0 unchecks its box, whose click disables the count.
    r.ui("CheckBoxCtrl").setChecked(true);
    EXPECT_TRUE(r.ui("SpinEditNum").enabled());
    ASSERT_TRUE(r.app.captureJobSettings());
    EXPECT_FALSE(r.ui("CheckBoxCtrl").checked());
    EXPECT_FALSE(r.ui("SpinEditNum").enabled());
    EXPECT_EQ(r.app.captureJobSettings()->countLimitEnable, 0x00);

    // A number edit that is not a number is shown, and the job stays as it was.
    const JobSettings before = r.app.engine.job;
    r.ui("SNEdit1").setText("zz");
    r.prompts.records.clear();
    EXPECT_FALSE(r.app.captureJobSettings());
    ASSERT_FALSE(r.prompts.records.empty());
    EXPECT_EQ(r.prompts.records.back().kind, ScriptedPrompts::Kind::Warning);
    r.ui("ReadChipMemory1").click();
    EXPECT_EQ(r.app.engine.job.snStart, before.snStart);
    EXPECT_EQ(r.app.engine.job.snIncrement, before.snIncrement);
}

TEST(AddressDialogs, OffsetAndReadRange) {
    Rig r;
    r.app.FormShow({});
    r.choose(ChipVendor::CPT, 0);  // flash 0x08000000 .. 0x08007FFF
    auto& ofs = r.app.ofsAddrForm;
    struct OfsCase {
        const char* text;
        bool accepted;
        uint32_t offset;
    } cases[] = {{"0x08000000", true, 0}, {"0x08004000", true, 0x4000}, {"$8000010", true, 0x10},
                 {"0x07FFFFFF", false, 0}, {"0x08008000", false, 0},       {"abc", false, 0}};
    for (auto& c : cases) {
        r.app.engine.image->binOffset = 0;
        r.prompts.modalScript = [&](Form& f) {
            EXPECT_EQ(f["EditOfsAddr"].text(), "0x08000000");
            f["EditOfsAddr"].setText(c.text);
            f["BitBtn1"].click();
            if (!f.closeRequested()) f.close(Form::Cancel);
        };
        EXPECT_EQ(r.prompts.showModal(ofs), c.accepted) << c.text;
        if (c.accepted) {
            EXPECT_EQ(r.app.engine.image->binOffset, c.offset) << c.text;
        }
    }
    // Read address: rounded down to 16, length held in 16..4096.
    uint32_t address = 0;
    uint16_t length = 0;
    TSetAddressForm dlg(r.prompts, address, length);
    struct ReadCase {
        const char* addr;
        int64_t len;
        uint32_t wantAddr;
        uint16_t wantLen;
    } reads[] = {{"0x08000123", 5000, 0x08000120, 4096}, {"100", 8, 96, 16}, {"zz", 64, 96, 16}};
    for (auto& c : reads) {
        r.prompts.modalScript = [&](Form& f) {
            f["EditAddr"].setText(c.addr);
            f["SpinEditRD"].setValue(c.len);
            f["BitBtnOK"].click();
        };
        r.prompts.showModal(dlg);
        EXPECT_EQ(address, c.wantAddr) << c.addr;
        EXPECT_EQ(length, c.wantLen) << c.addr;
    }
}

TEST(LogConfiguration, DialogRulesAndFileRoundTrip) {
    Rig r;
    {
        std::ofstream f(r.dir + "/ZirIvoD.cfg", std::ios::binary);
        f << "[ConfigLog]\r\nDnLog\r\nCustomer\r\nCusDef2\r\nSpcFile=D:\\logs\\line1.txt\r\n[EndCfg]\r\n";
    }
    r.app.FormShow({});
    auto& d = r.app.logForm;
    EXPECT_FALSE(d["CheckBoxLog"].checked());
    EXPECT_EQ(d["RadioGrpCreat"].itemIndex(), 1);
    EXPECT_EQ(d["RadioGrpMod"].itemIndex(), 2);
    EXPECT_EQ(d["EditLogName"].text(), "D:\\logs\\line1.txt");
    // An empty user name keeps the dialog open with the message; closing writes the file.
    r.prompts.modalScript = [](Form& f) {
        f["CheckBoxLog"].click();
        f["EditLogName"].setText("");
        f["OK"].click();
        EXPECT_FALSE(f.closeRequested());
        f["RadioGrpCreat"].setItemIndex(0);
        EXPECT_FALSE(f["EditLogName"].enabled());
        EXPECT_EQ(f["RadioGrpMod"].itemIndex(), 0);
        f["OK"].click();
    };
    r.app.ui["ConfigLogFile1"].click();
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Message).back(), "请输入有效的Log文件名称！");
    std::ifstream f(r.dir + "/ZirIvoD.cfg", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[ConfigLog]\r\nEnLog\r\nSystem\r\n[EndCfg]\r\n");
    // The run log at shut-down goes to ZEZuLogS with the time-stamped name.
    for (int i = 0; i < 8; ++i) r.app.AppendInfoLine("line");
    r.app.FormClose();
    EXPECT_TRUE(std::filesystem::exists(r.dir + "/ZEZuLogS/ZEZu_2021_05_12_09_05_33.log"));
}
