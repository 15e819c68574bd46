#include "engine_rig.h"
#include "shell/text.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace kvx;
using kvx::test::EngineRig;

TEST(ResultMessages, Table) {
    struct Case {
        uint8_t code;
        const char* text;
    } cases[] = {
        {0x00, "操作成功！"},        {0x06, "操作成功！"},           {0x04, "芯片未擦除！"},
        {0x0B, "芯片没有响应！"},    {0x10, "芯片已被写保护！"},     {0x13, "芯片已被读保护！"},
        {0x23, "数据包校验错误！"},  {0x25, "不认识的命令！"},       {0x2A, "数据包错误！"},
        {0x2C, "Flash Memory错误！"}, {0x2D, "写EEP/OTP数据错误！"}, {0x31, "数据校验错误！"},
        {0x34, "芯片校验和不正确！"}, {0x36, "芯片类型不正确！"},    {0x38, "芯片厂家型号不正确！"},
        {0x40, "命令执行超时！"},    {0x45, "命令执行错误！"},       {0x47, "写序列好数据错误！"},
        {0x4F, "写Option Byte出错！"}, {0x51, "Flash的大小与芯片不匹配"}, {0x55, "地址空间超出芯片范围！"},
        {0x5A, "非法操作，芯片可能被保护！"}, {0x60, "初始化编程接口错误！"}, {0xE0, "串口通讯错误！"},
        {0x99, "操作失败！错误代码: 0153(0x99)！"}, {0x20, "操作失败！错误代码: 032(0x20)！"},
    };
    for (auto& c : cases) EXPECT_EQ(Program::resultMessage(c.code), c.text) << int(c.code);
}

TEST(Reporting, AReplyEndsTheOperationWithItsColourLineAndBeep) {
    struct Case {
        const char* what;
        Operation op;
        uint8_t code;
        int64_t max;  // the gauge: 2000 ticks of the erase, or the flash's 64 KB
        Rgb colour;
        int beeps;
        const char* line;
    } cases[] = {
        {"erase done", Operation::Erase, 0x00, 2000, kBlue, 0, "擦除芯片操作成功！"},
        {"erase failed", Operation::Erase, 0x45, 2000, kRed, 0, "命令执行错误！"},
        {"a read-back answered with 0x06", Operation::ReadFlash, 0x06, 64, kRed, 1, "操作成功！"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig r;
        r.chooseChip(64);
        r.connect(0);
        ASSERT_TRUE(r.p.start(c.op, {}));
        EXPECT_TRUE(r.p.channelState(0).busy);
        EXPECT_EQ(r.ui.gauge(1).progress(), 2);
        EXPECT_EQ(r.ui.gauge(1).maxValue(), c.max);
        r.result(0, c.code);
        EXPECT_FALSE(r.p.channelState(0).busy);
        EXPECT_EQ(r.p.channelState(0).step, StepIdle);
        EXPECT_EQ(r.ui.gauge(1).color(), c.colour);
        EXPECT_EQ(r.ui.gauge(1).progress(), c.max);
        EXPECT_EQ(r.prompts.beeps, c.beeps);
        EXPECT_EQ(r.lastLine(), std::string("> 14:03:07 Channel 1: ") + c.line);
    }
}

TEST(Reporting, TimedStepsMoveWithTheClockBlockStepsWithTheBlocks) {
    EngineRig r;
    r.chooseChip(128, true);
    r.connect(0);
    r.p.start(Operation::Erase, {});
    EXPECT_EQ(r.ui.gauge(1).maxValue(), 2000);
    for (int t = 0; t < 10; ++t) r.p.Timer1Timer();
    EXPECT_EQ(r.ui.gauge(1).progress(), 12);
    r.result(0, 0x00);
    r.p.start(Operation::Program, {});
    EXPECT_EQ(r.ui.gauge(1).maxValue(), 128);
    for (int t = 0; t < 10; ++t) r.p.Timer1Timer();
    EXPECT_EQ(r.ui.gauge(1).progress(), 2);
    r.result(0, 0x00);  // a 4 KB block programmed
    EXPECT_EQ(r.ui.gauge(1).progress(), 5);
}

TEST(OfflineStatus, StagesLinesAndGauge) {
    EngineRig r;
    r.statusFrame(0, 0x20, 0, 0, 0);
    EXPECT_EQ(r.lastLine(), "> 14:03:07 Channel 1: Chip Blank Checking....");
    EXPECT_EQ(r.ui.gauge(1).progress(), 50);
    EXPECT_EQ(r.ui.gauge(1).maxValue(), 100);
    size_t lines = r.log.size();
    r.statusFrame(0, 0x30, 0, 0, 0, -1);  // bad check byte: ignored
    EXPECT_EQ(r.log.size(), lines);
    // Stage 0x40 writes its line once, then only moves the gauge.
    for (uint16_t p = 0; p < 5; ++p) {
        r.statusFrame(1, 0x40, 0, p, 32);
        EXPECT_EQ(r.ui.gauge(2).progress(), p + 2);
        EXPECT_EQ(r.ui.gauge(2).maxValue(), 32);
    }
    EXPECT_EQ(r.log.size(), lines + 1);
    EXPECT_EQ(r.lastLine(), "> 14:03:07 Channel 2: Do Main Flash Programming....");
    // An unknown stage does nothing.
    r.statusFrame(1, 0x60, 0, 0, 0);
    EXPECT_EQ(r.log.size(), lines + 1);
    // Frames with a good check byte are counted, the damaged one is not.
    EXPECT_EQ(r.p.channelCounts(0).statusFrames, 1u);
    EXPECT_EQ(r.p.channelCounts(1).statusFrames, 6u);
}

TEST(OfflineStatus, FinishedChipsAreCountedAndSummarised) {
    EngineRig r;
    int saves = 0;
    r.p.saveProductionLogHook = [&] { ++saves; };
    r.statusFrame(0, 0xF0, 0x06, 0, 0);
    r.statusFrame(1, 0xF0, 0x34, 0, 0);
    EXPECT_EQ(r.p.channelCounts(0).ok, 1);
    EXPECT_EQ(r.p.channelCounts(1).ng, 1);
    EXPECT_EQ(r.ui.gauge(2).color(), kRed);
    size_t n = r.log.size();
    EXPECT_EQ(r.log.line(n - 6), "> 14:03:07 Channel 1: Progrmming Completed : Successed !");
    EXPECT_EQ(r.log.line(n - 5), "> 14:03:07 Channel 1: OK=1, NG=0.");
    EXPECT_EQ(r.log.line(n - 4), ">---------- Total OK Number is : 1, NG is 0 ----------");
    EXPECT_EQ(r.log.line(n - 3), "> 14:03:07 Channel 2: Progrmming Completed : Failed : Error=0x34!");
    EXPECT_EQ(r.log.line(n - 1), ">---------- Total OK Number is : 1, NG is 1 ----------");
    // The 2000th summary saves the log; the 2001st does not.
    for (int i = 2; i < 1999; ++i) r.statusFrame(0, 0xF0, 0x06, 0, 0);
    EXPECT_EQ(saves, 0);  // 1999 summaries
    r.statusFrame(0, 0xF0, 0x06, 0, 0);
    EXPECT_EQ(saves, 1);  // the 2000th
    r.statusFrame(0, 0xF0, 0x06, 0, 0);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(r.p.offlineOk(), 2000);
    EXPECT_EQ(r.p.offlineNg(), 1);
}

TEST(Watchdog, TimesOutBusyChannelsWithTheirText) {
    EngineRig r;
    std::vector<ChannelFinished> results;
    r.p.listeners.push_back([&](const EngineEvent& e) {
        if (auto* f = std::get_if<ChannelFinished>(&e)) results.push_back(*f);
    });
    r.chooseChip(64, true);
    // Channel 1 erases in an automatic run (2000 ticks); channel 2 downloads
    // its job (500 ticks).
    r.connect(0);
    r.p.start(Operation::Auto, {});
    r.result(0, kResultNotBlank);
    EXPECT_EQ(r.p.channelState(0).step, StepErase);
    r.connect(1);
    r.p.start(Operation::Download, {});
    EXPECT_EQ(r.p.channelState(1).step, StepDownloadJob);
    for (int t = 0; t < 500; ++t) r.p.Timer1Timer();
    EXPECT_TRUE(r.p.channelState(1).busy);
    EXPECT_EQ(r.ui.gauge(2).progress(), 500);  // full when the timeout would strike
    r.p.Timer1Timer();
    EXPECT_FALSE(r.p.channelState(1).busy);
    EXPECT_EQ(r.lastLine(), "> 14:03:07 编程器 2 ：操作超时！");
    EXPECT_EQ(r.ui.gauge(2).color(), kRed);
    for (int t = 0; t < 1000; ++t) r.p.Timer1Timer();
    EXPECT_TRUE(r.p.channelState(0).busy);
    r.p.receiveData(0, reinterpret_cast<const uint8_t*>("\xFF"), 1);  // a chunk restores 1000 ticks
    for (int t = 0; t < 1000; ++t) r.p.Timer1Timer();
    EXPECT_TRUE(r.p.channelState(0).busy);
    r.p.Timer1Timer();
    EXPECT_FALSE(r.p.channelState(0).busy);
    EXPECT_EQ(r.lastLine(), "> 14:03:07 芯片 1 ：操作超时！");
    // The result says what a record needs, timed by the engine's clock.
    ASSERT_EQ(results.size(), 2u);  // channels 2 and 1
    const ChannelFinished& e = results[1];
    EXPECT_EQ(e.channel, 1);
    EXPECT_EQ(e.timeMs, r.clock.epochMs());
    EXPECT_EQ(e.startedMs, r.clock.epochMs());
    EXPECT_EQ(e.operation, "auto");
    EXPECT_EQ(e.unit.unitNumber, 1);
    EXPECT_EQ(e.job.chip, "SC32F5232JV1G");
    ASSERT_TRUE(e.job.fileChecksum);
    EXPECT_EQ(*e.job.fileChecksum, r.p.image->fileChecksum);
    EXPECT_EQ(results[0].operation, "download");
    EXPECT_EQ(results[0].code, -1);
    EXPECT_EQ(results[0].message, "编程器 2 ：操作超时！");
}

TEST(JobSettings, OptionEncodings) {
    JobSettings base;
    base.jobFlags = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x5A};
    JobOptions o;
    o.insertMs = 510;
    o.removeMs = 500;
    o.powerUpMs = 2000;
    o.powerDownMs = 10;
    o.powerOffAfter = false;
    o.reset = 2;
    o.runAfter = true;
    o.fastSpeed = false;
    o.chipNameText = "LKS32MC081C8T8";
    JobSettings j = jobSettingsOf(o, base, ChipVendor::LKS);
    EXPECT_EQ(j.insertSettle, 17);
    EXPECT_EQ(j.removeSettle, 16);
    EXPECT_EQ(j.powerUpSettle, 200);
    EXPECT_EQ(j.powerDownSettle, 1);
    EXPECT_EQ(j.jobFlags[0], 0x0C | 0x40 | 0x10 | 0x80);  // chip bits kept, slow clock, checksum shown
    EXPECT_EQ(j.jobFlags[1] & 0x03, 0);                   // 3.3 V clears bits 0 and 1
    EXPECT_EQ(j.jobFlags[2], 0x16);
    EXPECT_EQ(j.jobFlags[3] & 0x13, 0);                   // NVM and watchdog unchecked: cleared
    EXPECT_EQ(j.jobFlags[3] & 0xEC, 0xEC);                // chip bits kept
    EXPECT_EQ(j.jobFlags[4] & 0x81, 0);                   // read protection unchecked: cleared
    EXPECT_EQ(j.jobFlags[5], 0x5A);
    EXPECT_EQ(j.chipNameText, "LKS32MC081C8T8");
    o.voltage5V = true;
    base.jobFlags[1] = 0x02;
    EXPECT_EQ(jobSettingsOf(o, base, ChipVendor::LKS).jobFlags[1], 0x03);  // 5.0 V sets bit 0 only
    // The option write follows the NVM box on SC chips, the option box elsewhere.
    o.nvmArea = true;
    o.optionBytes = false;
    EXPECT_TRUE(jobSettingsOf(o, base, ChipVendor::SC).writeOptionAfter);
    EXPECT_FALSE(jobSettingsOf(o, base, ChipVendor::CPT).writeOptionAfter);
}

// A unit's information text read into the fields a record keeps.
TEST(UnitText, ModelFirmwareAndNumber) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"Korvex200RTQ V2.10, Unit 3", "V2.10", 3}, {"Korvex200RTQ V2.10, Unit1", "V2.10", 1},
        {"Korvex200RTQ Unit12", "", 12},            {"Korvex200RTQ V2.10, Units 4", "V2.10", 0},
        {"Korvex200RTQ V2.10, Unit+4", "V2.10", 0},
    };
    for (const auto& [text, firmware, unitNumber] : cases) {
        const UnitIdentity u = parseUnitText(text);
        EXPECT_EQ(std::tie(u.model, u.firmware, u.unitNumber), std::make_tuple("Korvex200RTQ", firmware, unitNumber)) << text;
    }
}
