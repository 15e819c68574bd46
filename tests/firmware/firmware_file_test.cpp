#include "firmware/firmware_file.h"
#include "firmware/firmware_maker.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kvx {
namespace {

using Bytes = std::vector<uint8_t>;

// A firmware file as its producer writes it: the image is scrambled with the
// key table in groups of four and padded to whole 16-byte steps.
Bytes makeFirmwareFile(const Bytes& image, const std::string& version, uint16_t w, const Bytes& t,
                       uint16_t imageEnd, int lengthOverride = -1) {
    return kvx::test::buildFirmwareFile(image, version, w, imageEnd, t, lengthOverride);
}

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// Sets the sum field again after a deliberate change, so that only the
// change under test decides.
void resum(Bytes& f) {
    size_t at = f.size() - 4;
    uint32_t sum = 0;
    for (size_t i = 0; i < at; ++i) sum += f[i];
    put32(f.data() + at, sum);
}

class FirmwareFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-fw-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string write(const Bytes& b, const std::string& name = "KorvexSCX.FWR") {
        std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return p;
    }
    std::string dir_;
};

TEST_F(FirmwareFileTest, AcceptsGoodFilesAndUnscramblesTheImage) {
    struct Case {
        const char* what;
        size_t imageSize;
        std::string version;
        uint16_t w;
        uint16_t imageEnd;
        std::string expectVersion;
        int blocks;
    };
    const Case cases[] = {
        {"one block", 1000, "V2.10", 0xA55A, 4096, "V2.10", 1},
        {"five blocks", 6000, "V3.00", 0x0000, 0x2000, "V3.00", 5},
        // Past 4096 image bytes the key offset has wrapped once: the key area's
        // zero tail (3290..4095) and its start are both used.
        {"key wrap", 9000, "V1.2.3.45", 0xFFFF, 0x1FFF, "V1.2.3.4", 4},
        {"version without V", 64, "2.10", 0x1357, 0x1000, "", 1},
        {"most blocks", 16 * 1024, "V9", 0x8001, 0x8FFF, "V9", 32},
        {"empty image", 0, "V1", 0x2222, 0x1400, "V1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image = pattern(c.imageSize, static_cast<uint32_t>(c.imageSize) + 11);
        Bytes t = pattern(3290, 99);
        FirmwareFile fw = checkFirmwareFile(write(makeFirmwareFile(image, c.version, c.w, t, c.imageEnd)));
        ASSERT_TRUE(fw.loaded) << fw.refusal;
        EXPECT_TRUE(fw.refusal.empty());
        EXPECT_EQ(fw.imageEnd, c.imageEnd);
        EXPECT_EQ(fw.blockBase, 4096);
        EXPECT_EQ(fw.length, c.imageSize);
        EXPECT_EQ(fw.blockCount(), c.blocks);
        std::string v(fw.version.begin(), fw.version.end());
        EXPECT_EQ(v, c.expectVersion + std::string(8 - c.expectVersion.size(), '\0'));
        for (size_t i = 0; i < image.size(); ++i) ASSERT_EQ(fw.buffer[i], image[i]) << "image byte " << i;
        for (size_t i = image.size(); i < fw.buffer.size(); ++i) ASSERT_EQ(fw.buffer[i], 0) << "byte " << i;
    }
}

TEST_F(FirmwareFileTest, RefusesDamagedOrHostileFiles) {
    const Bytes image = pattern(5000, 7);
    const Bytes t = pattern(3290, 5);
    const Bytes good = makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0x2000);
    const size_t sumAt = good.size() - 4;
    struct Case {
        const char* what;
        Bytes file;
        const char* reasonPart;
    };
    std::vector<Case> cases;
    auto flipped = [&](size_t at) {
        Bytes b = good;
        b[at] ^= 0x01;
        return b;
    };
    // A changed byte anywhere from the version to the sum itself breaks the sum.
    for (size_t at : {size_t{7}, size_t{15}, size_t{18}, size_t{20}, size_t{25}, size_t{3314}, size_t{3315}, size_t{6000},
                      sumAt - 876, sumAt - 1, sumAt, sumAt + 3})
        cases.push_back({"changed byte", flipped(at), "Corrupted"});
    cases.push_back({"signature letter", flipped(3), "Not Valid"});
    {
        Bytes b = good;
        b[0] = 0;  // a zero stays zero: not "K"
        cases.push_back({"signature zero", b, "Not Valid"});
    }
    cases.push_back({"plain signature", [&] {
                         Bytes b = good;
                         for (int i = 0; i < 7; ++i) b[i] = static_cast<uint8_t>("KvxFmWr"[i]);
                         return b;
                     }(),
                     "Not Valid"});
    cases.push_back({"empty file", Bytes{}, "Not Valid"});
    cases.push_back({"signature only", Bytes(good.begin(), good.begin() + 7), "Truncated"});
    cases.push_back({"cut in the key table", Bytes(good.begin(), good.begin() + 2000), "Truncated"});
    cases.push_back({"cut in the image", Bytes(good.begin(), good.begin() + 4000), "Truncated"});
    cases.push_back({"cut in the sum", Bytes(good.begin(), good.end() - 1), "Truncated"});
    // Stored lengths that would read past the file, with a sum that matches
    // what is there.
    for (int len : {5001 + 16, 0xFFFF, 61342}) {
        Bytes b = makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0x2000, len);
        resum(b);
        cases.push_back({"hostile length", b, "Truncated"});
    }
    {
        Bytes b = good;
        b.resize(65537, 0);
        cases.push_back({"larger than the buffer", b, "Too Large"});
    }
    cases.push_back({"end below 4096", makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0x0FFF), "Below"});
    cases.push_back({"end zero", makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0), "Below"});
    cases.push_back({"33 blocks", makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0x9000), "32 Blocks"});
    cases.push_back({"end 0xFFFF", makeFirmwareFile(image, "V2.00", 0x3C3C, t, 0xFFFF), "32 Blocks"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FirmwareFile fw = checkFirmwareFile(write(c.file));
        EXPECT_FALSE(fw.loaded);
        EXPECT_NE(fw.refusal.find(c.reasonPart), std::string::npos) << fw.refusal;
        // A refused file leaves no version behind, so discovery accepts every
        // programmer.
        for (uint8_t b : fw.version) EXPECT_EQ(b, 0);
        EXPECT_EQ(fw.blockCount(), 0);
    }
}

TEST_F(FirmwareFileTest, LargestFileThatFitsTheBuffer) {
    // The longest image in whole 16-byte steps that the buffer holds with the
    // header, trailer and sum; bytes after the sum are not looked at, so the
    // file can fill the 65,536 bytes exactly.
    const size_t imageSize = 61328;
    Bytes image = pattern(imageSize, 3);
    Bytes f = makeFirmwareFile(image, "V7", 0x0101, pattern(3290, 4), 0x1000);
    ASSERT_EQ(f.size(), 65523u);
    f.resize(65536, 0xEE);
    FirmwareFile fw = checkFirmwareFile(write(f));
    ASSERT_TRUE(fw.loaded) << fw.refusal;
    EXPECT_EQ(fw.buffer[imageSize - 1], image[imageSize - 1]);
    EXPECT_EQ(fw.buffer[imageSize], 0);
}

TEST_F(FirmwareFileTest, MissingFileIsRefusedWithItsName) {
    FirmwareFile fw = checkFirmwareFile(dir_ + "/none.FWR");
    EXPECT_FALSE(fw.loaded);
    EXPECT_NE(fw.refusal.find("none.FWR"), std::string::npos);
}

}  // namespace
}  // namespace kvx
