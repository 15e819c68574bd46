// Chip operations on every channel against emulated units: what went over the
// wire (the emulator's trace), what the chips hold, and what the operator saw.
#include "e2e_rig.h"

#include "records/record_store.h"
#include "shell/text.h"

#include <algorithm>
#include <map>

using namespace kvx;
using kvx::test::E2ERig;

namespace {
void fault(SimOptions& o, int slot, SimFaultKind k, uint32_t count = 0, int command = -1, int sub = -1, uint8_t code = 0) {
    SimFault f;
    f.kind = k;
    f.count = count;
    f.command = command;
    f.sub = sub;
    f.code = code;
    o.unit[static_cast<size_t>(slot)].faults.push_back(f);
}
}  // namespace

struct VendorCase {
    const char* chip;
    bool nvm;
};

class AutoOnEveryVendor : public ::testing::TestWithParam<VendorCase> {};

TEST_P(AutoOnEveryVendor, ProgramsAndVerifiesEveryChannel) {
    const VendorCase& vc = GetParam();
    E2ERig r(8);
    ASSERT_EQ(r.connected(), 8);
    r.chooseChip(vc.chip);
    const ChipProfile& chip = r.engine().chip;
    auto image = r.loadRandomImage(static_cast<size_t>(chip.flashSizeKB) * 1024);
    if (vc.nvm) {
        for (size_t i = 0; i < chip.eepSize; ++i) r.engine().image->NvmBuffer()[i] = static_cast<uint8_t>(i * 7);
        r.app->ui["ChkBoxNVM"].setChecked(true);
    }
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle(30000));
    for (int s = 0; s < 8; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(r.unitFlash(s), image);
        EXPECT_EQ(r.app->ui.gauge(s + 1).color(), kBlue);
        EXPECT_EQ(r.countRequests(s + 1, 0x95), chip.flashSizeKB / 4u);  // one program request per 4 KB
        EXPECT_EQ(r.countRequests(s + 1, 0x9B), chip.flashSizeKB / 4u);  // and one verify read
        if (vc.nvm && chip.vendor != ChipVendor::SC) {
            std::vector<uint8_t> nvm;
            r.sim->withUnit(s, [&](SimUnit& u) { nvm = u.chip.nvm; });
            ASSERT_GE(nvm.size(), chip.eepSize);
            for (size_t i = 0; i < chip.eepSize; ++i) ASSERT_EQ(nvm[i], static_cast<uint8_t>(i * 7)) << i;
        }
    }
    EXPECT_EQ(r.logCount("Main Flash数据校验成功！"), 8u);
}

INSTANTIATE_TEST_SUITE_P(Vendors, AutoOnEveryVendor,
                         ::testing::Values(VendorCase{"LKS32MC088C6Qx", false}, VendorCase{"LKS32MC088C8Tx", true},
                                           VendorCase{"CPT2816QN24-A1", false}, VendorCase{"FG8590Q48xx", false},
                                           VendorCase{"SC32F52128LF1G", false}));

TEST(Operations, NotBlankAndProtectedChipsAreErasedFirst) {
    E2ERig r(3, [](SimOptions& o) {
        fault(o, 1, SimFaultKind::NotBlank);
        fault(o, 2, SimFaultKind::WriteProtect);
    });
    r.chooseChip("SC32F5232JV1G");
    auto image = r.loadRandomImage(32 * 1024);
    // Channel 1's bytes programmed and verified, as the progress told them.
    std::map<uint8_t, std::vector<uint64_t>> bytesDone;
    std::vector<ChannelFinished> finished;
    r.engine().listeners.push_back([&](const EngineEvent& event) {
        if (auto* p = std::get_if<ProgressMoved>(&event); p && p->channel == 1 && p->bytesTotal > 0) {
            EXPECT_EQ(p->bytesTotal, 32u * 1024) << int(p->step);
            bytesDone[p->step].push_back(p->bytesDone);
        }
        if (auto* f = std::get_if<ChannelFinished>(&event)) finished.push_back(*f);
    });
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle());
    for (int s = 0; s < 3; ++s) EXPECT_EQ(r.unitFlash(s), image) << s;
    for (uint8_t step : {StepProgramFlash, StepVerifyFlash}) {
        const auto& done = bytesDone[step];
        ASSERT_FALSE(done.empty()) << int(step);
        EXPECT_TRUE(std::is_sorted(done.begin(), done.end())) << int(step);
        EXPECT_EQ(done.front(), 0u);
        EXPECT_EQ(done.back(), 32u * 1024);
    }
    ASSERT_EQ(finished.size(), 3u);
    for (const ChannelFinished& f : finished) {
        EXPECT_TRUE(f.ok) << f.channel;
        EXPECT_GT(f.startedMs, 0);
        EXPECT_LE(f.startedMs, f.timeMs);
        EXPECT_EQ(f.operation, "auto");
    }
    EXPECT_TRUE(r.logHas("Channel 2: 芯片不为空！"));
    EXPECT_TRUE(r.logHas("Channel 2: 芯片擦除..."));
    EXPECT_TRUE(r.logHas("Channel 3: 芯片已保护，擦除芯片..."));
    EXPECT_EQ(r.countRequests(1, 0x93, 0x03), 0u);
    EXPECT_EQ(r.countRequests(2, 0x93, 0x03), 1u);
}

