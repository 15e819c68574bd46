// Start-up and the device search against emulated and hand-made units on
// pseudo-terminals: which ports go to which channels, what a programmer's
// reply leads to (found, foreign, older firmware and its upgrade, silence),
// hang-ups, a port lost while the search runs or held by another program,
// ports beyond the channels, the one search after start-up and the window's
// layout.
#include "port_holder.h"
#include "startup_rig.h"

#include "shell/text.h"

#include <chrono>

using namespace kvx;
using kvx::test::StartupRig;

namespace {

std::vector<uint8_t> answerAsProgrammer(const std::vector<uint8_t>& req, const std::string& text) {
    if (req.size() == 3 && req[0] == 0xA3 && req[1] == 0xA5 && req[2] == 0x35) return test::deviceInfoFrame(text);
    return {};
}

std::string foundLine(int channel, const std::string& text) {
    return format("Channel %d: 找到设备：%s!", channel, text.c_str());
}

}  // namespace

TEST(DeviceSearch, ThreeUnitsOnEightChannelsLeaveTheOthersReset) {
    StartupRig r(8);
    r.start();
    r.runSearch(8);
    ASSERT_EQ(r.engine().channelsInUse(), 8);
    ASSERT_EQ(r.connected(), 8);
    // Units 4..8 are unplugged; their gauges still show an earlier run.
    for (int u = 4; u <= 8; ++u) unlink((r.portDir + "/COM" + std::to_string(u)).c_str());
    for (int g = 1; g <= 8; ++g) {
        Control& gauge = r.app->ui.gauge(g);
        gauge.setEnabled(true);
        gauge.setMaxValue(100);
        gauge.setProgress(60);
        gauge.setColor(kRed);
    }
    const size_t before = r.app->log.size();
    r.app->ui["BitBtnFindDev"].click();
    r.loop.runUntil([&] { return r.connected() == 3; }, 20000);
    r.loop.runFor(50);

    EXPECT_EQ(r.engine().devicesFound(), 3);
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    for (int s = 0; s < 8; ++s) {
        SCOPED_TRACE(s);
        const Program::ChannelState c = r.engine().channelState(s);
        Control& g = r.app->ui.gauge(s + 1);
        if (s < 3) {
            EXPECT_TRUE(c.connected);
            EXPECT_EQ(c.step, StepIdle);
            EXPECT_EQ(c.port, "COM" + std::to_string(s + 1));
            EXPECT_TRUE(c.portOpen);
        } else {
            EXPECT_FALSE(c.connected);
            EXPECT_FALSE(c.portOpen);
        }
        EXPECT_FALSE(c.busy);
        EXPECT_FALSE(g.enabled());
        EXPECT_EQ(g.progress(), 0);
        EXPECT_EQ(g.color(), kBlue);
    }
    // The search's own lines, then one line per programmer that answered.
    const std::vector<std::string> all = r.texts();
    std::vector<std::string> after(all.begin() + static_cast<long>(before), all.end());
    std::vector<std::string> searches, found;
    for (auto& t : after) {
        if (t.rfind("查找设备", 0) == 0) searches.push_back(t);
        if (t.find("找到设备：") != std::string::npos) found.push_back(t);
    }
    EXPECT_EQ(searches, (std::vector<std::string>{"查找设备1............", "查找设备2............", "查找设备3............"}));
    ASSERT_EQ(found.size(), 3u);
    for (int ch = 1; ch <= 3; ++ch)
        EXPECT_EQ(r.countText(foundLine(ch, format("Korvex200RTQ V2.10, Unit %d", ch))), 2u) << ch;  // both searches
    // The panel shows the programmer that answered last.
    const std::string& last = found.back();
    std::string shown = last.substr(last.find("找到设备：") + std::string("找到设备：").size());
    shown.pop_back();  // the "!"
    EXPECT_EQ(r.app->ui["InfoPanel"].caption(), shown);
}

