#include "shell/text.h"

#include <cstdarg>
#include <cstdio>

namespace kvx {

std::string formatV(const char* fmt, ...) {
    // Rewrite every 'x' conversion to 'X'; the rest of the format is unchanged.
    std::string f;
    for (const char* p = fmt; *p; ++p) {
        f.push_back(*p);
        if (*p != '%') continue;
        ++p;
        if (*p == '%') {
            f.push_back('%');
            continue;
        }
        // Flags, width, precision and length modifiers.
        while (*p && std::string_view("-+ #0123456789.*hlLjzt").find(*p) != std::string_view::npos) {
            f.push_back(*p);
            ++p;
        }
        if (!*p) break;
        f.push_back(*p == 'x' ? 'X' : *p);
    }
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    char small[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::vsnprintf(small, sizeof small, f.c_str(), ap);
    std::string out;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), f.c_str(), ap2);
        out.resize(static_cast<size_t>(n));
    }
#pragma GCC diagnostic pop
    va_end(ap2);
    va_end(ap);
    return out;
}

ConvertError::ConvertError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid integer value") {}

namespace {
int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses into magnitude and sign; hex tells whether a hex prefix was seen.
bool parseParts(std::string_view s, bool& negative, bool& hex, uint64_t& magnitude) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    } else if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
        hex = true;
        ++i;
    }
    if (i >= s.size()) return false;
    magnitude = 0;
    for (; i < s.size(); ++i) {
        int d = digitValue(s[i]);
        if (d < 0 || (!hex && d > 9)) return false;
        if (hex) {
            if (magnitude >> 60) return false;  // more than 16 digits' worth
            magnitude = magnitude * 16 + static_cast<uint64_t>(d);
        } else {
            if (magnitude > (UINT64_MAX - static_cast<uint64_t>(d)) / 10) return false;
            magnitude = magnitude * 10 + static_cast<uint64_t>(d);
        }
    }
    return true;
}
}  // namespace

bool tryParseInt64(std::string_view text, int64_t& out) {
    bool neg, hex;
    uint64_t m;
    if (!parseParts(text, neg, hex, m)) return false;
    if (!hex) {
        if (neg ? m > (uint64_t(1) << 63) : m > uint64_t(INT64_MAX)) return false;
    }
    uint64_t v = neg ? (~m + 1) : m;
    out = static_cast<int64_t>(v);
    return true;
}

bool tryParseInt32(std::string_view text, int32_t& out) {
    bool neg, hex;
    uint64_t m;
    if (!parseParts(text, neg, hex, m)) return false;
    if (hex) {
        if (m > 0xFFFFFFFFull) return false;
    } else if (neg ? m > 0x80000000ull : m > 0x7FFFFFFFull) {
        return false;
    }
    uint32_t v = static_cast<uint32_t>(m);
    if (neg) v = ~v + 1;
    out = static_cast<int32_t>(v);
    return true;
}

int64_t strToInt64(std::string_view text) {
    int64_t v;
    if (!tryParseInt64(text, v)) throw ConvertError(std::string(text));
    return v;
}

int32_t strToInt(std::string_view text) {
    int32_t v;
    if (!tryParseInt32(text, v)) throw ConvertError(std::string(text));
    return v;
}

std::string upperAscii(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string joinCrLf(const std::vector<std::string>& lines) {
    std::string out;
    size_t total = 0;
    for (auto& l : lines) total += l.size() + 2;
    out.reserve(total);
    for (auto& l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

bool parseListenAddress(const std::string& text, std::string& host, int& port, std::string& why) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        why = "takes ADDR:PORT (127.0.0.1:8200, 0.0.0.0:8200, [::1]:8200)";
        return false;
    }
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    else if (h.find(':') != std::string::npos) {
        why = "an IPv6 address goes in brackets: [::1]:8200";
        return false;
    }
    int64_t p = -1;
    if (h.empty() || !tryParseInt64(text.substr(colon + 1), p) || p < 0 || p > 65535) {
        why = "takes ADDR:PORT, PORT 0 to 65535 (0: any free port)";
        return false;
    }
    host = h;
    port = static_cast<int>(p);
    return true;
}

}  // namespace kvx
