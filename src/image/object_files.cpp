#include "image/object_files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx {

namespace {

// The largest HEX or S-record file read: one for the whole 4 MiB image takes
// about 10.5 MB, so this leaves room for any layout and comment lines while
// a runaway file is refused at once.
constexpr uint64_t kMaxTextObjectFile = uint64_t(64) << 20;

// An object file opened for reading (only a regular file; see RegularFile).
// Text files are limited to kMaxTextObjectFile; a binary file is never read
// past what its destination takes, so its size is not limited.
class InputFile : public RegularFile {
public:
    explicit InputFile(const std::string& path, uint64_t maxSize = kMaxTextObjectFile) : RegularFile(path, maxSize) {}
};

// ---------------------------------------------------------------------------
// Lines.

// Splits text into lines (LF or CR LF; a last line without its newline
// counts) and runs fn(line, length, number) on each; fn returns false to stop.
template <typename Fn>
void eachLine(const char* text, size_t size, Fn fn) {
    size_t i = 0;
    int number = 0;
    while (i < size) {
        const char* nl = static_cast<const char*>(std::memchr(text + i, '\n', size - i));
        size_t end = nl ? static_cast<size_t>(nl - text) : size;
        size_t len = end - i;
        if (len > 0 && text[i + len - 1] == '\r') --len;
        ++number;
        if (!fn(text + i, len, number)) return;
        i = end + 1;
    }
}

// The same over a file, read in pieces of kPiece bytes so that no file is
// ever held whole in memory. A line longer than a piece is handed on cut to
// its first kLineKeep characters: a record never uses more (at most 521), so
// the cut changes no result, and a hostile file cannot make the reader grow.
constexpr size_t kPiece = size_t(1) << 20;
constexpr size_t kLineKeep = 4096;

template <typename Fn>
void eachFileLine(const std::string& path, Fn fn) {
    InputFile f(path);
    std::unique_ptr<char[]> piece(new char[kPiece]);
    char* b = piece.get();
    size_t start = 0, end = 0;  // b[start, end) is not handed on yet
    int number = 0;
    bool eof = false;
    bool cut = false;  // b[0, kLineKeep) holds the start of an over-long line whose rest is skipped
    auto hand = [&](size_t from, size_t len) {
        if (cut) {
            len = kLineKeep;
            cut = false;
        } else if (len > 0 && b[from + len - 1] == '\r') {
            --len;
        }
        return fn(b + from, len, ++number);
    };
    for (;;) {
        while (const char* nl = static_cast<const char*>(std::memchr(b + start, '\n', end - start))) {
            size_t stop = static_cast<size_t>(nl - b);
            if (!hand(start, stop - start)) return;
            start = stop + 1;
        }
        if (eof) {
            if (start < end) hand(start, end - start);  // the last line, without its newline
            return;
        }
        if (cut) {
            end = kLineKeep;  // drop what was read of the line's rest
        } else if (start == 0 && end == kPiece) {
            cut = true;
            end = kLineKeep;
        } else {
            std::memmove(b, b + start, end - start);
            end -= start;
            start = 0;
        }
        size_t want = kPiece - end;
        size_t got = f.read(b + end, want);
        end += got;
        eof = got < want;
    }
}

// ---------------------------------------------------------------------------
// Records.

// Character to digit: letters give 10..35 in either case, anything else its
// code minus 0x30 (modulo 256). Digits outside 0..F are not refused; they
// only lead to a checksum error or a wrong value.
constexpr std::array<uint8_t, 256> makeDigits() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if (c >= 'A' && c <= 'Z') t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'z') t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
        else t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 0x30);
    }
    return t;
}
constexpr std::array<uint8_t, 256> kDigit = makeDigits();

inline uint8_t pairAt(const char* s, size_t i) {
    return static_cast<uint8_t>(kDigit[static_cast<uint8_t>(s[i])] * 16 + kDigit[static_cast<uint8_t>(s[i + 1])]);
}

