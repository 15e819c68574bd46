// Serial component figures on kernel pseudo-terminals (no line-rate pacing:
// a pseudo-terminal moves bytes as fast as both sides take them):
//  1. delay from a byte written on the far side (the pty master) to
//     OnReceiveData on the logic thread (PlainEventLoop), median and p99:
//     one port; eight ports pinged together; one port pinged while seven
//     others exchange 4 KB frames both ways;
//  2. eight ports streaming 4 KB frames both ways, and eight ports in
//     stop-and-wait 4 KB request / 4 KB reply exchanges (the link's pattern);
//  3. the host's CPU time (getrusage) per MB received and per MB sent;
//  4. how long ClosePort takes: after a short request, and while 320 KB wait
//     to be sent to a far side that does not read (target: under 200 ms).
// The far side of parts 2 and 3 is a child process, so the CPU figures are
// the host's alone.
//
//   bench_serial_latency [--rounds N] [--mb M]
#include "bench_util.h"
#include "serial/comm.h"
#include "shell/plain_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kvx;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFrame = 4096;

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// n pseudo-terminals linked as COM1..COMn in a temporary port folder, each
// with a channel port of its own on the host side.
class Rig {
public:
    explicit Rig(int n) {
        char tmpl[] = "/tmp/kvx-bench-ports-XXXXXX";
        if (!mkdtemp(tmpl)) std::exit(1);
        dir_ = tmpl;
        setenv("KORVEX_SERIAL_DIR", dir_.c_str(), 1);
        for (int i = 0; i < n; ++i) {
            int m = -1, s = -1;
            char name[128];
            if (openpty(&m, &s, name, nullptr, nullptr) != 0) {
                perror("openpty");
                std::exit(1);
            }
            fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
            masters.push_back(m);
            slaves_.push_back(s);  // kept open, as the emulator does
            std::filesystem::create_symlink(name, dir_ + "/COM" + std::to_string(i + 1));
            auto p = std::make_unique<TComm>(loop);
            p->setCommName("COM" + std::to_string(i + 1));
            configureAsChannelPort(*p, i + 1);
            ports.push_back(std::move(p));
        }
    }
    ~Rig() {
        for (auto& p : ports) p->ClosePort();
        for (int fd : masters) ::close(fd);
        for (int fd : slaves_) ::close(fd);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void openAll() {
        for (auto& p : ports) p->OpenPort();
    }
    // Runs the far side in a child process: fn(masters) there, then exit.
    template <typename Fn>
    pid_t spawn(Fn fn) {
        int go[2];
        if (pipe(go) != 0) std::exit(1);
        pid_t pid = fork();
        if (pid == 0) {
            ::close(go[1]);
            char c;
            while (::read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
            fn(masters);
            _exit(0);
        }
        ::close(go[0]);
        goFd_ = go[1];
        return pid;
    }
    void go() {
        char c = 1;
        (void)!::write(goFd_, &c, 1);
        ::close(goFd_);
    }

    PlainEventLoop loop;
    std::vector<int> masters;
    std::vector<std::unique_ptr<TComm>> ports;

private:
    std::string dir_;
    std::vector<int> slaves_;
    int goFd_ = -1;
};

struct Spread {
    double median = 0, p99 = 0, max = 0;
};
Spread spread(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.max = v.back();
    return s;
}

// Writes all of b to a non-blocking fd, waiting while it is full.
void writeAll(int fd, const uint8_t* b, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, b, n);
        if (w > 0) {
            b += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        } else if (w < 0 && errno != EINTR) {
            return;
        }
    }
}

std::vector<uint8_t> frameBytes(unsigned seed) {
    std::vector<uint8_t> f(kFrame);
    std::mt19937 g(seed);
    for (auto& b : f) b = static_cast<uint8_t>(g());
    return f;
}

