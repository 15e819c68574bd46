#include "link/requests.h"

#include "chip/catalogue.h"
#include "link/frame.h"
#include "shell/checksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kUnset = 0xCC;  // what a frame buffer holds before a build

// A random source that always answers the largest value allowed and notes
// every bound it was asked for.
class TopRandom : public Random {
public:
    uint32_t below(uint32_t upper) override {
        bounds.push_back(upper);
        return upper - 1;
    }
    std::vector<uint32_t> bounds;
};

// A 4 MiB random image, made once.
const Bytes& sharedImage() {
    static const Bytes image = [] {
        Bytes b(kImageBufferSize);
        std::mt19937 gen(1234);
        for (size_t i = 0; i < b.size(); i += 4) {
            uint32_t v = gen();
            for (size_t k = 0; k < 4; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
        }
        return b;
    }();
    return image;
}

// Everything the builders read, filled with distinct values.
struct Rig {
    explicit Rig(ChipVendor vendor, int index, uint64_t seed = 1234) : rng(std::make_unique<SeededRandom>(seed)) {
        chooseChip(chip, vendor, index);
        nvmImage.assign(kNvmImageSize, 0);
        applyProfileDefaults(chip, job.jobFlags, nvmImage.data() + 4096);
        for (size_t i = 0; i < 4096; ++i) nvmImage[i] = static_cast<uint8_t>(i * 7 + 3);
        for (size_t i = 0; i < 256; ++i) nvmImage[4096 + i] = static_cast<uint8_t>(0x80 + i);
        job.jobFlags[1] = 0x21;
        job.jobFlags[2] = 0x96;
        job.autoDetect = 0x0F;
        job.powerUpSettle = 11;
        job.powerDownSettle = 12;
        job.insertSettle = 13;
        job.removeSettle = 14;
        job.runTime = 0x1516;
        job.snEnable = 0x0F;
        job.snLength = 4;
        job.snIncrement = 0x1718;
        job.snAddress = 0x191A1B1C;
        job.snStart = 0x1D1E1F20;
        job.countLimitEnable = 0x0F;
        job.countLimit = 0x21222324;
        sums = {0x2526, 0x2728, 0x292A2B2C, 0x2D2E, 0x2F30, 0x31323334};
        words = {0x3536, 0x3738, 0x393A};
        chip.familyOption = 0x3B;
    }
    RequestContext context() {
        RequestContext c;
        c.chip = &chip;
        c.job = &job;
        c.sums = &sums;
        c.words = &words;
        c.modelCode = 0x0C;
        c.rng = rng.get();
        c.image = image.data();
        c.nvm = nvmImage.data();
        c.options = nvmImage.data() + 4096;
        c.chipNameText = chip.chipName;
        c.productText = "firmware.hex";
        return c;
    }
    const uint8_t* options() const { return nvmImage.data() + 4096; }

    ChipProfile chip;
    JobSettings job;
    ImageSums sums;
    ProjectWords words;
    const Bytes& image = sharedImage();
    Bytes nvmImage;
    std::unique_ptr<Random> rng;
};

Bytes freshFrame() { return Bytes(kFrameBufferSize, kUnset); }

Bytes range(const uint8_t* p, size_t from, size_t n) { return Bytes(p + from, p + from + n); }

// The parameter block a filled rig must give, field by field, with the two
// random-dependent places given.
Bytes expectedParameterBlock(const Rig& r, uint8_t random6, uint16_t own) {
    Bytes b(64, 0);
    b[3] = 0x0C;
    b[4] = r.chip.familyCode;
    b[5] = r.chip.modelIndex;
    b[6] = random6;
    b[7] = 0x0F;
    b[8] = 0x36, b[9] = 0x35;
    b[10] = static_cast<uint8_t>(own), b[11] = static_cast<uint8_t>(own >> 8);
    uint32_t bytes4 = r.chip.flashSizeKB * 4u;
    b[17] = static_cast<uint8_t>(bytes4), b[18] = static_cast<uint8_t>(bytes4 >> 8);
    b[20] = static_cast<uint8_t>(r.chip.flashSizeKB), b[21] = static_cast<uint8_t>(r.chip.flashSizeKB >> 8);
    b[22] = static_cast<uint8_t>(r.chip.sectorCount), b[23] = static_cast<uint8_t>(r.chip.sectorCount >> 8);
    b[24] = static_cast<uint8_t>(r.chip.sectorSize), b[25] = static_cast<uint8_t>(r.chip.sectorSize >> 8);
    b[26] = static_cast<uint8_t>(r.chip.eepSize), b[27] = static_cast<uint8_t>(r.chip.eepSize >> 8);
    b[29] = 1;
    b[30] = static_cast<uint8_t>(r.chip.nvmFirst), b[31] = static_cast<uint8_t>(r.chip.nvmFirst >> 8);
    for (int i = 0; i < 6; ++i) b[32 + i] = r.job.jobFlags[static_cast<size_t>(i)];
    for (int i = 0; i < 4; ++i) b[38 + i] = static_cast<uint8_t>(r.chip.flashFirst >> (8 * i));
    b[42] = 11, b[43] = 12, b[44] = 13, b[45] = 14;
    b[46] = static_cast<uint8_t>(r.chip.nvmFirst >> 16), b[47] = static_cast<uint8_t>(r.chip.nvmFirst >> 24);
    const uint8_t tail[] = {0x26, 0x25, 0x28, 0x27, 0x2E, 0x2D, 0x30, 0x2F, 0x38, 0x37, 0x3A, 0x39, 0x3B, 0x00, 0x16, 0x15};
    std::copy(std::begin(tail), std::end(tail), b.begin() + 48);
    return b;
}

void unmaskJob(uint8_t* payload) {
    for (size_t k = 0; k < 512; ++k) {
        payload[2 * k] ^= 0xEB;
        payload[2 * k + 1] ^= 0xAD;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Every builder: header, length, check code, wire form, untouched bytes.

TEST(Requests, EveryBuildersFrame) {
    Rig r(ChipVendor::SC, 7);
    RequestContext c = r.context();
    Bytes firmware(65536);
    for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<uint8_t>(i * 13);
    SeededRandom fwRng(5);
    struct Case {
        const char* name;
        std::function<size_t(uint8_t*)> build;
        size_t length;
        uint8_t command;
        uint16_t parameter;
        uint16_t payloadLength;
        bool chipHeader;  // bytes 3-5 are model code, family code and model index
    };
    const std::vector<Case> cases = {
        {"JobDownload", [&](uint8_t* f) { return buildJobDownload(c, f); }, 1034, 0x53, 0, 1024, true},
        {"FlashBlockDownload", [&](uint8_t* f) { return buildFlashBlockDownload(c, 8, f); }, 4106, 0x55, 8, 4096, true},
        {"NvmBlockDownload", [&](uint8_t* f) { return buildNvmBlockDownload(c, 1, f); }, 4106, 0x5A, 1, 4096, true},
        {"BlankCheck", [&](uint8_t* f) { return buildChipCommand(c, kSubBlankCheck, f); }, 218, 0x93, 0x05, 208, true},
        {"ChipErase", [&](uint8_t* f) { return buildChipCommand(c, kSubChipErase, f); }, 218, 0x93, 0x03, 208, true},
        {"OptionRead", [&](uint8_t* f) { return buildChipCommand(c, kSubOptionRead, f); }, 218, 0x93, 0x33, 208, true},
        {"ChipIdRead", [&](uint8_t* f) { return buildChipCommand(c, kSubChipIdRead, f); }, 218, 0x93, 0x3C, 208, true},
        {"OptionWrite", [&](uint8_t* f) { return buildOptionWrite(c, f); }, 202, 0x93, 0x35, 192, true},
        {"AddressRead", [&](uint8_t* f) { return buildAddressRead(c, 0x100, 16, f); }, 74, 0x93, 0x79, 64, true},
        {"FlashBlockProgram", [&](uint8_t* f) { return buildFlashBlockProgram(c, 0x1008, f); }, 4170, 0x95, 0x1008, 4160,
         true},
        {"NvmBlockProgram", [&](uint8_t* f) { return buildNvmBlockProgram(c, 0, f); }, 4170, 0x99, 0, 4160, true},
        {"FlashBlockRead", [&](uint8_t* f) { return buildFlashBlockRead(c, 3, f); }, 218, 0x9B, 3, 208, true},
        {"NvmBlockRead", [&](uint8_t* f) { return buildNvmBlockRead(c, 0, f); }, 218, 0x9D, 0, 208, true},
        {"ProgrammerRestart", [&](uint8_t* f) { return buildProgrammerRestart(f); }, 12, 0x8A, 0x4552, 2, false},
        {"FirmwareBlock", [&](uint8_t* f) { return buildFirmwareBlock(fwRng, firmware.data(), 3, f); }, 4138, 0xB7, 0, 0x1020,
         false},
        {"FirmwareEnd", [&](uint8_t* f) { return buildFirmwareEnd(f); }, 12, 0xBD, 0x5200, 2, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes f = freshFrame();
        const size_t len = k.build(f.data());
        ASSERT_EQ(len, k.length);
        FrameHeader h = readHeader(f.data());
        EXPECT_EQ(h.command, k.command);
        if (k.command != 0xB7) {
            EXPECT_EQ(h.parameter, k.parameter);
        }
        EXPECT_EQ(h.payloadLength, k.payloadLength);
        EXPECT_EQ(len, 8u + k.payloadLength + 2);
        if (k.chipHeader) {
            EXPECT_EQ(h.modelCode, 0x0C);
            EXPECT_EQ(h.familyCode, 0x80);
            EXPECT_EQ(h.modelIndex, 7);
        }
        EXPECT_EQ(le16(f.data() + len - 2), flashCrc16(f.data(), 0, static_cast<uint32_t>(len - 3)));
        EXPECT_EQ(CheckReply(f.data(), len), 0x00);
        EXPECT_TRUE(std::all_of(f.begin() + static_cast<long>(len), f.end(), [](uint8_t b) { return b == kUnset; }))
            << "bytes behind the frame were written";

        // The wire form: flags, escapes and padding, decoded back to the frame.
        size_t specials = static_cast<size_t>(
            std::count_if(f.begin(), f.begin() + static_cast<long>(len), [](uint8_t b) { return b == 0xC0 || b == 0xDB; }));
        Bytes wire(2 * len + 7);
        const size_t wireLen = EncodeFrame(f.data(), len, wire.data());
        EXPECT_EQ(wireLen, len + specials + 2 + 5);
        EXPECT_EQ(wireLen, encodedLength(f.data(), len));
        uint16_t count = static_cast<uint16_t>(wireLen);
        Bytes back(kFrameBufferSize);
        uint16_t decoded = 0;
        ASSERT_EQ(ExtractFrame(wire.data(), count, back.data(), back.size(), decoded), 0x00);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + decoded), Bytes(f.begin(), f.begin() + static_cast<long>(len)));
    }
}

// ---------------------------------------------------------------------------
// Image blocks.

TEST(Requests, FlashBlocks) {
    Rig r(ChipVendor::SC, 0);
    RequestContext c = r.context();
    {
        Bytes f = freshFrame();
        ASSERT_EQ(buildFlashBlockDownload(c, 8, f.data()), 4106u);
        EXPECT_EQ(range(f.data(), 8, 4096), range(r.image.data(), 8192, 4096));
        // The block's data holds flag and escape bytes, so the wire form is longer.
        EXPECT_GT(encodedLength(f.data(), 4106), 4106u + 7);
    }
    struct Case {
        const char* name;
        bool program;
        uint16_t block;
        size_t from;   // image offset of the first byte
        size_t count;  // bytes taken from the image; zeros after them
    };
    const std::vector<Case> cases = {
        {"download block 0", false, 0, 0, 4096},
        {"download block 4092: the last whole block", false, 4092, 4092 * 1024, 4096},
        {"download block 4095: the image ends after 1 KB", false, 4095, 4095 * 1024, 1024},
        {"download block 4096: beyond the image", false, 4096, 0, 0},
        {"download block 0xFFFF", false, 0xFFFF, 0, 0},
        {"program block 8", true, 8, 8 * 1024, 4096},
        {"program block 0x1008: the address is masked with 0x0FFF", true, 0x1008, 8 * 1024, 4096},
        {"program block 0xFFFF: masked to 4095", true, 0xFFFF, 4095 * 1024, 1024},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes f = freshFrame();
        size_t at = 8;
        if (k.program) {
            buildFlashBlockProgram(c, k.block, f.data());
            at = 72;
        } else {
            buildFlashBlockDownload(c, k.block, f.data());
        }
        EXPECT_EQ(readHeader(f.data()).parameter, k.block);
        Bytes want(4096, 0);
        std::copy(r.image.begin() + static_cast<long>(k.from), r.image.begin() + static_cast<long>(k.from + k.count),
                  want.begin());
        EXPECT_EQ(range(f.data(), at, 4096), want);
    }
}

// The NVM image is NvmBuffer followed by OptionBytesBuffer; chips whose NVM
// starts at 0x08010000 take their blocks from 4096 on.
TEST(Requests, NvmBlocks) {
    struct Case {
        const char* name;
        ChipVendor vendor;
        uint16_t block;
        size_t from;  // offset in the 4352-byte NVM image
    };
    const std::vector<Case> cases = {
        {"LKS block 0: NvmBuffer", ChipVendor::LKS, 0, 0},
        {"SC block 1: the rest of NvmBuffer, the option bytes, zeros", ChipVendor::SC, 1, 1024},
        {"SC block 5: beyond the NVM image", ChipVendor::SC, 5, 5120},
        {"CPT block 0: the option bytes, then zeros", ChipVendor::CPT, 0, 4096},
        {"FG block 0", ChipVendor::FG, 0, 4096},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig r(k.vendor, 0);
        RequestContext c = r.context();
        Bytes want(4096, 0);
        for (size_t i = 0; i < 4096 && k.from + i < kNvmImageSize; ++i) want[i] = r.nvmImage[k.from + i];
        Bytes f = freshFrame();
        buildNvmBlockDownload(c, k.block, f.data());
        EXPECT_EQ(range(f.data(), 8, 4096), want);
        buildNvmBlockProgram(c, k.block, f.data());
        EXPECT_EQ(range(f.data(), 72, 4096), want);
        Bytes direct(4096);
        nvmBlockBytes(c, k.block, direct.data());
        EXPECT_EQ(direct, want);
    }
    Rig cpt(ChipVendor::CPT, 0);
    Bytes f = freshFrame();
    buildNvmBlockDownload(cpt.context(), 0, f.data());
    EXPECT_EQ(range(f.data(), 8, 256), range(cpt.options(), 0, 256));
}

// ---------------------------------------------------------------------------
// The chip parameter block.

TEST(Requests, ParameterBlockFieldByField) {
    for (ChipVendor v : {ChipVendor::LKS, ChipVendor::CPT, ChipVendor::FG, ChipVendor::SC}) {
        SCOPED_TRACE(static_cast<int>(v));
        Rig r(v, 2, 99);
        SeededRandom replay(99);
        const uint8_t random6 = replay.byte();
        Bytes b(64, kUnset);
        buildChipParameterBlock(r.context(), 0xBEEF, b.data());
        EXPECT_EQ(b, expectedParameterBlock(r, random6, 0xBEEF));
    }
}

TEST(Requests, ParameterBlockSizesAndNvmAddress) {
    struct Case {
        const char* name;
        ChipVendor vendor;
        int index;
        Bytes at16to21;
        Bytes at30, at46;
    };
    const std::vector<Case> cases = {
        {"64 KB", ChipVendor::SC, 4, {0x00, 0x00, 0x01, 0x00, 0x40, 0x00}, {0x00, 0x00}, {0x00, 0x00}},
        {"32 KB", ChipVendor::LKS, 0, {0x00, 0x80, 0x00, 0x00, 0x20, 0x00}, {0x00, 0x00}, {0x00, 0x00}},
        {"128 KB", ChipVendor::SC, 36, {0x00, 0x00, 0x02, 0x00, 0x80, 0x00}, {0x00, 0x00}, {0x00, 0x00}},
        {"NVM at 0x08010000 (CPT)", ChipVendor::CPT, 0, {0x00, 0x80, 0x00, 0x00, 0x20, 0x00}, {0x00, 0x00},
         {0x01, 0x08}},
        {"NVM at 0x08010000 (FG)", ChipVendor::FG, 0, {0x00, 0x00, 0x01, 0x00, 0x40, 0x00}, {0x00, 0x00},
         {0x01, 0x08}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig r(k.vendor, k.index);
        Bytes b(64);
        buildChipParameterBlock(r.context(), 0, b.data());
        EXPECT_EQ(range(b.data(), 16, 6), k.at16to21);
        EXPECT_EQ(range(b.data(), 30, 2), k.at30);
        EXPECT_EQ(range(b.data(), 46, 2), k.at46);
    }
    // The size in bytes is carried in 16 bits of KB x 4, so it wraps.
    Rig r(ChipVendor::SC, 0);
    r.chip.flashSizeKB = 20000;  // 80000 = 0x13880
    r.chip.nvmFirst = 0x12345678;
    Bytes b(64);
    buildChipParameterBlock(r.context(), 0, b.data());
    EXPECT_EQ(range(b.data(), 16, 6), (Bytes{0x00, 0x80, 0x38, 0x00, 0x20, 0x4E}));
    EXPECT_EQ(range(b.data(), 30, 2), (Bytes{0x78, 0x56}));
    EXPECT_EQ(range(b.data(), 46, 2), (Bytes{0x34, 0x12}));
}

TEST(Requests, ChipCommandPayloads) {
    Rig r(ChipVendor::CPT, 3, 7);
    RequestContext c = r.context();
    Bytes f = freshFrame();
    buildChipCommand(c, kSubChipErase, f.data());
    SeededRandom replay(7);
    EXPECT_EQ(range(f.data(), 8, 64), expectedParameterBlock(r, replay.byte(), 0));
    EXPECT_EQ(range(f.data(), 72, 144), Bytes(144, 0));

    buildOptionWrite(c, f.data());
    EXPECT_EQ(range(f.data(), 72, 128), range(r.options(), 0, 128));

    buildFlashBlockRead(c, 5, f.data());
    EXPECT_EQ(range(f.data(), 72, 144), Bytes(144, 0));

    // The read request sits at offsets 48-53 of the block; the check code
    // covers the frame as sent.
    Bytes a = freshFrame();
    ASSERT_EQ(buildAddressRead(c, 0x08001234, 0x0400, a.data()), 74u);
    Bytes block = expectedParameterBlock(r, range(a.data(), 8, 64)[6], 0);
    const Bytes read = {0x34, 0x12, 0x00, 0x08, 0x00, 0x04};
    std::copy(read.begin(), read.end(), block.begin() + 48);
    EXPECT_EQ(range(a.data(), 8, 64), block);
    EXPECT_EQ(le16(a.data() + 72), flashCrc16(a.data(), 0, 71));
}

// Every random value is asked for with the bounds 255 (bytes) and 65535 (the
// job block's own word), so bytes never exceed 254.
TEST(Requests, RandomBounds) {
    Rig r(ChipVendor::SC, 0);
    TopRandom top;
    RequestContext c = r.context();
    c.rng = &top;
    Bytes b(64);
    buildChipParameterBlock(c, 0, b.data());
    EXPECT_EQ(top.bounds, (std::vector<uint32_t>{255}));
    EXPECT_EQ(b[6], 254);

    top.bounds.clear();
    Bytes j(512);
    buildJobBlock(c, j.data());
    std::multiset<uint32_t> bounds(top.bounds.begin(), top.bounds.end());
    EXPECT_EQ(bounds.count(65535), 1u);
    EXPECT_EQ(bounds.count(255), 65u);
    EXPECT_EQ(bounds.size(), 66u);
    EXPECT_EQ(j[4 + 6], 254);
    EXPECT_EQ(le16(j.data() + 4 + 10), 65534);
    EXPECT_EQ(range(j.data(), 304, 64), Bytes(64, 254));

    top.bounds.clear();
    Bytes fw(65536, 0), f = freshFrame();
    buildFirmwareBlock(top, fw.data(), 0, f.data());
    ASSERT_FALSE(top.bounds.empty());
    EXPECT_EQ(top.bounds.front(), 65525u);
    EXPECT_TRUE(std::all_of(top.bounds.begin() + 1, top.bounds.end(), [](uint32_t u) { return u == 255; }));
    EXPECT_EQ(le16(f.data() + 2), 65524);
}

// ---------------------------------------------------------------------------
// The job block and its download.

TEST(Requests, JobBlockFieldByField) {
    Rig r(ChipVendor::CPT, 6, 42);
    RequestContext c = r.context();
    c.productText = "demo_firmware.hex";
    Bytes j(512, kUnset);
    buildJobBlock(c, j.data());
    EXPECT_TRUE(checkJobBlock(j.data()));
    EXPECT_EQ(range(j.data(), 0, 4), (Bytes{0x5A, 0x57, 0x4C, 0x50}));
    EXPECT_EQ(range(j.data(), 4, 64), expectedParameterBlock(r, j[4 + 6], le16(j.data() + 14)));
    EXPECT_LT(le16(j.data() + 14), 65535);
    const Bytes serial = {0x0F, 0x04, 0x18, 0x17, 0x1C, 0x1B, 0x1A, 0x19, 0x20, 0x1F, 0x1E, 0x1D,
                          0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x24, 0x23, 0x22, 0x21, 0x28, 0x27,
                          0x34, 0x33, 0x32, 0x31};
    EXPECT_EQ(range(j.data(), 68, 28), serial);
    EXPECT_EQ(range(j.data(), 96, 16), Bytes(16, 0));
    EXPECT_EQ(range(j.data(), 112, 128), range(r.options(), 0, 128));
    Bytes name(16, 0);
    std::string n = "CPT2816Cxx-A3";
    std::copy(n.begin(), n.end(), name.begin());
    EXPECT_EQ(range(j.data(), 240, 16), name);
    Bytes product(48, 0);
    std::copy(c.productText.begin(), c.productText.end(), product.begin());
    EXPECT_EQ(range(j.data(), 256, 48), product);
    Bytes rnd = range(j.data(), 304, 64);
    EXPECT_TRUE(std::all_of(rnd.begin(), rnd.end(), [](uint8_t x) { return x <= 254; }));
    EXPECT_GT(std::set<uint8_t>(rnd.begin(), rnd.end()).size(), 20u);
    EXPECT_EQ(range(j.data(), 368, 140), Bytes(140, 0));
    EXPECT_EQ(le16(j.data() + 508), flashCrc16(j.data(), 0, 507));
    EXPECT_EQ(le16(j.data() + 510), static_cast<uint16_t>(byteSum32(j.data(), 0, 509)));

    // Tampering shows.
    for (size_t at : {size_t(0), size_t(3), size_t(100), size_t(507), size_t(509), size_t(511)}) {
        Bytes t = j;
        t[at] ^= 0x01;
        EXPECT_FALSE(checkJobBlock(t.data())) << "byte " << at;
    }
}

TEST(Requests, JobBlockTexts) {
    struct Case {
        const char* name;
        std::string chipText, productText;
        Bytes at240, at256;  // leading bytes; the rest of each field is zero
    };
    const std::vector<Case> cases = {
        {"empty texts give a question mark", "", "", {0x3F}, {0x3F}},
        {"a trailing blank is kept", "LKS32MC088C6Tx ", "a.bin",
         {'L', 'K', 'S', '3', '2', 'M', 'C', '0', '8', '8', 'C', '6', 'T', 'x', ' '}, {'a', '.', 'b', 'i', 'n'}},
        {"texts longer than the field are cut", "ABCDEFGHIJKLMNOPQRST", std::string(60, 'x'),
         Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'}, Bytes(48, 'x')},
        // 15 ASCII bytes then a 3-byte character: the character does not fit whole.
        {"a cut never splits a UTF-8 character", "ABCDEFGHIJKLMNO\xE7\xA8\x8B", std::string(47, 'y') + "\xC3\xA9",
         Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O'}, Bytes(47, 'y')},
        {"a character that ends exactly at the field's end stays", "ABCDEFGHIJKLM\xE7\xA8\x8B", "",
         Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 0xE7, 0xA8, 0x8B}, {0x3F}},
        {"bytes that are not UTF-8 are cut as they are", std::string(20, '\x80'), "", Bytes(16, 0x80), {0x3F}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig r(ChipVendor::LKS, 0);
        RequestContext c = r.context();
        c.chipNameText = k.chipText;
        c.productText = k.productText;
        Bytes j(512, kUnset);
        buildJobBlock(c, j.data());
        Bytes want240(16, 0), want256(48, 0);
        std::copy(k.at240.begin(), k.at240.end(), want240.begin());
        std::copy(k.at256.begin(), k.at256.end(), want256.begin());
        EXPECT_EQ(range(j.data(), 240, 16), want240);
        EXPECT_EQ(range(j.data(), 256, 48), want256);
        EXPECT_TRUE(checkJobBlock(j.data()));
    }
}

// Two downloads of the same job differ in their random bytes, and both give
// back a valid job block twice when unmasked with 0xEB / 0xAD.
TEST(Requests, JobDownloadMasking) {
    Rig r(ChipVendor::SC, 4);
    RequestContext c = r.context();
    Bytes f1 = freshFrame(), f2 = freshFrame();
    ASSERT_EQ(buildJobDownload(c, f1.data()), 1034u);
    ASSERT_EQ(buildJobDownload(c, f2.data()), 1034u);
    EXPECT_NE(range(f1.data(), 0, 1034), range(f2.data(), 0, 1034));
    EXPECT_NE(le16(f1.data() + 1032), le16(f2.data() + 1032));
    Bytes blocks[2];
    for (int i = 0; i < 2; ++i) {
        Bytes& f = i == 0 ? f1 : f2;
        Bytes payload = range(f.data(), 8, 1024);
        unmaskJob(payload.data());
        EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 512), Bytes(payload.begin() + 512, payload.end()));
        EXPECT_TRUE(checkJobBlock(payload.data()));
        blocks[i] = Bytes(payload.begin(), payload.begin() + 512);
    }
    // Only the random places and the check values differ.
    std::set<size_t> differ;
    for (size_t i = 0; i < 512; ++i)
        if (blocks[0][i] != blocks[1][i]) differ.insert(i);
    for (size_t i : differ)
        EXPECT_TRUE(i == 10 || i == 14 || i == 15 || (i >= 304 && i < 368) || i >= 508) << "offset " << i;
    EXPECT_GT(differ.size(), 40u);

    // The masks of another parameter, and masking twice restores.
    Bytes p(1024, 0);
    maskJobPayload(p.data(), 0x1234);
    EXPECT_EQ(p[0], 0xDF);  // (0x34 ^ 0x6B) | 0x80
    EXPECT_EQ(p[1], 0xBF);  // (0x12 ^ 0x2D) | 0x80
    EXPECT_EQ(p[1022], 0xDF);
    EXPECT_EQ(p[1023], 0xBF);
    maskJobPayload(p.data(), 0x1234);
    EXPECT_EQ(p, Bytes(1024, 0));
}

// ---------------------------------------------------------------------------
// Restart and firmware requests.

TEST(Requests, FixedFrames) {
    struct Case {
        const char* name;
        size_t (*build)(uint8_t*);
        Bytes head;
    };
    const std::vector<Case> cases = {
        {"ProgrammerRestart", buildProgrammerRestart, {0x8A, 0x52, 0x45, 0x53, 0x54, 0xA8, 0x02, 0x00, 0x00, 0x00}},
        {"FirmwareEnd", buildFirmwareEnd, {0xBD, 0x00, 0x52, 0x53, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes f = freshFrame();
        ASSERT_EQ(k.build(f.data()), 12u);
        Bytes want = k.head;
        uint16_t crc = flashCrc16(k.head.data(), 0, 9);
        want.push_back(static_cast<uint8_t>(crc));
        want.push_back(static_cast<uint8_t>(crc >> 8));
        EXPECT_EQ(range(f.data(), 0, 12), want);
    }
}

// Unmasking data group i of block b gives back the firmware bytes at
// (b * 2048 mod 65536) + 4i .. + 2; the fourth byte of each group is not sent.
TEST(Requests, FirmwareBlockUnmasks) {
    Bytes fw(65536);
    std::mt19937 gen(3);
    for (auto& x : fw) x = static_cast<uint8_t>(gen());
    SeededRandom rng(77);
    for (uint16_t b : {0, 1, 31, 32, 63, 64, 100}) {
        SCOPED_TRACE(b);
        Bytes sent[2];
        for (int round = 0; round < 2; ++round) {
            Bytes f = freshFrame();
            ASSERT_EQ(buildFirmwareBlock(rng, fw.data(), b, f.data()), 4138u);
            EXPECT_EQ(f[0], 0xB7);
            EXPECT_EQ(f[1], static_cast<uint8_t>(b * 4));
            const uint16_t M = le16(f.data() + 2);
            EXPECT_LT(M, 65525);
            EXPECT_LE(f[4], 254);
            EXPECT_LE(f[5], 254);
            EXPECT_EQ(le16(f.data() + 6), 0x1020);
            const size_t base = (size_t(b) * 2048) % 65536;
            const uint8_t ml = static_cast<uint8_t>(M), mh = static_cast<uint8_t>(M >> 8);
            for (size_t i = 0; i < 512; ++i) {
                const uint8_t* d = f.data() + 8 + 4 * i;
                const uint8_t* fl = f.data() + 8 + 2048 + 4 * i;
                ASSERT_EQ(fl[3], 0x00);
                ASSERT_LE(std::max({fl[0], fl[1], fl[2]}), 254);
                ASSERT_EQ(static_cast<uint8_t>(d[0] ^ ml ^ fl[0]), fw[base + 4 * i]) << "group " << i;
                ASSERT_EQ(static_cast<uint8_t>(d[1] ^ mh ^ fl[1]), fw[base + 4 * i + 1]) << "group " << i;
                ASSERT_EQ(static_cast<uint8_t>(d[2] ^ ml ^ fl[2]), fw[base + 4 * i + 2]) << "group " << i;
                ASSERT_EQ(d[3], 0x00);
            }
            for (size_t g = 512; g < 520; ++g) ASSERT_EQ(f[8 + 2048 + 4 * g + 3], 0x00);
            EXPECT_EQ(le16(f.data() + 4136), flashCrc16(f.data(), 0, 4135));
            sent[round] = range(f.data(), 0, 4138);
        }
        EXPECT_NE(sent[0], sent[1]);  // fresh mask and filler each time
    }
}