// Stores the n data bytes of a record for address a (a >= base) at
// buffer[a - base + i], adds them to fileChecksum, and returns the low byte
// of the sum of all n for the record checksum. Bytes beyond the buffer's end
// are not stored and are counted: a record that straddles the end keeps its
// bytes inside.
uint8_t storeRecord(const char* data, size_t n, uint64_t a, uint32_t base, uint8_t* buffer, size_t size,
                    ReaderOutputs& out) {
    uint64_t off = a - base;
    size_t inside = off >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(n, size - off));
    uint8_t* dest = buffer + (inside ? off : 0);
    uint32_t stored = 0;
    uint8_t all = 0;
    for (size_t i = 0; i < inside; ++i) {
        uint8_t b = pairAt(data, 2 * i);
        dest[i] = b;
        stored += b;
    }
    all = static_cast<uint8_t>(stored);
    for (size_t i = inside; i < n; ++i) all = static_cast<uint8_t>(all + pairAt(data, 2 * i));
    out.fileChecksum += stored;
    out.bytesStored += inside;
    // Bytes beyond the buffer are outside the chip as well.
    out.bytesOffChip += out.chip.bytesOutside(a, n);
    if (inside < n) {
        out.bytesOutside += n - inside;
        ++out.recordsOutside;
    }
    return all;
}

// A record that runs past the top of the 32-bit address space ends the range
// at 0xFFFFFFFF instead of wrapping round to a low address.
void noteRange(ReaderOutputs& out, uint64_t a, uint64_t n) {
    if (a < out.first) out.first = static_cast<uint32_t>(a);
    if (a + n > out.last) out.last = static_cast<uint32_t>(std::min<uint64_t>(a + n - 1, 0xFFFFFFFFu));
}

struct HexState {
    uint32_t segment = 0, linear = 0;
};

// One Intel HEX line of len >= 3 characters. A line too short for what its
// count and type need is never read past its end: it gives the checksum code.
int hexLine(const char* s, size_t len, uint32_t base, uint8_t* buffer, size_t size, ReaderOutputs& out, HexState& st) {
    if (s[0] != ':') return kLineNoStart;
    uint8_t n = pairAt(s, 1);
    if (n == 0) return kLineOk;
    if (len < 9) return kLineBadChecksum;
    uint8_t ah = pairAt(s, 3), al = pairAt(s, 5), type = pairAt(s, 7);
    switch (type) {
    case 0x02:
    case 0x04: {
        if (ah != 0 || al != 0) return kLineBadAddress;
        if (len < 15) return kLineBadChecksum;
        uint8_t vh = pairAt(s, 9), vl = pairAt(s, 11);
        uint32_t v = static_cast<uint32_t>(vh << 8 | vl);
        if (type == 0x02) st.segment = v * 16;
        else st.linear = v * 65536;
        uint8_t sum = static_cast<uint8_t>(n + ah + al + type + vh + vl + pairAt(s, 13));
        return sum == 0 ? kLineOk : kLineBadChecksum;
    }
    case 0x00: {
        if (len < 11 + 2u * n) return kLineBadChecksum;
        // The bases and the record address add up modulo 2^32, as addresses do.
        uint64_t a = (static_cast<uint64_t>(st.linear) + st.segment + static_cast<uint32_t>(ah << 8 | al)) & 0xFFFFFFFFu;
        noteRange(out, a, n);
        if (a < base) {
            ++out.recordsBelowBase;
            out.bytesOffChip += out.chip.bytesOutside(a, n);
            return kLineOk;
        }
        uint8_t sum = static_cast<uint8_t>(n + ah + al + type);
        sum = static_cast<uint8_t>(sum + storeRecord(s + 9, n, a, base, buffer, size, out));
        sum = static_cast<uint8_t>(sum + pairAt(s, 9 + 2u * n));
        return sum == 0 ? kLineOk : kLineBadChecksum;
    }
    case 0x01:
    case 0x03:
    case 0x05: return kLineOk;
    default: return kLineTypeAbove5;
    }
}