// A fixture's port map: each channel keeps its socket, a unit missing in the
// middle leaves its channel empty and says so, the ports the map does not
// name are not touched; a map that cannot be read uses no port at all.
TEST(DeviceSearch, APortMapKeepsEachChannelOnItsSocket) {
    StartupRig r(4);
    const std::string d = r.portDir + "/";
    test::writeText(r.workDir + "/ports.map", "# fixture\n1 " + d + "COM3\n2 " + d + "COM9  # unplugged\n3 " + d + "COM1\n");
    r.start();
    r.runSearch(2);
    EXPECT_EQ(r.engine().channelsInUse(), 4);
    EXPECT_EQ(r.connected(), 2);
    EXPECT_EQ(r.engine().channelState(0).port, d + "COM3");
    EXPECT_EQ(r.countText(foundLine(1, "Korvex200RTQ V2.10, Unit 3")), 1u);
    EXPECT_FALSE(r.engine().channelState(1).connected);
    EXPECT_EQ(r.countText("Channel 2: empty, its port " + d + "COM9 is not there"), 1u);
    EXPECT_EQ(r.engine().channelState(2).port, d + "COM1");
    EXPECT_EQ(r.countText(foundLine(3, "Korvex200RTQ V2.10, Unit 1")), 1u);
    for (int u = 1; u <= 4; ++u) EXPECT_EQ(r.countDeviceQueries(u), u == 1 || u == 3 ? 1u : 0u) << "unit " << u;
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), (std::vector<std::string>{d + "COM3", d + "COM1"}));
}

TEST(DeviceSearch, APortMapThatCannotBeReadUsesNoPort) {
    StartupRig r(2);
    test::writeText(r.workDir + "/ports.map", "1 " + r.portDir + "/COM1\n1 " + r.portDir + "/COM2\n");
    r.start();
    r.runSearch(1, 300);
    EXPECT_EQ(r.connected(), 0);
    EXPECT_EQ(r.countDeviceQueries(1) + r.countDeviceQueries(2), 0u);
    EXPECT_EQ(r.countText("Port map " + r.workDir + "/ports.map: line 2: channel 1 is given twice; no port is used "
                          "until it is mended."),
              1u);
}

TEST(DeviceSearch, MorePortsThanChannelsTakesTheFirstEightInNaturalOrder) {
    // Ten emulated units and a hand-made one named in lower case: the list is
    // sorted by number without regard to case (COM2 before COM10, com15
    // after it), and the first eight take the channels.
    StartupRig r(10);
    auto& fake = r.addFake("com15", [](const std::vector<uint8_t>& q) {
        return answerAsProgrammer(q, "Korvex200RTQ V2.10, Lower");
    });
    r.start();
    r.runSearch(8);
    const std::vector<std::string> order = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                            "COM7", "COM8", "COM9", "COM10", "com15"};
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), order);
    ASSERT_EQ(r.engine().channelsInUse(), 8);
    EXPECT_EQ(r.connected(), 8);
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(r.engine().channelState(s).port, order[static_cast<size_t>(s)]) << s;
        EXPECT_EQ(r.countText(foundLine(s + 1, format("Korvex200RTQ V2.10, Unit %d", s + 1))), 1u) << s;
    }
    EXPECT_EQ(fake.requests(), 0);
    for (int u = 1; u <= 10; ++u) EXPECT_EQ(r.countDeviceQueries(u), u <= 8 ? 1u : 0u) << "unit " << u;
    EXPECT_EQ(r.countText("查找设备9............"), 0u);
    // The ports no channel takes are named, each once.
    EXPECT_EQ(r.engine().unusedPorts(), (std::vector<std::string>{"COM9", "COM10", "com15"}));
    for (const char* p : {"COM9", "COM10", "com15"})
        EXPECT_EQ(r.countText(format("Port %s not used: all 8 channels are taken", p)), 1u) << p;
}

