#include "project/project_file.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <sys/resource.h>

namespace kvx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

Bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

size_t entryCount(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
        ::closedir(d);
    }
    return n;
}

// A project as a saved job would carry it.
ProjectData makeProject(ChipVendor vendor, const std::string& chip, uint16_t kb, uint16_t eep, uint32_t seed) {
    ProjectData d;
    d.modelCode = 12;
    d.chipName = chip;
    d.objectFileName = "firmware_v1.hex";
    d.flashAcc32 = 0x12345678u + seed;
    d.fileChecksum = 0x9ABCDEF0u ^ seed;
    d.countLimit = 5000;
    d.loadedFirst = 0x100;
    d.loadedLast = kb * 1024u - 1;
    d.flags = kProjectFlagSnDecimal | kProjectFlagWriteOptionAfter;
    d.vendor = static_cast<uint8_t>(vendor);
    d.flashSize = kb * 1024u;
    d.eepSize = eep;
    d.flashFirst = vendor == ChipVendor::CPT || vendor == ChipVendor::FG ? 0x08000000u : 0;
    d.nvmFirst = vendor == ChipVendor::CPT || vendor == ChipVendor::FG ? 0x08010000u : 0;
    d.auxFirst = 0x1FFFF800u;
    d.flashAcc = 0x1111;
    d.flashCrc = 0x2222;
    d.nvmAcc = 0x3333;
    d.nvmCrc = 0x4444;
    d.further2 = 0x5555;
    d.further1 = 0x6666;
    Bytes job = pattern(512, seed + 1);
    put16(&job[24], kb);
    put16(&job[30], eep);
    d.cfg = cfgBlockFromJobBlock(job.data());
    d.flash = pattern(d.flashSize, seed + 2);
    d.nvm = pattern(eep, seed + 3);
    return d;
}

// The layout written independently of the implementation, drawing its random
// bytes in the same order (mask table, CFG key, stream keys, trailer), so a
// file from the same seed must be identical. Sizes and counts come from the
// arguments, so hostile files can be made too.
Bytes layout(const ProjectData& d, Random& rng, const std::string& modelName, uint32_t flashSizeField,
             uint16_t eepHeader, uint16_t eepCount) {
    Bytes f(354, 0);
    const char* sig = "Tandra";
    for (int i = 0; i < 6; ++i) f[i] = static_cast<uint8_t>(sig[i]);
    f[6] = 1;
    f[7] = d.modelCode;
    auto text = [&](size_t at, const std::string& s, size_t w) {
        for (size_t i = 0; i < s.size() && i < w; ++i) f[at + i] = static_cast<uint8_t>(s[i]) ^ 0x4B;
    };
    text(8, modelName, 16);
    text(24, d.chipName, 20);
    text(44, d.objectFileName, 48);
    put32(&f[124], d.flashAcc32);
    put32(&f[128], d.fileChecksum);
    put32(&f[156], d.countLimit);
    put32(&f[160], d.loadedFirst);
    put32(&f[164], d.loadedLast);
    f[256] = d.flags;
    f[257] = d.vendor;
    put32(&f[258], flashSizeField);
    put16(&f[262], eepHeader);
    put32(&f[280], d.flashFirst);
    put32(&f[284], d.nvmFirst);
    put32(&f[288], d.auxFirst);
    put32(&f[306], d.flashAcc);
    put32(&f[310], d.flashCrc);
    put32(&f[314], d.nvmAcc);
    put32(&f[318], d.nvmCrc);
    put32(&f[322], d.further2);
    put32(&f[326], d.further1);
    Bytes p;
    for (int i = 0; i < 2049; ++i) p.push_back(rng.byte());
    f.insert(f.end(), p.begin(), p.end());
    auto tag = [&](const char* t, uint8_t key) {
        for (int i = 0; i < 3; ++i) f.push_back(static_cast<uint8_t>(t[i]) ^ key);
    };
    auto stream = [&](const Bytes& data, size_t n) {
        uint8_t k = rng.byte();
        f.push_back(k);
        for (size_t j = 0; j < n; ++j) {
            f.push_back((j < data.size() ? data[j] : 0) ^ p[j % 1024] ^ k);
            if ((j + 1) % 1024 == 0) f.push_back(k = rng.byte());
        }
    };
    tag("CFG", 0x57);
    uint8_t k = rng.byte();
    f.push_back(k);
    for (size_t i = 0; i < 1024; ++i) f.push_back(d.cfg[i] ^ p[i] ^ k);
    tag("MFM", 0x39);
    stream(d.flash, d.flash.size());
    tag("EEP", 0x6D);
    f.push_back(static_cast<uint8_t>(eepCount));
    f.push_back(static_cast<uint8_t>(eepCount >> 8));
    if (eepCount > 0) stream(d.nvm, eepCount);
    uint32_t sum = 0;
    for (uint8_t b : f) sum += b;
    f.resize(f.size() + 4);
    put32(&f[f.size() - 4], sum);
    for (int i = 0; i < 256; ++i) f.push_back(rng.byte());
    return f;
}

class ProjectFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-prj-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    int read(const Bytes& file, ProjectData& out, std::string& message) {
        spit(dir_ + "in.pmw", file);
        return readProjectFile(dir_ + "in.pmw", out, message);
    }
    std::string dir_;
};

void expectSame(const ProjectData& a, const ProjectData& b) {
    EXPECT_EQ(a.modelCode, b.modelCode);
    EXPECT_EQ(a.objectFileName, b.objectFileName);
    EXPECT_EQ(a.flashAcc32, b.flashAcc32);
    EXPECT_EQ(a.fileChecksum, b.fileChecksum);
    EXPECT_EQ(a.loadedFirst, b.loadedFirst);
    EXPECT_EQ(a.loadedLast, b.loadedLast);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.vendor, b.vendor);
    EXPECT_EQ(a.flashSize, b.flashSize);
    EXPECT_EQ(a.eepSize, b.eepSize);
    EXPECT_EQ(a.flashFirst, b.flashFirst);
    EXPECT_EQ(a.nvmFirst, b.nvmFirst);
    EXPECT_EQ(a.auxFirst, b.auxFirst);
    EXPECT_EQ(a.flashAcc, b.flashAcc);
    EXPECT_EQ(a.flashCrc, b.flashCrc);
    EXPECT_EQ(a.nvmAcc, b.nvmAcc);
    EXPECT_EQ(a.nvmCrc, b.nvmCrc);
    EXPECT_EQ(a.further1, b.further1);
    EXPECT_EQ(a.further2, b.further2);
    EXPECT_TRUE(a.cfg == b.cfg);
    EXPECT_TRUE(a.flash == b.flash);
    EXPECT_TRUE(a.nvm == b.nvm);
}

