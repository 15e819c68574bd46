// SIGTERM, SIGHUP and SIGINT end the window as its Exit button does (the
// session ends, the service manager stops it, Ctrl+C in its terminal): the
// ports are closed and the records and logs written before the program
// leaves with the status of a normal exit.
//
// The handler only writes the signal's number into a pipe; the GUI thread
// reads it through a socket notifier and does the work there. A modal box or
// dialog open at that moment (its caller waits in the box's own event loop)
// is closed first, as Escape would, and popups with it; once none is open,
// `exit` runs once, from the event loop, so that the boxes it may open in
// turn (a run log that cannot be written) are closed the same way. Further
// signals while shutting down change nothing.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <signal.h>

class QSocketNotifier;

namespace kvx {

class ShutdownSignals : public QObject {
public:
    // What becomes of the signals when this object goes: the handlers found
    // are put back, or (for the program's own, which goes just before the
    // process ends) the signals are ignored from then on.
    enum class Afterwards { Restore, Ignore };

    // One at a time in a process.
    explicit ShutdownSignals(std::function<void()> exit, Afterwards afterwards = Afterwards::Restore,
                             QObject* parent = nullptr);
    ~ShutdownSignals() override;
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

private:
    void readSignals();
    void step();
    static bool closeOneModal();

    std::function<void()> exit_;
    Afterwards afterwards_;
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer timer_;
    bool exitPosted_ = false;
    bool exitCalled_ = false;
    bool exiting_ = false;
    struct sigaction old_[3] {};
};

}  // namespace kvx
