#include "records/record.h"

#include <cstdio>
#include <ctime>
#include <random>

namespace kvx {

std::string newRecordId() {
    static thread_local std::mt19937_64 gen{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(std::time(nullptr))};
        return std::mt19937_64(seq);
    }()};
    char buf[33];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(gen()),
                  static_cast<unsigned long long>(gen()));
    return buf;
}

std::optional<int64_t> parseRecordTime(const std::string& text, bool local) {
    std::tm tm{};
    int ms = 0;
    char sep = 'T';
    int n = 0;
    // The date, then optionally the time with seconds and milliseconds.
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &n) != 3 || n != 10)
        return std::nullopt;
    size_t at = 10;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        sep = text[at];
        int used = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &used) != 2 || used != 5)
            return std::nullopt;
        at += 1 + static_cast<size_t>(used);
        if (at < text.size() && text[at] == ':') {
            if (std::sscanf(text.c_str() + at + 1, "%2d%n", &tm.tm_sec, &used) != 1 || used != 2) return std::nullopt;
            at += 3;
            if (at < text.size() && text[at] == '.') {
                if (std::sscanf(text.c_str() + at + 1, "%3d%n", &ms, &used) != 1 || used != 3) return std::nullopt;
                at += 4;
            }
        }
    }
    (void)sep;
    bool utc = !local;
    if (at < text.size() && text[at] == 'Z') {
        utc = true;
        ++at;
    }
    if (at != text.size()) return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = utc ? timegm(&tm) : std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<int64_t>(t) * 1000 + ms;
}

}  // namespace kvx
