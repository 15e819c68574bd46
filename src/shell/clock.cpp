#include "shell/seams.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

namespace kvx {

std::string longTimeText(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", t.hour, t.minute, t.second);
    return buf;
}

std::string shortDateText(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d/%d/%d", t.year, t.month, t.day);
    return buf;
}

LocalTime SystemClock::now() {
    using namespace std::chrono;
    auto tp = system_clock::now();
    std::time_t tt = system_clock::to_time_t(tp);
    std::tm tmv{};
    localtime_r(&tt, &tmv);
    LocalTime t;
    t.year = tmv.tm_year + 1900;
    t.month = tmv.tm_mon + 1;
    t.day = tmv.tm_mday;
    t.hour = tmv.tm_hour;
    t.minute = tmv.tm_min;
    t.second = tmv.tm_sec;
    t.millisecond = static_cast<int>(duration_cast<milliseconds>(tp.time_since_epoch()).count() % 1000);
    return t;
}

int64_t Clock::epochMs() {
    const LocalTime t = now();
    std::tm tmv{};
    tmv.tm_year = t.year - 1900;
    tmv.tm_mon = t.month - 1;
    tmv.tm_mday = t.day;
    tmv.tm_hour = t.hour;
    tmv.tm_min = t.minute;
    tmv.tm_sec = t.second;
    tmv.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tmv)) * 1000 + t.millisecond;
}

int64_t SystemClock::epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {
// splitmix64: small, fast and well distributed; masks and filler need no more.
uint64_t next(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
uint32_t belowFrom(uint64_t& s, uint32_t upper) {
    if (upper <= 1) return 0;
    // Multiply-shift keeps the result uniform enough for 32-bit bounds.
    return static_cast<uint32_t>((next(s) >> 32) * upper >> 32);
}
}  // namespace

SystemRandom::SystemRandom() {
    std::random_device rd;
    state_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

uint32_t SystemRandom::below(uint32_t upper) { return belowFrom(state_, upper); }
uint32_t SeededRandom::below(uint32_t upper) { return belowFrom(state_, upper); }

}  // namespace kvx
