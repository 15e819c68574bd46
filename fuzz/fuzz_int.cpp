// Integer input: tryParseInt64 / tryParseInt32 (and the throwing forms)
// against a reference written straight from the rules: optional leading
// blanks, an optional sign, then decimal digits, or hexadecimal digits after
// "0x", "0X", "$", "x" or "X"; nothing else. 64 bits: the full signed range,
// hexadecimal values up to 16 digits (leading zeros do not count). 32 bits:
// decimal -2^31 .. 2^31-1, hexadecimal up to 0xFFFFFFFF taken as its bit
// pattern. A sign applies to a hexadecimal value as two's complement.
#include "fuzz_util.h"
#include "shell/text.h"

#include <string>
#include <string_view>

using namespace kvx;

namespace {

struct Parsed {
    bool ok = false;
    bool negative = false;
    bool hex = false;
    std::string digits;  // without leading zeros; empty for zero
};

bool isDec(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

Parsed split(std::string_view s) {
    Parsed p;
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) p.negative = s[i++] == '-';
    std::string_view rest = s.substr(i);
    if (rest.substr(0, 2) == "0x" || rest.substr(0, 2) == "0X") {
        p.hex = true;
        rest.remove_prefix(2);
    } else if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        p.hex = true;
        rest.remove_prefix(1);
    }
    if (rest.empty()) return p;
    for (char c : rest)
        if (!(p.hex ? isHex(c) : isDec(c))) return p;
    size_t z = rest.find_first_not_of('0');
    p.digits = z == std::string_view::npos ? std::string() : std::string(rest.substr(z));
    for (char& c : p.digits)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    p.ok = true;
    return p;
}

// a <= b for digit strings without leading zeros.
bool notAbove(const std::string& a, const std::string& b) { return a.size() != b.size() ? a.size() < b.size() : a <= b; }

uint64_t value(const std::string& digits, unsigned radix) {
    uint64_t v = 0;
    for (char c : digits) v = v * radix + static_cast<uint64_t>(isDec(c) ? c - '0' : c - 'A' + 10);
    return v;
}

bool reference64(std::string_view s, int64_t& out) {
    Parsed p = split(s);
    if (!p.ok) return false;
    uint64_t m;
    if (p.hex) {
        if (p.digits.size() > 16) return false;
        m = value(p.digits, 16);
    } else {
        if (!notAbove(p.digits, p.negative ? "9223372036854775808" : "9223372036854775807")) return false;
        m = value(p.digits, 10);
    }
    out = static_cast<int64_t>(p.negative ? 0 - m : m);
    return true;
}

bool reference32(std::string_view s, int32_t& out) {
    Parsed p = split(s);
    if (!p.ok) return false;
    uint32_t m;
    if (p.hex) {
        if (p.digits.size() > 8) return false;
        m = static_cast<uint32_t>(value(p.digits, 16));
    } else {
        if (!notAbove(p.digits, p.negative ? "2147483648" : "2147483647")) return false;
        m = static_cast<uint32_t>(value(p.digits, 10));
    }
    out = static_cast<int32_t>(p.negative ? 0u - m : m);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    int64_t got64 = 0x5A5A, want64 = 0;
    bool ok64 = tryParseInt64(text, got64);
    FUZZ_CHECK(ok64 == reference64(text, want64));
    if (ok64) FUZZ_CHECK(got64 == want64);

    int32_t got32 = 0x5A5A, want32 = 0;
    bool ok32 = tryParseInt32(text, got32);
    FUZZ_CHECK(ok32 == reference32(text, want32));
    if (ok32) FUZZ_CHECK(got32 == want32);

    // Every 32-bit decimal value is also a 64-bit one.
    if (ok32 && !split(text).hex) FUZZ_CHECK(ok64 && got64 == got32);

    // The throwing forms agree with the others.
    bool threw = false;
    try {
        FUZZ_CHECK(strToInt64(text) == got64);
    } catch (const ConvertError&) {
        threw = true;
    }
    FUZZ_CHECK(threw == !ok64);
    threw = false;
    try {
        FUZZ_CHECK(strToInt(text) == got32);
    } catch (const ConvertError&) {
        threw = true;
    }
    FUZZ_CHECK(threw == !ok32);
    return 0;
}