// One S-record line of len >= 3 characters; never read past its end either.
int sLine(const char* s, size_t len, uint32_t base, uint8_t* buffer, size_t size, ReaderOutputs& out) {
    if (s[0] != 'S') return kLineNoStart;
    char t = s[1];
    // S5 and S6 are record counts (16 and 24 bits); headers, counts and
    // start addresses carry nothing to store.
    if (t == '0' || t == '5' || t == '6' || t == '7' || t == '8' || t == '9') return kLineOk;
    if (t != '1' && t != '2' && t != '3') return kLineBadType;
    size_t ab = static_cast<size_t>(t - '0') + 1;  // address bytes
    size_t dataAt = 4 + 2 * ab;
    if (len < dataAt) return kLineBadChecksum;
    uint8_t n = pairAt(s, 2);
    uint64_t a = 0;
    uint8_t sum = n;
    for (size_t i = 0; i < ab; ++i) {
        uint8_t b = pairAt(s, 4 + 2 * i);
        a = a << 8 | b;
        sum = static_cast<uint8_t>(sum + b);
    }
    // A count below the address and checksum bytes leaves no record.
    if (n < ab + 1) return kLineBadChecksum;
    size_t d = n - ab - 1;
    if (len < dataAt + 2 * d + 2) return kLineBadChecksum;
    if (d > 0) {
        noteRange(out, a, d);
        if (a < base) {
            ++out.recordsBelowBase;
            out.bytesOffChip += out.chip.bytesOutside(a, d);
            for (size_t i = 0; i < d; ++i) sum = static_cast<uint8_t>(sum + pairAt(s, dataAt + 2 * i));
        } else {
            sum = static_cast<uint8_t>(sum + storeRecord(s + dataAt, d, a, base, buffer, size, out));
        }
    }
    sum = static_cast<uint8_t>(sum + pairAt(s, dataAt + 2 * d));
    return sum == 0xFF ? kLineOk : kLineBadChecksum;
}

// The line loops of both readers, over any source of lines.
struct HexReader {
    uint32_t base;
    uint8_t* buffer;
    size_t size;
    ReaderOutputs& out;
    const LineErrorFn& onError;
    HexState st{};
    bool operator()(const char* s, size_t len, int number) {
        if (len < 3) return true;
        if (len == 11 && (std::memcmp(s, ":00000001FF", 11) == 0 || std::memcmp(s, ":00FFFF0101", 11) == 0))
            return false;
        int code = hexLine(s, len, base, buffer, size, out, st);
        if (code != kLineOk && !(onError && onError(number, code))) {
            out.aborted = true;
            out.abortedAtLine = number;
            return false;
        }
        return true;
    }
};

struct SRecordReader {
    uint32_t base;
    uint8_t* buffer;
    size_t size;
    ReaderOutputs& out;
    const LineErrorFn& onError;
    bool operator()(const char* s, size_t len, int number) {
        if (len < 3) return true;
        int code = sLine(s, len, base, buffer, size, out);
        if (code != kLineOk && !(onError && onError(number, code))) {
            out.aborted = true;
            out.abortedAtLine = number;
            return false;
        }
        return true;
    }
};

}  // namespace

void parseHexText(const char* text, size_t size, uint32_t base, uint8_t* buffer, size_t bufferSize, ReaderOutputs& out,
                  const LineErrorFn& onError) {
    HexReader r{base, buffer, bufferSize, out, onError};
    eachLine(text, size, std::ref(r));
}

void parseSRecordText(const char* text, size_t size, uint32_t base, uint8_t* buffer, size_t bufferSize,
                      ReaderOutputs& out, const LineErrorFn& onError) {
    SRecordReader r{base, buffer, bufferSize, out, onError};
    eachLine(text, size, std::ref(r));
}

void readHexFile(const std::string& path, uint32_t base, uint8_t* buffer, size_t bufferSize, ReaderOutputs& out,
                 const LineErrorFn& onError) {
    HexReader r{base, buffer, bufferSize, out, onError};
    eachFileLine(path, std::ref(r));
}

void readSRecordFile(const std::string& path, uint32_t base, uint8_t* buffer, size_t bufferSize, ReaderOutputs& out,
                     const LineErrorFn& onError) {
    SRecordReader r{base, buffer, bufferSize, out, onError};
    eachFileLine(path, std::ref(r));
}

// ---------------------------------------------------------------------------
// Binary files.