// ---------------------------------------------------------------------------
// 1. Latency. `pinged` ports get one byte per round, written back to back by
// a far-side thread that stamps each write; the logic thread stamps each
// arrival. The remaining ports of the rig, when `streamOthers`, exchange 4 KB
// frames both ways for the whole run (the far side writes a frame, the host
// answers every complete frame with one of its own).
Spread latency(int pinged, int total, bool streamOthers, int rounds) {
    Rig rig(total);
    rig.openAll();
    const size_t n = static_cast<size_t>(pinged) * static_cast<size_t>(rounds);
    std::vector<std::atomic<int64_t>> sent(n);
    std::vector<int64_t> arrived(n, 0);
    std::vector<int> got(static_cast<size_t>(pinged), 0);
    std::atomic<int> acked{0};
    const auto reply = frameBytes(7);
    std::vector<size_t> streamed(static_cast<size_t>(total), 0);
    for (int i = 0; i < total; ++i) {
        rig.ports[static_cast<size_t>(i)]->OnReceiveData = [&, i](TComm& port, const uint8_t*, uint16_t len) {
            int64_t t = nowNs();
            if (i < pinged) {
                // One byte a round; a block carrying more would be a late one.
                for (uint16_t k = 0; k < len; ++k) {
                    size_t r = static_cast<size_t>(got[static_cast<size_t>(i)]++);
                    arrived[r * static_cast<size_t>(pinged) + static_cast<size_t>(i)] = t;
                    acked.fetch_add(1);
                }
                return;
            }
            size_t& s = streamed[static_cast<size_t>(i)];
            s += len;
            while (s >= kFrame) {
                s -= kFrame;
                port.SendData(reply.data(), static_cast<uint16_t>(reply.size()));
            }
        };
    }
    std::atomic<bool> stop{false};
    std::thread streamer;
    if (streamOthers && total > pinged) {
        streamer = std::thread([&] {
            const auto frame = frameBytes(3);
            std::vector<size_t> back(static_cast<size_t>(total), kFrame);  // bytes of the answer received
            uint8_t buf[8192];
            while (!stop) {
                std::vector<pollfd> fds;
                for (int i = pinged; i < total; ++i) {
                    size_t k = static_cast<size_t>(i);
                    if (back[k] >= kFrame) {  // answered: send the next frame
                        back[k] = 0;
                        writeAll(rig.masters[k], frame.data(), frame.size());
                    }
                    fds.push_back({rig.masters[k], POLLIN, 0});
                }
                poll(fds.data(), fds.size(), 5);
                for (size_t j = 0; j < fds.size(); ++j)
                    if (fds[j].revents & POLLIN) {
                        ssize_t r = ::read(fds[j].fd, buf, sizeof buf);
                        if (r > 0) back[j + static_cast<size_t>(pinged)] += static_cast<size_t>(r);
                    }
            }
        });
    }
    std::thread pinger([&] {
        std::mt19937 g(11);
        const uint8_t b = 0x5A;
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < pinged; ++i) {
                sent[static_cast<size_t>(r) * static_cast<size_t>(pinged) + static_cast<size_t>(i)] = nowNs();
                (void)!::write(rig.masters[static_cast<size_t>(i)], &b, 1);
            }
            // Waits without spinning: a spinning thread would take a core from
            // the threads being measured.
            while (acked.load() < (r + 1) * pinged && !stop) std::this_thread::sleep_for(std::chrono::microseconds(50));
            std::this_thread::sleep_for(std::chrono::microseconds(100 + g() % 400));
        }
    });
    bool ok = rig.loop.runUntil([&] { return acked.load() >= static_cast<int>(n); }, 60000);
    stop = true;
    pinger.join();
    if (streamer.joinable()) streamer.join();
    if (!ok) std::fprintf(stderr, "latency run did not finish\n");
    std::vector<double> us;
    for (size_t k = 0; k < n; ++k)
        if (arrived[k]) us.push_back(static_cast<double>(arrived[k] - sent[k].load()) / 1000.0);
    return spread(us);
}

// ---------------------------------------------------------------------------
// 2 and 3. Bulk transfers against a far side in a child process.
struct Transfer {
    double seconds = 0, cpu = 0;
    size_t received = 0, sent = 0;
};

