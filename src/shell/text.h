// Text helpers shared by every room: the system's printf-like format (upper
// case hexadecimal), the integer input conversion of every number edit, and
// small string utilities.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kvx {

// printf-style formatting in which every hexadecimal conversion ("%x",
// "%0.8x", "  %x") yields upper-case digits, as the program's messages show.
// The formats are written as the system writes them ("0x%0.8x"), which the
// compiler's printf checker would flag, so the arguments are checked here
// instead: numbers and C strings only.
std::string formatV(const char* fmt, ...);
template <typename... Args>
std::string format(const char* fmt, Args... args) {
    static_assert(((std::is_arithmetic_v<Args> || std::is_same_v<Args, const char*> || std::is_same_v<Args, char*>) && ...),
                  "format takes numbers and C strings");
    return formatV(fmt, args...);
}

// The conversion error of a number edit: the operator sees its message and the
// action that read the edit is abandoned.
class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const std::string& text);
};

// Integer input: optional leading blanks, an optional sign, then decimal
// digits, or hexadecimal digits after "0x", "0X", "$", "x" or "X". Anything
// else (including trailing characters or an empty text) fails.
// The 64-bit reader accepts the full signed range and hexadecimal values up to
// 16 digits; the 32-bit one accepts decimal values of -2^31 .. 2^31-1 and
// hexadecimal values up to 0xFFFFFFFF (taken as their 32-bit pattern).
bool tryParseInt64(std::string_view text, int64_t& out);
bool tryParseInt32(std::string_view text, int32_t& out);
int64_t strToInt64(std::string_view text);  // throws ConvertError
int32_t strToInt(std::string_view text);    // throws ConvertError

// Upper-case copy (ASCII letters only; other bytes pass unchanged).
std::string upperAscii(std::string_view s);

// Joins lines with CR LF after each line.
std::string joinCrLf(const std::vector<std::string>& lines);

// "ADDR:PORT" (an IPv6 address in brackets: "[::1]:8200"); false with why
// when it is not one.
bool parseListenAddress(const std::string& text, std::string& host, int& port, std::string& why);

}  // namespace kvx