TEST_F(ProjectFileTest, RoundTripForEachVendorAndSize) {
    struct Case {
        const char* what;
        ChipVendor vendor;
        const char* chip;
        const char* readName;  // the visible stored name: cut before a "K"
        uint16_t kb;
        uint16_t eep;
        size_t size;           // 0: only compared with projectFileSize
    };
    const Case cases[] = {
        {"CPT 32 KB without NVM", ChipVendor::CPT, "CPT32F030C8T6", "CPT32F030C8T6", 32, 0, 36500},
        {"SC 64 KB with 512 NVM bytes", ChipVendor::SC, "SC32F5832", "SC32F5832", 64, 512, 69813},
        {"LKS, name with K", ChipVendor::LKS, "LKS32MC081C8T8", "L", 16, 0, 0},
        {"FG, NVM of 1024: key after the last byte", ChipVendor::FG, "FG32F103", "FG32F103", 128, 1024, 0},
        {"one NVM byte", ChipVendor::SC, "SC92F7", "SC92F7", 1, 1, 0},
        {"full NVM buffer", ChipVendor::SC, "SC95F8", "SC95F8", 8, 4096, 0},
        {"no flash at all", ChipVendor::SC, "SC0", "SC0", 0, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProjectData d = makeProject(c.vendor, c.chip, c.kb, c.eep, c.kb + c.eep);
        SeededRandom rng(c.kb * 7 + 1);
        const std::string path = dir_ + "job.pmw";
        writeProjectFile(path, d, rng);
        Bytes file = slurp(path);
        EXPECT_EQ(file.size(), projectFileSize(d.flashSize, d.eepSize));
        if (c.size) {
            EXPECT_EQ(file.size(), c.size);
        }

        // Byte for byte the layout, given the same random bytes.
        SeededRandom again(c.kb * 7 + 1);
        EXPECT_TRUE(file == layout(d, again, "Korvex200XXX", d.flashSize, d.eepSize, d.eepSize));

        ProjectData back;
        std::string message;
        ASSERT_EQ(readProjectFile(path, back, message), 0);
        EXPECT_EQ(message, "Project File Open Success!");
        expectSame(back, d);
        EXPECT_EQ(back.chipName, c.readName);
        // Its "K" equals the text key: the name reads back empty, the rest of
        // the field is kept.
        EXPECT_EQ(back.modelName, "");
        EXPECT_EQ(std::string(back.modelNameField.begin(), back.modelNameField.end()),
                  std::string("\0orvex200XXX\0\0\0\0", 16));
        EXPECT_EQ(back.version, 1);
        EXPECT_EQ(back.countLimit, 5000u);
    }
}

TEST_F(ProjectFileTest, TwoSavesDifferAndBothRead) {
    ProjectData d = makeProject(ChipVendor::CPT, "CPT32F030", 32, 0, 5);
    SeededRandom r1(1), r2(2);
    writeProjectFile(dir_ + "a.pmw", d, r1);
    writeProjectFile(dir_ + "b.pmw", d, r2);
    Bytes a = slurp(dir_ + "a.pmw"), b = slurp(dir_ + "b.pmw");
    ASSERT_EQ(a.size(), b.size());
    size_t differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ += a[i] != b[i];
    EXPECT_GT(differ, a.size() / 2);  // every masked byte changes with the masks
    for (const char* name : {"a.pmw", "b.pmw"}) {
        ProjectData back;
        std::string message;
        EXPECT_EQ(readProjectFile(dir_ + name, back, message), 0);
        expectSame(back, d);
    }
}

TEST_F(ProjectFileTest, AnyChangedByteBeforeTheSumIsReported) {
    // 3 KB of flash and 1100 NVM bytes: several stream keys in each stream.
    ProjectData d = makeProject(ChipVendor::FG, "FG32F003", 3, 1100, 9);
    SeededRandom rng(3);
    const Bytes good = encodeProjectFile(d, rng);
    const size_t sumEnd = good.size() - 256;
    std::vector<size_t> positions;
    for (size_t i = 6; i < sumEnd; i += 29) positions.push_back(i);
    // Every field boundary of the header and each section's start and keys.
    for (size_t i : {7, 8, 24, 44, 124, 128, 132, 156, 160, 164, 256, 257, 258, 261, 262, 263, 280, 284, 288, 304,
                     306, 310, 322, 326, 353, 354, 1377, 2402, 2403, 2405, 2406, 2407, 3430, 3431, 3434, 3435, 4459})
        positions.push_back(i);
    for (size_t i = sumEnd - 4; i < sumEnd; ++i) positions.push_back(i);
    ASSERT_GT(positions.size(), 300u);

    std::set<int> seen;
    for (size_t at : positions) {
        for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}}) {
            Bytes bad = good;
            bad[at] ^= flip;
            ProjectData out;
            out.chipName = "untouched";
            std::string message;
            int r = decodeProjectFile(bad.data(), bad.size(), out, message);
            ASSERT_TRUE(r == 16 || r == 10 || r == 13 || r == 15) << "byte " << at << " gave " << r;
            ASSERT_EQ(message, "Project File Data Has Been Corrupted!") << at;
            ASSERT_EQ(out.chipName, "untouched") << at;
            seen.insert(r);
        }
    }
    // A wrong tag puts the following tags out of place too, so the last tag
    // checked (EEP) reports it.
    EXPECT_EQ(seen, (std::set<int>{15, 16}));

    // The 256 bytes after the sum are not read.
    Bytes tail = good;
    tail[sumEnd] ^= 0xFF;
    tail.back() ^= 0xFF;
    ProjectData out;
    std::string message;
    EXPECT_EQ(decodeProjectFile(tail.data(), tail.size(), out, message), 0);
}