TEST(DeviceSearch, APortBeyondFourChannelsIsNamedAsNotUsed) {
    // Four ports at start-up make four channels; a fifth unit plugged in
    // later is listed, but no channel takes it until the program starts again.
    StartupRig r(4);
    r.start();
    auto& fifth = r.addFake("COM5", [](const std::vector<uint8_t>& q) {
        return answerAsProgrammer(q, "Korvex200RTQ V2.10, Fifth");
    });
    r.runSearch(4);
    ASSERT_EQ(r.engine().channelsInUse(), 4);
    EXPECT_EQ(r.connected(), 4);
    EXPECT_EQ(r.engine().unusedPorts(), (std::vector<std::string>{"COM5"}));
    EXPECT_EQ(r.countText("Port COM5 not used: all 4 channels are taken (start the program again to use 8)"), 1u);
    EXPECT_EQ(fifth.requests(), 0);
}

// Versions against the firmware file's V2.20: older ones are upgraded at
// once (and report the new version at the next search), equal and newer
// ones are found; a version word is compared over its own length, and a
// text without one counts as older.
TEST(DeviceSearch, OlderFirmwareIsUpgradedFromTheFirmwareFile) {
    const std::vector<std::string> versions = {"V2.10", "V2.20", "V2.30", "2.10", "V2.2"};
    const std::vector<bool> older = {true, false, false, true, false};
    StartupRig r(5, [&](SimOptions& o) {
        for (size_t i = 0; i < versions.size(); ++i) o.unit[i].version = versions[i];
    });
    // 12 KB of image; an image end of 0x2000 gives five blocks of 2048 bytes.
    const auto image = test::patternBytes(12 * 1024, 5);
    r.writeFirmware(test::makeFirmwareFile(image, "V2.20", 0xA55A, 0x2000));
    r.start();
    ASSERT_TRUE(r.engine().FirmwareFileLoaded());
    r.runSearch(5, 5000);
    ASSERT_EQ(r.connected(), 5);
    EXPECT_TRUE(r.waitUpgraded({0, 3}));
    EXPECT_EQ(r.engine().devicesFound(), 3);
    EXPECT_EQ(r.countText("开始升级编程器固件......"), 2u);
    EXPECT_EQ(r.countText("Firmware 1 Upgrade Completed!"), 2u);
    EXPECT_TRUE(r.prompts.records.empty());  // the file was there: no box at all

    for (int s = 0; s < 5; ++s) {
        SCOPED_TRACE(versions[static_cast<size_t>(s)]);
        const Program::ChannelState c = r.engine().channelState(s);
        std::string text = "Korvex200RTQ " + versions[static_cast<size_t>(s)] + format(", Unit %d", s + 1);
        EXPECT_EQ(r.countText(foundLine(s + 1, text)), older[static_cast<size_t>(s)] ? 0u : 1u);
        EXPECT_EQ(c.step, StepIdle);
        EXPECT_FALSE(c.upgrading);
        EXPECT_EQ(c.searchOutcome, older[static_cast<size_t>(s)] ? SearchOutcome::Upgrading : SearchOutcome::Found);
        auto [upgraded, blocks, got] = r.unitFirmware(s);
        EXPECT_EQ(upgraded, older[static_cast<size_t>(s)]);
        EXPECT_EQ(r.countRequests(s + 1, 0xB7), older[static_cast<size_t>(s)] ? 5u : 0u);
        if (!older[static_cast<size_t>(s)]) continue;
        EXPECT_EQ(blocks, (std::set<int>{0, 1, 2, 3, 4}));
        EXPECT_EQ(r.countRequests(s + 1, 0xBD), 1u);
        EXPECT_EQ(r.app->ui.gauge(s + 1).maxValue(), 5);
        EXPECT_EQ(r.app->ui.gauge(s + 1).color(), kBlue);
        // Three of every four image bytes go over the line; the fourth and
        // everything past the five blocks stay zero in the unit.
        ASSERT_EQ(got.size(), 65536u);
        for (size_t i = 0; i < got.size(); ++i) {
            uint8_t want = (i < 5 * 2048 && i % 4 != 3) ? image[i] : 0;
            ASSERT_EQ(got[i], want) << "byte " << i;
        }
    }

    // The next search finds the upgraded units with their new version.
    r.app->ui["BitBtnFindDev"].click();
    r.loop.runUntil([&] { return r.engine().devicesFound() == 5; }, 20000);
    EXPECT_EQ(r.engine().devicesFound(), 5);
    EXPECT_EQ(r.countText(foundLine(1, "Korvex200RTQ V9.99, Unit 1")), 1u);
    EXPECT_EQ(r.countText(foundLine(4, "Korvex200RTQ V9.99, Unit 4")), 1u);
    EXPECT_EQ(r.countText("开始升级编程器固件......"), 2u);
}

