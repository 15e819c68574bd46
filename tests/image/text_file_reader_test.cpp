// The text readers take their files in pieces: whatever the file's layout
// across those pieces (lines that straddle them, lines longer than a piece,
// a last line without its newline), reading the file gives exactly what
// parsing its whole text in memory gives.
#include "image/object_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kvx;

namespace {

constexpr size_t kPieceSize = size_t(1) << 20;  // the readers' piece size; the cases are laid out around it

std::string twoDigits(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// A HEX data record or an S1 record with a correct checksum.
std::string record(bool hex, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes;
    if (hex) bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address), 0};
    else bytes = {static_cast<uint8_t>(data.size() + 3), static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string s = hex ? ":" : "S1";
    for (uint8_t b : bytes) {
        s += twoDigits(b);
        sum += b;
    }
    return s + twoDigits(hex ? 0x100 - (sum & 0xFF) : ~sum);
}

struct Result {
    std::vector<uint8_t> image;
    ReaderOutputs out;
    std::vector<std::pair<int, int>> errors;
};

constexpr size_t kImage = 0x10000;

Result viaText(bool hex, const std::string& text) {
    Result r{std::vector<uint8_t>(kImage, 0xEE), {}, {}};
    LineErrorFn cb = [&](int line, int code) {
        r.errors.emplace_back(line, code);
        return true;
    };
    if (hex) parseHexText(text.data(), text.size(), 0, r.image.data(), kImage, r.out, cb);
    else parseSRecordText(text.data(), text.size(), 0, r.image.data(), kImage, r.out, cb);
    return r;
}

Result viaFile(bool hex, const std::string& path) {
    Result r{std::vector<uint8_t>(kImage, 0xEE), {}, {}};
    LineErrorFn cb = [&](int line, int code) {
        r.errors.emplace_back(line, code);
        return true;
    };
    if (hex) readHexFile(path, 0, r.image.data(), kImage, r.out, cb);
    else readSRecordFile(path, 0, r.image.data(), kImage, r.out, cb);
    return r;
}

// Filler lines of random records below 0x8010, up to exactly `until` characters.
void fillTo(std::string& text, size_t until, bool hex, std::mt19937& rng) {
    while (text.size() < until) {
        size_t room = until - text.size();
        if (room < 64) {
            text += std::string(room - 1, ' ') + "\n";  // a line of blanks: not a record, a code 1 line
            break;
        }
        std::vector<uint8_t> d(1 + rng() % 16);
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        text += record(hex, static_cast<uint16_t>(rng() % 0x8000), d) + (rng() % 2 ? "\r\n" : "\n");
    }
}

class PiecewiseReading : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-pieces-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string put(const std::string& text) {
        std::string p = dir_ + "/f.txt";
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    std::string dir_;
};

}  // namespace

TEST_F(PiecewiseReading, FileGivesWhatTheWholeTextGives) {
    struct Case {
        const char* name;
        std::string (*make)(bool hex, std::mt19937& rng);
    };
    const std::vector<Case> cases = {
        {"records straddling two piece ends",
         [](bool hex, std::mt19937& rng) {
             std::string t;
             fillTo(t, 2 * kPieceSize + 777, hex, rng);
             return t;
         }},
        {"a line of garbage longer than two pieces, then records",
         [](bool hex, std::mt19937& rng) {
             std::string t = record(hex, 0x10, {1, 2, 3}) + "\n" + std::string(2 * kPieceSize + 5, 'Z') + "\r\n";
             fillTo(t, t.size() + 5000, hex, rng);
             return t;
         }},
        {"a record with a piece of trailing text after it",
         [](bool hex, std::mt19937&) {
             return record(hex, 0x20, {9, 8, 7, 6}) + std::string(kPieceSize + 100, '0') + "\n" +
                    record(hex, 0x30, {5}) + "\n";
         }},
        {"an over-long last line without a newline",
         [](bool hex, std::mt19937& rng) {
             std::string t;
             fillTo(t, 1000, hex, rng);
             return t + record(hex, 0x40, {4, 4}) + std::string(kPieceSize * 3 / 2, 'F');
         }},
        {"a last line without a newline across a piece end",
         [](bool hex, std::mt19937& rng) {
             std::string t;
             fillTo(t, kPieceSize - 20, hex, rng);
             std::vector<uint8_t> d(32, 0x5A);
             return t + record(hex, 0x100, d);
         }},
        {"a file that ends exactly at a piece end",
         [](bool hex, std::mt19937& rng) {
             std::string t;
             fillTo(t, kPieceSize, hex, rng);
             return t;
         }},
        {"a CR LF split by a piece end",
         [](bool hex, std::mt19937& rng) {
             std::string t;
             fillTo(t, kPieceSize - 44, hex, rng);
             std::string r = record(hex, 0x200, std::vector<uint8_t>(16, 0x33));  // 43 characters
             return t + r + "\r\n" + record(hex, 0x300, {1}) + "\n";
         }},
    };
    for (bool hex : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(hex ? "hex: " : "s-record: ") + c.name);
            std::mt19937 rng(7);
            const std::string text = c.make(hex, rng);
            Result want = viaText(hex, text);
            Result got = viaFile(hex, put(text));
            EXPECT_EQ(got.image, want.image);
            EXPECT_EQ(got.errors, want.errors);
            EXPECT_EQ(got.out.first, want.out.first);
            EXPECT_EQ(got.out.last, want.out.last);
            EXPECT_EQ(got.out.fileChecksum, want.out.fileChecksum);
            EXPECT_EQ(got.out.bytesOutside, want.out.bytesOutside);
            EXPECT_NE(want.out.first, 0xFFFFFFFFu);  // the case did load something
        }
    }
}