TEST_F(ProjectFileTest, WrongTagsAreReportedAndReadingGoesOn) {
    ProjectData d = makeProject(ChipVendor::SC, "SC8F", 2, 16, 4);
    SeededRandom rng(8);
    const Bytes good = encodeProjectFile(d, rng);
    const size_t mfm = 3431, eep = 3434 + maskedStreamSize(2048);
    struct Case {
        size_t at;
        int result;
    };
    // A wrong CFG tag leaves the CFG data unread, so the following tags are
    // read from the wrong place too; a wrong EEP tag alone gives 15.
    const Case cases[] = {{2403, 15}, {mfm + 1, 15}, {eep + 2, 15}};
    for (const Case& c : cases) {
        Bytes bad = good;
        bad[c.at] ^= 0x20;
        ProjectData out;
        std::string message;
        EXPECT_EQ(decodeProjectFile(bad.data(), bad.size(), out, message), c.result) << c.at;
        EXPECT_EQ(message, "Project File Data Has Been Corrupted!");
    }
    // Only the MFM tag wrong, with everything after it where a reader that
    // skipped no stream expects it: the EEP tag is found, the result is 13.
    Bytes onlyMfm(good.begin(), good.begin() + static_cast<long>(mfm));
    for (uint8_t b : {uint8_t{'X' ^ 0x39}, uint8_t{'X'}, uint8_t{'X'}}) onlyMfm.push_back(b);
    onlyMfm.insert(onlyMfm.end(), good.begin() + static_cast<long>(eep), good.end());
    uint32_t sum = 0;
    size_t sumAt = onlyMfm.size() - 256 - 4;
    for (size_t i = 0; i < sumAt; ++i) sum += onlyMfm[i];
    put32(&onlyMfm[sumAt], sum);
    ProjectData out;
    std::string message;
    EXPECT_EQ(decodeProjectFile(onlyMfm.data(), onlyMfm.size(), out, message), 13);
}

TEST_F(ProjectFileTest, WrongSignature) {
    ProjectData d = makeProject(ChipVendor::SC, "SC8F", 1, 0, 4);
    SeededRandom rng(8);
    Bytes good = encodeProjectFile(d, rng);
    std::vector<Bytes> files;
    for (size_t i = 0; i < 6; ++i) {
        Bytes b = good;
        b[i] ^= 0x20;  // "tandra" and the like
        files.push_back(b);
    }
    files.push_back(Bytes{});
    files.push_back(Bytes{'T', 'a', 'n', 'd', 'r'});
    files.push_back(Bytes(good.size(), 0));
    for (const Bytes& f : files) {
        ProjectData out;
        out.modelCode = 99;
        std::string message;
        EXPECT_EQ(read(f, out, message), 5);
        EXPECT_EQ(message, "Not Valid Tandra Project File!");
        EXPECT_EQ(out.modelCode, 99);
    }
    ProjectData out;
    std::string message;
    EXPECT_THROW(readProjectFile(dir_ + "missing.pmw", out, message), FileError);
}