// Without a usable version in the firmware state every correctly named
// programmer is found, whatever its version.
struct NoVersionCase {
    const char* name;
    bool writeFile;
    const char* fileVersion;
    bool badSum;  // the file is there but its sum is wrong
};

class NoStoredVersion : public ::testing::TestWithParam<NoVersionCase> {};

TEST_P(NoStoredVersion, AcceptsEveryVersion) {
    const NoVersionCase& nc = GetParam();
    StartupRig r(2, [](SimOptions& o) {
        o.unit[0].version = "V0.01";
        o.unit[1].version = "1.00";
    });
    if (nc.writeFile) {
        auto file = test::makeFirmwareFile(test::patternBytes(8192, 1), nc.fileVersion, 0x1234, 0x1000);
        if (nc.badSum) file[5000] ^= 0x40;
        r.writeFirmware(file);
    }
    r.start();
    r.runSearch(2);
    EXPECT_EQ(r.engine().devicesFound(), 2);
    EXPECT_EQ(r.countText("开始升级编程器固件......"), 0u);
    EXPECT_EQ(r.countRequests(1, 0xB7) + r.countRequests(2, 0xB7), 0u);
    if (nc.writeFile) {
        // A refused file is no firmware for upgrades; the start-up box is
        // only for a missing one.
        EXPECT_EQ(r.engine().FirmwareFileLoaded(), !nc.badSum);
        EXPECT_TRUE(r.prompts.records.empty());
        EXPECT_EQ(r.countText("File of \"KorvexSCX.FWR\" not Found!"), 0u);
    } else {
        EXPECT_FALSE(r.engine().FirmwareFileLoaded());
        EXPECT_EQ(r.countText("File of \"KorvexSCX.FWR\" not Found!"), 1u);
        EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Message),
                  (std::vector<std::string>{"文件\"KorvexSCX.FWR\"没有找到，请确认！"}));
        EXPECT_EQ(r.prompts.records.size(), 1u);
        // The log line comes after the greeting, before the search.
        EXPECT_LT(r.indexOf("File of \"KorvexSCX.FWR\" not Found!"), r.indexOf("查找设备1............"));
    }
}

INSTANTIATE_TEST_SUITE_P(Firmware, NoStoredVersion,
                         ::testing::Values(NoVersionCase{"no_file", false, "", false},
                                           NoVersionCase{"version_without_V", true, "2.20", false},
                                           NoVersionCase{"wrong_sum", true, "V2.20", true}),
                         [](const ::testing::TestParamInfo<NoVersionCase>& i) { return std::string(i.param.name); });