// The end-of-file record stops the HEX reader wherever it falls, also when it
// straddles a piece end; Abort stops the file reader as it stops the text one.
TEST_F(PiecewiseReading, StopsWhereTheTextStops) {
    for (size_t at : {kPieceSize - 5, kPieceSize - 11, kPieceSize}) {
        SCOPED_TRACE(at);
        std::mt19937 rng(9);
        std::string t;
        fillTo(t, at, true, rng);
        t += ":00000001FF\r\n" + record(true, 0xFF00, {0xAB}) + "\n";
        Result want = viaText(true, t);
        Result got = viaFile(true, put(t));
        EXPECT_EQ(got.image, want.image);
        EXPECT_EQ(got.image[0xFF00], 0xEE);
        EXPECT_EQ(got.errors, want.errors);
    }
    std::mt19937 rng(10);
    std::string t;
    fillTo(t, kPieceSize + 100, false, rng);
    t += "S4030000FC\n" + record(false, 0xFF00, {0xAB}) + "\n";
    Result got{std::vector<uint8_t>(kImage, 0xEE), {}, {}};
    int calls = 0;
    int faultyLine = 0;
    readSRecordFile(put(t), 0, got.image.data(), kImage, got.out, [&](int line, int code) {
        ++calls;
        if (code == kLineBadType) faultyLine = line;
        return code != kLineBadType;  // Abort on the S4 line
    });
    EXPECT_TRUE(got.out.aborted);
    EXPECT_EQ(got.image[0xFF00], 0xEE);
    Result all = viaText(false, t);
    EXPECT_EQ(all.errors.back(), std::make_pair(faultyLine, static_cast<int>(kLineBadType)));
    EXPECT_EQ(static_cast<size_t>(calls), all.errors.size());
}

// Lines cut short never read past their end: the code is that of the part
// the line still holds.
TEST(ShortLines, CodesOfCutRecords) {
    struct Case {
        const char* line;
        int code;
    };
    const std::vector<Case> cases = {
        {":10", kLineBadChecksum},          // a count and nothing else
        {":100000", kLineBadChecksum},      // no type
        {":10000001", kLineOk},             // type 01 is ignored whatever follows
        {":0200000", kLineBadChecksum},     // the type's second digit missing
        {":10000003", kLineOk},
        {":1000000500", kLineOk},
        {":10000006", kLineTypeAbove5},
        {":10000000", kLineBadChecksum},    // data record without its data
        {":02000104", kLineBadAddress},     // the address is looked at before the length
        {":0200000408", kLineBadChecksum},
        {":020000040800", kLineBadChecksum},
        {":020000040800F", kLineBadChecksum},
        {"S1", kLineOk},                    // under 3 characters: skipped
        {"S104", kLineBadChecksum},
        {"S1040000", kLineBadChecksum},     // no data, no checksum
        {"S1040000FF", kLineBadChecksum},
        {"S1040000FFF", kLineBadChecksum},
        {"S10", kLineBadChecksum},
        {"S40", kLineBadType},
        {"S903", kLineOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        // The line alone in a block of its own size, so that a read past its
        // end shows under a sanitizer or valgrind.
        const std::string line = c.line;
        std::unique_ptr<char[]> text(new char[line.size()]);
        std::copy(line.begin(), line.end(), text.get());
        std::vector<uint8_t> image(64, 0xEE);
        ReaderOutputs out;
        int code = kLineOk;
        LineErrorFn cb = [&](int, int k) {
            code = k;
            return true;
        };
        if (line[0] == ':') parseHexText(text.get(), line.size(), 0, image.data(), image.size(), out, cb);
        else parseSRecordText(text.get(), line.size(), 0, image.data(), image.size(), out, cb);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(image, std::vector<uint8_t>(64, 0xEE));
        EXPECT_EQ(out.first, 0xFFFFFFFFu);
    }
}

// The NVM binary reader tells how much it stored, so that a file cut to the
// room can be reported.
TEST_F(PiecewiseReading, NvmBinReaderCountsWhatItStored) {
    const std::string p = put(std::string(6000, 'x'));
    struct Case {
        uint32_t lastIn;
        size_t room, stored;
        uint32_t lastOut;
    };
    for (const Case& c : std::vector<Case>{{0xFFF, 4096, 4096, 0xFFF}, {0, 4096, 4096, 5999}, {9, 4096, 10, 9},
                                            {0, 8192, 6000, 5999}, {0xFFF, 0, 0, 0xFFF}}) {
        std::vector<uint8_t> dest(c.room + 1, 0);
        uint32_t last = c.lastIn;
        EXPECT_EQ(readBinLimited(p, dest.data(), c.room, last), c.stored);
        EXPECT_EQ(last, c.lastOut);
        EXPECT_EQ(static_cast<size_t>(std::count(dest.begin(), dest.end(), 'x')), c.stored);
    }
}
