// Receive latency and throughput of the serial component on pseudo-terminals:
// the delay from a byte written on the far side to OnReceiveData on the logic
// thread (1 and 8 busy ports), the throughput of 8 ports moving 4 KB frames
// both ways, and the CPU time per MB received.
#include "bench_util.h"
#include "serial/comm.h"
#include "shell/plain_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

using namespace kvx;
using SteadyClock = std::chrono::steady_clock;

namespace {
struct Pair {
    int master = -1, slave = -1;
    std::string name;
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void latency(const std::string& dir, std::vector<Pair>& pairs, int busy) {
    PlainEventLoop loop;
    std::vector<std::unique_ptr<TComm>> ports;
    std::atomic<bool> stop{false};
    SteadyClock::time_point sent;
    std::vector<double> delays;
    bool got = false;
    for (int i = 0; i < busy; ++i) {
        ports.push_back(std::make_unique<TComm>(loop));
        configureAsChannelPort(*ports.back(), i + 1);
        ports.back()->setCommName(pairs[static_cast<size_t>(i)].name);
        ports.back()->OpenPort();
    }
    ports[0]->OnReceiveData = [&](TComm&, const uint8_t*, uint16_t) {
        delays.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - sent).count());
        got = true;
    };
    // The other ports stay busy with a steady stream.
    std::thread noise([&] {
        std::vector<uint8_t> buf(256, 0x55);
        while (!stop) {
            for (int i = 1; i < busy; ++i) (void)!write(pairs[static_cast<size_t>(i)].master, buf.data(), buf.size());
            usleep(2000);
        }
    });
    for (int i = 1; i < busy; ++i) ports[static_cast<size_t>(i)]->OnReceiveData = [](TComm&, const uint8_t*, uint16_t) {};
    for (int k = 0; k < 2000; ++k) {
        got = false;
        uint8_t b = static_cast<uint8_t>(k);
        sent = SteadyClock::now();
        (void)!write(pairs[0].master, &b, 1);
        loop.runUntil([&] { return got; }, 1000);
    }
    stop = true;
    noise.join();
    std::sort(delays.begin(), delays.end());
    std::printf("  %d busy port(s): median %.3f ms, p99 %.3f ms (%zu samples)\n", busy, delays[delays.size() / 2],
                delays[delays.size() * 99 / 100], delays.size());
    (void)dir;
}

void throughput(std::vector<Pair>& pairs) {
    PlainEventLoop loop;
    std::vector<std::unique_ptr<TComm>> ports;
    const size_t perPort = 8u << 20;  // 8 MiB each way per port
    std::vector<size_t> received(8, 0);
    std::atomic<size_t> echoed{0};
    for (int i = 0; i < 8; ++i) {
        ports.push_back(std::make_unique<TComm>(loop));
        configureAsChannelPort(*ports.back(), i + 1);
        ports.back()->setCommName(pairs[static_cast<size_t>(i)].name);
        ports.back()->OpenPort();
        ports.back()->OnReceiveData = [&, i](TComm&, const uint8_t*, uint16_t n) { received[static_cast<size_t>(i)] += n; };
    }
    // The far sides echo nothing: they only drain what the ports send and
    // send 4 KB frames themselves.
    std::atomic<bool> stop{false};
    std::thread far([&] {
        std::vector<uint8_t> frame(4096, 0xA5), sink(65536);
        std::vector<size_t> sentBytes(8, 0);
        while (!stop) {
            for (int i = 0; i < 8; ++i) {
                int m = pairs[static_cast<size_t>(i)].master;
                while (read(m, sink.data(), sink.size()) > 0) echoed += 0;
                if (sentBytes[static_cast<size_t>(i)] < perPort) {
                    ssize_t n = write(m, frame.data(), frame.size());
                    if (n > 0) sentBytes[static_cast<size_t>(i)] += static_cast<size_t>(n);
                }
            }
            usleep(200);
        }
    });
    std::vector<uint8_t> frame(4096, 0x5A);
    double cpu0 = cpuSeconds();
    auto t0 = SteadyClock::now();
    size_t queued = 0;
    while (true) {
        size_t total = 0;
        for (auto r : received) total += r;
        if (total >= 8 * perPort) break;
        if (queued < perPort) {
            for (auto& p : ports) p->SendData(frame.data(), static_cast<uint16_t>(frame.size()));
            queued += frame.size();
        }
        loop.runFor(1);
        if (SteadyClock::now() - t0 > std::chrono::seconds(60)) break;
    }
    double s = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    stop = true;
    far.join();
    size_t total = 0;
    for (auto r : received) total += r;
    std::printf("  8 ports, 4 KB frames both ways: %.1f MB received in %.2f s = %.0f KB/s per port "
                "(the line needs 91 KB/s); CPU %.3f s per MB received\n",
                total / 1e6, s, total / 8.0 / 1024 / s, cpu / (total / 1e6));
}
}  // namespace

int main(int argc, char** argv) {
    kvx::bench::benchArgs(argc, argv, R"(Usage: bench_latency
The serial ports' receive latency with 1 and 8 ports and the throughput of
4 KB frames both ways on 8 pseudo-terminals.
)", {});
    char t[] = "/tmp/kvx-lat.XXXXXX";
    std::string dir = mkdtemp(t);
    setenv("KORVEX_SERIAL_DIR", dir.c_str(), 1);
    std::vector<Pair> pairs(8);
    for (int i = 0; i < 8; ++i) {
        char name[128];
        openpty(&pairs[static_cast<size_t>(i)].master, &pairs[static_cast<size_t>(i)].slave, name, nullptr, nullptr);
        termios tt{};
        tcgetattr(pairs[static_cast<size_t>(i)].slave, &tt);
        cfmakeraw(&tt);
        tcsetattr(pairs[static_cast<size_t>(i)].slave, TCSANOW, &tt);
        fcntl(pairs[static_cast<size_t>(i)].master, F_SETFL, O_NONBLOCK);
        pairs[static_cast<size_t>(i)].name = "COM" + std::to_string(i + 1);
        std::filesystem::create_symlink(name, dir + "/" + pairs[static_cast<size_t>(i)].name);
    }
    std::printf("serial component on pseudo-terminals\n");
    latency(dir, pairs, 1);
    latency(dir, pairs, 8);
    throughput(pairs);
    for (auto& p : pairs) {
        close(p.master);
        close(p.slave);
    }
    std::filesystem::remove_all(dir);
}
