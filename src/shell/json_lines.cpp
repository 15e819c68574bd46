#include "shell/json_lines.h"

#include "shell/text.h"

#include <ctime>

namespace kvx {

namespace {
// The length of the well-formed UTF-8 sequence at s[i], 0 when there is none
// (a stray continuation byte, a cut-off sequence, an overlong form, a
// surrogate or a value beyond U+10FFFF).
size_t sequenceLength(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    // The second byte's range rules out overlong forms, surrogates and
    // values beyond U+10FFFF.
    const unsigned char d = b(i + 1);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
        return 0;
    return n;
}
}  // namespace

std::string utf8Text(std::string_view s) {
    std::string o;
    o.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        if (size_t n = sequenceLength(s, i)) {
            o.append(s.substr(i, n));
            i += n;
        } else {
            o += format("\\x%0.2X", static_cast<unsigned char>(s[i]));
            ++i;
        }
    }
    return o;
}

std::string isoTimeMs(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0));
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return format("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
}

std::string jsonLine(const JsonObject& o) {
    // Strings are made valid by utf8Text before they go in; a byte that still
    // slips through is replaced rather than ending the run with an exception.
    return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace kvx
