// The emulator's lines: one pseudo-terminal per unit, a symlink COMn to its
// device in a folder, and one thread per unit that moves the bytes (paced at
// the real line rate when asked) between the pseudo-terminal and its SimUnit.
#pragma once

#include "sim/sim_options.h"
#include "sim/sim_trace.h"
#include "sim/sim_unit.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvx {

class SimServer {
public:
    explicit SimServer(SimOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Opens the pseudo-terminals, makes the symlinks and starts serving.
    // Throws std::runtime_error (and leaves nothing behind) when it cannot.
    void start();
    // Stops every unit, closes the pseudo-terminals and removes the symlinks.
    void stop();
    bool running() const { return running_; }

    int units() const { return static_cast<int>(ports_.size()); }
    // Slots count from 0; unit numbers, symlink names and the trace from 1.
    std::string portPath(int slot) const;    // DIR/COMn
    std::string devicePath(int slot) const;  // the pseudo-terminal's slave device
    // Bytes per second of a paced line (0 when unpaced).
    double lineRate() const;

    // Runs fn with the unit's state locked against its thread, then wakes
    // the thread.
    void withUnit(int slot, const std::function<void(SimUnit&)>& fn);
    bool hungUp(int slot) const;

    SimTrace& trace() { return trace_; }
    const SimOptions& options() const { return options_; }

private:
    struct Port;
    void serve(Port& p);
    void cleanup();

    SimOptions options_;
    SimTrace trace_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::atomic<bool> stopping_{false};
    bool running_ = false;
};

}  // namespace kvx