ObjectFormat formatByExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return ObjectFormat::Unknown;
    std::string ext = name.substr(dot);
    for (char& c : ext)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (ext == ".HEX" || ext == ".IHEX" || ext == ".IHX") return ObjectFormat::Hex;
    if (ext.size() >= 4 && ext[1] == 'S' && ext[2] == '1' && ext[3] >= '0' && ext[3] <= '9') return ObjectFormat::SRecord;
    if (ext == ".SREC" || ext == ".MOT" || ext == ".S28" || ext == ".S37" || ext == ".SX") return ObjectFormat::SRecord;
    if (ext == ".BIN") return ObjectFormat::Bin;
    return ObjectFormat::Unknown;
}

ObjectFormat formatByContent(const char* text, size_t size) {
    size_t i = 0;
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    if (i < size && text[i] == ':') return ObjectFormat::Hex;
    if (i + 1 < size && text[i] == 'S' && text[i + 1] >= '0' && text[i + 1] <= '9') return ObjectFormat::SRecord;
    return ObjectFormat::Unknown;
}

ObjectFormat objectFileFormat(const std::string& path) {
    ObjectFormat f = formatByExtension(path);
    if (f != ObjectFormat::Unknown) return f;
    // The first non-blank line tells; blank lines ahead of it are few.
    InputFile in(path);
    char head[4096];
    size_t n = in.read(head, sizeof head);
    return formatByContent(head, n);
}

const char* lineFaultText(ObjectFormat format, int code) {
    bool hex = format == ObjectFormat::Hex;
    switch (code) {
    case kLineNoStart: return hex ? "the line does not begin with ':'" : "the line does not begin with 'S'";
    case kLineBadType: return "unknown S-record type (not S0-S3, S5-S9)";
    case kLineBadAddress: return "extended address record whose address field is not 0000";
    case kLineBadChecksum: return "checksum wrong, or the line is shorter than its byte count";
    case kLineTypeAbove5: return "unknown record type (above 05)";
    default: return "faulty line";
    }
}

uint64_t readBinFile(const std::string& path, uint8_t* dest, size_t destRoom, uint32_t& lastOffset,
                     uint32_t& fileChecksum) {
    InputFile f(path, kNoSizeLimit);
    size_t want = static_cast<size_t>(std::min<uint64_t>({f.size(), 0x100000, destRoom}));
    size_t got = f.read(dest, want);
    uint32_t sum = fileChecksum;
    for (size_t i = 0; i < got; ++i) sum += dest[i];
    fileChecksum = sum;
    lastOffset = got ? static_cast<uint32_t>(got - 1) : 0;
    return f.size();
}

size_t readBinLimited(const std::string& path, uint8_t* dest, size_t destRoom, uint32_t& lastOffset) {
    InputFile f(path, kNoSizeLimit);
    uint64_t size = f.size();
    uint64_t want;
    if (lastOffset != 0 && lastOffset < size) {
        want = uint64_t(lastOffset) + 1;
    } else {
        want = size;
        lastOffset = size ? static_cast<uint32_t>(std::min<uint64_t>(size - 1, 0xFFFFFFFFu)) : 0;
    }
    return f.read(dest, static_cast<size_t>(std::min<uint64_t>(want, destRoom)));
}

uint32_t lastInImage(uint32_t first, uint32_t last, size_t imageSize) {
    if (last < first || imageSize == 0) return last;
    return static_cast<uint32_t>(std::min<uint64_t>(last, uint64_t(first) + imageSize - 1));
}

void fillImage(uint8_t* buffer, uint32_t n, uint8_t value) { std::memset(buffer, value, (static_cast<size_t>(n) + 1) * 16); }

// ---------------------------------------------------------------------------
// Writers.

