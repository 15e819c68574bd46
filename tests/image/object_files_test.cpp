#include "image/object_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {

// ---------------------------------------------------------------------------
// Helpers.

// A destination buffer with guard bytes on both sides, to catch any write
// outside it.
struct Guarded {
    static constexpr size_t kGuard = 256;
    static constexpr uint8_t kGuardByte = 0xA5;
    explicit Guarded(size_t n, uint8_t fill = 0xEE) : mem(n + 2 * kGuard, kGuardByte), size(n) {
        std::memset(data(), fill, n);
    }
    uint8_t* data() { return mem.data() + kGuard; }
    bool guardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (mem[i] != kGuardByte || mem[kGuard + size + i] != kGuardByte) return false;
        return true;
    }
    Bytes content() const { return Bytes(mem.begin() + kGuard, mem.begin() + static_cast<long>(kGuard + size)); }
    Bytes mem;
    size_t size;
};

// A record with a correct checksum, written independently of the code under
// test: Intel HEX (two's complement) and S-record (ones' complement).
std::string hexRec(uint8_t type, uint16_t address, const Bytes& data) {
    Bytes rec = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                 type};
    rec.insert(rec.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string s = ":";
    char two[3];
    for (uint8_t b : rec) {
        std::snprintf(two, sizeof two, "%02X", b);
        s += two;
        sum += b;
    }
    std::snprintf(two, sizeof two, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + two;
}

std::string sRec(char type, uint32_t address, const Bytes& data) {
    int ab = type - '0' + 1;
    Bytes rec = {static_cast<uint8_t>(ab + data.size() + 1)};
    for (int i = ab - 1; i >= 0; --i) rec.push_back(static_cast<uint8_t>(address >> (8 * i)));
    rec.insert(rec.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string s = std::string("S") + type;
    char two[3];
    for (uint8_t b : rec) {
        std::snprintf(two, sizeof two, "%02X", b);
        s += two;
        sum += b;
    }
    std::snprintf(two, sizeof two, "%02X", ~sum & 0xFF);
    return s + two;
}

Bytes seq(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

std::string zeros(size_t bytes) { return std::string(2 * bytes, '0'); }

enum class Format { Hex, SRecord };

struct Parsed {
    ReaderOutputs out;
    std::vector<std::pair<int, int>> errors;  // line, code
};

// Runs a reader over text; the callback answers OK, or Abort from the
// faulty line numbered abortAt on.
Parsed parse(Format f, const std::string& text, uint32_t base, Guarded& g, int abortAt = 0) {
    Parsed p;
    LineErrorFn cb = [&](int line, int code) {
        p.errors.emplace_back(line, code);
        return abortAt == 0 || line < abortAt;
    };
    if (f == Format::Hex) parseHexText(text.data(), text.size(), base, g.data(), g.size, p.out, cb);
    else parseSRecordText(text.data(), text.size(), base, g.data(), g.size, p.out, cb);
    return p;
}

// The same text with its lines ended by LF, by CR LF, and with the last
// line's newline missing.
std::vector<std::pair<std::string, std::string>> lineEndVariants(const std::string& lf) {
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::string open = lf;
    if (!open.empty() && open.back() == '\n') open.pop_back();
    return {{"LF", lf}, {"CRLF", crlf}, {"no final newline", open}};
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

uint32_t sumOf(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

const std::string kData16 = ":10000000000102030405060708090A0B0C0D0E0F78";  // bytes 00..0F at 0000

// ---------------------------------------------------------------------------
// Readers over text.

struct Write {
    size_t offset;
    Bytes bytes;
};

struct ReadCase {
    const char* name;
    Format format;
    std::string text;  // lines ended by LF
    uint32_t base;
    size_t size;
    std::vector<Write> writes;  // everything else keeps the fill
    uint32_t first, last;
    std::vector<std::pair<int, int>> errors;
    uint32_t recordsBelowBase = 0;
};

std::vector<ReadCase> readCases() {
    const Bytes d16 = seq(16);
    const uint32_t none = 0xFFFFFFFF;
    return {
        // Intel HEX.
        {"hex 16 bytes at 0", Format::Hex, kData16 + "\n:00000001FF\n", 0, 64, {{0, d16}}, 0, 0x0F, {}},
        {"hex type 04 moves records to the base", Format::Hex, ":020000040800F2\n" + kData16 + "\n", 0x08000000, 64,
         {{0, d16}}, 0x08000000, 0x0800000F, {}},
        {"hex without type 04: below the base, ignored", Format::Hex, kData16 + "\n", 0x08000000, 64, {}, 0, 0x0F, {},
         1},
        {"hex below the base: checksum not looked at", Format::Hex, ":10000000000102030405060708090A0B0C0D0E0F00\n",
         0x08000000, 64, {}, 0, 0x0F, {}, 1},
        {"hex type 04 with address field not 0000: code 3, base kept", Format::Hex,
         ":020000040001F9\n:020001040002F7\n" + kData16 + "\n", 0x10000, 64, {{0, d16}}, 0x10000, 0x1000F, {{2, 3}}},
        {"hex type 02 segment base", Format::Hex, ":020000021000EC\n" + hexRec(0, 0x0010, {0xAA, 0xBB}) + "\n", 0x10000,
         64, {{0x10, {0xAA, 0xBB}}}, 0x10010, 0x10011, {}},
        {"hex type 02 with address field not 0000: code 3, base kept", Format::Hex,
         ":020000021000EC\n:020010022000CC\n" + hexRec(0, 0x0010, {0xAA}) + "\n", 0x10000, 64, {{0x10, {0xAA}}},
         0x10010, 0x10010, {{2, 3}}},
        {"hex segment and linear bases add up", Format::Hex,
         ":020000040001F9\n:020000021000EC\n" + hexRec(0, 0x0004, {1, 2, 3}) + "\n", 0x20000, 64, {{4, {1, 2, 3}}},
         0x20004, 0x20006, {}},
        {"hex in lower case", Format::Hex, ":020000040800f2\n:10000000000102030405060708090a0b0c0d0e0f78\n",
         0x08000000, 64, {{0, d16}}, 0x08000000, 0x0800000F, {}},
        {"hex lower-case end record does not stop", Format::Hex, ":00000001ff\n" + kData16 + "\n", 0, 64, {{0, d16}},
         0, 0x0F, {}},
        {"hex end record stops", Format::Hex, ":00000001FF\n" + kData16 + "\n", 0, 64, {}, none, 0, {}},
        {"hex other end text stops", Format::Hex, ":00FFFF0101\n" + kData16 + "\n", 0, 64, {}, none, 0, {}},
        {"hex end record with a trailing blank does not stop", Format::Hex, ":00000001FF \n" + kData16 + "\n", 0, 64,
         {{0, d16}}, 0, 0x0F, {}},
        {"hex type 01 with data is ignored", Format::Hex, ":01000001AA54\n" + kData16 + "\n", 0, 64, {{0, d16}}, 0,
         0x0F, {}},
        {"hex types 03 and 05 are ignored, checksum unchecked", Format::Hex,
         ":040000030000100000\n:0400000508000001EE\n" + kData16 + "\n", 0, 64, {{0, d16}}, 0, 0x0F, {}},
        {"hex type 06: code 5", Format::Hex, ":0100000600F9\n", 0, 64, {}, none, 0, {{1, 5}}},
        {"hex count 0: accepted whatever follows", Format::Hex, ":00000006FA\n:00ZZZZ\n", 0, 64, {}, none, 0, {}},
        {"hex wrong checksum: code 4, bytes stay", Format::Hex, ":10000000000102030405060708090A0B0C0D0E0F77\n", 0,
         64, {{0, d16}}, 0, 0x0F, {{1, 4}}},
        {"hex without colon: code 1", Format::Hex, "10000000000102030405060708090A0B0C0D0E0F78\n", 0, 64, {}, none, 0,
         {{1, 1}}},
        {"hex short lines are skipped but counted", Format::Hex, "\n\nab\n:0100000600F9\n", 0, 64, {}, none, 0,
         {{4, 5}}},
        {"hex truncated record: code 4, nothing stored", Format::Hex, ":10000000000102\n", 0, 64, {}, none, 0,
         {{1, 4}}},
        {"hex type 04 cut short: code 4", Format::Hex, ":020000040800\n", 0, 64, {}, none, 0, {{1, 4}}},
        // Motorola S-record.
        {"s19 one byte", Format::SRecord, "S1040000FFFC\nS9030000FC\n", 0, 64, {{0, {0xFF}}}, 0, 0, {}},
        {"s19 in lower case", Format::SRecord, "S10400105f8c\n", 0, 64, {{0x10, {0x5F}}}, 0x10, 0x10, {}},
        {"s2 record", Format::SRecord, sRec('2', 0x012340, seq(4, 9)) + "\nS804000000FB\n", 0x012300, 0x100,
         {{0x40, seq(4, 9)}}, 0x012340, 0x012343, {}},
        {"s3 record", Format::SRecord, sRec('3', 0x08000010, d16) + "\nS70500000000FA\n", 0x08000000, 64,
         {{0x10, d16}}, 0x08000010, 0x0800001F, {}},
        {"s0, s5, s7, s8, s9 ignored even with wrong checksums", Format::SRecord,
         "S00600004844521B\nS5030004F7\nS70500000000FF\nS804000000FF\nS9030000FF\n" + sRec('1', 0, {7}) + "\n", 0, 64,
         {{0, {7}}}, 0, 0, {}},
        {"s4 and a letter: code 2; s6 (a 24-bit count) ignored", Format::SRecord,
         "S4030000FC\nS6040000FFFF\nSA030000FC\n", 0, 64, {}, none, 0, {{1, 2}, {3, 2}}},
        {"s-record without S: code 1", Format::SRecord, "X1040000FFFC\ns1040000FFFC\n", 0, 64, {}, none, 0,
         {{1, 1}, {2, 1}}},
        {"s-record wrong checksum: code 4, byte stays", Format::SRecord, "S1040000FFFB\n", 0, 64, {{0, {0xFF}}}, 0, 0,
         {{1, 4}}},
        {"s-record below the base stores nothing", Format::SRecord, sRec('1', 0x0000, d16) + "\n", 0x100, 64, {}, 0,
         0x0F, {}, 1},
        {"s-record below the base: checksum still checked", Format::SRecord, "S1040000FFFB\n", 0x100, 64, {}, 0, 0,
         {{1, 4}}, 1},
        {"s-record without data bytes stores nothing", Format::SRecord, "S1030000FC\n", 0, 64, {}, none, 0, {}},
        {"s-record count below address and checksum: code 4", Format::SRecord, "S1020000FD\n", 0, 64, {}, none, 0,
         {{1, 4}}},
        {"s-record cut short: code 4", Format::SRecord, "S1100000AB\nS30\n", 0, 64, {}, none, 0, {{1, 4}, {2, 4}}},
        {"s-record has no end text", Format::SRecord, ":00000001FF\n" + sRec('1', 0, {1}) + "\n", 0, 64, {{0, {1}}},
         0, 0, {{1, 1}}},
    };
}

}  // namespace

TEST(ObjectFileReaders, RecordsLineEndsAndResultCodes) {
    for (const ReadCase& c : readCases()) {
        for (const auto& [ending, text] : lineEndVariants(c.text)) {
            SCOPED_TRACE(std::string(c.name) + " / " + ending);
            Guarded g(c.size);
            Parsed p = parse(c.format, text, c.base, g);
            Bytes expect(c.size, 0xEE);
            uint32_t sum = 0;
            for (const Write& w : c.writes) {
                std::copy(w.bytes.begin(), w.bytes.end(), expect.begin() + static_cast<long>(w.offset));
                sum += sumOf(w.bytes);
            }
            EXPECT_EQ(g.content(), expect);
            EXPECT_TRUE(g.guardsIntact());
            EXPECT_EQ(p.out.first, c.first);
            EXPECT_EQ(p.out.last, c.last);
            EXPECT_EQ(p.out.fileChecksum, sum);
            EXPECT_EQ(p.errors, c.errors);
            EXPECT_EQ(p.out.recordsBelowBase, c.recordsBelowBase);
            EXPECT_EQ(p.out.bytesOutside, 0u);
            EXPECT_FALSE(p.out.aborted);
        }
    }
}

TEST(ObjectFileReaders, FileChecksumKeepsAccumulating) {
    Guarded g(64);
    ReaderOutputs out;
    out.fileChecksum = 0xFFFFFFF0;  // from an earlier file; wraps modulo 2^32
    std::string t = hexRec(0, 0, {0x10, 0x20}) + "\n";
    parseHexText(t.data(), t.size(), 0, g.data(), g.size, out, nullptr);
    EXPECT_EQ(out.fileChecksum, 0x20u);
}

// OK skips a faulty line and goes on; Abort stops at once and keeps what was
// read until then (including the bytes of a record with a wrong checksum).
TEST(ObjectFileReaders, OkSkipsAndAbortStops) {
    struct Case {
        Format format;
        std::string text;
        std::vector<std::pair<int, int>> faults;  // every faulty line, in order
    };
    const std::vector<Case> cases = {
        {Format::Hex,
         hexRec(0, 0, {1}) + "\n:0100010002FB\n" + hexRec(0, 2, {3}) + "\n:0100000600F9\n" + hexRec(0, 4, {5}) + "\n",
         {{2, 4}, {4, 5}}},
        {Format::SRecord,
         sRec('1', 0, {1}) + "\nS1040001020F\n" + sRec('1', 2, {3}) + "\nS4030000FC\n" + sRec('1', 4, {5}) + "\n",
         {{2, 4}, {4, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format == Format::Hex ? "hex" : "s-record");
        Guarded ok(8, 0xEE);
        Parsed all = parse(c.format, c.text, 0, ok);
        EXPECT_EQ(all.errors, c.faults);
        EXPECT_EQ(ok.content(), (Bytes{1, 2, 3, 0xEE, 5, 0xEE, 0xEE, 0xEE}));
        EXPECT_FALSE(all.out.aborted);
        EXPECT_EQ(all.out.last, 4u);

        Guarded ab(8, 0xEE);
        Parsed stopped = parse(c.format, c.text, 0, ab, 2);
        EXPECT_EQ(stopped.errors, (std::vector<std::pair<int, int>>{c.faults[0]}));
        EXPECT_EQ(ab.content(), (Bytes{1, 2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
        EXPECT_TRUE(stopped.out.aborted);
        EXPECT_EQ(stopped.out.first, 0u);
        EXPECT_EQ(stopped.out.last, 1u);
        EXPECT_EQ(stopped.out.fileChecksum, 3u);
    }
}

// Hostile input never writes outside the buffer; what does not fit is counted.
TEST(ObjectFileReaders, HostileInputStaysInsideTheBuffer) {
    struct Case {
        const char* name;
        Format format;
        std::string text;
        uint32_t base;
        size_t size;
        size_t stored;
        uint64_t outside;
        uint32_t recordsOutside;
        uint32_t first, last;
        std::vector<std::pair<int, int>> errors;
    };
    const Bytes x16(16, 0x11), x32(32, 0x11), x255(255, 0x11);
    const std::vector<Case> cases = {
        {"hex record over the end", Format::Hex, hexRec(0, 8, x16), 0, 16, 8, 8, 1, 8, 23, {}},
        {"hex record beyond the end", Format::Hex, hexRec(0, 0x100, x16), 0, 16, 0, 16, 1, 0x100, 0x10F, {}},
        {"hex count 255", Format::Hex, hexRec(0, 0, x255), 0, 16, 16, 239, 1, 0, 254, {}},
        {"hex count 255 on a short line", Format::Hex, ":FF00000011", 0, 16, 0, 0, 0, 0xFFFFFFFF, 0, {{1, 4}}},
        {"hex record past the top of the address space", Format::Hex,
         ":02000004FFFFFC\n" + hexRec(0, 0xFFF8, x16), 0, 16, 0, 16, 1, 0xFFFFFFF8, 0xFFFFFFFF, {}},
        {"hex bases that wrap round 32 bits", Format::Hex,
         ":02000004FFFFFC\n:02000002FFFFFE\n" + hexRec(0, 0x0010, x16), 0x000F0000, 16, 16, 0, 0, 0x000F0000,
         0x000F000F, {}},
        {"hex with a base near the top", Format::Hex, ":02000004FFFFFC\n" + hexRec(0, 0xFFF8, x16), 0xFFFFFFF0, 16, 8, 8,
         1, 0xFFFFFFF8, 0xFFFFFFFF, {}},
        {"s3 record past the top of the address space", Format::SRecord, sRec('3', 0xFFFFFFF0, x32), 0, 16, 0, 32, 1,
         0xFFFFFFF0, 0xFFFFFFFF, {}},
        {"s3 record over the end", Format::SRecord, sRec('3', 8, x16), 0, 16, 8, 8, 1, 8, 23, {}},
        {"s2 record with the largest count", Format::SRecord, sRec('2', 0, Bytes(251, 0x11)), 0, 16, 16, 235, 1, 0,
         250, {}},
        {"s1 count 255 on a short line", Format::SRecord, "S1FF000011", 0, 16, 0, 0, 0, 0xFFFFFFFF, 0, {{1, 4}}},
        {"s3 with a base near the top", Format::SRecord, sRec('3', 0xFFFFFFF8, x16), 0xFFFFFFF0, 16, 8, 8, 1,
         0xFFFFFFF8, 0xFFFFFFFF, {}},
        {"s-record into an empty buffer", Format::SRecord, sRec('1', 0, x16), 0, 0, 0, 16, 1, 0, 15, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Guarded g(c.size, 0x00);
        Parsed p = parse(c.format, c.text, c.base, g);
        EXPECT_TRUE(g.guardsIntact());
        Bytes got = g.content();
        EXPECT_EQ(static_cast<size_t>(std::count(got.begin(), got.end(), 0x11)), c.stored);
        EXPECT_EQ(p.out.fileChecksum, 0x11u * c.stored);
        EXPECT_EQ(p.out.bytesOutside, c.outside);
        EXPECT_EQ(p.out.recordsOutside, c.recordsOutside);
        EXPECT_EQ(p.out.first, c.first);
        EXPECT_EQ(p.out.last, c.last);
        EXPECT_EQ(p.errors, c.errors);
    }
}

// Random lines, well-formed and not, into a small buffer at random bases:
// nothing outside the buffer is touched.
TEST(ObjectFileReaders, RandomLinesNeverEscapeTheBuffer) {
    std::mt19937 rng(20240611);
    const std::string alphabet = "0123456789ABCDEFabcdef:S \rXZ";
    for (int round = 0; round < 200; ++round) {
        std::string text;
        for (int line = 0; line < 40; ++line) {
            int kind = static_cast<int>(rng() % 4);
            if (kind == 0) {
                Bytes d(rng() % 40, static_cast<uint8_t>(rng()));
                text += hexRec(static_cast<uint8_t>(rng() % 7), static_cast<uint16_t>(rng() % 96), d);
            } else if (kind == 1) {
                Bytes d(rng() % 40, static_cast<uint8_t>(rng()));
                text += sRec(static_cast<char>('1' + rng() % 3), static_cast<uint32_t>(rng() % 96), d);
            } else {
                text += kind == 2 ? ":" : "S";
                for (size_t n = rng() % 80; n > 0; --n) text += alphabet[rng() % alphabet.size()];
            }
            if (rng() % 10 == 0 && text.size() > 5) text.resize(text.size() - rng() % 5);  // cut the line short
            text += '\n';
        }
        uint32_t base = static_cast<uint32_t>(rng() % 48);
        for (Format f : {Format::Hex, Format::SRecord}) {
            Guarded g(48, 0x00);
            Parsed p = parse(f, text, base, g);
            ASSERT_TRUE(g.guardsIntact()) << "round " << round;
            EXPECT_LE(p.out.recordsOutside, 40u);
        }
    }
}

// ---------------------------------------------------------------------------
// Files.

class ObjectFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-objfiles-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string put(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
        return path(name);
    }
    std::string put(const std::string& name, const Bytes& content) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        return path(name);
    }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_;
};

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

TEST_F(ObjectFileTest, TextReadersReadFiles) {
    Guarded g(64);
    ReaderOutputs out;
    readHexFile(put("a.hex", ":020000040800F2\r\n" + kData16 + "\r\n:00000001FF\r\n"), 0x08000000, g.data(), g.size,
                out, nullptr);
    EXPECT_EQ(Bytes(g.data(), g.data() + 16), seq(16));
    EXPECT_EQ(out.last, 0x0800000Fu);

    Guarded s(64);
    ReaderOutputs sout;
    readSRecordFile(put("a.s19", "S1040000FFFC\r\nS9030000FC\r\n"), 0, s.data(), s.size, sout, nullptr);
    EXPECT_EQ(s.data()[0], 0xFF);
    EXPECT_EQ(sout.fileChecksum, 0xFFu);

    ReaderOutputs none;
    EXPECT_THROW(readHexFile(path("missing.hex"), 0, g.data(), g.size, none, nullptr), FileError);
    EXPECT_THROW(readSRecordFile(dir_, 0, g.data(), g.size, none, nullptr), FileError);
}

TEST_F(ObjectFileTest, BinReaderTakesAtMostOneMegabyteAndItsRoom) {
    const Bytes twoMiB = randomBytes(2 << 20, 7);
    const std::string big = put("big.bin", twoMiB);
    {
        Guarded g(0x180000, 0x00);  // room for more than 1 MiB
        uint32_t last = 0, sum = 5;
        EXPECT_EQ(readBinFile(big, g.data(), g.size, last, sum), 2u << 20);
        EXPECT_EQ(last, 0xFFFFFu);
        Bytes got = g.content();
        EXPECT_TRUE(std::equal(twoMiB.begin(), twoMiB.begin() + 0x100000, got.begin()));
        EXPECT_TRUE(std::all_of(got.begin() + 0x100000, got.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(sum, 5 + sumOf(Bytes(twoMiB.begin(), twoMiB.begin() + 0x100000)));
        EXPECT_TRUE(g.guardsIntact());
    }
    {
        // Near the end of the image only the room left is filled.
        Guarded g(10, 0x00);
        uint32_t last = 0, sum = 0;
        const Bytes small = randomBytes(100, 8);
        EXPECT_EQ(readBinFile(put("small.bin", small), g.data(), g.size, last, sum), 100u);
        EXPECT_EQ(last, 9u);
        EXPECT_EQ(g.content(), Bytes(small.begin(), small.begin() + 10));
        EXPECT_EQ(sum, sumOf(Bytes(small.begin(), small.begin() + 10)));
        EXPECT_TRUE(g.guardsIntact());
        Guarded none(0);
        EXPECT_EQ(readBinFile(path("small.bin"), none.data(), 0, last, sum), 100u);
        EXPECT_TRUE(none.guardsIntact());
    }
    {
        Guarded g(16);
        uint32_t last = 77, sum = 3;
        EXPECT_EQ(readBinFile(put("empty.bin", Bytes{}), g.data(), g.size, last, sum), 0u);
        EXPECT_EQ(last, 0u);
        EXPECT_EQ(sum, 3u);
        EXPECT_EQ(g.content(), Bytes(16, 0xEE));
    }
    uint32_t last = 0, sum = 0;
    Guarded g(16);
    EXPECT_THROW(readBinFile(path("missing.bin"), g.data(), g.size, last, sum), FileError);
    EXPECT_THROW(readBinFile(dir_, g.data(), g.size, last, sum), FileError);
}

TEST_F(ObjectFileTest, NvmBinReaderLimits) {
    const Bytes six = randomBytes(6000, 9);
    const std::string p6000 = put("nvm.bin", six);
    struct Case {
        const char* name;
        std::string path;
        uint32_t lastIn;
        size_t room;
        size_t stored;
        uint32_t lastOut;
    };
    const Bytes hundred = randomBytes(100, 10);
    const std::string p100 = put("nvm100.bin", hundred);
    const std::vector<Case> cases = {
        {"6000 bytes with the NVM limit 0xFFF", p6000, 0xFFF, 4096, 4096, 0xFFF},
        {"no limit: the whole file, cut to the room", p6000, 0, 4096, 4096, 5999},
        {"a limit beyond the file: the whole file", p100, 0xFFF, 4096, 100, 99},
        {"a small limit", p100, 9, 4096, 10, 9},
        {"a limit above the room", p6000, 5000, 4096, 4096, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Guarded g(c.room, 0xEE);
        uint32_t last = c.lastIn;
        readBinLimited(c.path, g.data(), g.size, last);
        EXPECT_EQ(last, c.lastOut);
        const Bytes& src = c.path == p6000 ? six : hundred;
        Bytes expect(c.room, 0xEE);
        std::copy(src.begin(), src.begin() + static_cast<long>(c.stored), expect.begin());
        EXPECT_EQ(g.content(), expect);
        EXPECT_TRUE(g.guardsIntact());
    }
    uint32_t last = 0;
    Guarded g(16);
    EXPECT_THROW(readBinLimited(path("missing.bin"), g.data(), g.size, last), FileError);
}

// ---------------------------------------------------------------------------
// Writers.

TEST(ObjectFileWriters, ExactRecords) {
    struct Case {
        const char* name;
        uint32_t first, last;
        int value;  // every byte of the range, or -1 for the pattern 0, 1, 2 ...
        std::vector<std::string> hex;
        std::vector<std::string> srec;  // empty: not checked
    };
    const std::vector<Case> cases = {
        {"one byte 0xFF at 0", 0, 0, 0xFF, {":01000000FF00", ":00000001FF"}, {"S1040000FFFC", "S9030000FC"}},
        {"17 bytes: a full and a short record", 0, 16, -1,
         {kData16, ":0100100010DF", ":00000001FF"},
         {"S1140000000102030405060708090A0B0C0D0E0F1063", "S9030000FC"}},
        {"32 bytes fill one S1 record", 0, 31, 0, {}, {"S1230000" + zeros(32) + "DC", "S9030000FC"}},
        {"0x0FFF0..0x1000F crosses a 64 KB page", 0x0FFF0, 0x1000F, 0x00,
         {":020000040000FA", ":10FFF000" + zeros(16) + "01", ":020000040001F9", ":10000000" + zeros(16) + "F0",
          ":00000001FF"},
         {"S22400FFF0" + zeros(32) + "EC", "S804000000FB"}},
        {"last byte at an address ending FFFF", 0x1FFF0, 0x1FFFF, 0x00,
         {":020000040001F9", ":10FFF000" + zeros(16) + "01", ":020000040002F8", ":00000001FF"},
         {}},
        {"long form: 32-byte records", 0x10000, 0x1003F, 0x00,
         {":020000040001F9", ":20000000" + zeros(32) + "E0", ":20002000" + zeros(32) + "C0", ":00000001FF"},
         {"S224010000" + zeros(32) + "DA", "S224010020" + zeros(32) + "BA", "S804000000FB"}},
        {"S3 file of 33 bytes ends with a short record", 0x08000000, 0x08000020, 0x00,
         {":020000040800F2", ":20000000" + zeros(32) + "E0", ":01002000" + zeros(1) + "DF", ":00000001FF"},
         {"S32508000000" + zeros(32) + "D2", "S30608000020" + zeros(1) + "D1", "S70500000000FA"}},
        {"top of the address space: no page after the last", 0xFFFFFFF0, 0xFFFFFFFF, 0x00,
         {":02000004FFFFFC", ":10FFF000" + zeros(16) + "01", ":00000001FF"},
         {"S315FFFFFFF0" + zeros(16) + "FD", "S70500000000FA"}},
        {"empty range", 0x10, 0x0F, 0x00, {":00000001FF"}, {"S9030000FC"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The buffer holds the range from its first address.
        uint64_t n = c.last >= c.first ? uint64_t(c.last) - c.first + 1 : 0;
        Bytes buf = c.value < 0 ? seq(static_cast<size_t>(n)) : Bytes(static_cast<size_t>(n) + 1, static_cast<uint8_t>(c.value));
        if (!c.hex.empty()) {
            EXPECT_EQ(hexText(buf.data(), c.first, c.first, c.last), joinLines(c.hex));
        }
        if (!c.srec.empty()) {
            EXPECT_EQ(sRecordText(buf.data(), c.first, c.first, c.last), joinLines(c.srec));
        }
    }
}

// Whole chips: 32 KB at 0 in the short form and S1; 64 KB at 0x08000000 in
// the long form and S3, the last byte ending in FFFF.
TEST(ObjectFileWriters, WholeChips) {
    const Bytes img = randomBytes(64 * 1024, 11);
    {
        auto hex = splitLines(hexText(img.data(), 0, 0, 0x7FFF));
        ASSERT_EQ(hex.size(), 2049u);
        EXPECT_TRUE(std::all_of(hex.begin(), hex.end() - 1, [](const std::string& l) { return l.rfind(":10", 0) == 0; }));
        EXPECT_EQ(hex.back(), ":00000001FF");
        auto s = splitLines(sRecordText(img.data(), 0, 0, 0x7FFF));
        ASSERT_EQ(s.size(), 1025u);
        EXPECT_TRUE(std::all_of(s.begin(), s.end() - 1, [](const std::string& l) { return l.rfind("S123", 0) == 0; }));
        EXPECT_EQ(s.back(), "S9030000FC");
    }
    {
        auto hex = splitLines(hexText(img.data(), 0x08000000, 0x08000000, 0x0800FFFF));
        ASSERT_EQ(hex.size(), 2051u);
        EXPECT_EQ(hex.front(), ":020000040800F2");
        EXPECT_TRUE(std::all_of(hex.begin() + 1, hex.end() - 2, [](const std::string& l) { return l.rfind(":20", 0) == 0; }));
        EXPECT_EQ(hex[hex.size() - 2], ":020000040801F1");
        EXPECT_EQ(hex.back(), ":00000001FF");
        auto s = splitLines(sRecordText(img.data(), 0x08000000, 0x08000000, 0x0800FFFF));
        ASSERT_EQ(s.size(), 2049u);
        EXPECT_TRUE(std::all_of(s.begin(), s.end() - 1, [](const std::string& l) { return l.rfind("S325", 0) == 0; }));
        EXPECT_EQ(s.back(), "S70500000000FA");
    }
}

// What the writers produce, the readers read back to the same bytes.
TEST(ObjectFileWriters, ReadersReadWhatWritersWrite) {
    struct Range {
        uint32_t first, last;
    };
    const std::vector<Range> ranges = {{0, 0}, {0, 0x7FFF}, {0x3, 0x1234}, {0xFFF7, 0x10021},
                                       {0x08000000, 0x0800FFFF}, {0x00FFFFE0, 0x01000020}, {0xFFFFFF00, 0xFFFFFFFF}};
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.first);
        const size_t n = static_cast<size_t>(uint64_t(r.last) - r.first + 1);
        const Bytes img = randomBytes(n, r.first ^ 0x5A5A);
        for (Format f : {Format::Hex, Format::SRecord}) {
            std::string t = f == Format::Hex ? hexText(img.data(), r.first, r.first, r.last)
                                             : sRecordText(img.data(), r.first, r.first, r.last);
            Guarded g(n);
            Parsed p = parse(f, t, r.first, g);
            EXPECT_TRUE(p.errors.empty());
            EXPECT_EQ(g.content(), img);
            EXPECT_EQ(p.out.first, r.first);
            EXPECT_EQ(p.out.last, r.last);
            EXPECT_EQ(p.out.fileChecksum, sumOf(img));
        }
    }
}

TEST_F(ObjectFileTest, WritersWriteFiles) {
    const Bytes img = randomBytes(300, 12);
    writeBinFile(path("a.bin"), img.data(), 10, 109);
    EXPECT_EQ(slurp(path("a.bin")), std::string(img.begin() + 10, img.begin() + 110));
    writeBinFile(path("empty.bin"), img.data(), 10, 9);
    EXPECT_EQ(slurp(path("empty.bin")), "");
    writeHexFile(path("a.hex"), img.data(), 0x100, 0x100, 0x1FF);
    EXPECT_EQ(slurp(path("a.hex")), hexText(img.data(), 0x100, 0x100, 0x1FF));
    writeSRecordFile(path("a.s19"), img.data(), 0x100, 0x100, 0x1FF);
    EXPECT_EQ(slurp(path("a.s19")), sRecordText(img.data(), 0x100, 0x100, 0x1FF));
    // Writing again replaces the file.
    writeBinFile(path("a.bin"), img.data(), 0, 0);
    EXPECT_EQ(slurp(path("a.bin")), std::string(1, static_cast<char>(img[0])));
}

TEST_F(ObjectFileTest, FailedWritesThrowAndKeepTheOldFile) {
    const Bytes img = randomBytes(1 << 16, 13);
    put("plain", std::string("not a folder"));
    EXPECT_THROW(writeBinFile(path("plain/x.bin"), img.data(), 0, 15), FileError);
    EXPECT_THROW(writeHexFile(path("plain/x.hex"), img.data(), 0, 0, 15), FileError);
    EXPECT_THROW(writeSRecordFile(path("plain/x.s19"), img.data(), 0, 0, 15), FileError);

    // A write that fails half-way (file size limit) leaves the old file as it
    // was and no temporary file beside it.
    const std::string old = ":00000001FF\r\n";
    put("keep.hex", old);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        writeHexFile(path("keep.hex"), img.data(), 0, 0, 0xFFFF);
    } catch (const FileError&) {
        threw = true;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(slurp(path("keep.hex")), old);
    EXPECT_EQ(entries(), (std::vector<std::string>{"keep.hex", "plain"}));
}

// ---------------------------------------------------------------------------
// Cross-checks with srecord's srec_cat.

class SrecCatTest : public ObjectFileTest {
protected:
    void SetUp() override {
        ObjectFileTest::SetUp();
        if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed; cross-checks skipped";
    }
    // Runs srec_cat with the arguments; fails the test with its messages.
    void srecCat(const std::string& args) {
        std::string cmd = "srec_cat " + args + " 2>'" + path("srec_cat.err") + "'";
        int rc = std::system(cmd.c_str());
        ASSERT_EQ(rc, 0) << cmd << "\n" << slurp(path("srec_cat.err"));
    }
    static std::string hex(uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%X", v);
        return b;
    }
};

// Images written by our writers, converted to binary by srec_cat.
TEST_F(SrecCatTest, SrecCatReadsOurFiles) {
    struct Range {
        uint32_t first, last;
    };
    const std::vector<Range> ranges = {
        {0, 0x2FFF},                    // short form, S1
        {0x0FF10, 0x1100F},             // page change, S2
        {0x08000000, 0x08004FFF},       // long form, S3
        {0x0800FFF5, 0x0801100A},       // odd start and end across a page
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.first);
        const size_t n = r.last - r.first + 1;
        const Bytes img = randomBytes(n, r.first + 1);
        writeHexFile(path("o.hex"), img.data(), r.first, r.first, r.last);
        writeSRecordFile(path("o.s"), img.data(), r.first, r.first, r.last);
        srecCat("'" + path("o.hex") + "' -intel -offset -" + hex(r.first) + " -o '" + path("h.bin") + "' -binary");
        srecCat("'" + path("o.s") + "' -motorola -offset -" + hex(r.first) + " -o '" + path("s.bin") + "' -binary");
        const std::string want(img.begin(), img.end());
        EXPECT_EQ(slurp(path("h.bin")), want);
        EXPECT_EQ(slurp(path("s.bin")), want);
    }
}

// Files written by srec_cat in its different layouts, read by our readers.
TEST_F(SrecCatTest, OurReadersReadSrecCatFiles) {
    // Two pieces with a gap between them; the gap keeps the fill.
    const uint32_t base = 0x0800FF00;
    const Bytes a = randomBytes(0x1234, 21), b = randomBytes(0x777, 22);
    const uint32_t aAt = base + 0x10, bAt = base + 0x2000;
    put("a.bin", a);
    put("b.bin", b);
    const std::string inputs = "'" + path("a.bin") + "' -binary -offset " + hex(aAt) + " '" + path("b.bin") +
                               "' -binary -offset " + hex(bAt);
    Bytes expect(0x3000, 0xEE);
    std::copy(a.begin(), a.end(), expect.begin() + (aAt - base));
    std::copy(b.begin(), b.end(), expect.begin() + (bAt - base));

    struct Layout {
        const char* name;
        Format format;
        const char* options;
    };
    const std::vector<Layout> layouts = {
        {"intel", Format::Hex, "-intel"},
        {"intel, 255-byte records, start address", Format::Hex, "-intel -obs=255 -execution-start-address=0x08000101"},
        {"intel, 16-byte records", Format::Hex, "-intel -obs=16"},
        {"motorola", Format::SRecord, "-motorola"},
        {"motorola S3, 250-byte records", Format::SRecord, "-motorola -address-length=4 -obs=250"},
        {"motorola with start address", Format::SRecord, "-motorola -execution-start-address=0x08000101"},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        srecCat(inputs + " -o '" + path("out.txt") + "' " + l.options);
        Guarded g(expect.size());
        ReaderOutputs out;
        std::vector<std::pair<int, int>> errors;
        LineErrorFn cb = [&](int line, int code) {
            errors.emplace_back(line, code);
            return true;
        };
        if (l.format == Format::Hex) readHexFile(path("out.txt"), base, g.data(), g.size, out, cb);
        else readSRecordFile(path("out.txt"), base, g.data(), g.size, out, cb);
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(g.content(), expect);
        EXPECT_EQ(out.first, aAt);
        EXPECT_EQ(out.last, bAt + b.size() - 1);
        EXPECT_EQ(out.fileChecksum, sumOf(a) + sumOf(b));
    }

    // Short addresses: S1 and the short HEX form at 0.
    const Bytes c = randomBytes(0x2345, 23);
    put("c.bin", c);
    for (const char* opts : {"-intel", "-motorola", "-motorola -address-length=3"}) {
        SCOPED_TRACE(opts);
        srecCat("'" + path("c.bin") + "' -binary -o '" + path("c.txt") + "' " + opts);
        Guarded g(c.size());
        ReaderOutputs out;
        if (opts[1] == 'i') readHexFile(path("c.txt"), 0, g.data(), g.size, out, nullptr);
        else readSRecordFile(path("c.txt"), 0, g.data(), g.size, out, nullptr);
        EXPECT_FALSE(out.aborted);
        EXPECT_EQ(g.content(), c);
    }
}