// On-line, no request carries a serial number: the edit counts on per good
// chip (wrapping at 32 bits, in the form chosen), and each result carries
// the job's settings as its run began, never a number a chip got.
TEST(Operations, SerialNumbersCountOnPerChip) {
    E2ERig r(2);
    r.chooseChip("SC32F5232JV1G");
    r.loadRandomImage(32 * 1024);
    auto& ui = r.app->ui;
    ui["CheckBoxSN"].setChecked(true);
    ui["ChkBoxPCSN"].setChecked(true);
    ui["SNEdit1"].setText("0xFFFFFFFF");
    ui["GainEdit"].setText("0x01");
    ui["AddrEdit"].setText("0x00007FF0");
    std::vector<std::optional<SerialSettings>> told;
    r.engine().listeners.push_back([&](const EngineEvent& e) {
        if (auto* f = std::get_if<ChannelFinished>(&e)) told.push_back(f->job.serial);
    });
    ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle());
    const SerialSettings first{0xFFFFFFFF, 1, 0x7FF0};
    EXPECT_EQ(told, (std::vector<std::optional<SerialSettings>>{first, first}));
    EXPECT_EQ(ui["SNEdit1"].text(), "0x00000001");
    ui["ChkBoxSNDP"].setChecked(true);
    EXPECT_EQ(ui["SNEdit1"].text(), "1");
    ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle());
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[3]->start, 1u);
    EXPECT_EQ(ui["SNEdit1"].text(), "3");
    ui["CheckBoxSN"].setChecked(false);
    ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle());
    ASSERT_EQ(told.size(), 6u);
    EXPECT_FALSE(told[5]);
    EXPECT_EQ(ui["SNEdit1"].text(), "3");
    for (int s = 0; s < 2; ++s) EXPECT_EQ(r.countRequests(s + 1, 0x53), 0u);  // no job download
}

// The window closed while two channels program: each run ends with a line
// and a result marked interrupted, and is recorded so.
TEST(Operations, ClosingMidRunRecordsTheRunsAsInterrupted) {
    E2ERig r(2, [](SimOptions& o) { o.baud = 1000000; });
    r.chooseChip("SC32F52128LF1G");
    r.loadRandomImage(128 * 1024);
    std::vector<bool> interrupted;
    bool programming = false;
    r.engine().listeners.push_back([&](const EngineEvent& e) {
        if (auto* f = std::get_if<ChannelFinished>(&e)) interrupted.push_back(f->interrupted);
        if (auto* s = std::get_if<StepStarted>(&e)) programming = programming || s->step == StepProgramFlash;
    });
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.loop.runUntil([&] { return programming; }, 20000));
    r.app->FormClose();
    EXPECT_EQ(interrupted, (std::vector<bool>{true, true}));
    EXPECT_EQ(r.logCount("Interrupted: the program was closed"), 2u);
    const auto recs = RecordStore(r.app->recordsPath(), true).query({});
    ASSERT_EQ(recs.size(), 2u);
    for (const ProductionRecord& rec : recs) {
        EXPECT_EQ(rec.outcome, "interrupted");
        EXPECT_EQ(rec.operation, "auto");
    }
}

