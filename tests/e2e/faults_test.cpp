// Faults on the line while eight channels program: the damaged channel ends
// with its message, the others finish and their chips hold the image.
#include "e2e_rig.h"

using namespace kvx;
using kvx::test::E2ERig;

namespace {
struct FaultCase {
    const char* name;
    SimFaultKind kind;
    uint32_t count;
    const char* expectLine;  // on the faulty channel; nullptr: it succeeds
};
}  // namespace

class LineFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LineFaults, OtherChannelsFinishAndOnlyTheFaultyOneFails) {
    const FaultCase& fc = GetParam();
    E2ERig r(8, [&](SimOptions& o) {
        SimFault f;
        f.kind = fc.kind;
        f.count = fc.count;
        o.unit[2].faults.push_back(f);
    });
    ASSERT_EQ(r.connected(), 8);
    r.chooseChip("SC32F5232JV1G");
    auto image = r.loadRandomImage(32 * 1024);
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle(30000));
    for (int s = 0; s < 8; ++s) {
        if (s == 2) continue;
        EXPECT_EQ(r.unitFlash(s), image) << s;
        EXPECT_EQ(r.app->ui.gauge(s + 1).color(), kBlue) << s;
    }
    if (fc.expectLine) {
        EXPECT_TRUE(r.logHas(fc.expectLine)) << fc.name;
        EXPECT_EQ(r.app->ui.gauge(3).color(), kRed);
    } else {
        EXPECT_EQ(r.unitFlash(2), image);
        EXPECT_EQ(r.app->ui.gauge(3).color(), kBlue);
    }
    EXPECT_EQ(r.logCount("Main Flash数据校验成功！"), fc.expectLine ? 7u : 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LineFaults,
    ::testing::Values(FaultCase{"bad check code", SimFaultKind::BadCrc, 3, "Channel 3: 数据包校验错误！"},
                      FaultCase{"garbage between frames", SimFaultKind::Garbage, 64, nullptr},
                      FaultCase{"replies in small pieces", SimFaultKind::Split, 61, nullptr},
                      FaultCase{"a flood without flags", SimFaultKind::Flood, 20000, nullptr}),
    [](const ::testing::TestParamInfo<FaultCase>& i) {
        std::string n = i.param.name;
        for (auto& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(SlowUnits, AreWaitedForAsLongAsTheyAnswer) {
    // 300 ms per 4 KB block: each block reply comes well inside the budget.
    E2ERig r(2, [](SimOptions& o) { o.unit[1].programMs = 300; });
    r.chooseChip("SC32F5232JV1G");
    auto image = r.loadRandomImage(32 * 1024);
    r.app->ui["SpdBtnProg"].click();
    ASSERT_TRUE(r.waitIdle(30000));
    EXPECT_EQ(r.unitFlash(0), image);
    EXPECT_EQ(r.unitFlash(1), image);
    EXPECT_EQ(r.logCount("编程操作成功！"), 2u);
}
