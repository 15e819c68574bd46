// Off-line production and the firmware upgrade of the emulated units.
#include "sim_fixture.h"

#include <algorithm>
#include <numeric>
#include <thread>
#include <chrono>

using namespace kvx;
using namespace simtest;

namespace {

struct Status {
    uint8_t stage, result;
    uint16_t progress, total;
};

// Collects status frames until `chips` stage-0xF0 frames have arrived.
std::vector<Status> collectChips(TestPort& port, int chips, int timeoutMs = 4000) {
    std::vector<Status> out;
    int done = 0;
    while (done < chips) {
        auto f = port.frame(timeoutMs);
        if (!f) break;
        EXPECT_EQ(f->size(), 8u);
        EXPECT_EQ((*f)[0], 0xFD);
        EXPECT_EQ(std::accumulate(f->begin(), f->end(), 0u) % 256u, 0u) << "check byte";
        Status s{(*f)[1], (*f)[2], le16(&(*f)[3]), le16(&(*f)[5])};
        out.push_back(s);
        if (s.stage == 0xF0) ++done;
    }
    return out;
}

}  // namespace

class SimOffline : public SimFixture {
protected:
    // Downloads the job and the first two flash blocks, then restarts.
    void downloadAndRestart(TestPort& port, const TestJob& job, const Bytes& image) {
        ASSERT_EQ(resultOf(*port.transact(jobDownload(jobBlock(job)))), 0x00);
        for (uint16_t kb = 0; kb < 8; kb += 4) {
            Bytes blk(image.begin() + kb * 1024, image.begin() + (kb + 4) * 1024);
            ASSERT_EQ(resultOf(*port.transact(blockDownload(0x55, kb, blk, job.chip))), 0x00);
        }
        ASSERT_EQ(resultOf(*port.transact(blockDownload(0x5A, 0, Bytes(4096, 0x42), job.chip))), 0x00);
        port.send(restart());
    }
};

TEST_F(SimOffline, ChipsRunThroughTheStagesUpToTheCountLimit) {
    startSim(1, [](SimOptions& o) {
        o.unit[0].chipIntervalMs = 30;
        o.unit[0].offlineFailEvery = 2;
    });
    auto port = open();
    TestJob job;
    job.chip = TestChip::sc64();
    job.chip.jobFlags[3] = 0x03;  // with the NVM area
    job.countLimitEnable = 0x0F;
    job.countLimit = 3;
    job.snEnable = 0x0F;
    job.snAddress = 0x100;
    job.snStart = 0x11223340;
    job.snIncrement = 2;
    Bytes image = pattern(8192, 5);
    downloadAndRestart(*port, job, image);

    auto st = collectChips(*port, 3);
    // Per chip: 10, 20, 30, 40 x 17 (0..16 of 16), 50 x 2 (0..1 of 1), 70, F0.
    ASSERT_EQ(st.size(), 3u * 24);
    for (int chip = 0; chip < 3; ++chip) {
        SCOPED_TRACE(chip);
        const Status* s = &st[static_cast<size_t>(chip) * 24];
        EXPECT_EQ(s[0].stage, 0x10);
        EXPECT_EQ(s[1].stage, 0x20);
        EXPECT_EQ(s[2].stage, 0x30);
        for (int p = 0; p <= 16; ++p) {
            EXPECT_EQ(s[3 + p].stage, 0x40);
            EXPECT_EQ(s[3 + p].progress, p);
            EXPECT_EQ(s[3 + p].total, 16);
        }
        EXPECT_EQ(s[20].stage, 0x50);
        EXPECT_EQ(s[21].stage, 0x50);
        EXPECT_EQ(s[22].stage, 0x70);
        EXPECT_EQ(s[23].stage, 0xF0);
        EXPECT_EQ(s[23].result, chip == 1 ? 0x0B : 0x06);  // every second chip fails
    }
    // The limit holds: nothing more comes.
    EXPECT_FALSE(port->frame(200).has_value());
    server->withUnit(0, [&](SimUnit& u) {
        EXPECT_EQ(u.offlineGood, 2u);
        EXPECT_EQ(u.offlineBad, 1u);
        EXPECT_FALSE(u.offlineRunning());
        // The last chip holds the image with the second good chip's number.
        ASSERT_EQ(u.chip.flash.size(), 65536u);
        Bytes expect = image;
        put32(&expect[0x100], 0x11223342);
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), u.chip.flash.begin()));
        EXPECT_EQ(u.chip.flash[8192], 0xFF);
        EXPECT_EQ(u.chip.nvm[0], 0x42);
    });
}

