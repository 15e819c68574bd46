// Faults on one line while eight channels run the automatic sequence: the
// damaged channel ends with its own message (or gets through when the fault
// is one it can live with), the other seven finish with the image in their
// chips, the loop keeps running its timers, and the run log written at
// shut-down holds the whole information log.
#include "e2e_rig.h"

#include "shell/text.h"

#include <array>
#include <chrono>
#include <functional>

using namespace kvx;
using kvx::test::E2ERig;
using kvx::test::LoopGapMeter;

namespace {

// 32 KB of flash: eight 4 KB blocks. Requests to a unit during the automatic
// sequence: 1 the device query, 2 the blank check, 3..10 the program blocks,
// 11..18 the verify reads.
const char* const kChip = "SC32F5232JV1G";
constexpr size_t kImageBytes = 32 * 1024;
constexpr size_t kBlock = 4096;
constexpr size_t kBlocks = kImageBytes / kBlock;
constexpr int kFaulty = 2;  // the unit with the fault, on channel 3
constexpr int kSlowBlockMs = 300;
constexpr uint32_t kLineRate = 1000000;  // the units' baud rate

// A channel's lines for the automatic sequence on a blank chip.
const std::vector<std::string> kGoodRun = {"芯片查空......", "芯片为空！", "开始芯片编程...",
                                           "开始Mian Flash数据校验......", "Main Flash数据校验成功！"};

std::vector<std::string> goodRunUpTo(size_t n, const char* last = nullptr) {
    std::vector<std::string> v(kGoodRun.begin(), kGoodRun.begin() + static_cast<long>(n));
    if (last) v.emplace_back(last);
    return v;
}

struct FaultCase {
    const char* name;
    uint32_t baud;  // the emulated lines' rate, 0: as fast as the pseudo-terminals go
    std::function<void(SimUnitOptions&)> fault;
    std::vector<std::string> lines;  // the faulty channel's own lines
    const char* timeoutLine;         // the watchdog's line for it, or nullptr
    size_t blocksLeft;               // leading image blocks its chip holds; the rest stays erased
    bool disconnected;               // its port is gone afterwards
    int minFinishMs;                 // it ends no earlier than this after the start, and last
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

SimFault faultOf(SimFaultKind kind, uint32_t count) {
    SimFault f;
    f.kind = kind;
    f.count = count;
    return f;
}

std::function<void(SimUnitOptions&)> with(SimFault f) {
    return [f](SimUnitOptions& u) { u.faults.push_back(f); };
}

}  // namespace

class FaultsOnEightUnits : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultsOnEightUnits, OnlyTheFaultyChannelIsHitAndEverythingIsLogged) {
    using Clock = std::chrono::steady_clock;
    const FaultCase& fc = GetParam();
    E2ERig r(8, [&](SimOptions& o) {
        o.baud = fc.baud;
        fc.fault(o.unit[kFaulty]);
    });
    ASSERT_EQ(r.connected(), 8);
    r.chooseChip(kChip);
    const auto image = r.loadRandomImage(kImageBytes);

    std::array<int, 8> finishes{};
    std::array<double, 8> finishedMs{};
    std::array<bool, 8> interrupted{};
    const Clock::time_point start = Clock::now();
    r.engine().listeners.push_back([&](const EngineEvent& event) {
        if (!std::holds_alternative<ChannelFinished>(event)) return;
        const int slot = headerOf(event).channel - 1;
        ++finishes[static_cast<size_t>(slot)];
        interrupted[static_cast<size_t>(slot)] = std::get<ChannelFinished>(event).interrupted;
        finishedMs[static_cast<size_t>(slot)] =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    });
    const size_t from = r.app->log.size();
    LoopGapMeter meter(r.loop);
    r.app->ui["AutoSpdBtn"].click();
    // A channel the watchdog is to end waits for it in virtual time once the
    // seven others are done.
    auto onlyTheFaultyBusy = [&] {
        for (int s = 0; s < 8; ++s)
            if (s != kFaulty && r.engine().channelState(static_cast<size_t>(s)).busy) return false;
        return fc.timeoutLine != nullptr;
    };
    ASSERT_TRUE(r.waitIdle(60000, onlyTheFaultyBusy));
    meter.stop();

    // The loop kept running its timers the whole time.
    RecordProperty("longest_loop_gap_ms", static_cast<int>(meter.longestGapMs()));

    for (int s = 0; s < 8; ++s) {
        SCOPED_TRACE("channel " + std::to_string(s + 1));
        EXPECT_EQ(finishes[static_cast<size_t>(s)], 1);  // one end, never a second report
        if (s == kFaulty) continue;
        EXPECT_EQ(r.unitFlash(s), image);
        EXPECT_EQ(r.app->ui.gauge(s + 1).color(), kBlue);
        EXPECT_EQ(r.channelTexts(s + 1, from), kGoodRun);
        EXPECT_TRUE(r.engine().channelState(static_cast<size_t>(s)).connected);
    }

