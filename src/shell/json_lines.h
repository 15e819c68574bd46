// JSON lines for the programs that read this program's output (a line
// controller, a test, a trace viewer): one object a line, written by the
// nlohmann-json library, every string valid UTF-8.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <string_view>

namespace kvx {

// Keys stay in the order they were added, so "v" and "event" lead each line.
using JsonObject = nlohmann::ordered_json;

// The text with each byte that is not part of well-formed UTF-8 written as
// the four characters "\xHH" (a file name from an old Windows share, a
// unit's garbled text); well-formed text comes back unchanged.
std::string utf8Text(std::string_view s);

// UTC with milliseconds: "2026-12-08T22:49:24.123Z".
std::string isoTimeMs(std::chrono::system_clock::time_point t);

// The object as one line, ending in a newline.
std::string jsonLine(const JsonObject& o);

}  // namespace kvx