// Both ways at once: every port's far side writes `frames` 4 KB frames and
// reads what the host sends; the host queues its frames on every port at the
// start. fromFar / toFar may be 0 for one-way runs.
Transfer stream(int ports, size_t fromFar, size_t toFar) {
    Rig rig(ports);
    const auto frame = frameBytes(5);
    pid_t child = rig.spawn([&](const std::vector<int>& m) {
        std::vector<size_t> out(m.size(), 0), in(m.size(), 0);
        uint8_t buf[16384];
        for (;;) {
            bool done = true;
            std::vector<pollfd> fds;
            for (size_t i = 0; i < m.size(); ++i) {
                short ev = 0;
                if (out[i] < fromFar * kFrame) ev |= POLLOUT;
                if (in[i] < toFar * kFrame) ev |= POLLIN;
                if (ev) done = false;
                fds.push_back({m[i], ev, 0});
            }
            if (done) return;
            poll(fds.data(), fds.size(), 100);
            for (size_t i = 0; i < m.size(); ++i) {
                if (fds[i].revents & POLLIN) {
                    ssize_t r = ::read(m[i], buf, sizeof buf);
                    if (r > 0) in[i] += static_cast<size_t>(r);
                }
                if (fds[i].revents & POLLOUT) {
                    size_t off = out[i] % kFrame;
                    ssize_t w = ::write(m[i], frame.data() + off, kFrame - off);
                    if (w > 0) out[i] += static_cast<size_t>(w);
                }
            }
        }
    });
    std::vector<size_t> got(static_cast<size_t>(ports), 0);
    size_t total = 0;
    for (int i = 0; i < ports; ++i)
        rig.ports[static_cast<size_t>(i)]->OnReceiveData = [&, i](TComm&, const uint8_t*, uint16_t len) {
            got[static_cast<size_t>(i)] += len;
            total += len;
        };
    rig.openAll();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    rig.go();
    for (auto& p : rig.ports)
        for (size_t f = 0; f < toFar; ++f) p->SendData(frame.data(), static_cast<uint16_t>(frame.size()));
    const size_t want = fromFar * kFrame * static_cast<size_t>(ports);
    bool ok = rig.loop.runUntil([&] { return total >= want; }, 120000);
    int status = 0;
    waitpid(child, &status, 0);  // the far side has read everything the host sent
    Transfer t;
    t.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    t.cpu = cpuSeconds() - cpu0;
    t.received = total;
    t.sent = toFar * kFrame * static_cast<size_t>(ports);
    if (!ok) std::fprintf(stderr, "stream run did not finish\n");
    return t;
}

// Stop and wait: the host sends a 4 KB request, the far side answers with a
// 4 KB reply once the request is complete, the host sends the next request
// once the reply is complete; `exchanges` of them on every port at once.
Transfer exchanges(int ports, int count) {
    Rig rig(ports);
    const auto frame = frameBytes(9);
    pid_t child = rig.spawn([&](const std::vector<int>& m) {
        std::vector<size_t> in(m.size(), 0);
        std::vector<int> answered(m.size(), 0);
        uint8_t buf[16384];
        for (;;) {
            std::vector<pollfd> fds;
            bool done = true;
            for (size_t i = 0; i < m.size(); ++i) {
                if (answered[i] < count) done = false;
                fds.push_back({m[i], POLLIN, 0});
            }
            if (done) return;
            poll(fds.data(), fds.size(), 100);
            for (size_t i = 0; i < m.size(); ++i)
                if (fds[i].revents & POLLIN) {
                    ssize_t r = ::read(m[i], buf, sizeof buf);
                    if (r <= 0) continue;
                    in[i] += static_cast<size_t>(r);
                    while (in[i] >= kFrame) {
                        in[i] -= kFrame;
                        writeAll(m[i], frame.data(), frame.size());
                        ++answered[i];
                    }
                }
        }
    });
    std::vector<size_t> got(static_cast<size_t>(ports), 0);
    std::vector<int> done(static_cast<size_t>(ports), 0);
    int finished = 0;
    size_t total = 0;
    for (int i = 0; i < ports; ++i)
        rig.ports[static_cast<size_t>(i)]->OnReceiveData = [&, i](TComm& port, const uint8_t*, uint16_t len) {
            size_t k = static_cast<size_t>(i);
            got[k] += len;
            total += len;
            while (got[k] >= kFrame) {
                got[k] -= kFrame;
                if (++done[k] < count) port.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
                else ++finished;
            }
        };
    rig.openAll();
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    rig.go();
    for (auto& p : rig.ports) p->SendData(frame.data(), static_cast<uint16_t>(frame.size()));
    bool ok = rig.loop.runUntil([&] { return finished == ports; }, 120000);
    int status = 0;
    waitpid(child, &status, 0);
    Transfer t;
    t.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    t.cpu = cpuSeconds() - cpu0;
    t.received = total;
    t.sent = static_cast<size_t>(count) * kFrame * static_cast<size_t>(ports);
    if (!ok) std::fprintf(stderr, "exchange run did not finish\n");
    return t;
}