    // The faulty channel: its lines, its gauge, its chip.
    EXPECT_EQ(r.channelTexts(kFaulty + 1, from), fc.lines);
    const bool succeeded = fc.lines == kGoodRun;
    EXPECT_EQ(r.app->ui.gauge(kFaulty + 1).color(), succeeded ? kBlue : kRed);
    const size_t timeouts = r.countText(format("芯片 %d ：操作超时！", kFaulty + 1), from) +
                            r.countText(format("编程器 %d ：操作超时！", kFaulty + 1), from);
    EXPECT_EQ(timeouts, fc.timeoutLine ? 1u : 0u);
    if (fc.timeoutLine) EXPECT_EQ(r.countText(fc.timeoutLine, from), 1u);
    EXPECT_EQ(r.engine().channelState(kFaulty).connected, !fc.disconnected);
    // A run whose unit went away is cut short, not failed.
    for (int s = 0; s < 8; ++s) EXPECT_EQ(interrupted[static_cast<size_t>(s)], s == kFaulty && fc.disconnected) << s;
    const auto flash = r.unitFlash(kFaulty);
    ASSERT_EQ(flash.size(), kImageBytes);
    for (size_t b = 0; b < kBlocks; ++b) {
        SCOPED_TRACE("block " + std::to_string(b));
        auto first = flash.begin() + static_cast<long>(b * kBlock);
        if (b < fc.blocksLeft)
            EXPECT_TRUE(std::equal(first, first + kBlock, image.begin() + static_cast<long>(b * kBlock)));
        else
            EXPECT_TRUE(std::all_of(first, first + kBlock, [](uint8_t v) { return v == 0xFF; }));
    }
    if (fc.minFinishMs > 0) {
        EXPECT_GE(finishedMs[kFaulty], fc.minFinishMs);
        for (int s = 0; s < 8; ++s)
            if (s != kFaulty) EXPECT_LT(finishedMs[static_cast<size_t>(s)], finishedMs[kFaulty]) << s;
    }

    // Shut down as the window does: the run log gets the information log as
    // it stands, line for line.
    r.app->FormClose();
    size_t files = 0;
    const auto logged = kvx::test::readRunLog(r.workDir, &files);
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(logged, std::vector<std::string>(r.app->log.lines().begin(), r.app->log.lines().end()));
    std::vector<std::string> texts;
    for (auto& l : logged) texts.push_back(kvx::test::lineText(l));
    auto has = [&](const std::string& t) { return std::find(texts.begin(), texts.end(), t) != texts.end(); };
    for (int s = 0; s < 8; ++s) {
        const std::string outcome = s == kFaulty ? fc.lines.back() : kGoodRun.back();
        EXPECT_TRUE(has(format("Channel %d: ", s + 1) + outcome)) << s;
    }
    if (fc.timeoutLine) EXPECT_TRUE(has(fc.timeoutLine));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultsOnEightUnits,
    ::testing::Values(
        // Gone after answering three program blocks: its port is closed at
        // once, the channel waits for the watchdog.
        FaultCase{"unplugged mid-programming", kLineRate, with(faultOf(SimFaultKind::Hangup, 5)),
                  goodRunUpTo(3, "Interrupted: the port hung up (the unit was unplugged?)"), "芯片 3 ：操作超时！", 3, true, 0},
        // One bit flipped inside the reply to the third program block.
        FaultCase{"bit errors in a program reply", kLineRate, with(faultOf(SimFaultKind::BitErrors, 5)),
                  goodRunUpTo(3, "数据包校验错误！"), nullptr, 3, false, 0},
        // One bit flipped on the closing flag of the fifth block's reply:
        // the run never closes, the watchdog ends the channel.
        FaultCase{"a bit error on a closing flag", kLineRate, with(faultOf(SimFaultKind::BitErrors, 7)),
                  goodRunUpTo(3), "芯片 3 ：操作超时！", 5, false, 0},
        FaultCase{"bad check code", kLineRate, with(faultOf(SimFaultKind::BadCrc, 3)),
                  goodRunUpTo(3, "数据包校验错误！"), nullptr, 1, false, 0},
        FaultCase{"garbage between frames", kLineRate, with(faultOf(SimFaultKind::Garbage, 64)), kGoodRun,
                  nullptr, kBlocks, false, 0},
        // Answers every program block, then nothing from the first verify
        // read on.
        FaultCase{"stops answering mid-run", kLineRate, with(faultOf(SimFaultKind::SilentAfter, 10)),
                  goodRunUpTo(4), "芯片 3 ：操作超时！", kBlocks, false, 0},
        // Every block takes its time, well inside the wait for a reply.
        FaultCase{"a very slow unit", kLineRate, [](SimUnitOptions& u) { u.programMs = kSlowBlockMs; },
                  kGoodRun, nullptr, kBlocks, false, static_cast<int>(kBlocks) * kSlowBlockMs},
        FaultCase{"replies in small pieces", kLineRate, with(faultOf(SimFaultKind::Split, 61)), kGoodRun,
                  nullptr, kBlocks, false, 0},
        // A megabyte without a flag before every reply, at the speed of the
        // pseudo-terminals: 18 MB in the run, the most the loop gets to chew.
        FaultCase{"a flood without flags", 0, with(faultOf(SimFaultKind::Flood, 1 << 20)), kGoodRun, nullptr,
                  kBlocks, false, 0}),
    [](const ::testing::TestParamInfo<FaultCase>& i) {
        std::string n = i.param.name;
        for (auto& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });
