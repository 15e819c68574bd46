#include "app/korvex_app.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

using namespace kvx;

namespace {
struct Rig {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    FixedClock clock;
    SeededRandom rng{7};
    KorvexApp app{loop, prompts, clock, rng};
    Rig() { clock.time = LocalTime{2024, 3, 9, 14, 3, 7, 0}; }
};
}  // namespace

TEST(InformationLog, PlainLineHasTimeThenText) {
    Rig r;
    r.app.AppendInfoLine("File \"a.hex\" has been loaded!");
    r.app.info.channelLine("开始下载数据......", 1);
    EXPECT_EQ(r.app.log.line(0), "> 14:03:07 File \"a.hex\" has been loaded!");
    EXPECT_EQ(r.app.log.line(1), "> 14:03:07 Channel 1: 开始下载数据......");
    r.clock.time.hour = 9;
    r.clock.time.minute = 5;
    r.clock.time.second = 33;
    r.app.AppendInfoLine("x");
    EXPECT_EQ(r.app.log.line(2), "> 9:05:33 x");
}

TEST(InformationLog, ClearAndCopy) {
    Rig r;
    r.app.AppendInfoLine("a");
    r.app.ui["ClearInformation1"].click();
    EXPECT_EQ(r.app.log.size(), 0u);
    r.app.AppendInfoLine("b");
    EXPECT_EQ(r.app.log.line(0), "> 14:03:07 b");
    r.app.CopytoCli1Click("> 14:03:07 b");
    EXPECT_EQ(r.prompts.clipboard, "> 14:03:07 b");
}

TEST(InformationLog, AppendStaysFastAtAMillionLines) {
    Rig r;
    for (int i = 0; i < 999000; ++i) r.app.AppendInfoLine("Channel 1: Do Main Flash Programming....");
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) r.app.AppendInfoLine("Channel 1: Do Main Flash Programming....");
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.app.log.size(), 1000000u);
    double perAppendUs = static_cast<double>(ns) / 1000.0 / 1000.0;
    std::printf("[ info ] %.3f us per AppendInfoLine at 1 000 000 lines\n", perAppendUs);
}

TEST(Shell, SpaceOrEnterRunsAutoAndAboutIsModal) {
    Rig r;
    r.app.FormKeyPress(' ');
    r.app.FormKeyPress('\r');
    r.app.FormKeyPress('a');
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Information),
              (std::vector<std::string>{"请选择并确认芯片型号！", "请选择并确认芯片型号！"}));
    r.app.ui["About1"].click();
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Modal), (std::vector<std::string>{"TAboutForm"}));
    EXPECT_EQ(r.app.about.caption(), "About");
    EXPECT_EQ(r.app.about["Version"].caption(), "Version V1.4");
    bool closed = false;
    r.app.onCloseWindow = [&] { closed = true; };
    r.app.ui["Exit1"].click();
    EXPECT_TRUE(closed);
    EXPECT_EQ(r.app.ui["Exit1"].shortcut(), "Ctrl+X");
    EXPECT_EQ(r.app.ui["About1"].shortcut(), "F1");
}

TEST(MainWindow, DesignSizesAndPositions) {
    Rig r;
    auto& ui = r.app.ui;
    EXPECT_EQ(ui.clientWidth(), 846);
    EXPECT_EQ(ui.clientHeight(), 571);
    Control& memo = ui["InfoMemo"];
    EXPECT_EQ((std::vector<int>{memo.left(), memo.top(), memo.width(), memo.height()}),
              (std::vector<int>{360, 35, 472, 356}));
    for (int i = 1; i <= 8; ++i) {
        Control& g = ui.gauge(i);
        EXPECT_EQ(g.left(), 358);
        EXPECT_EQ(g.width(), 476);
        EXPECT_EQ(g.height(), 18);
        EXPECT_FALSE(g.enabled());
        EXPECT_EQ(g.progress(), 0);
    }
    EXPECT_EQ(ui["InfoPanel"].caption(), "Device = ??????");
    EXPECT_EQ(ui["ComboBoxCOM"].text(), "请选择通讯口......");
    EXPECT_TRUE(ui["ComboBoxCOM"].sorted());
    EXPECT_EQ(ui["BitBtnFindDev"].caption(), "查找并连接设备");
    EXPECT_FALSE(ui["TabSheetEEP"].visible());
    ui["ViewPageCtrl"].setItemIndex(1);
    EXPECT_EQ(ui["ViewPageCtrl"].itemIndex(), 1);
    r.app.ui["SpdBtnBlankChk"].click();  // every launcher brings "Chip Setting" to the front
    EXPECT_EQ(ui["ViewPageCtrl"].itemIndex(), 0);
    ui["PageControlSet"].setItemIndex(2);
    EXPECT_EQ(ui["PageControlSet"].itemIndex(), 2);
}
