// Hang-ups: the port list loses exactly the port of the channel that hung up,
// whatever was removed before.
#include "engine_rig.h"

#include <gtest/gtest.h>

using namespace kvx;
using kvx::test::EngineRig;

TEST(Hangup, RemovesTheChannelsOwnPortFromTheList) {
    struct Case {
        std::vector<int> slots;  // channels hanging up, in order
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {{0}, {"COM2", "COM3", "COM4"}},
        {{0, 1}, {"COM3", "COM4"}},  // by position the second would take COM3
        {{2, 0, 3}, {"COM2"}},
        {{1, 1}, {"COM1", "COM3", "COM4"}},  // a second hang-up of a channel takes nothing more
        {{3, 2, 1, 0}, {}},
    };
    for (const auto& tc : cases) {
        EngineRig r;
        r.p.listedPorts = {"COM1", "COM2", "COM3", "COM4"};
        std::vector<std::string> shown = r.p.listedPorts;  // the port box, as the window keeps it
        std::string text;
        r.p.portListHook = [&](const Program::PortListChange& c) {
            ASSERT_EQ(c.kind, Program::PortListChange::Removed);
            shown.erase(shown.begin() + c.index);
            text = c.text;
        };
        for (int s = 0; s < 4; ++s) {
            r.p.ch[s].portName = "COM" + std::to_string(s + 1);
            r.p.ch[s].connected = true;
        }
        for (int s : tc.slots) r.p.requestHangup(s);
        EXPECT_EQ(r.p.listedPorts, tc.left) << tc.slots.size();
        EXPECT_EQ(shown, tc.left) << tc.slots.size();
        for (int s : tc.slots) EXPECT_FALSE(r.p.ch[s].connected);
        EXPECT_EQ(text == "请连接设备......", tc.left.empty());
    }
}
