// The "Do Firmware Upgrade" command against emulated units: the blocks each
// unit receives, channels running side by side, the version reported after
// the upgrade, and the two refusals.
#include "startup_rig.h"

#include "shell/text.h"

using namespace kvx;
using kvx::test::StartupRig;

TEST(FirmwareUpgrade, ThreeUnitsSideBySide) {
    StartupRig r(3);
    // 20 KB of image; an image end of 0x3000 gives nine blocks.
    const auto image = test::patternBytes(20 * 1024, 11);
    r.writeFirmware(test::makeFirmwareFile(image, "V2.10", 0x5AA5, 0x3000, 3));
    r.start();
    r.runSearch(3);
    ASSERT_EQ(r.engine().devicesFound(), 3);
    ASSERT_EQ(r.countText("开始升级编程器固件......"), 0u);  // V2.10 is not older

    r.app->ui["DoFirmwareUpgrade1"].click();
    // Side by side: the command has put every channel's first block on its
    // port before any reply is taken in (when each unit gets it is the
    // scheduler's business, not the program's).
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(r.engine().channelState(s).step, StepUpgrade);
        EXPECT_EQ(r.app->ui.gauge(s + 1).maxValue(), 9);
        EXPECT_GT(r.engine().channelCounts(s).txBytes, 2048u) << s;
    }
    r.loop.runFor(5);
    ASSERT_TRUE(r.loop.runUntil([&] { return !r.anyBusy(); }, 10000));
    EXPECT_TRUE(r.waitUpgraded({0, 1, 2}));
    EXPECT_EQ(r.countText("开始升级编程器固件......"), 3u);
    EXPECT_EQ(r.countText("Firmware 1 Upgrade Completed!"), 3u);

    for (int s = 0; s < 3; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(r.engine().channelState(s).step, StepIdle);
        EXPECT_EQ(r.app->ui.gauge(s + 1).color(), kBlue);
        EXPECT_EQ(r.app->ui.gauge(s + 1).progress(), 9);
        EXPECT_EQ(r.countRequests(s + 1, 0xB7), 9u);
        EXPECT_EQ(r.countRequests(s + 1, 0xBD), 1u);
        auto [upgraded, blocks, got] = r.unitFirmware(s);
        EXPECT_TRUE(upgraded);
        EXPECT_EQ(blocks.size(), 9u);
        ASSERT_EQ(got.size(), 65536u);
        for (size_t i = 0; i < got.size(); ++i) {
            uint8_t want = (i < 9 * 2048 && i % 4 != 3) ? image[i] : 0;
            ASSERT_EQ(got[i], want) << "byte " << i;
        }
    }

    r.app->ui["BitBtnFindDev"].click();
    r.loop.runUntil([&] { return r.engine().devicesFound() == 3; }, 20000);
    for (int s = 0; s < 3; ++s)
        EXPECT_EQ(r.countText(format("Channel %d: 找到设备：Korvex200RTQ V9.99, Unit %d!", s + 1, s + 1)), 1u) << s;
}

TEST(FirmwareUpgrade, ErrorRepliesToBlocksDoNotStopIt) {
    // The unit answers every block with an error and keeps nothing: the host
    // does not look at the replies and completes the upgrade all the same.
    StartupRig r(1, [](SimOptions& o) { o.unit[0].faults.push_back(SimFault{SimFaultKind::Result, 0, 0xB7, -1, 0x45}); });
    r.writeFirmware(test::makeFirmwareFile(test::patternBytes(8192, 2), "V2.10", 0x0F0F, 0x1C00));
    r.start();
    r.runSearch(1);
    r.app->ui["DoFirmwareUpgrade1"].click();
    ASSERT_TRUE(r.loop.runUntil([&] { return !r.anyBusy(); }, 20000));
    r.loop.runUntil([&] { return r.countRequests(1, 0xBD) == 1; }, 20000);
    EXPECT_EQ(r.countRequests(1, 0xB7), 4u);  // (0x1C00 - 0x1000) / 1024 + 1
    EXPECT_EQ(r.countText("Firmware 1 Upgrade Completed!"), 1u);
    EXPECT_EQ(r.app->ui.gauge(1).color(), kBlue);
    bool upgraded = true;
    r.sim->withUnit(0, [&](SimUnit& u) { upgraded = u.upgraded; });
    EXPECT_FALSE(upgraded);
}

TEST(FirmwareUpgrade, GoesToTheProgrammersFoundNotToTheFirstSlots) {
    // Channel 1 holds another model and channel 2 a silent unit: the two
    // programmers found are on channels 3 and 4.
    StartupRig r(4, [](SimOptions& o) {
        o.unit[0].model = "Korvex100ABC";
        o.unit[1].faults.push_back(SimFault{SimFaultKind::Silent});
    });
    r.writeFirmware(test::makeFirmwareFile(test::patternBytes(8192, 4), "V2.10", 0x1111, 0x1400));
    r.start();
    r.runSearch(2);
    ASSERT_EQ(r.engine().devicesFound(), 2);
    r.app->ui["DoFirmwareUpgrade1"].click();
    ASSERT_TRUE(r.loop.runUntil([&] { return !r.anyBusy(); }, 20000));
    EXPECT_TRUE(r.waitUpgraded({2, 3}));
    EXPECT_EQ(r.countRequests(1, 0xB7), 0u);
    EXPECT_EQ(r.countRequests(2, 0xB7), 0u);
    EXPECT_EQ(r.countRequests(3, 0xB7), 2u);
    EXPECT_EQ(r.countRequests(4, 0xB7), 2u);
    EXPECT_EQ(r.countText("Firmware 1 Upgrade Completed!"), 2u);
    EXPECT_FALSE(r.engine().channelState(0).connected);
    EXPECT_FALSE(r.engine().channelState(1).connected);
}

struct RefusalCase {
    const char* name;
    bool firmwareFile;
    bool unitAnswers;
    const char* message;
};

class UpgradeRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(UpgradeRefused, ShowsItsMessageAndSendsNothing) {
    const RefusalCase& rc = GetParam();
    StartupRig r(1, [&](SimOptions& o) {
        if (!rc.unitAnswers) o.unit[0].faults.push_back(SimFault{SimFaultKind::Silent});
    });
    if (rc.firmwareFile) r.writeFirmware(test::makeFirmwareFile(test::patternBytes(8192, 2), "V2.10", 1, 0x1000));
    r.start();
    r.runSearch(rc.unitAnswers ? 1 : 0, rc.unitAnswers ? 2000 : 300);
    const size_t boxes = r.prompts.records.size();
    r.app->ui["DoFirmwareUpgrade1"].click();
    r.loop.runFor(100);
    ASSERT_EQ(r.prompts.records.size(), boxes + 1);
    EXPECT_EQ(r.prompts.records.back().kind, ScriptedPrompts::Kind::Message);
    EXPECT_EQ(r.prompts.records.back().text, rc.message);
    EXPECT_EQ(r.countRequests(1, 0xB7), 0u);
    EXPECT_EQ(r.countText("开始升级编程器固件......"), 0u);
    EXPECT_FALSE(r.anyBusy());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UpgradeRefused,
    ::testing::Values(RefusalCase{"without_firmware_file", false, true, "Firmware文件没有找到，请确认！"},
                      RefusalCase{"without_device", true, false, "No Device is Connected!"}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });
