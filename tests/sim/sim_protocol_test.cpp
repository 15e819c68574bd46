// The emulated units driven over their pseudo-terminals with the link's own
// frame code: device information, the reply of every request, the chip
// memory model and the job.
#include "shell/checksum.h"
#include "sim_fixture.h"

#include <algorithm>
#include <cstring>

using namespace kvx;
using namespace simtest;

namespace {

std::string infoTextOf(const Bytes& f) {
    std::string t;
    uint16_t l = le16(&f[6]);
    for (size_t i = 28; i < f.size() && i < 28u + l + 1 && f[i] >= 0x20 && f[i] <= 0x7F; ++i)
        t.push_back(static_cast<char>(f[i]));
    return t;
}

}  // namespace

class SimProtocol : public SimFixture {};

TEST_F(SimProtocol, DeviceInformationPerUnit) {
    startSim(2, [](SimOptions& o) {
        o.unit[1].model = "Korvex200XYZ";
        o.unit[1].version = "V1.05";
    });
    auto p1 = open(0);
    auto p2 = open(1);
    ASSERT_TRUE(p1->ok() && p2->ok());
    auto r1 = p1->transact(deviceQuery());
    auto r2 = p2->transact(deviceQuery());
    ASSERT_TRUE(r1 && r2);
    for (const Bytes* r : {&*r1, &*r2}) {
        EXPECT_EQ((*r)[0], 0xA3);
        EXPECT_EQ((*r)[1], 0xA5);
        EXPECT_EQ((*r)[2], 0x35);
        EXPECT_EQ(le16(&(*r)[6]) + 10u, r->size());  // L is the payload length
        EXPECT_EQ(resultOf(*r), 0x00);                // and its check code is right
    }
    EXPECT_EQ(infoTextOf(*r1), "Korvex200RTQ V2.10, Unit 1");
    EXPECT_EQ(infoTextOf(*r2), "Korvex200XYZ V1.05, Unit 2");
}

TEST_F(SimProtocol, EveryRequestGetsOneReplyOfItsShape) {
    startSim(1);
    auto port = open();
    ASSERT_TRUE(port->ok());
    TestChip sc = TestChip::sc64(), cpt = TestChip::cpt(), lks = TestChip::lks32(), fg = TestChip::fg();
    TestChip cptAll = cpt, cptFour = cpt;
    cptAll.familyOption = 0x05;
    cptFour.familyOption = 0x40;
    Bytes job = jobBlock(TestJob{});
    Bytes data = pattern(4096, 1);
    struct Case {
        const char* name;
        Bytes request;
        uint8_t command;
        uint16_t parameter;
        uint16_t payload;
        uint8_t result;
    };
    const Case cases[] = {
        {"job download", jobDownload(job), 0x53, 0, 1, 0x00},
        {"flash download", blockDownload(0x55, 8, data, sc), 0x55, 8, 1, 0x00},
        {"nvm download", blockDownload(0x5A, 0, data, sc), 0x5A, 0, 1, 0x00},
        {"erase", chipCommand(0x03, sc), 0x93, 0x03, 1, 0x00},
        {"blank check", chipCommand(0x05, sc), 0x93, 0x05, 1, 0x00},
        {"option read SC", chipCommand(0x33, sc), 0x93, 0x33, 512, 0x00},
        {"option read CPT", chipCommand(0x33, cpt), 0x93, 0x33, 32, 0x00},
        {"option read CPT 0x05", chipCommand(0x33, cptAll), 0x93, 0x33, 256, 0x00},
        {"option read CPT 0x40", chipCommand(0x33, cptFour), 0x93, 0x33, 64, 0x00},
        {"option read LKS", chipCommand(0x33, lks), 0x93, 0x33, 16, 0x00},
        {"option read FG", chipCommand(0x33, fg), 0x93, 0x33, 16, 0x00},
        {"option write", optionWrite(cpt, Bytes(128, 0x5A)), 0x93, 0x35, 1, 0x00},
        {"chip id", chipCommand(0x3C, sc), 0x93, 0x3C, 16, 0x00},
        {"address read 40", addressRead(sc, 0x100, 40), 0x93, 0x79, 40, 0x00},
        {"address read 1", addressRead(sc, 0x100, 1), 0x93, 0x79, 3, 0x00},
        {"address read too long", addressRead(sc, 0, 5000), 0x93, 0x79, 1, 0x55},
        {"flash program", flashProgram(4, sc, data), 0x95, 4, 1, 0x00},
        {"nvm program", nvmProgram(0, sc, data), 0x99, 0, 1, 0x00},
        {"flash read", flashRead(4, sc), 0x9B, 4, 4096, 0x00},
        {"nvm read", nvmRead(0, sc), 0x9D, 0, 4096, 0x00},
        {"unknown sub-command", chipCommand(0x77, sc), 0x93, 0x77, 1, 0x25},
        {"unknown command", request(0x42, 0, Bytes(4, 0)), 0x42, 0, 1, 0x25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = port->transact(c.request);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ((*r)[0], c.command);
        EXPECT_EQ(le16(&(*r)[1]), c.parameter);
        EXPECT_EQ(payloadLength(*r), c.payload);
        EXPECT_EQ(r->size(), c.payload + 10u);
        EXPECT_EQ(resultOf(*r), c.result);
    }
    // Restart gets no reply; nothing else is pending.
    port->send(restart());
    EXPECT_FALSE(port->frame(150).has_value());
    // Exactly one frame per request went out.
    auto ev = server->trace().events();
    size_t requests = std::count_if(ev.begin(), ev.end(), [](auto& e) { return e.kind == "request"; });
    size_t replies = std::count_if(ev.begin(), ev.end(), [](auto& e) { return e.kind == "reply"; });
    EXPECT_EQ(requests, std::size(cases) + 1);
    EXPECT_EQ(replies, std::size(cases));
}

TEST_F(SimProtocol, DamagedRequestsAreAnsweredWithTheirCode) {
    startSim(1);
    auto port = open();
    Bytes f = frame(0x93, 0x05, paramBlock(TestChip{}));
    f[20] ^= 1;  // check code no longer matches
    auto r = port->transact(wire(f));
    ASSERT_TRUE(r);
    EXPECT_EQ(resultOf(*r), 0x23);
    Bytes shortRun = {0xC0, 0x01, 0x02, 0xC0};
    r = port->transact(shortRun);
    ASSERT_TRUE(r);
    EXPECT_EQ(resultOf(*r), 0x2A);
    auto ev = server->trace().events();
    auto it = std::find_if(ev.begin(), ev.end(), [](auto& e) { return e.kind == "request" && e.command == 0x93; });
    ASSERT_NE(it, ev.end());
    EXPECT_EQ(it->crcOk, 0);
}

TEST_F(SimProtocol, MemoryModelEraseProgramBlankCheckReadBack) {
    startSim(1);
    auto port = open();
    TestChip sc = TestChip::sc64();
    auto result = [&](const Bytes& req) {
        auto r = port->transact(req);
        return r ? resultOf(*r) : 0xFF;
    };
    auto readBlock = [&](uint16_t kb, const TestChip& c) {
        auto r = port->transact(flashRead(kb, c));
        return r ? payloadOf(*r) : Bytes();
    };
    EXPECT_EQ(result(chipCommand(0x05, sc)), 0x00);
    Bytes a = pattern(4096, 7), b = pattern(4096, 8);
    // The block address of a program request is taken modulo 4096 KB.
    EXPECT_EQ(result(flashProgram(0x1008, sc, a)), 0x00);
    EXPECT_EQ(result(chipCommand(0x05, sc)), 0x15);
    EXPECT_EQ(readBlock(8, sc), a);
    EXPECT_EQ(readBlock(0, sc), Bytes(4096, 0xFF));
    // Programming without erasing only clears bits.
    EXPECT_EQ(result(flashProgram(8, sc, b)), 0x00);
    Bytes both(4096);
    for (size_t i = 0; i < both.size(); ++i) both[i] = a[i] & b[i];
    EXPECT_EQ(readBlock(8, sc), both);
    server->withUnit(0, [&](SimUnit& u) {
        ASSERT_EQ(u.chip.flash.size(), 65536u);
        EXPECT_TRUE(std::equal(both.begin(), both.end(), u.chip.flash.begin() + 8192));
    });
    EXPECT_EQ(result(chipCommand(0x03, sc)), 0x00);
    EXPECT_EQ(result(chipCommand(0x05, sc)), 0x00);
    EXPECT_EQ(readBlock(8, sc), Bytes(4096, 0xFF));

    // A 30 KB chip: the last block is cut at the flash end; beyond it nothing.
    TestChip odd = sc;
    odd.flashSizeKB = 30;
    EXPECT_EQ(result(flashProgram(28, odd, a)), 0x00);
    Bytes last = readBlock(28, odd);
    ASSERT_EQ(last.size(), 4096u);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 2048, last.begin()));
    EXPECT_EQ(Bytes(last.begin() + 2048, last.end()), Bytes(2048, 0xFF));
    EXPECT_EQ(result(flashProgram(32, odd, a)), 0x55);
    server->withUnit(0, [&](SimUnit& u) { EXPECT_EQ(u.chip.flash.size(), 30u * 1024); });
}

