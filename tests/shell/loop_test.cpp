#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"
#include "shell/views.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kvx;

TEST(PlainEventLoop, PostsFromThreadsRunInOrderOnTheLoopThread) {
    PlainEventLoop loop;
    std::vector<int> seen;
    auto loopThread = std::this_thread::get_id();
    bool wrongThread = false;
    std::thread t([&] {
        for (int i = 0; i < 1000; ++i)
            loop.post([&, i] {
                if (std::this_thread::get_id() != loopThread) wrongThread = true;
                seen.push_back(i);
            });
    });
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 1000; }, 20000));
    t.join();
    EXPECT_FALSE(wrongThread);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
}

// The timers run on the loop's clock: skipping it ahead fires every tick
// that falls due on the way, in order, and nothing else.
TEST(PlainEventLoop, TimersFollowTheClockAndStop) {
    SteppedClock clock;
    PlainEventLoop loop(&clock);
    std::vector<std::string> fired;
    int periodic = 0;
    auto id = loop.startTimer(10, false, [&] {
        ++periodic;
        fired.push_back("p");
    });
    loop.startTimer(35, true, [&] { fired.push_back("once"); });
    loop.skipAhead(clock, 120);
    EXPECT_EQ(periodic, 12);
    ASSERT_EQ(fired.size(), 13u);
    EXPECT_EQ(fired[3], "once");  // after the ticks at 10, 20 and 30 ms
    loop.stopTimer(id);
    loop.skipAhead(clock, 40);
    EXPECT_EQ(periodic, 12);
    // A watchdog's 20 s in one step: 2000 ticks of 10 ms.
    int ticks = 0;
    auto wd = loop.startTimer(10, false, [&] { ++ticks; });
    loop.skipAhead(clock, 20000);
    EXPECT_EQ(ticks, 2000);
    loop.stopTimer(wd);
    // A timer may stop itself from its own tick.
    int self = 0;
    EventLoop::TimerId sid = 0;
    sid = loop.startTimer(5, false, [&] {
        ++self;
        loop.stopTimer(sid);
    });
    loop.skipAhead(clock, 40);
    EXPECT_EQ(self, 1);
    // Without steps the clock runs in real time: a timer fires on its own.
    int real = 0;
    loop.startTimer(5, true, [&] { ++real; });
    EXPECT_TRUE(loop.runUntil([&] { return real == 1; }, 10000));
}

// Arrivals that never stop (each posts the next, as a port's thread does
// under load) do not hold a due timer back for good: it has its turn after
// a few milliseconds of them.
TEST(PlainEventLoop, ATimerHasItsTurnBetweenEndlessArrivals) {
    PlainEventLoop loop;
    std::function<void()> arrive = [&] { loop.post(arrive); };
    loop.post(arrive);
    int ticks = 0;
    loop.startTimer(1, false, [&] { ++ticks; });
    EXPECT_TRUE(loop.runUntil([&] { return ticks >= 3; }, 10000));
    loop.quit();
}

TEST(PlainEventLoop, QuitEndsRun) {
    PlainEventLoop loop;
    loop.post([&] { loop.quit(); });
    loop.run();
    SUCCEED();
}

TEST(Gauge, ProgressHeldWithinMaximum) {
    Form f("T", "t", 10, 10);
    Control& g = f.add("G", ControlKind::Gauge, "", 0, 0, 10, 10);
    struct Step {
        const char* what;
        int64_t arg;
        int64_t max, progress;
    };
    // setProgress beyond the maximum stores the maximum; lowering the maximum
    // below the progress lowers the progress with it; raising it leaves it.
    Step steps[] = {{"progress", 50, 100, 50}, {"progress", 150, 100, 100}, {"max", 64, 64, 64},
                    {"max", 200, 200, 64},     {"progress", -5, 200, 0},    {"progress", 65, 200, 65},
                    {"max", 30, 30, 30}};
    for (auto& s : steps) {
        if (std::string(s.what) == "max") g.setMaxValue(s.arg);
        else g.setProgress(s.arg);
        EXPECT_EQ(g.maxValue(), s.max) << s.what << " " << s.arg;
        EXPECT_EQ(g.progress(), s.progress) << s.what << " " << s.arg;
    }
}