TEST_F(ProjectFileTest, TextFields) {
    struct Case {
        std::string chip, object;
        std::string chipBack, objectBack;
    };
    const Case cases[] = {
        {"ABCDEFGHIJ0123456789", "out.bin", "ABCDEFGHIJ0123456789", "out.bin"},          // 20: no zero
        {"ABCDEFGHIJ0123456789XYZ", std::string(60, 'o'), "ABCDEFGHIJ0123456789", std::string(48, 'o')},
        {"SC32", "fwK1.hex", "SC32", "fw"},  // a byte equal to the text key reads as the end
        {"", "", "", ""},
        {"芯片", "固件.hex", "芯片", "固件.hex"},  // UTF-8 bytes pass through
    };
    for (const Case& c : cases) {
        ProjectData d = makeProject(ChipVendor::SC, c.chip, 1, 0, 2);
        d.objectFileName = c.object;
        SeededRandom rng(5);
        Bytes f = encodeProjectFile(d, rng);
        ProjectData back;
        std::string message;
        ASSERT_EQ(decodeProjectFile(f.data(), f.size(), back, message), 0);
        EXPECT_EQ(back.chipName, c.chipBack);
        EXPECT_EQ(back.objectFileName, c.objectBack);
    }
    // The field keeps what follows the cut.
    ProjectData d = makeProject(ChipVendor::LKS, "LKS08x", 1, 0, 2);
    SeededRandom rng(5);
    Bytes f = encodeProjectFile(d, rng);
    ProjectData back;
    std::string message;
    ASSERT_EQ(decodeProjectFile(f.data(), f.size(), back, message), 0);
    const uint8_t expect[20] = {'L', 0, 'S', '0', '8', 'x'};
    EXPECT_TRUE(std::equal(back.chipNameField.begin(), back.chipNameField.end(), expect));
}