TEST_F(SimProtocol, NvmOptionAndAddressAreasPerVendor) {
    startSim(1);
    auto port = open();
    Bytes data = pattern(4096, 3);
    // SC: NVM of eepSize bytes in its own space; reads give 4096 bytes.
    TestChip sc = TestChip::sc64();
    ASSERT_EQ(resultOf(*port->transact(nvmProgram(0, sc, data))), 0x00);
    auto r = port->transact(nvmRead(0, sc));
    ASSERT_TRUE(r);
    Bytes nvm = payloadOf(*r);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 512, nvm.begin()));
    EXPECT_EQ(Bytes(nvm.begin() + 512, nvm.end()), Bytes(4096 - 512, 0xFF));
    r = port->transact(chipCommand(0x33, sc));  // SC option read is the NVM area
    EXPECT_EQ(payloadOf(*r), Bytes(data.begin(), data.begin() + 512));

    // CPT: NVM blocks land in the option area at 0x08010000.
    TestChip cpt = TestChip::cpt();
    ASSERT_EQ(resultOf(*port->transact(nvmProgram(0, cpt, data))), 0x00);
    r = port->transact(addressRead(cpt, 0x08010000, 40));
    EXPECT_EQ(payloadOf(*r), Bytes(data.begin(), data.begin() + 40));
    r = port->transact(chipCommand(0x33, cpt));
    EXPECT_EQ(payloadOf(*r), Bytes(data.begin(), data.begin() + 32));
    Bytes opt(128);
    for (size_t i = 0; i < opt.size(); ++i) opt[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(resultOf(*port->transact(optionWrite(cpt, opt))), 0x00);
    r = port->transact(addressRead(cpt, 0x08010000 + 120, 16));  // 8 option bytes, 8 beyond
    Bytes expect(16);
    for (size_t i = 0; i < 8; ++i) {
        expect[i] = static_cast<uint8_t>(120 + i);
        expect[8 + i] = data[128 + i];
    }
    EXPECT_EQ(payloadOf(*r), expect);
    ASSERT_EQ(resultOf(*port->transact(flashProgram(4, cpt, data))), 0x00);
    r = port->transact(addressRead(cpt, 0x08001000 + 100, 300));
    EXPECT_EQ(payloadOf(*r), Bytes(data.begin() + 100, data.begin() + 400));
    r = port->transact(addressRead(cpt, 0x20000000, 4));  // unmapped
    EXPECT_EQ(payloadOf(*r), Bytes(4, 0xFF));
    server->withUnit(0, [&](SimUnit& u) { EXPECT_EQ(u.chip.options[5], 5); });

    // LKS: the two words at payload 8 and 12 are option bytes 8-9 and 12-13.
    TestChip lks = TestChip::lks32();
    server->withUnit(0, [&](SimUnit& u) {
        u.chip.insert(ChipGeometry::fromParameterBlock(paramBlock(lks).data()), false);
        u.chip.options[8] = 0x34;
        u.chip.options[9] = 0x12;
        u.chip.options[12] = 0xCD;
        u.chip.options[13] = 0xAB;
    });
    r = port->transact(chipCommand(0x33, lks));
    Bytes p = payloadOf(*r);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(le16(&p[8]), 0x1234);
    EXPECT_EQ(le16(&p[12]), 0xABCD);

    // The chip identifier: 12 bytes, the unit's own.
    r = port->transact(chipCommand(0x3C, lks));
    server->withUnit(0, [&](SimUnit& u) { EXPECT_TRUE(std::equal(u.chip.uid.begin(), u.chip.uid.end(), r->begin() + 8)); });
}

TEST_F(SimProtocol, JobIsUnmaskedAndChecked) {
    startSim(1);
    auto port = open();
    TestJob j;
    j.countLimit = 77;
    Bytes block = jobBlock(j);
    Bytes tampered = block;
    tampered[300] ^= 0x01;  // its check code no longer holds
    Bytes otherCopy = jobBlock(TestJob{});
    struct Case {
        const char* name;
        Bytes request;
        uint8_t result;
    };
    const Case cases[] = {
        {"K0 wrong", jobDownload(block, 0x6A, 0x2D), 0x34},
        {"K1 wrong", jobDownload(block, 0x6B, 0x2C), 0x34},
        {"block damaged", jobDownload(tampered), 0x34},
        {"copies differ", jobDownload(block, 0x6B, 0x2D, &otherCopy), 0x34},
        {"right mask", jobDownload(block), 0x00},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = port->transact(c.request);
        ASSERT_TRUE(r);
        EXPECT_EQ(resultOf(*r), c.result);
        server->withUnit(0, [&](SimUnit& u) {
            EXPECT_EQ(u.job.has_value(), c.result == 0x00);
            if (u.job) {
                EXPECT_TRUE(std::equal(block.begin(), block.end(), u.job->begin()));
            }
        });
    }
    // The mask with P = 0: 0xEB on even positions, 0xAD on odd ones.
    uint8_t pl[4] = {0, 0, 0, 0};
    maskJobPayload(pl, 4, 0);
    EXPECT_EQ(pl[0], 0xEB);
    EXPECT_EQ(pl[1], 0xAD);
    auto ev = server->trace().events();
    std::vector<int> jobOk;
    for (auto& e : ev)
        if (e.kind == "request" && e.command == 0x53) jobOk.push_back(e.jobOk);
    EXPECT_EQ(jobOk, (std::vector<int>{0, 0, 0, 0, 1}));
}