double mb(size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// ClosePort times (ms) over `rounds` opens of one port: median and max.
// `backlog` bytes are queued for a far side that reads nothing.
std::pair<double, double> closeTimes(int rounds, size_t backlog) {
    Rig rig(1);
    std::vector<double> ms;
    const std::vector<uint8_t> block(8000, 0x5A);
    for (int i = 0; i < rounds; ++i) {
        TComm& p = *rig.ports[0];
        p.OpenPort();
        for (size_t queued = 0; queued < std::max<size_t>(backlog, 1); queued += block.size())
            p.SendData(block.data(), static_cast<uint16_t>(std::min(block.size(), std::max<size_t>(backlog, 1))));
        auto t0 = Clock::now();
        p.ClosePort();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        char drain[65536];
        while (::read(rig.masters[0], drain, sizeof drain) > 0) {
        }
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_serial_latency [--rounds N] [--mb M]
The serial component on pseudo-terminals: the delay from a byte written on the
far side to its receive event (N rounds, default 3000), and the throughput of
M MB each way over eight ports (default 16).
)", {"--rounds", "--mb"});
    const int rounds = std::max(10, args.number("--rounds", 3000));
    // per direction, over all eight ports
    const size_t megabytes = static_cast<size_t>(std::max(1, args.number("--mb", 16)));
    const size_t framesPerPort = megabytes * 1024 * 1024 / kFrame / 8;

    std::printf("Serial component on pseudo-terminals (%u cores)\n", std::thread::hardware_concurrency());
    std::printf("\nDelay from a byte written on the far side to OnReceiveData, %d rounds\n", rounds);
    std::printf("  %-52s %9s %9s %9s\n", "", "median", "p99", "max");
    struct Row {
        const char* what;
        int pinged, total;
        bool stream;
    };
    for (const Row& r : {Row{"1 port", 1, 1, false}, Row{"8 ports, a byte on each at once", 8, 8, false},
                         Row{"1 port while 7 exchange 4 KB frames both ways", 1, 8, true}}) {
        Spread s = latency(r.pinged, r.total, r.stream, rounds);
        std::printf("  %-52s %7.1f us %6.1f us %6.1f us\n", r.what, s.median, s.p99, s.max);
    }

    std::printf("\n8 ports, 4 KB frames, %zu MB each way\n", megabytes);
    Transfer both = stream(8, framesPerPort, framesPerPort);
    std::printf("  streaming both ways: %.2f s, %.1f MB/s in + %.1f MB/s out (%.0f KB/s each way per port), "
                "host CPU %.2f s\n",
                both.seconds, mb(both.received) / both.seconds, mb(both.sent) / both.seconds,
                mb(both.received) * 1024.0 / 8.0 / both.seconds, both.cpu);
    const int count = static_cast<int>(std::min<size_t>(framesPerPort, 1000));
    Transfer ex = exchanges(8, count);
    std::printf("  stop-and-wait 4 KB request / 4 KB reply: %d per port in %.2f s = %.0f exchanges/s per port, "
                "%.1f MB/s each way in all\n",
                count, ex.seconds, count / ex.seconds, mb(ex.received) / ex.seconds);
    std::printf("  (at 1 000 000 baud, 8N2, a line carries 0.087 MB/s each way: 0.69 MB/s for 8 ports, "
                "about 11 exchanges/s per port)\n");

    std::printf("\nHost CPU time (getrusage, all threads) per MB, 8 ports, %zu MB\n", megabytes);
    Transfer in = stream(8, framesPerPort, 0);
    Transfer out = stream(8, 0, framesPerPort);
    std::printf("  received: %.1f ms per MB (%.1f MB/s)\n", in.cpu * 1000.0 / mb(in.received), mb(in.received) / in.seconds);
    std::printf("  sent:     %.1f ms per MB (%.1f MB/s)\n", out.cpu * 1000.0 / mb(out.sent), mb(out.sent) / out.seconds);
    std::printf("  both ways at once: %.1f ms per MB moved\n", both.cpu * 1000.0 / mb(both.received + both.sent));

    std::printf("\nClosePort, 300 rounds (target: under 200 ms)\n");
    for (auto [what, backlog] : {std::pair<const char*, size_t>{"after a 1-byte request", 1},
                                 std::pair<const char*, size_t>{"with 320 KB queued, the far side reading nothing",
                                                                320000}}) {
        auto [median, worst] = closeTimes(300, backlog);
        std::printf("  %-52s median %.2f ms, max %.2f ms\n", what, median, worst);
    }
    return 0;
}
