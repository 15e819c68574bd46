// Text made safe for the JSON lines: well-formed UTF-8 passes unchanged,
// every other byte becomes "\xHH"; timestamps are UTC with milliseconds.
#include "shell/json_lines.h"

#include <gtest/gtest.h>

using namespace kvx;

TEST(JsonLines, Utf8TextKeepsWellFormedTextAndEscapesEveryOtherByte) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"COM1 操作成功！", "COM1 操作成功！"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},      // four bytes
        {"fw\xFF\xFE.bin", "fw\\xFF\\xFE.bin"},         // never valid
        {"\xC0\xAF", "\\xC0\\xAF"},                     // overlong "/"
        {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},            // overlong, three bytes
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},            // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},   // beyond U+10FFFF
        {"ab\xE6\x93", "ab\\xE6\\x93"},                 // cut off at the end
        {"\x80x", "\\x80x"},                            // a stray continuation byte
    };
    for (const auto& c : cases) EXPECT_EQ(utf8Text(c.in), c.out) << c.in;
    // What comes out always goes into a JSON line.
    JsonObject o;
    o["text"] = utf8Text("\xFF\xC3");
    EXPECT_EQ(jsonLine(o), "{\"text\":\"\\\\xFF\\\\xC3\"}\n");
}

TEST(JsonLines, TimesAreUtcWithMilliseconds) {
    using namespace std::chrono;
    EXPECT_EQ(isoTimeMs(system_clock::time_point(milliseconds(1796771364123))), "2026-12-08T23:09:24.123Z");
    EXPECT_EQ(isoTimeMs(system_clock::time_point(milliseconds(0))), "1970-01-01T00:00:00.000Z");
}