// The first requests after a chip is chosen carry the settings the window
// shows (bit 6 of the job flags always set, the settle times), and Read
// Address closed with Escape reads the length its dialog showed.
TEST(Operations, FirstRequestsAfterChoosingAChip) {
    E2ERig r(1);
    r.chooseChip("SC32F5232JV1G");
    r.app->ui["ReadVO32voChipID1"].click();
    ASSERT_TRUE(r.waitIdle());
    std::array<uint8_t, 64> block{};
    r.sim->withUnit(0, [&](SimUnit& u) { block = u.lastParameterBlock; });
    EXPECT_EQ(block[32] & 0x40, 0x40);
    EXPECT_EQ((std::vector<int>{block[42], block[43], block[44], block[45]}), (std::vector<int>{10, 10, 17, 17}));
    r.prompts.modalScript = [](Form& f) { f.close(Form::Cancel); };
    r.app->ui["ReadAddress1"].click();
    r.prompts.modalScript = nullptr;
    ASSERT_TRUE(r.waitIdle());
    r.sim->withUnit(0, [&](SimUnit& u) { block = u.lastParameterBlock; });
    EXPECT_EQ(block[52] | block[53] << 8, 16);
}

TEST(Operations, VerifyMismatchYesThenAbort) {
    E2ERig r(1);
    r.chooseChip("SC32F5232JV1G");
    auto image = r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnProg"].click();
    ASSERT_TRUE(r.waitIdle());
    // Two differing bytes in one row of block 4 (KB 4..7).
    r.sim->withUnit(0, [](SimUnit& u) {
        u.chip.flash[4096 + 3] ^= 0xFF;
        u.chip.flash[4096 + 9] ^= 0xFF;
    });
    r.prompts.yesAbortAnswers = {true, false};
    r.app->ui["SpdBtnVerify"].click();
    ASSERT_TRUE(r.waitIdle());
    auto boxes = r.prompts.texts(ScriptedPrompts::Kind::DifferenceYesAbort);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], format("Chip 1: Buffer Address 0x%0.8x = 0x%0.2x, Chip = 0x%0.2x", 4096u + 3, image[4096 + 3],
                               static_cast<uint8_t>(image[4096 + 3] ^ 0xFF)));
    EXPECT_TRUE(r.logHas("Channel 1: 数据校验错误！"));
    EXPECT_EQ(r.app->ui.gauge(1).color(), kRed);
}

TEST(Operations, GoodResultToAVerifyReadIsAFailure) {
    E2ERig r(2, [](SimOptions& o) { fault(o, 0, SimFaultKind::Result, 0, 0x9B, -1, 0x06); });
    r.chooseChip("SC32F5232JV1G");
    r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnVerify"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_TRUE(r.logHas("Channel 1: 操作成功！"));
    EXPECT_EQ(r.app->ui.gauge(1).color(), kRed);
    EXPECT_GE(r.prompts.beeps, 1);
}

TEST(Operations, DownloadEndsWithProgrammerRestart) {
    E2ERig r(2);
    r.chooseChip("SC32F5264LF1G");
    auto image = r.loadRandomImage(64 * 1024);
    r.app->ui["SpdBtnDownLoad"].click();
    ASSERT_TRUE(r.waitIdle());
    // The restart is the last request queued; it reaches both units.
    r.loop.runUntil([&] { return r.countRequests(1, 0x8A) + r.countRequests(2, 0x8A) == 2; }, 20000);
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(r.countRequests(s + 1, 0x53), 1u);
        EXPECT_EQ(r.countRequests(s + 1, 0x55), 16u);
        EXPECT_EQ(r.countRequests(s + 1, 0x8A), 1u);
        bool jobOk = false;
        std::vector<uint8_t> downloaded;
        r.sim->withUnit(s, [&](SimUnit& u) {
            jobOk = u.job.has_value();
            downloaded = u.flashImage;
        });
        EXPECT_TRUE(jobOk);
        ASSERT_GE(downloaded.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), downloaded.begin()));
    }
    EXPECT_EQ(r.logCount("数据下载成功！"), 2u);
}