namespace {
const char kHex[] = "0123456789ABCDEF";

struct RecordText {
    std::string& s;
    uint8_t sum = 0;
    void byte(uint8_t b) {
        s.push_back(kHex[b >> 4]);
        s.push_back(kHex[b & 15]);
        sum = static_cast<uint8_t>(sum + b);
    }
};

void hexRecord(std::string& s, uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    s.push_back(':');
    RecordText r{s};
    r.byte(static_cast<uint8_t>(n));
    r.byte(static_cast<uint8_t>(address >> 8));
    r.byte(static_cast<uint8_t>(address));
    r.byte(type);
    for (size_t i = 0; i < n; ++i) r.byte(data[i]);
    uint8_t cs = static_cast<uint8_t>(0x100 - r.sum);
    r.byte(cs);
    s += "\r\n";
}

void linearRecord(std::string& s, uint16_t upper) {
    const uint8_t v[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
    hexRecord(s, 0x04, 0, v, 2);
}
}  // namespace

std::string hexText(const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last) {
    std::string s;
    if (last >= first) {
        uint64_t n = uint64_t(last) - first + 1;
        s.reserve(static_cast<size_t>(n * 2 + n / 16 * 14 + 64));
        if (last < 0x10000) {
            for (uint64_t a = first; a <= last; a += 16) {
                size_t k = static_cast<size_t>(std::min<uint64_t>(16, uint64_t(last) - a + 1));
                hexRecord(s, 0x00, static_cast<uint16_t>(a), buffer + (a - base), k);
            }
        } else {
            linearRecord(s, static_cast<uint16_t>(first >> 16));
            uint64_t a = first;
            while (a <= last) {
                // Up to 32 bytes, closed early after the last byte of a 64 KB page.
                uint64_t pageEnd = (a | 0xFFFF);
                uint64_t end = std::min<uint64_t>({a + 31, last, pageEnd});
                size_t k = static_cast<size_t>(end - a + 1);
                hexRecord(s, 0x00, static_cast<uint16_t>(a), buffer + (a - base), k);
                if (end == pageEnd && (end >> 16) < 0xFFFF) linearRecord(s, static_cast<uint16_t>((end + 1) >> 16));
                a = end + 1;
            }
        }
    }
    s += ":00000001FF\r\n";
    return s;
}

std::string sRecordText(const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last) {
    std::string s;
    int type = last < 0x10000 ? 1 : last < 0x1000000 ? 2 : 3;
    size_t ab = static_cast<size_t>(type) + 1;
    if (last >= first) {
        uint64_t n = uint64_t(last) - first + 1;
        s.reserve(static_cast<size_t>(n * 2 + n / 32 * 20 + 64));
        for (uint64_t a = first; a <= last; a += 32) {
            size_t k = static_cast<size_t>(std::min<uint64_t>(32, uint64_t(last) - a + 1));
            s.push_back('S');
            s.push_back(static_cast<char>('0' + type));
            RecordText r{s};
            r.byte(static_cast<uint8_t>(ab + k + 1));
            for (size_t i = ab; i-- > 0;) r.byte(static_cast<uint8_t>(a >> (8 * i)));
            const uint8_t* d = buffer + (a - base);
            for (size_t i = 0; i < k; ++i) r.byte(d[i]);
            r.byte(static_cast<uint8_t>(~r.sum));
            s += "\r\n";
        }
    }
    s += type == 1 ? "S9030000FC\r\n" : type == 2 ? "S804000000FB\r\n" : "S70500000000FA\r\n";
    return s;
}

void writeBinFile(const std::string& path, const uint8_t* buffer, int64_t firstIndex, int64_t lastIndex) {
    size_t n = lastIndex >= firstIndex ? static_cast<size_t>(lastIndex - firstIndex + 1) : 0;
    writeFileReplacing(path, buffer + (n ? firstIndex : 0), n);
}

void writeHexFile(const std::string& path, const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last) {
    writeFileReplacing(path, hexText(buffer, base, first, last));
}

void writeSRecordFile(const std::string& path, const uint8_t* buffer, uint32_t base, uint32_t first, uint32_t last) {
    writeFileReplacing(path, sRecordText(buffer, base, first, last));
}

uint64_t ChipAreas::bytesOutside(uint64_t first, uint64_t count) const {
    if (count == 0) return 0;
    const uint64_t last = first + count - 1;
    const auto overlap = [&](uint64_t lo, uint64_t hi) -> uint64_t {
        const uint64_t a = std::max(first, lo), b = std::min(last, hi);
        return lo <= hi && a <= b ? b - a + 1 : 0;
    };
    const uint64_t inFlash = overlap(flashFirst, flashLast);
    // The second area counts only where it is not flash.
    uint64_t inOther = overlap(otherFirst, otherLast);
    if (inOther > 0) inOther -= overlap(std::max(flashFirst, otherFirst), std::min(flashLast, otherLast));
    return count - inFlash - inOther;
}

}  // namespace kvx