// A bare firmware file name is looked for in the working folder, then the
// program folder, then the package's data folder.
TEST(FirmwareFile, ABareNameIsFoundInTheProgramOrTheSystemFolder) {
    const struct {
        const char* name;
        bool inProgram, inSystem;
    } cases[] = {{"program folder", true, false}, {"system folder", false, true}, {"nowhere", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartupRig r(1, {});
        const std::string system = r.workDir + "/share/";
        std::filesystem::create_directories(system);
        const auto fw = test::makeFirmwareFile(test::patternBytes(8192, 1), "V2.20", 0x1234, 0x1000);
        if (c.inProgram) test::writeBytes(r.workDir + "/KorvexSCX.FWR", fw);
        if (c.inSystem) test::writeBytes(system + "KorvexSCX.FWR", fw);
        r.configure = [&](KorvexApp& a) {
            a.firmwareFileName = "KorvexSCX.FWR";
            a.systemDataFolder = system;
        };
        r.start();
        const bool found = c.inProgram || c.inSystem;
        EXPECT_EQ(r.engine().FirmwareFileLoaded(), found);
        EXPECT_EQ(r.countText("File of \"KorvexSCX.FWR\" not Found!"), found ? 0u : 1u);
    }
}

TEST(DeviceSearch, ForeignEmptyAndSilentUnits) {
    // COM1 is another model, COM2 never answers, COM3 sends the right
    // signature with a length of 0 (and a good text behind it).
    StartupRig r(2, [](SimOptions& o) {
        o.unit[0].model = "Korvex100ABC";
        o.unit[1].faults.push_back(SimFault{SimFaultKind::Silent});
    });
    auto& fake = r.addFake("COM3", [](const std::vector<uint8_t>& q) -> std::vector<uint8_t> {
        if (q.size() == 3 && q[0] == 0xA3) return test::deviceInfoFrame("Korvex200RTQ V2.10, Empty", 0);
        return {};
    });
    r.writeFirmware(test::makeFirmwareFile(test::patternBytes(8192, 1), "V2.00", 0x4321, 0x1000));
    r.start();
    r.runSearch(0, 0);
    r.loop.runUntil([&] { return r.countText("Channel 1: 未找到设备!") + r.countText("Channel 3: 未找到设备!") == 2; }, 20000);
    r.loop.runFor(300);  // time for a late answer from the silent unit

    EXPECT_EQ(r.connected(), 0);
    EXPECT_EQ(r.engine().devicesFound(), 0);
    EXPECT_EQ(fake.requests(), 1);
    EXPECT_EQ(r.countDeviceQueries(2), 1u);
    EXPECT_EQ(r.countText("Channel 1: 未找到设备!"), 1u);
    EXPECT_EQ(r.countText("Channel 1: Return Device Info : Korvex100ABC V2.10, Unit 1"), 1u);
    EXPECT_EQ(r.countText("Channel 3: 未找到设备!"), 1u);
    EXPECT_EQ(r.countText("Channel 3: Return Device Info : Korvex200RTQ"), 1u);
    EXPECT_EQ(r.app->ui["InfoPanel"].caption(), "未找到设备！");
    std::vector<SearchOutcome> outcomes;
    for (int s = 0; s < 4; ++s) outcomes.push_back(r.engine().channelState(s).searchOutcome);
    EXPECT_EQ(outcomes, (std::vector<SearchOutcome>{SearchOutcome::NotAProgrammer, SearchOutcome::NoAnswer,
                                                    SearchOutcome::NotAProgrammer, SearchOutcome::NotQueried}));
    // The silent unit leaves nothing but its search line.
    EXPECT_EQ(r.countText("查找设备2............"), 1u);
    for (auto& t : r.texts()) EXPECT_EQ(t.find("Channel 2:"), std::string::npos) << t;
    EXPECT_TRUE(r.prompts.records.empty());
}

TEST(DeviceSearch, TheTextEndsAfterLPlusOneBytesAndAt127Characters) {
    // COM1 sends a text of 200 characters; COM2 a good text behind a length
    // that lets only its first 15 characters count.
    StartupRig r(0);
    const std::string longText = "Korvex200RTQ V2.10 " + std::string(181, 'x');
    r.addFake("COM1", [longText](const std::vector<uint8_t>& q) { return answerAsProgrammer(q, longText); });
    r.addFake("COM2", [](const std::vector<uint8_t>& q) -> std::vector<uint8_t> {
        if (q.size() == 3 && q[0] == 0xA3) return test::deviceInfoFrame("Korvex200RTQ V2.10, Short", 14);
        return {};
    });
    r.start();
    r.runSearch(2);
    EXPECT_EQ(r.connected(), 2);
    EXPECT_EQ(r.countText(foundLine(1, longText.substr(0, 127))), 1u);
    EXPECT_EQ(r.countText(foundLine(2, "Korvex200RTQ V2")), 1u);
}

// A hang-up takes the channel's own port from the list, wherever the
// earlier hang-ups have moved it.
TEST(DeviceSearch, HangUpsRemoveEachChannelsOwnPort) {
    struct Case {
        std::vector<int> slots;  // channels hanging up, in order
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {{0}, {"COM2", "COM3", "COM4"}},
        {{0, 1}, {"COM3", "COM4"}},  // by position the second would take COM3
        {{2, 0, 3}, {"COM2"}},
        {{1, 1}, {"COM1", "COM3", "COM4"}},  // a second hang-up of a channel takes nothing more
        {{3, 2, 1, 0}, {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.slots.size());
        StartupRig r(4);
        r.start();
        r.runSearch(4);
        ASSERT_EQ(r.connected(), 4);
        for (int s : tc.slots) r.engine().requestHangup(s);
        EXPECT_EQ(r.engine().listedPorts(), tc.left);
        EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), tc.left);
        for (int s : tc.slots) EXPECT_FALSE(r.engine().channelState(s).connected);
        EXPECT_EQ(r.app->ui["ComboBoxCOM"].text() == "请连接设备......", tc.left.empty());
    }
}

