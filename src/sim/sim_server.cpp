#include "sim/sim_server.h"

#include "link/frame.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace kvx {

namespace {

constexpr size_t kMaxRun = 16384;    // longer runs without a closing flag are dropped
constexpr size_t kTxHighWater = 4096;  // off-line frames wait while this much is queued
constexpr double kPieceGapMs = 0.5;
constexpr int kHangupDrainMs = 1000;  // longest wait for the host to read the last reply

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Cuts flagged runs out of the received bytes the way the host does: bytes
// before an opening flag are skipped, a doubled flag opens once.
class RunAssembler {
public:
    template <typename F>
    void feed(const uint8_t* d, size_t n, F&& onRun) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = d[i];
            if (!inRun_) {
                if (b == kFlag) {
                    inRun_ = true;
                    run_.assign(1, kFlag);
                }
                continue;
            }
            if (b == kFlag && run_.size() == 1) continue;  // doubled flag
            run_.push_back(b);
            if (b == kFlag) {
                onRun(run_);
                inRun_ = false;
                run_.clear();
            } else if (run_.size() > kMaxRun) {
                inRun_ = false;
                run_.clear();
            }
        }
    }
    void reset() {
        inRun_ = false;
        run_.clear();
    }

private:
    bool inRun_ = false;
    std::vector<uint8_t> run_;
};

struct Segment {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    double notBeforeMs = 0;
    size_t pieceSize = 0;
};

}  // namespace

struct SimServer::Port {
    int slot = 0;
    int master = -1;
    int device = -1;  // the slave side, held open by the emulator
    int notify = -1;  // inotify on the device: the host's opens and closes
    int wake[2] = {-1, -1};
    std::string slavePath, linkPath;
    bool linked = false;
    std::mutex mutex;
    std::unique_ptr<SimUnit> unit;
    std::thread thread;
    std::atomic<bool> hungUp{false};
};

SimServer::SimServer(SimOptions options) : options_(std::move(options)) {}

SimServer::~SimServer() { stop(); }

double SimServer::lineRate() const { return options_.baud ? options_.baud / 11.0 : 0.0; }

std::string SimServer::portPath(int slot) const { return ports_.at(static_cast<size_t>(slot))->linkPath; }
std::string SimServer::devicePath(int slot) const { return ports_.at(static_cast<size_t>(slot))->slavePath; }
bool SimServer::hungUp(int slot) const { return ports_.at(static_cast<size_t>(slot))->hungUp; }

void SimServer::withUnit(int slot, const std::function<void(SimUnit&)>& fn) {
    Port& p = *ports_.at(static_cast<size_t>(slot));
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        fn(*p.unit);
    }
    // The unit's thread goes round again: what fn changed (off-line
    // production started) takes effect now, not at the next byte.
    if (p.wake[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t w = write(p.wake[1], &c, 1);
    }
}

void SimServer::start() {
    if (running_) return;
    if (options_.units < 1 || options_.units > kSimMaxUnits) throw std::runtime_error("the number of units must be 1 .. 16");
    if (options_.dir.empty()) throw std::runtime_error("no folder for the port symlinks");
    options_.unit.resize(static_cast<size_t>(options_.units));
    trace_.keepInMemory(options_.traceInMemory);
    if (!options_.traceFile.empty() && !trace_.openFile(options_.traceFile))
        throw std::runtime_error(errnoText("cannot open the trace file " + options_.traceFile));
    std::error_code ec;
    std::filesystem::create_directories(options_.dir, ec);
    if (ec) throw std::runtime_error("cannot create " + options_.dir + ": " + ec.message());

    stopping_ = false;
    try {
        for (int i = 0; i < options_.units; ++i) {
            auto p = std::make_unique<Port>();
            p->slot = i;
            p->unit = std::make_unique<SimUnit>(i + 1, options_.unit[static_cast<size_t>(i)], &trace_);
            ports_.push_back(std::move(p));
            Port& port = *ports_.back();

            port.master = posix_openpt(O_RDWR | O_NOCTTY);
            if (port.master < 0) throw std::runtime_error(errnoText("posix_openpt"));
            if (grantpt(port.master) != 0 || unlockpt(port.master) != 0)
                throw std::runtime_error(errnoText("grantpt/unlockpt"));
            char name[128];
            if (ptsname_r(port.master, name, sizeof name) != 0) throw std::runtime_error(errnoText("ptsname"));
            port.slavePath = name;
            fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
            fcntl(port.master, F_SETFD, FD_CLOEXEC);

            // The device side stays open in the emulator, raw so that no
            // byte is altered; the host's opens and closes are watched. The
            // kernel keeps a pseudo-terminal's exclusive mode (TIOCEXCL) for
            // as long as the pair exists, so the unit clears it when the host
            // closes, or an unprivileged host could not open the port again.
            port.device = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (port.device < 0) throw std::runtime_error(errnoText(std::string("open ") + name));
            termios t{};
            tcgetattr(port.device, &t);
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD | CSTOPB;
            cfsetispeed(&t, B1000000);
            cfsetospeed(&t, B1000000);
            tcsetattr(port.device, TCSANOW, &t);
            port.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (port.notify < 0 || inotify_add_watch(port.notify, name, IN_OPEN | IN_CLOSE) < 0)
                throw std::runtime_error(errnoText(std::string("inotify on ") + name));

            if (pipe2(port.wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error(errnoText("pipe"));

            port.linkPath = (std::filesystem::path(options_.dir) / ("COM" + std::to_string(i + 1))).string();
            struct stat st{};
            if (lstat(port.linkPath.c_str(), &st) == 0) {
                if (!S_ISLNK(st.st_mode)) throw std::runtime_error(port.linkPath + " exists and is not a symlink");
                unlink(port.linkPath.c_str());
            }
            if (symlink(port.slavePath.c_str(), port.linkPath.c_str()) != 0)
                throw std::runtime_error(errnoText("symlink " + port.linkPath));
            port.linked = true;
        }
    } catch (...) {
        cleanup();
        throw;
    }
    trace_.restartClock();
    for (auto& p : ports_) {
        Port* raw = p.get();
        p->thread = std::thread([this, raw] { serve(*raw); });
    }
    running_ = true;
}

void SimServer::stop() {
    if (!running_ && ports_.empty()) return;
    stopping_ = true;
    for (auto& p : ports_) {
        if (p->wake[1] >= 0) {
            char c = 1;
            [[maybe_unused]] ssize_t w = write(p->wake[1], &c, 1);
        }
    }
    for (auto& p : ports_)
        if (p->thread.joinable()) p->thread.join();
    cleanup();
    running_ = false;
}

void SimServer::cleanup() {
    for (auto& p : ports_) {
        if (p->linked) {
            // Only our own link: another run may have replaced it.
            char target[256];
            ssize_t n = readlink(p->linkPath.c_str(), target, sizeof target - 1);
            if (n >= 0) {
                target[n] = 0;
                if (p->slavePath == target) unlink(p->linkPath.c_str());
            }
            p->linked = false;
        }
        for (int* fd : {&p->master, &p->device, &p->notify}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
        for (int& fd : p->wake) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    ports_.clear();
}

namespace {

// The time one direction of a paced line has had: credit in bytes grows at
// the line rate while bytes are moving and starts from zero when a transfer
// begins after an idle spell, so each transfer takes its true line time.
class LineBudget {
public:
    using Clock = std::chrono::steady_clock;
    LineBudget(double rate, double cap) : rate_(rate), cap_(cap) {}
    bool idle() const { return idle_; }
    double credit() const { return credit_; }
    void begin(Clock::time_point now) {
        if (!idle_) return;
        idle_ = false;
        credit_ = 0;
        last_ = now;
    }
    void refill(Clock::time_point now) {
        if (idle_) return;
        credit_ = std::min(cap_, credit_ + std::chrono::duration<double>(now - last_).count() * rate_);
        last_ = now;
    }
    void spend(double n) { credit_ -= n; }
    void rest() { idle_ = true; }

private:
    double rate_, cap_;
    double credit_ = 0;
    bool idle_ = true;
    Clock::time_point last_{};
};

}  // namespace

void SimServer::serve(Port& p) {
    using Clock = std::chrono::steady_clock;
    const double rate = lineRate();  // bytes per second, 0: unpaced
    const bool paced = rate > 0;
    // A quantum is the amount worth waking up for. The cap lets the line
    // catch up after the thread was scheduled late (up to 10 ms); a stall of
    // the host restarts the budget, so it never turns into a burst.
    const double quantum = paced ? std::max(1.0, rate * 0.001) : 0;
    LineBudget rx(rate, 10 * quantum), txb(rate, 10 * quantum);

    int hostOpens = 0;     // the host's open descriptors of the device
    bool alive = true;     // the line is not hung up
    std::deque<Segment> tx;
    size_t txBytes = 0;
    RunAssembler assembler;
    std::vector<uint8_t> buf(65536);
    std::vector<SimOutput> outs;
    SimUnit& unit = *p.unit;

    auto note = [&](const std::string& kind, const std::string& text) {
        SimTraceEvent e;
        e.kind = kind;
        e.unit = p.slot + 1;
        e.note = text;
        trace_.add(e);
    };
    auto enqueue = [&]() {
        for (auto& o : outs) {
            if (o.wire.empty()) continue;
            Segment s;
            s.notBeforeMs = o.notBeforeMs;
            s.pieceSize = o.pieceSize;
            txBytes += o.wire.size();
            s.bytes = std::move(o.wire);
            tx.push_back(std::move(s));
        }
        outs.clear();
    };
    auto drainWake = [&]() {
        char drain[64];
        while (read(p.wake[0], drain, sizeof drain) > 0) {
        }
    };
    // The host's opens and closes of the device. The count is a guide, not
    // a certainty: inotify folds identical events that follow each other
    // unread (two opens in a row), so it is corrected by the host's bytes and
    // nothing that matters to a host still there is thrown away on a close.
    auto watchHost = [&]() {
        alignas(inotify_event) char ebuf[4096];
        ssize_t n;
        while ((n = read(p.notify, ebuf, sizeof ebuf)) > 0) {
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(ebuf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->mask & IN_OPEN) {
                    if (hostOpens++ == 0) {
                        // A new host: nothing of the last one's line for it.
                        if (p.device >= 0) tcflush(p.device, TCIFLUSH);
                        assembler.reset();
                        note("host", "device opened by the host");
                    }
                } else if (e->mask & IN_CLOSE) {
                    // The exclusive mode of the closing host would outlive it.
                    if (p.device >= 0) ioctl(p.device, TIOCNXCL);
                    if (hostOpens > 0 && --hostOpens == 0) {
                        assembler.reset();
                        note("host", "device closed by the host");
                    }
                }
            }
        }
    };

    while (!stopping_) {
        watchHost();
        auto now = Clock::now();
        rx.refill(now);
        txb.refill(now);
        const double nowMs = trace_.nowMs();

        if (!alive) {
            pollfd pf{p.wake[0], POLLIN, 0};
            poll(&pf, 1, -1);
            drainWake();
            continue;
        }
        const bool present = hostOpens > 0;

        // Off-line production, held back while the line is busy; with nobody
        // listening its frames go nowhere.
        double nextOfflineMs = -1;
        const bool heldBack = txBytes >= kTxHighWater;
        if (!heldBack) {
            std::lock_guard<std::mutex> lock(p.mutex);
            nextOfflineMs = unit.pollOffline(nowMs, outs);
        }
        if (present)
            enqueue();
        else
            outs.clear();

        // Write what the line allows.
        bool wantOut = false;
        while (!tx.empty()) {
            Segment& s = tx.front();
            if (s.notBeforeMs > trace_.nowMs()) break;
            if (paced && txb.idle()) {
                txb.begin(Clock::now());
                break;  // the first bytes need their line time too
            }
            size_t n = s.bytes.size() - s.offset;
            if (s.pieceSize) n = std::min(n, s.pieceSize);
            if (paced) n = std::min(n, static_cast<size_t>(std::max(0.0, txb.credit())));
            if (n == 0) break;
            ssize_t w = write(p.master, s.bytes.data() + s.offset, n);
            if (w < 0) {
                wantOut = errno == EAGAIN || errno == EINTR;
                txb.rest();  // the host is not reading: the line time starts again
                break;
            }
            s.offset += static_cast<size_t>(w);
            txBytes -= static_cast<size_t>(w);
            txb.spend(static_cast<double>(w));
            if (s.offset == s.bytes.size()) {
                tx.pop_front();
            } else if (s.pieceSize && static_cast<size_t>(w) == n) {
                s.notBeforeMs = trace_.nowMs() + kPieceGapMs;
                break;
            }
        }
        if (tx.empty()) txb.rest();

        // Hang up once the last reply is out and the host has read it.
        bool hangup;
        {
            std::lock_guard<std::mutex> lock(p.mutex);
            hangup = unit.hangupDue();
        }
        if (hangup && tx.empty()) {
            // The bytes reach the device's queue a moment after the write.
            usleep(20000);
            for (int waited = 0; waited < kHangupDrainMs; waited += 2) {
                int queued = 0;
                if (ioctl(p.device, TIOCINQ, &queued) != 0 || queued == 0) break;
                usleep(2000);
            }
            p.hungUp = true;
            close(p.master);
            close(p.device);
            p.master = p.device = -1;
            alive = false;
            note("hangup", "line closed");
            continue;
        }

        // Read what the line allows.
        size_t allowed = buf.size();
        if (paced) allowed = rx.idle() ? 0 : std::min(allowed, static_cast<size_t>(std::max(0.0, rx.credit())));
        if (allowed > 0) {
            ssize_t r = read(p.master, buf.data(), allowed);
            if (r > 0) {
                rx.spend(static_cast<double>(r));
                // Bytes come only from an open device. inotify folds two opens
                // in a row into one event, so the count may have run short.
                if (hostOpens == 0) {
                    hostOpens = 1;
                    note("host", "data from the host");
                }
                {
                    std::lock_guard<std::mutex> lock(p.mutex);
                    assembler.feed(buf.data(), static_cast<size_t>(r), [&](const std::vector<uint8_t>& run) {
                        unit.handleRun(run.data(), run.size(), trace_.nowMs(), outs);
                    });
                }
                if (!outs.empty() && tx.empty()) txb.rest();
                enqueue();
                continue;  // answer at once, and look for more
            }
            rx.rest();  // caught up with the host
        }

        // Wait for the line, the clock, the host or a stop.
        double timeoutMs = std::numeric_limits<double>::infinity();
        short events = 0;
        if (!paced || rx.idle()) {
            events |= POLLIN;
        } else {
            // Wait for the line time of the bytes that are there (at most a
            // quantum), so a request's last byte is taken in on time.
            int avail = 0;
            ioctl(p.master, FIONREAD, &avail);
            if (avail <= 0) {
                rx.rest();
                events |= POLLIN;
            } else {
                double need = std::min(quantum, static_cast<double>(avail));
                timeoutMs = std::min(timeoutMs, std::max(0.0, (need - rx.credit()) / rate * 1000.0));
            }
        }
        if (!tx.empty()) {
            const Segment& s = tx.front();
            double nowMs2 = trace_.nowMs();
            if (s.notBeforeMs > nowMs2) {
                timeoutMs = std::min(timeoutMs, s.notBeforeMs - nowMs2);
            } else if (wantOut || !paced) {
                events |= POLLOUT;
            } else {
                double need = std::min(quantum, static_cast<double>(s.bytes.size() - s.offset));
                if (s.pieceSize) need = std::min(need, static_cast<double>(s.pieceSize));
                timeoutMs = std::min(timeoutMs, std::max(0.0, (need - txb.credit()) / rate * 1000.0));
            }
        }
        if (nextOfflineMs >= 0) timeoutMs = std::min(timeoutMs, std::max(0.0, nextOfflineMs - trace_.nowMs()));
        // Production held back by a full queue that has drained since: go
        // round again at once, as nothing else would wake the unit.
        if (heldBack && txBytes < kTxHighWater) timeoutMs = 0;

        pollfd pf[3] = {{p.wake[0], POLLIN, 0}, {p.notify, POLLIN, 0}, {p.master, events, 0}};
        timespec ts{};
        timespec* tsp = nullptr;
        if (std::isfinite(timeoutMs)) {
            double secs = timeoutMs / 1000.0;
            ts.tv_sec = static_cast<time_t>(secs);
            ts.tv_nsec = static_cast<long>((secs - static_cast<double>(ts.tv_sec)) * 1e9);
            tsp = &ts;
        }
        int pr = ppoll(pf, 3, tsp, nullptr);
        if (pr > 0 && (pf[0].revents & POLLIN)) drainWake();
        if (pr > 0 && (pf[2].revents & POLLIN) && paced) rx.begin(Clock::now());
    }
}

}  // namespace kvx