TEST_F(SimOffline, ChipCountOptionAndARequestEndTheRun) {
    startSim(3, [](SimOptions& o) {
        o.unit[0].chipIntervalMs = 10;
        o.unit[0].offlineChips = 2;
        o.unit[1].chipIntervalMs = 20;
        o.unit[2].chipIntervalMs = 20;
        o.unit[2].queryEndsOffline = false;
    });
    auto p1 = open(0);
    auto p2 = open(1);
    TestJob job;
    job.chip = TestChip::cpt();
    Bytes image = pattern(8192, 9);
    downloadAndRestart(*p1, job, image);
    auto st = collectChips(*p1, 2);
    EXPECT_EQ(std::count_if(st.begin(), st.end(), [](auto& s) { return s.stage == 0xF0 && s.result == 0x06; }), 2);
    // CPT 32 KB: 8 blocks, no NVM stage.
    EXPECT_EQ(std::count_if(st.begin(), st.end(), [](auto& s) { return s.stage == 0x40; }), 2 * 9);
    EXPECT_EQ(std::count_if(st.begin(), st.end(), [](auto& s) { return s.stage == 0x50; }), 0);
    EXPECT_FALSE(p1->frame(150).has_value());

    // Without a limit the unit goes on until the host speaks to it again.
    downloadAndRestart(*p2, job, image);
    collectChips(*p2, 2);
    auto info = p2->transact(deviceQuery());
    ASSERT_TRUE(info);
    // A status frame may have been on its way; then the reply follows it.
    while (info && (*info)[0] == 0xFD) info = p2->frame();
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[0], 0xA3);
    server->withUnit(1, [](SimUnit& u) { EXPECT_FALSE(u.offlineRunning()); });
    EXPECT_FALSE(p2->frame(150).has_value());

    // A unit set to keep producing answers the query and goes on.
    auto p3 = open(2);
    downloadAndRestart(*p3, job, image);
    collectChips(*p3, 1);
    auto info3 = p3->transact(deviceQuery());
    while (info3 && (*info3)[0] == 0xFD) info3 = p3->frame();
    ASSERT_TRUE(info3);
    EXPECT_EQ((*info3)[0], 0xA3);
    server->withUnit(2, [](SimUnit& u) { EXPECT_TRUE(u.offlineRunning()); });
    EXPECT_FALSE(collectChips(*p3, 1).empty());
}

// A host that stops reading for a while holds the unit back (its frames wait
// in a bounded queue); once the host reads again, production goes on.
TEST_F(SimOffline, AHostThatFallsBehindHoldsProductionBackWithoutEndingIt) {
    startSim(1, [](SimOptions& o) { o.unit[0].chipIntervalMs = 0; });
    auto port = open();
    TestJob job;
    job.chip = TestChip::cpt();
    downloadAndRestart(*port, job, pattern(8192, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto st = collectChips(*port, 3000, 1000);
    EXPECT_EQ(std::count_if(st.begin(), st.end(), [](auto& s) { return s.stage == 0xF0; }), 3000);
}

TEST_F(SimOffline, RestartWithoutAJobProducesNothing) {
    startSim(1, [](SimOptions& o) { o.unit[0].chipIntervalMs = 5; });
    auto port = open();
    port->send(restart());
    EXPECT_FALSE(port->frame(150).has_value());
}

class SimFirmware : public SimFixture {};

TEST_F(SimFirmware, BlocksAreUnmaskedAndAFullUpgradeChangesTheVersion) {
    startSim(2, [](SimOptions& o) { o.unit[1].upgradeVersion = "V3.00"; });
    Bytes image = pattern(65536, 21);
    for (int slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(slot);
        auto port = open(slot);
        for (int b = 0; b < 5; ++b) {
            auto r = port->transact(firmwareBlock(b, image, static_cast<uint16_t>(0x1357 * (b + 1) + slot), 100u * b + slot));
            ASSERT_TRUE(r);
            EXPECT_EQ((*r)[0], 0xB7);
            EXPECT_EQ(resultOf(*r), 0x00);
        }
        auto r = port->transact(firmwareEnd());
        ASSERT_TRUE(r);
        EXPECT_EQ(resultOf(*r), 0x00);
        server->withUnit(slot, [&](SimUnit& u) {
            EXPECT_TRUE(u.upgraded);
            EXPECT_EQ(u.firmwareBlocks.size(), 5u);
            for (size_t i = 0; i < 5 * 2048; ++i) {
                uint8_t expect = (i % 4 == 3) ? 0 : image[i];
                ASSERT_EQ(u.firmwareImage[i], expect) << "offset " << i;
            }
            EXPECT_EQ(u.firmwareImage[5 * 2048], 0);
        });
        auto info = port->transact(deviceQuery());
        ASSERT_TRUE(info);
        std::string text(info->begin() + 28, info->end() - 3);
        EXPECT_NE(text.find(slot == 0 ? " V9.99," : " V3.00,"), std::string::npos) << text;
    }
}

TEST_F(SimFirmware, AnIncompleteUpgradeKeepsTheVersion) {
    startSim(1);
    auto port = open();
    Bytes image = pattern(65536, 4);
    for (int b : {0, 1, 3}) ASSERT_TRUE(port->transact(firmwareBlock(b, image, 0x4242, 9)));
    ASSERT_EQ(resultOf(*port->transact(firmwareEnd())), 0x00);
    server->withUnit(0, [](SimUnit& u) {
        EXPECT_FALSE(u.upgraded);
        EXPECT_EQ(u.version, "V2.10");
    });
    // A block whose filler bytes were tampered with spoils the upgrade too.
    Bytes f(4138);
    ASSERT_TRUE(port->transact(firmwareBlock(0, image, 1, 1)));
    {
        Bytes blk = firmwareBlock(1, image, 1, 1);
        uint16_t count = static_cast<uint16_t>(blk.size()), len = 0;
        ASSERT_EQ(ExtractFrame(blk.data(), count, f.data(), f.size(), len), 0x00);
        f[8 + 2048 + 3] = 0x01;
        appendFrameCrc(f.data(), 4136);
        ASSERT_EQ(resultOf(*port->transact(wire(f))), 0x00);
    }
    ASSERT_EQ(resultOf(*port->transact(firmwareEnd())), 0x00);
    server->withUnit(0, [](SimUnit& u) {
        EXPECT_TRUE(u.firmwareDamaged);
        EXPECT_FALSE(u.upgraded);
    });
}
