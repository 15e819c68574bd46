// The seams: the only ways the core reaches outside itself. Each has a Qt
// implementation in src/ui and a plain one for the tests and the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kvx {

// ---------------------------------------------------------------------------
// Event loop. post() may be called from any thread; everything else, and every
// posted function, runs on the logic thread.
class EventLoop {
public:
    using TimerId = int;
    virtual ~EventLoop() = default;
    virtual void post(std::function<void()> fn) = 0;
    // A periodic (singleShot false) or one-shot timer; returns its id.
    virtual TimerId startTimer(int intervalMs, bool singleShot, std::function<void()> fn) = 0;
    virtual void stopTimer(TimerId id) = 0;
    // Blocks the logic thread for ms milliseconds without handling any event
    // (the short waits after opening a port).
    virtual void sleepMs(int ms) = 0;
};

// ---------------------------------------------------------------------------
// Operator prompts.
struct FileChoice {
    std::string path;
    int filterIndex = 1;  // 1-based, as the file dialogs count
};

struct FileDialogSpec {
    std::string title;
    std::string filter;       // "Name (*.a)|*.a|Other|*.b"
    int filterIndex = 1;      // 1-based
    std::string defaultExt;
};

class Form;  // a modal dialog model (views.h)

class Prompts {
public:
    virtual ~Prompts() = default;
    // Information box with an OK button.
    virtual void information(const std::string& text) = 0;
    // Warning box with an OK button.
    virtual void warning(const std::string& text) = 0;
    // Error box with OK and Abort; true for OK.
    virtual bool errorOkAbort(const std::string& text) = 0;
    // Error box with Yes and Abort; true for Yes.
    virtual bool differenceYesAbort(const std::string& text) = 0;
    // Question box with Yes and No (No the default); true for Yes.
    virtual bool questionYesNo(const std::string& text) = 0;
    // Plain message box.
    virtual void message(const std::string& text) = 0;
    virtual void beep() = 0;
    virtual std::optional<FileChoice> openFile(const FileDialogSpec& spec) = 0;
    virtual std::optional<FileChoice> saveFile(const FileDialogSpec& spec) = 0;
    // Shows a dialog model modally; returns true when it closed with OK.
    virtual bool showModal(Form& form) = 0;
    // Puts text on the clipboard.
    virtual void copyToClipboard(const std::string& text) = 0;
};

// ---------------------------------------------------------------------------
// Clock and random source.
struct LocalTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() = 0;
    // A monotonic millisecond count for measuring durations.
    virtual int64_t monotonicMs() = 0;
    // UTC milliseconds since 1970 (records, event times); by default now()
    // read as local time.
    virtual int64_t epochMs();
};

class Random {
public:
    virtual ~Random() = default;
    // Uniform in 0 .. upperExclusive - 1.
    virtual uint32_t below(uint32_t upperExclusive) = 0;
    uint8_t byte() { return static_cast<uint8_t>(below(255)); }            // 0..254
    uint16_t word() { return static_cast<uint16_t>(below(65535)); }         // 0..65534
};

// The system's date and time texts: long time "H:MM:SS", short date "YYYY/M/D".
std::string longTimeText(const LocalTime& t);
std::string shortDateText(const LocalTime& t);

// Real implementations for the program and the command line.
class SystemClock : public Clock {
public:
    LocalTime now() override;
    int64_t monotonicMs() override;
    int64_t epochMs() override;
};

class SystemRandom : public Random {
public:
    SystemRandom();
    uint32_t below(uint32_t upperExclusive) override;
private:
    uint64_t state_;
};

// A fixed clock and a seeded generator for exact tests.
class FixedClock : public Clock {
public:
    LocalTime time;
    int64_t mono = 0;
    LocalTime now() override { return time; }
    int64_t monotonicMs() override { return mono; }
};

// The system's clock that can be moved forward: monotonicMs runs with the
// steady clock plus every step taken, so timers on it fire as in a real run
// and a test skips a wait (a watchdog's seconds) in one step. Steps may be
// taken from any thread.
class SteppedClock : public SystemClock {
public:
    int64_t monotonicMs() override { return SystemClock::monotonicMs() + offsetMs_.load(); }
    void advance(int64_t ms) { offsetMs_ += ms; }
private:
    std::atomic<int64_t> offsetMs_{0};
};

class SeededRandom : public Random {
public:
    explicit SeededRandom(uint64_t seed) : state_(seed ? seed : 1) {}
    uint32_t below(uint32_t upperExclusive) override;
private:
    uint64_t state_;
};

}  // namespace kvx