TEST(DeviceSearch, HangUpClosesTheChannelAndRemovesItsPort) {
    // Unit 1 hangs up after its first answer, unit 2 after its second.
    StartupRig r(2, [](SimOptions& o) {
        o.unit[0].faults.push_back(SimFault{SimFaultKind::Hangup, 1});
        o.unit[1].faults.push_back(SimFault{SimFaultKind::Hangup, 2});
    });
    r.start();
    r.runSearch(2);
    r.loop.runUntil([&] { return !r.engine().channelState(0).portOpen; }, 20000);
    EXPECT_TRUE(r.sim->hungUp(0));
    EXPECT_FALSE(r.engine().channelState(0).connected);
    EXPECT_FALSE(r.engine().channelState(0).portOpen);
    EXPECT_TRUE(r.engine().channelState(1).connected);
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), (std::vector<std::string>{"COM2"}));
    EXPECT_EQ(r.countText(foundLine(1, "Korvex200RTQ V2.10, Unit 1")), 1u);
    const size_t lines = r.app->log.size();

    // A new search puts unit 2 on channel 1; it answers, then hangs up and
    // the list is empty.
    r.app->ui["BitBtnFindDev"].click();
    r.loop.runUntil([&] { return r.sim->hungUp(1) && !r.engine().channelState(0).portOpen; }, 20000);
    r.loop.runFor(50);
    EXPECT_EQ(r.countText(foundLine(1, "Korvex200RTQ V2.10, Unit 2")), 1u);
    EXPECT_FALSE(r.engine().channelState(0).connected);
    EXPECT_TRUE(r.app->ui["ComboBoxCOM"].items().empty());
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].text(), "请连接设备......");
    // The search named unit 1's port as gone and wrote its line and the
    // found line; the hang-up nothing.
    EXPECT_EQ(r.countText("Port COM1 skipped: the device is gone (unplugged?)", lines), 1u);
    EXPECT_EQ(r.app->log.size(), lines + 3);
}

TEST(StartUp, Timer2RunsTheSearchOnceAfterStartUp) {
    StartupRig r(2);
    using Clock = std::chrono::steady_clock;
    Clock::time_point searchAt{};
    r.start();
    const Clock::time_point shown = Clock::now();
    r.app->log.onAppended.push_back([&](size_t i) {
        if (test::lineText(r.app->log.line(i)) == "查找设备1............" && searchAt == Clock::time_point{})
            searchAt = Clock::now();
    });
    // Nothing is searched during the start-up itself.
    EXPECT_TRUE(r.app->StartupDone);
    EXPECT_EQ(r.indexOf("查找设备1............"), -1);
    EXPECT_FALSE(r.engine().channelState(0).portOpen);
    // Start-up's own lines: an empty one, then the greeting.
    ASSERT_GE(r.app->log.size(), 2u);
    EXPECT_EQ(r.app->log.line(0), "");
    EXPECT_EQ(test::lineText(r.app->log.line(1)).rfind("Hello Korvex200SC User! ------ ", 0), 0u);

    r.runSearch(2);
    r.loop.runFor(300);
    EXPECT_FALSE(r.app->StartupDone);
    EXPECT_EQ(r.connected(), 2);
    ASSERT_NE(searchAt, Clock::time_point{});
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(searchAt - shown).count(), 90);
    // A later tick does nothing.
    r.app->Timer2Timer();
    r.loop.runFor(100);
    EXPECT_EQ(r.countText("查找设备1............"), 1u);
    EXPECT_EQ(r.countDeviceQueries(1), 1u);
    EXPECT_EQ(r.countDeviceQueries(2), 1u);
}