// Files whose stored sizes or values would not fit the program's buffers, all
// with a matching sum: refused as corrupted.
TEST_F(ProjectFileTest, HostileSizesAreRefused) {
    struct Case {
        const char* what;
        uint32_t flashBytes;
        uint32_t flashField;
        uint16_t eepHeader;
        uint16_t eepCount;
        uint16_t nvmBytes;
        uint16_t cfgKB;
        uint16_t cfgEep;
        uint8_t vendor;
        int result;
    };
    const uint32_t mib4 = 4u << 20;
    const Case cases[] = {
        {"largest flash", mib4, mib4, 0, 0, 0, 4096, 0, 3, 0},
        {"largest NVM", 1024, 1024, 4096, 4096, 4096, 1, 4096, 3, 0},
        {"flash above 4 MiB", mib4 + 1024, mib4 + 1024, 0, 0, 0, 4096, 0, 3, 16},
        {"flash size 0xFFFFFFFF", 1024, 0xFFFFFFFFu, 0, 0, 0, 1, 0, 3, 16},
        {"header NVM size above 4096", 1024, 1024, 4097, 0, 0, 1, 0, 3, 16},
        {"NVM count above 4096", 1024, 1024, 0, 4352, 4352, 1, 0, 3, 16},
        {"NVM count 0xFFFF", 1024, 1024, 0, 0xFFFF, 0, 1, 0, 3, 16},
        {"job block flash size above 4 MiB", 1024, 1024, 0, 0, 0, 4097, 0, 3, 16},
        {"job block NVM size above 4096", 1024, 1024, 0, 0, 0, 1, 4097, 3, 16},
        {"vendor outside the four", 1024, 1024, 0, 0, 0, 1, 0, 4, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProjectData d = makeProject(ChipVendor::SC, "SC", 0, 0, 1);
        d.vendor = c.vendor;
        d.flash = pattern(c.flashBytes, 3);
        d.nvm = pattern(c.nvmBytes, 4);
        put16(&d.cfg[24], c.cfgKB);
        put16(&d.cfg[30], c.cfgEep);
        SeededRandom rng(2);
        Bytes f = layout(d, rng, "x", c.flashField, c.eepHeader, c.eepCount);
        ProjectData out;
        std::string message;
        ASSERT_EQ(read(f, out, message), c.result);
        if (c.result == 0) {
            EXPECT_TRUE(out.flash == d.flash);
            EXPECT_EQ(out.nvm.size(), c.nvmBytes);
        } else {
            EXPECT_EQ(message, "Project File Data Has Been Corrupted!");
            EXPECT_TRUE(out.flash.empty() && out.nvm.empty());
        }
    }
}

TEST_F(ProjectFileTest, FlashRangesOutsideTheAddressSpaceAreRefused) {
    // flashLast becomes flashFirst + flashSizeKB * 1024 - 1 when a project is
    // loaded: it must not wrap below flashFirst.
    struct Case {
        const char* what;
        uint32_t flashFirst;
        uint16_t cfgKB;
        int result;
    };
    const Case cases[] = {
        {"128 KB at 0x08000000", 0x08000000u, 128, 0},
        {"64 KB ending at 0xFFFFFFFF", 0xFFFF0000u, 64, 0},
        {"no flash at 0x08000000", 0x08000000u, 0, 0},
        {"128 KB past the top", 0xFFFF0000u, 128, 16},
        {"4 MiB from 0xFFC00400", 0xFFC00400u, 4096, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProjectData d = makeProject(ChipVendor::CPT, "CPT2816QN24-A1", 1, 0, 5);
        d.flashFirst = c.flashFirst;
        put16(&d.cfg[24], c.cfgKB);
        SeededRandom rng(3);
        ProjectData out;
        std::string message;
        ASSERT_EQ(read(encodeProjectFile(d, rng), out, message), c.result);
        if (c.result == 0 && c.cfgKB > 0) {
            ChipProfile chip;
            JobSettings job;
            ImageSums sums;
            ProjectWords words;
            chip.flashFirst = out.flashFirst;
            restoreFromCfg(out.cfg.data(), chip, job, sums, words);
            EXPECT_GE(chip.flashLast, chip.flashFirst);
            EXPECT_EQ(uint64_t(chip.flashLast) - chip.flashFirst + 1, c.cfgKB * 1024u);
        } else if (c.result != 0) {
            EXPECT_EQ(message, "Project File Data Has Been Corrupted!");
        }
    }
}

TEST_F(ProjectFileTest, TruncatedFilesAreCorrupted) {
    ProjectData d = makeProject(ChipVendor::CPT, "CPT32", 2, 300, 6);
    SeededRandom rng(4);
    const Bytes good = encodeProjectFile(d, rng);
    const size_t sumEnd = good.size() - 256;
    for (size_t len : {size_t{6}, size_t{100}, size_t{353}, size_t{2402}, size_t{2405}, size_t{2406}, size_t{3000},
                       size_t{3430}, size_t{3433}, size_t{3434}, size_t{4000}, size_t{5484}, sumEnd - 310, sumEnd - 300,
                       sumEnd - 5, sumEnd - 1}) {
        ProjectData out;
        std::string message;
        EXPECT_EQ(decodeProjectFile(good.data(), len, out, message), 16) << len;
        EXPECT_EQ(message, "Project File Data Has Been Corrupted!");
    }
    // Without the random bytes after the sum the data is complete.
    ProjectData out;
    std::string message;
    EXPECT_EQ(decodeProjectFile(good.data(), sumEnd, out, message), 0);
}

TEST_F(ProjectFileTest, FailedSaveKeepsThePreviousFile) {
    const std::string path = dir_ + "job.pmw";
    ProjectData first = makeProject(ChipVendor::CPT, "CPT32", 32, 0, 1);
    SeededRandom rng(1);
    writeProjectFile(path, first, rng);
    const Bytes before = slurp(path);

    // A folder that is a regular file.
    EXPECT_THROW(writeProjectFile(path + "/other.pmw", first, rng), FileError);

    // A save that fails part-way: the file size limit stops the write after
    // 8 KB (this works as root too, where folder permissions do not).
    ProjectData second = makeProject(ChipVendor::SC, "SC32", 64, 512, 2);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 8192;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        writeProjectFile(path, second, rng);
    } catch (const FileError& e) {
        threw = true;
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_TRUE(threw);
    EXPECT_TRUE(slurp(path) == before);
    EXPECT_EQ(entryCount(dir_), 1u);  // no temporary file left
    ProjectData back;
    std::string message;
    EXPECT_EQ(readProjectFile(path, back, message), 0);
    expectSame(back, first);

    // Data that does not match its sizes is not written at all.
    ProjectData wrong = first;
    wrong.flash.pop_back();
    EXPECT_THROW(writeProjectFile(path, wrong, rng), std::invalid_argument);
    EXPECT_TRUE(slurp(path) == before);
}

TEST_F(ProjectFileTest, RestoresJobFieldsFromTheCfgBlock) {
    Bytes c(1024, 0);
    c[8] = 0x21;
    c[9] = 7;
    c[11] = 0x0F;
    put16(&c[12], 0xBEEF);
    put16(&c[24], 64);
    put16(&c[26], 128);
    put16(&c[28], 512);
    put16(&c[30], 256);
    for (int i = 0; i < 6; ++i) c[36 + i] = static_cast<uint8_t>(0xA0 + i);
    c[46] = 11;
    c[47] = 12;
    c[48] = 13;
    c[49] = 14;
    put16(&c[52], 0xC1C1);
    put16(&c[54], 0xA1A1);
    put16(&c[56], 0xC2C2);
    put16(&c[58], 0xA2A2);
    put16(&c[60], 0x0101);
    put16(&c[62], 0x0202);
    c[64] = 0x33;
    put16(&c[66], 150);
    c[68] = 0x0F;
    c[69] = 4;
    put16(&c[70], 3);
    put32(&c[72], 0x0800FFF0u);
    put32(&c[76], 0x12345678u);
    c[84] = 0x0F;
    put32(&c[86], 100000);
    for (size_t i = 112; i < 240; ++i) c[i] = 0x5A;  // option bytes: not restored

    ChipProfile chip;
    chip.vendor = ChipVendor::CPT;
    chip.flashFirst = 0x08000000;
    chip.chipName = "kept";
    JobSettings job;
    job.includeNvm = true;
    auto image = std::make_unique<ImageState>();
    image->OptionBytesBuffer()[0] = 0x77;
    ProjectWords words;
    restoreFromCfg(c.data(), chip, job, *image, words);

    EXPECT_EQ(chip.familyCode, 0x21);
    EXPECT_EQ(chip.modelIndex, 7);
    EXPECT_EQ(job.autoDetect, 0x0F);
    EXPECT_EQ(words.word8, 0xBEEF);
    EXPECT_EQ(chip.flashSizeKB, 64);
    EXPECT_EQ(chip.sectorCount, 128);
    EXPECT_EQ(chip.sectorSize, 512);
    EXPECT_EQ(chip.eepSize, 256);
    EXPECT_EQ(job.jobFlags, (std::array<uint8_t, 6>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
    EXPECT_EQ(chip.flashLast, 0x0800FFFFu);
    EXPECT_EQ(job.powerUpSettle, 11);
    EXPECT_EQ(job.powerDownSettle, 12);
    EXPECT_EQ(job.insertSettle, 13);
    EXPECT_EQ(job.removeSettle, 14);
    EXPECT_EQ(image->flashCrc, 0xC1C1);
    EXPECT_EQ(image->flashAcc, 0xA1A1);
    EXPECT_EQ(image->nvmCrc, 0xC2C2);
    EXPECT_EQ(image->nvmAcc, 0xA2A2);
    EXPECT_EQ(words.further1, 0x0101);
    EXPECT_EQ(words.further2, 0x0202);
    EXPECT_EQ(chip.familyOption, 0x33);
    EXPECT_EQ(job.runTime, 150);
    EXPECT_EQ(job.snEnable, 0x0F);
    EXPECT_EQ(job.snLength, 4);
    EXPECT_EQ(job.snIncrement, 3);
    EXPECT_EQ(job.snAddress, 0x0800FFF0u);
    EXPECT_EQ(job.snStart, 0x12345678u);
    EXPECT_EQ(job.countLimitEnable, 0x0F);
    EXPECT_EQ(job.countLimit, 100000u);
    // Not in the block's table: untouched.
    EXPECT_EQ(chip.vendor, ChipVendor::CPT);
    EXPECT_EQ(chip.chipName, "kept");
    EXPECT_TRUE(job.includeNvm);
    EXPECT_EQ(image->OptionBytesBuffer()[0], 0x77);
}

TEST_F(ProjectFileTest, ApplyingALoadedProjectStaysInsideTheBuffers) {
    ProjectData d = makeProject(ChipVendor::LKS, "LKS32MC081C8T8", 16, 4096, 3);
    SeededRandom rng(6);
    Bytes f = encodeProjectFile(d, rng);
    ProjectData back;
    std::string message;
    ASSERT_EQ(decodeProjectFile(f.data(), f.size(), back, message), 0);

    auto image = std::make_unique<ImageState>();
    image->ImageBuffer.fill(0xEE);
    image->nvmAndOptions.fill(0xEE);
    ChipProfile chip;
    ProjectWords words;
    uint8_t modelCode = 0;
    applyProjectData(back, "LKS32MC081C8T8", modelCode, chip, *image, words);
    EXPECT_EQ(modelCode, 12);
    EXPECT_EQ(chip.chipName, "LKS32MC081C8T8");
    EXPECT_EQ(chip.vendor, ChipVendor::LKS);
    EXPECT_EQ(chip.flashSizeKB, 16);
    EXPECT_EQ(chip.eepSize, 4096);
    EXPECT_EQ(image->objectFileName, "firmware_v1.hex");
    EXPECT_EQ(image->fileChecksum, d.fileChecksum);
    EXPECT_EQ(image->flashAcc, 0x1111);
    EXPECT_EQ(words.further1, 0x6666);
    EXPECT_TRUE(std::equal(d.flash.begin(), d.flash.end(), image->ImageBuffer.begin()));
    EXPECT_EQ(image->ImageBuffer[16 * 1024], 0xEE);  // past the image: as before
    EXPECT_TRUE(std::equal(d.nvm.begin(), d.nvm.end(), image->NvmBuffer()));
    for (size_t i = 0; i < kOptionSize; ++i) ASSERT_EQ(image->OptionBytesBuffer()[i], 0xEE) << i;
}

TEST(ProjectNames, ProgrammerModelNames) {
    std::set<std::string> names;
    int codes = 0;
    for (int code = 0; code < 256; ++code) {
        std::string n = programmerModelName(static_cast<uint8_t>(code));
        ASSERT_EQ(n.rfind("Korvex200", 0), 0u) << code;
        ASSERT_LE(n.size(), 16u) << code;  // fits its field
        if (n == "Korvex200XXX") continue;
        ++codes;
        names.insert(n);
    }
    EXPECT_EQ(codes, 27);
    EXPECT_EQ(names.size(), 23u);
    EXPECT_EQ(programmerModelName(12), "Korvex200XXX");
}

TEST(ProjectNames, ResolvesCutChipNames) {
    const std::string z(1, '\0');
    struct Case {
        std::string stored, entry, expect;
    };
    const Case cases[] = {
        {"L", "LKS32MC081", "LKS32MC081"},                                  // visible text only
        {"L" + z + "S32MC081" + std::string(10, '\0'), "LKS32MC081", "LKS32MC081"},  // whole field
        {"L" + z + "S32MC071" + std::string(10, '\0'), "LKS32MC081", "L"},  // another LKS chip
        {"LKS32", "LKS32MC081", "LKS32"},                                   // not cut at a K
        {"CPT32F030", "CPT32F030", "CPT32F030"},
        {"CPT32F03", "CPT32F030", "CPT32F03"},
        {"", "KF32A140", "KF32A140"},                                       // cut at the first byte
        {"", "", ""},
        {"SC8F", "", "SC8F"},                                               // no catalogue entry
        {"ABCDEFGHIJ0123456789", "ABCDEFGHIJ0123456789XY", "ABCDEFGHIJ0123456789XY"},  // cut at 20
        {"AB" + z + "D", "ABKDK", "ABKDK"},                                  // a zero for the last K
        {"AB" + z + "D" + z + "Q", "ABKDK", "AB"},                           // more than the entry
    };
    for (const Case& c : cases) EXPECT_EQ(resolveChipName(c.stored, c.entry), c.expect) << c.entry;
}

}  // namespace
}  // namespace kvx
