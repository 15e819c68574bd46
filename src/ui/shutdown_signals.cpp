#include "ui/shutdown_signals.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace kvx {

namespace {
constexpr int kSignals[3] = {SIGTERM, SIGHUP, SIGINT};

// The pipe's writing end for the handler; -1 when nobody listens.
volatile sig_atomic_t gWriteFd = -1;

extern "C" void onShutdownSignal(int sig) {
    const int saved = errno;
    const int fd = gWriteFd;
    if (fd >= 0) {
        const unsigned char b = static_cast<unsigned char>(sig);
        // A full pipe already holds a signal to act on: this one may go.
        ssize_t n = ::write(fd, &b, 1);
        (void)n;
    }
    errno = saved;
}
}  // namespace

ShutdownSignals::ShutdownSignals(std::function<void()> exit, Afterwards afterwards, QObject* parent)
    : QObject(parent), exit_(std::move(exit)), afterwards_(afterwards) {
    if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed for the shutdown signals");
    gWriteFd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readSignals(); });
    // While boxes are being closed, and while `exit` runs (its own boxes).
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { step(); });

    struct sigaction sa {};
    sa.sa_handler = onShutdownSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
}

ShutdownSignals::~ShutdownSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], afterwards_ == Afterwards::Ignore ? &ignore : &old_[i], nullptr);
    gWriteFd = -1;
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void ShutdownSignals::readSignals() {
    unsigned char buf[64];
    while (::read(fds_[0], buf, sizeof buf) > 0) {
    }
    if (!timer_.isActive()) timer_.start();
    step();
}

// Closes the modal window (or popup) on top, as Escape would; false when
// none is open.
bool ShutdownSignals::closeOneModal() {
    if (QWidget* p = QApplication::activePopupWidget()) {
        p->close();
        return true;
    }
    QPointer<QWidget> m = QApplication::activeModalWidget();
    if (!m) return false;
    m->close();
    // A box without an Escape button ignores close(): rejected all the same.
    if (m && m->isVisible()) {
        if (auto* d = qobject_cast<QDialog*>(m.data())) d->reject();
        else m->hide();
    }
    return true;
}

void ShutdownSignals::step() {
    // The caller of a box goes on once the box's loop has ended: `exit` waits
    // until no box is open, so that it never runs under code that waits for
    // an answer.
    if (closeOneModal()) return;
    if (exitCalled_) {
        if (!exiting_) timer_.stop();
        return;
    }
    if (exitPosted_) return;
    exitPosted_ = true;
    // From the event loop, not from this timer's tick: Qt does not deliver a
    // timer's ticks again while its handler runs, and the boxes `exit` opens
    // need them.
    QMetaObject::invokeMethod(
        this,
        [this] {
            exitPosted_ = false;
            // A box opened meanwhile: the timer closes it and comes back.
            if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) return;
            exitCalled_ = exiting_ = true;
            exit_();
            exiting_ = false;
            timer_.stop();
        },
        Qt::QueuedConnection);
}

}  // namespace kvx