class GaugeLayout : public ::testing::TestWithParam<int> {};

TEST_P(GaugeLayout, FollowsThePortsAtStartUp) {
    const int ports = GetParam();
    StartupRig r(ports);
    r.start();
    const bool eight = ports > 4;
    EXPECT_EQ(r.engine().channelsInUse(), eight ? 8 : 4);
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items().size(), static_cast<size_t>(ports));
    EXPECT_EQ(r.app->ui["InfoMemo"].height(), eight ? 278 : 356);
    const int tops8[8] = {317, 336, 355, 374, 393, 412, 431, 450};
    for (int g = 1; g <= 8; ++g) {
        SCOPED_TRACE(g);
        Control& gauge = r.app->ui.gauge(g);
        if (eight) {
            EXPECT_TRUE(gauge.visible());
            EXPECT_EQ(gauge.top(), tops8[g - 1]);
        } else if (g <= 4) {
            EXPECT_TRUE(gauge.visible());
            EXPECT_EQ(gauge.top(), tops8[g + 3]);
        } else {
            EXPECT_FALSE(gauge.visible());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, GaugeLayout, ::testing::Values(0, 1, 4, 5, 8));

// A port lost to the search, one of eight: the unit hangs up at its device
// query (the adapter pulled out after the port was opened), its link is gone
// between the listing and the opening of the port, or another program holds
// it from before the start (left out of the listing, so the units behind it
// move up a channel and channel 8 stays empty). The other seven are found
// and then program their chips; nothing waits on the lost one.
enum class Loss { HangsUp, LinkGone, Held };

struct VanishCase {
    const char* name;
    int slot;
    Loss loss;
};

class PortVanishesDuringSearch : public ::testing::TestWithParam<VanishCase> {};

TEST_P(PortVanishesDuringSearch, TheOtherSevenConnectAndProgram) {
    const VanishCase& vc = GetParam();
    const bool held = vc.loss == Loss::Held;
    const int unit = vc.slot + 1;
    // The channel a unit's port goes to, and the channel left without one.
    auto channelOf = [&](int s) { return held && s > vc.slot ? s : s + 1; };
    const int lostChannel = held ? 8 : unit;
    StartupRig r(8, [&](SimOptions& o) {
        if (vc.loss == Loss::HangsUp)
            o.unit[static_cast<size_t>(vc.slot)].faults.push_back(SimFault{SimFaultKind::Hangup, 0});
    });
    std::unique_ptr<test::PortHolder> holder;
    if (held) {
        holder = std::make_unique<test::PortHolder>(r.sim->devicePath(vc.slot), test::PortHolder::Lock);
        ASSERT_TRUE(holder->held());
    }
    r.start();
    test::LoopGapMeter meter(r.loop);
    const std::string searchLine = format("查找设备%d............", lostChannel);
    if (vc.loss == Loss::LinkGone)
        r.app->log.onAppended.push_back([&](size_t i) {
            if (test::lineText(r.app->log.line(i)) == searchLine) unlink(r.sim->portPath(vc.slot).c_str());
        });
    r.runSearch(7, 3000);
    r.loop.runUntil([&] { return !r.engine().channelState(lostChannel - 1).portOpen; }, 20000);
    r.loop.runFor(100);  // time for anything late from the lost port

    EXPECT_EQ(r.connected(), 7);
    EXPECT_EQ(r.engine().devicesFound(), 7);
    const Program::ChannelState lost = r.engine().channelState(lostChannel - 1);
    EXPECT_FALSE(lost.connected);
    EXPECT_FALSE(lost.busy);
    EXPECT_FALSE(lost.portOpen);
    EXPECT_EQ(lost.searchOutcome, vc.loss == Loss::HangsUp ? SearchOutcome::NoAnswer : SearchOutcome::NotQueried);
    for (int s = 0; s < 8; ++s)
        if (s != vc.slot)
            EXPECT_EQ(r.countText(foundLine(channelOf(s), format("Korvex200RTQ V2.10, Unit %d", s + 1))), 1u) << s;
    // The lost channel has its search line when its port was listed, and no
    // line of its own.
    EXPECT_EQ(r.countText(searchLine), held ? 0u : 1u);
    for (auto& t : r.texts()) EXPECT_EQ(t.find(format("Channel %d:", lostChannel)), std::string::npos) << t;
    std::vector<std::string> ports;
    for (int s = 0; s < 8; ++s) ports.push_back("COM" + std::to_string(s + 1));
    // The port the search could not open is named in the log, with why, and
    // kept for the front ends.
    std::string cause;
    if (vc.loss == Loss::HangsUp) {
        // The hang-up takes its port off the list; the operator sees no box.
        EXPECT_TRUE(r.sim->hungUp(vc.slot));
        ports.erase(ports.begin() + vc.slot);
        EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::Warning), 0u);
    } else if (vc.loss == Loss::LinkGone) {
        // Listed, but it could not be opened: the operator is told.
        EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Warning),
                  (std::vector<std::string>{format("Error opening serial port:COM%d", unit)}));
        cause = "the device is gone (unplugged?)";
    } else {
        ports.erase(ports.begin() + vc.slot);
        EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::Warning), 0u);
        cause = format("held by another program (porthog, PID %d; close it and search again)", holder->pid());
    }
    EXPECT_EQ(r.app->ui["ComboBoxCOM"].items(), ports);
    if (vc.loss != Loss::HangsUp) EXPECT_EQ(r.countDeviceQueries(unit), 0u);
    const std::string portName = format("COM%d", unit);
    EXPECT_EQ(r.countText("Port " + portName + " skipped: " + cause), cause.empty() ? 0u : 1u);
    ASSERT_EQ(r.engine().skippedPorts().size(), cause.empty() ? 0u : 1u);
    if (!cause.empty()) {
        EXPECT_EQ(r.engine().skippedPorts()[0].name, portName);
        EXPECT_EQ(r.engine().skippedPorts()[0].cause, cause);
    }

    // The seven program their chips; the lost unit's chip is never touched.
    r.chooseChip("SC32F5232JV1G");
    const auto image = test::patternBytes(32 * 1024, 9);
    r.openImage(image);
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle(20000));
    meter.stop();
    RecordProperty("longest_loop_gap_ms", static_cast<int>(meter.longestGapMs()));
    for (int s = 0; s < 8; ++s) {
        SCOPED_TRACE(s);
        std::vector<uint8_t> flash;
        bool present = false;
        r.sim->withUnit(s, [&](SimUnit& u) {
            flash = u.chip.flash;
            present = u.chip.present;
        });
        if (s == vc.slot) {
            EXPECT_FALSE(present);
            EXPECT_EQ(r.countRequests(unit, 0x95), 0u);
            continue;
        }
        EXPECT_EQ(flash, image);
        EXPECT_EQ(r.countText(format("Channel %d: Main Flash数据校验成功！", channelOf(s))), 1u);
        EXPECT_EQ(r.app->ui.gauge(channelOf(s)).color(), kBlue);
    }
}

INSTANTIATE_TEST_SUITE_P(Vanish, PortVanishesDuringSearch,
                         ::testing::Values(VanishCase{"unit_hangs_up_at_its_query", 2, Loss::HangsUp},
                                           VanishCase{"link_gone_before_the_open", 7, Loss::LinkGone},
                                           VanishCase{"held_by_another_program", 3, Loss::Held}),
                         [](const ::testing::TestParamInfo<VanishCase>& i) { return std::string(i.param.name); });