TEST(Controls, HandlersRunOnChangeOnlyAndNotifyTheView) {
    Form f("T", "t", 10, 10);
    int clicks = 0, changes = 0, notes = 0;
    f.onChanged = [&](Control&, Field) { ++notes; };
    Control& cb = f.add("C", ControlKind::CheckBox, "", 0, 0, 1, 1);
    cb.onClick = [&] { ++clicks; };
    cb.setChecked(true);
    cb.setChecked(true);
    cb.setChecked(false);
    EXPECT_EQ(clicks, 2);
    Control& e = f.add("E", ControlKind::Edit, "", 0, 0, 1, 1);
    e.setMaxLength(4);
    e.onChange = [&] { ++changes; };
    e.setText("0x0123");
    EXPECT_EQ(e.text(), "0x01");
    e.setText("0x01");
    EXPECT_EQ(changes, 1);
    e.setText("序列号码呀");
    EXPECT_EQ(e.text(), "序列号码");  // characters, not bytes
    e.setReadOnly(true);
    e.userSetText("x");
    EXPECT_EQ(e.text(), "序列号码");
    Control& s = f.add("S", ControlKind::SpinEdit, "", 0, 0, 1, 1);
    s.setRange(300, 1500);
    s.setValue(5000);
    EXPECT_EQ(s.value(), 1500);
    EXPECT_GT(notes, 5);
}

TEST(Controls, RadioButtonsAreExclusiveWithinTheirParent) {
    Form f("T", "t", 10, 10);
    Control& a = f.add("A", ControlKind::RadioButton, "P", 0, 0, 1, 1);
    Control& b = f.add("B", ControlKind::RadioButton, "P", 0, 0, 1, 1);
    Control& other = f.add("O", ControlKind::RadioButton, "Q", 0, 0, 1, 1);
    other.setChecked(true);
    a.setChecked(true);
    b.userToggle();
    EXPECT_FALSE(a.checked());
    EXPECT_TRUE(b.checked());
    EXPECT_TRUE(other.checked());
}

TEST(Controls, SortedListInsertsWithoutRegardToCase) {
    Form f("T", "t", 10, 10);
    Control& c = f.add("C", ControlKind::ComboBox, "", 0, 0, 1, 1);
    c.setSorted(true);
    for (const char* s : {"COM3", "com12", "COM1", "ttyUSB0", "COM3"}) c.addItem(s);
    EXPECT_EQ(c.items(), (std::vector<std::string>{"COM1", "com12", "COM3", "COM3", "ttyUSB0"}));
    c.setItemIndex(2);
    c.deleteItem(0);
    EXPECT_EQ(c.itemIndex(), 1);
    EXPECT_EQ(c.items()[1], "COM3");
}

TEST(InfoLog, ClearThenAppendStartsAgain) {
    InfoLog log;
    std::vector<size_t> appended;
    int cleared = 0;
    log.onAppended.push_back([&](size_t i) { appended.push_back(i); });
    log.onCleared.push_back([&] { ++cleared; });
    log.append("a");
    log.append("b");
    log.clear();
    log.append("c");
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(log.line(0), "c");
    EXPECT_EQ(appended, (std::vector<size_t>{0, 1, 0}));
    EXPECT_EQ(cleared, 1);
}

TEST(ScriptedPrompts, AnswersInOrderThenDefault) {
    ScriptedPrompts p;
    p.okAbortAnswers = {false, true};
    p.defaultOk = false;
    EXPECT_FALSE(p.errorOkAbort("a"));
    EXPECT_TRUE(p.errorOkAbort("b"));
    EXPECT_FALSE(p.errorOkAbort("c"));
    EXPECT_EQ(p.texts(ScriptedPrompts::Kind::ErrorOkAbort), (std::vector<std::string>{"a", "b", "c"}));
    Form dlg("TDlg", "dlg", 10, 10);
    bool shown = false;
    dlg.onShow = [&] { shown = true; };
    p.modalScript = [](Form& f) { f.close(Form::Cancel); };
    EXPECT_FALSE(p.showModal(dlg));
    EXPECT_TRUE(shown);
}