TEST(Operations, SingleOperationsAndReads) {
    E2ERig r(2);
    r.chooseChip("LKS32MC088C6Qx");
    r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnErase"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.logCount("擦除芯片操作成功！"), 2u);
    r.app->ui["SpdBtnBlankChk"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.logCount("芯片为空！"), 2u);
    r.app->ui["SpdBtnProg"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.logCount("编程操作成功！"), 2u);
    r.app->ui["SpdBtnBlankChk"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.logCount("芯片不为空！"), 2u);
    EXPECT_EQ(r.app->ui.gauge(1).color(), kRed);
    r.app->ui["ReadVO32voChipID1"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_TRUE(r.logHas("Channel 1: UID="));
    // Read back the flash into the image buffer after clearing it.
    std::vector<uint8_t> before(r.engine().image->ImageBuffer.begin(), r.engine().image->ImageBuffer.begin() + 32768);
    std::fill(r.engine().image->ImageBuffer.begin(), r.engine().image->ImageBuffer.begin() + 32768, 0);
    r.app->ui["ReadChipMemory1"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_TRUE(r.logHas("Main Flash读取成功！"));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), r.engine().image->ImageBuffer.begin()));
    // The address dump prints the bytes read.
    r.prompts.modalScript = [](Form& f) {
        f["EditAddr"].setText("0x00000123");
        f["SpinEditRD"].setValue(40);
        f["BitBtnOK"].click();
    };
    r.app->ui["ReadAddress1"].click();
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.engine().lastReadAddress(), 0x120u);
    EXPECT_TRUE(r.logHas(format("0x00000120 : %0.2x ", before[0x120])));
    EXPECT_TRUE(r.logHas("0x00000130 : "));
}

TEST(Operations, BusyChannelsAreSkipped) {
    E2ERig r(2, [](SimOptions& o) { o.unit[0].eraseMs = 400; });
    r.chooseChip("SC32F5232JV1G");
    r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnErase"].click();
    r.loop.runUntil([&] { return !r.engine().channelState(1).busy; }, 20000);
    EXPECT_TRUE(r.engine().channelState(0).busy);
    r.app->ui["SpdBtnDownLoad"].click();
    EXPECT_EQ(r.engine().channelState(0).step, StepErase);
    ASSERT_TRUE(r.waitIdle());
    EXPECT_EQ(r.countRequests(1, 0x53), 0u);
    EXPECT_EQ(r.countRequests(2, 0x53), 1u);
}

TEST(Offline, CountsChipsAndSavesTheLogEveryTwoThousand) {
    E2ERig r(1, [](SimOptions& o) {
        o.unit[0].chipIntervalMs = 1;
        o.unit[0].offlineFailEvery = 10;
        o.unit[0].offlineChips = 2001;
    });
    r.chooseChip("SC32F5232JV1G");
    r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnDownLoad"].click();
    ASSERT_TRUE(r.waitIdle());
    // The unit starts producing after the download's restart already; the
    // restart sent by the off-line command starts a fresh run of 2001 chips.
    r.app->ui["StartOfflineProgrm1"].click();
    EXPECT_FALSE(r.engine().channelState(0).connected);
    ASSERT_TRUE(r.loop.runUntil([&] { return r.engine().offlineOk() + r.engine().offlineNg() >= 2001; }, 60000));
    r.loop.runFor(300);
    const int total = r.engine().offlineOk() + r.engine().offlineNg();
    ASSERT_GE(total, 2001);
    ASSERT_LT(total, 2200);
    EXPECT_NEAR(r.engine().offlineNg(), total / 10, 3);  // every tenth chip of a run fails
    EXPECT_EQ(r.engine().channelCounts(0).ok, r.engine().offlineOk());
    EXPECT_EQ(r.countRequests(1, 0x8A), 2u);  // after the download, and to start off-line production
    int saved = 0;
    for (auto& entry : std::filesystem::directory_iterator(r.workDir))
        saved += entry.path().filename().string().rfind("DodOZ_", 0) == 0;
    EXPECT_EQ(saved, 1);
    EXPECT_TRUE(r.logHas(format(">---------- Total OK Number is : %d, NG is %d ----------", r.engine().offlineOk(),
                                r.engine().offlineNg())));
}
