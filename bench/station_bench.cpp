// The station benchmark: the station service (src/service) in this process,
// as korvex-station runs it (the plain event loop is the logic thread), over
// emulated units (korvex-sim), met from outside over HTTP as a line
// controller meets it.
//
//  (a) POST /api/v1/runs to the first byte of the operation's first request
//      on a unit's line, against the same job run by a whole korvex-cli
//      process (fork to that byte). A pseudo-terminal relay between the
//      host and every unit stamps each byte the host writes as it becomes
//      readable; the device query's runs are told apart and skipped.
//  (b) The delay from the engine's event to an EventSource client that has
//      parsed it, over gang runs on 8 units paced at 1 000 000 baud.
//  (c) Many event-stream clients during off-line production at the
//      emulator's top speed: the logic thread's longest stall, the memory in
//      use, the chips made and the events every client received. Beside it,
//      the machine's own: a thread that only sleeps 5 ms at a time, first
//      with nothing running, then through the run (which stalls it shared).
//
// Exits 1 when a target is missed or a part could not be measured.
#include "bench_util.h"
#include "app/korvex_app.h"
#include "chip/catalogue.h"
#include "engine/event_json.h"
#include "link/frame.h"
#include "log/log_files.h"
#include "service/access.h"
#include "service/station_service.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace kvx;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

extern char** environ;

namespace {

double msBetween(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Spread {
    double p50 = 0, p95 = 0, max = 0;
    size_t n = 0;
};
Spread spread(std::vector<double> v) {
    Spread s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))]; };
    s.p50 = at(0.5);
    s.p95 = at(0.95);
    s.max = v.back();
    return s;
}


const char* mark(bool ok) { return ok ? "met" : "MISSED"; }

// A program run as a child with its output thrown away: the arguments and
// the environment are built before fork, as the child of a threaded process
// may only exec.
struct Spawn {
    std::vector<std::string> args, env;
    bool idle = false;  // SCHED_IDLE: it runs on a core the host leaves free
    pid_t start() const {
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // it ends with the benchmark, however that ends
            if (idle) {
                sched_param p{};
                if (sched_setscheduler(0, SCHED_IDLE, &p) != 0) (void)!nice(19);
            }
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }
};

// korvex-sim with `units` units in `dir`, until the object goes.
struct Emulator {
    pid_t pid = -1;
    std::string dir;
    Emulator(const std::string& exe, const std::string& d, int units, std::vector<std::string> extra, bool idle) : dir(d) {
        Spawn s{{exe, "--units", std::to_string(units), "--dir", d}, {}, idle};
        s.args.insert(s.args.end(), extra.begin(), extra.end());
        pid = s.start();
        for (int i = 0; i < 250 && !fs::exists(port(units - 1)); ++i) usleep(20000);
    }
    ~Emulator() {
        kill(pid, SIGINT);
        waitpid(pid, nullptr, 0);
    }
    std::string port(int slot) const { return dir + "/COM" + std::to_string(slot + 1); }
};

// A pseudo-terminal between the host and each unit's line. The host opens
// the relay's DIR/COMn; one thread moves the bytes both ways. It stamps the
// bytes the host writes when poll finds them readable, before reading: that
// is when they are on the wire (the unit's end sees them no earlier), to
// within the thread's wake-up. The host's flagged runs are cut out as the
// units cut them, so the device query (sent as it stands, flags and all) is
// told from the requests of an operation.
class Relay {
public:
    struct Run {
        Steady::time_point at;  // its opening flag became readable
        int command = -1;       // the first header byte
        bool query = false;
    };

    Relay(const std::vector<std::string>& unitPorts, const std::string& dir) : dir_(dir) {
        fs::create_directories(dir);
        for (size_t i = 0; i < unitPorts.size(); ++i) {
            Link l;
            l.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            char name[128] = {};
            if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0 || ptsname_r(l.master, name, sizeof name) != 0)
                throw std::runtime_error("relay: no pseudo-terminal");
            // The relay keeps the host's side open itself, raw: no echo while
            // no host has it open, no hang-up when the host closes it. The
            // kernel keeps the host's exclusive mode (TIOCEXCL) past its
            // close; it is cleared then, so that the next host can open it.
            l.held = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            l.unit = open(unitPorts[i].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (l.held < 0 || l.unit < 0) throw std::runtime_error("relay: cannot open " + unitPorts[i]);
            for (int fd : {l.held, l.unit}) {
                termios t{};
                tcgetattr(fd, &t);
                cfmakeraw(&t);
                tcsetattr(fd, TCSANOW, &t);
            }
            l.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            inotify_add_watch(l.notify, name, IN_CLOSE);
            const std::string link = dir + "/COM" + std::to_string(i + 1);
            fs::remove(link);
            fs::create_symlink(name, link);
            links_.push_back(std::move(l));
        }
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("relay: no pipe");
        thread_ = std::thread([this] { serve(); });
    }
    ~Relay() {
        stop_ = true;
        [[maybe_unused]] ssize_t w = write(wake_[1], "x", 1);
        thread_.join();
        for (auto& l : links_)
            for (int fd : {l.master, l.held, l.unit, l.notify}) close(fd);
        close(wake_[0]);
        close(wake_[1]);
        fs::remove_all(dir_);
    }

    // The first run other than the device query whose opening flag came at
    // or after t0, on any line; none when none came within timeoutMs.
    std::optional<Run> firstRequestAfter(Steady::time_point t0, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Run> found;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const Run& r : runs_)
                if (!r.query && r.at >= t0 && (!found || r.at < found->at)) found = r;
            return found.has_value();
        });
        return found;
    }
    void forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        runs_.clear();
    }

private:
    struct Link {
        int master = -1, held = -1, unit = -1, notify = -1;
        std::string toUnit, toHost;
        bool inRun = false;
        size_t got = 0;
        uint8_t head[3] = {};
        Steady::time_point start;
    };

    void hostBytes(Link& l, const uint8_t* d, size_t n, Steady::time_point at) {
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = d[i];
            if (!l.inRun) {
                if (b == kFlag) {
                    l.inRun = true;
                    l.got = 0;
                    l.start = at;
                }
                continue;
            }
            if (b != kFlag) {
                if (l.got < sizeof l.head) l.head[l.got] = b;
                ++l.got;
                continue;
            }
            if (l.got == 0) continue;  // a doubled opening flag
            l.inRun = false;
            Run r{l.start, l.head[0], false};
            r.query = l.got == 3 && std::equal(l.head, l.head + 3, kDeviceQuery + 1);
            std::lock_guard<std::mutex> lock(mutex_);
            runs_.push_back(r);
            changed_.notify_all();
        }
    }

    static void flush(int fd, std::string& pending) {
        while (!pending.empty()) {
            const ssize_t w = write(fd, pending.data(), pending.size());
            if (w <= 0) return;
            pending.erase(0, static_cast<size_t>(w));
        }
    }

    void serve() {
        std::vector<pollfd> pf;
        std::vector<uint8_t> buf(65536);
        while (!stop_) {
            pf.clear();
            pf.push_back({wake_[0], POLLIN, 0});
            for (auto& l : links_) {
                pf.push_back({l.master, static_cast<short>(POLLIN | (l.toHost.empty() ? 0 : POLLOUT)), 0});
                pf.push_back({l.unit, static_cast<short>(POLLIN | (l.toUnit.empty() ? 0 : POLLOUT)), 0});
                pf.push_back({l.notify, POLLIN, 0});
            }
            if (poll(pf.data(), pf.size(), -1) < 0) continue;
            const Steady::time_point at = Steady::now();
            for (size_t i = 0; i < links_.size(); ++i) {
                Link& l = links_[i];
                const pollfd &host = pf[1 + 3 * i], &unit = pf[2 + 3 * i], &notify = pf[3 + 3 * i];
                if (host.revents & POLLIN) {
                    const ssize_t r = read(l.master, buf.data(), buf.size());
                    if (r > 0) {
                        hostBytes(l, buf.data(), static_cast<size_t>(r), at);
                        l.toUnit.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(r));
                    }
                }
                if (unit.revents & POLLIN) {
                    const ssize_t r = read(l.unit, buf.data(), buf.size());
                    if (r > 0) l.toHost.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(r));
                }
                flush(l.unit, l.toUnit);
                flush(l.master, l.toHost);
                if (notify.revents & POLLIN) {
                    alignas(inotify_event) char ev[4096];
                    while (read(l.notify, ev, sizeof ev) > 0) {
                    }
                    ioctl(l.held, TIOCNXCL);
                }
            }
            if (pf[0].revents & POLLIN) {
                char c[16];
                while (read(wake_[0], c, sizeof c) > 0) {
                }
            }
        }
    }

    std::string dir_;
    std::vector<Link> links_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Run> runs_;
};

// Event-stream clients on raw sockets, all read by one thread: each
// connection's chunked body is decoded and cut into events, and every
// event is handed over the moment it is complete.
class SseClients {
public:
    using OnEvent = std::function<void(int client, const std::string& data)>;
    struct Stream {
        int fd = -1;
        bool headers = false, started = false, ended = false;
        uint64_t events = 0, gaps = 0, firstId = 0, lastId = 0;
        std::string raw, text, sizeLine;
        size_t chunkLeft = 0, skip = 0;
    };

    // yielding: the reader stands for browsers on other machines, so it
    // runs at nice 19 and takes only the cores the station leaves.
    SseClients(int port, int n, OnEvent onEvent, bool yielding = false)
        : onEvent_(std::move(onEvent)), streams_(static_cast<size_t>(n)), yielding_(yielding) {
        const std::string request = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
        for (auto& s : streams_) {
            s.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                write(s.fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
                s.ended = true;
            fcntl(s.fd, F_SETFL, O_NONBLOCK);
        }
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe");
        thread_ = std::thread([this] { serve(); });
        pthread_getcpuclockid(thread_.native_handle(), &clock_);
    }
    ~SseClients() {
        stop_ = true;
        [[maybe_unused]] ssize_t w = write(wake_[1], "x", 1);
        thread_.join();
        for (auto& s : streams_) close(s.fd);
        close(wake_[0]);
        close(wake_[1]);
    }
    // Waits until `pred` holds for every stream, or the time is up.
    bool waitAll(const std::function<bool(const Stream&)>& pred, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return std::all_of(streams_.begin(), streams_.end(), pred);
        });
    }
    std::vector<Stream> streams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return streams_;
    }
    // The CPU time the reading thread has used.
    double cpuSeconds() const {
        timespec t{};
        clock_gettime(clock_, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }

private:
    void events(int client, Stream& s) {
        size_t pos = 0, end;
        while ((end = s.text.find("\n\n", pos)) != std::string::npos) {
            const char* block = s.text.c_str() + pos;
            const std::string_view b(block, end - pos);
            pos = end + 2;
            if (b.substr(0, 6) == "retry:") s.started = true;
            if (b.substr(0, 1) == ":" && b.find("left the ring") != std::string_view::npos) ++s.gaps;
            if (b.substr(0, 4) != "id: ") continue;
            const size_t data = b.find("\ndata: ");
            if (data == std::string_view::npos) continue;
            const uint64_t id = std::strtoull(block + 4, nullptr, 10);
            if (!s.events++) s.firstId = id;
            s.lastId = id;
            if (onEvent_) onEvent_(client, std::string(b.substr(data + 7)));
        }
        s.text.erase(0, pos);
    }
    void body(Stream& s, const char* d, size_t n) {
        for (size_t i = 0; i < n;) {
            if (s.chunkLeft > 0) {
                const size_t k = std::min(n - i, s.chunkLeft);
                s.text.append(d + i, k);
                i += k;
                if ((s.chunkLeft -= k) == 0) s.skip = 2;  // the CRLF after the chunk
            } else if (s.skip > 0) {
                --s.skip;
                ++i;
            } else if (d[i] == '\n') {
                s.chunkLeft = std::strtoul(s.sizeLine.c_str(), nullptr, 16);
                s.sizeLine.clear();
                ++i;
                if (s.chunkLeft == 0) return;  // the last chunk
            } else {
                if (d[i] != '\r') s.sizeLine += d[i];
                ++i;
            }
        }
    }
    void serve() {
        if (yielding_) (void)!setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
        std::vector<char> buf(65536);
        std::vector<pollfd> pf;
        while (!stop_) {
            pf.assign(1, {wake_[0], POLLIN, 0});
            std::vector<int> index;
            for (size_t i = 0; i < streams_.size(); ++i)
                if (!streams_[i].ended) {
                    pf.push_back({streams_[i].fd, POLLIN, 0});
                    index.push_back(static_cast<int>(i));
                }
            if (poll(pf.data(), pf.size(), -1) < 0) continue;
            for (size_t k = 1; k < pf.size(); ++k) {
                if (!(pf[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int c = index[k - 1];
                Stream& s = streams_[static_cast<size_t>(c)];
                const ssize_t r = read(s.fd, buf.data(), buf.size());
                const bool gone = r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR);
                std::lock_guard<std::mutex> lock(mutex_);
                if (r <= 0) {
                    s.ended = gone;
                } else if (!s.headers) {
                    s.raw.append(buf.data(), static_cast<size_t>(r));
                    const size_t end = s.raw.find("\r\n\r\n");
                    if (end != std::string::npos) {
                        s.headers = true;
                        body(s, s.raw.data() + end + 4, s.raw.size() - end - 4);
                        s.raw.clear();
                    }
                } else {
                    body(s, buf.data(), static_cast<size_t>(r));
                }
                events(c, s);
                changed_.notify_all();
            }
        }
    }

    OnEvent onEvent_;
    clockid_t clock_ = CLOCK_THREAD_CPUTIME_ID;
    std::vector<Stream> streams_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    bool yielding_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

struct Setup {
    std::string dir, chip, operation;
    int units = 8;
};

// The station: the program with the job loaded (the chip, then a binary
// image of random bytes the size of its flash) and its service on a free
// port. `first` is put on the engine's listeners before the service's own.
struct Station {
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SystemRandom rng;
    std::unique_ptr<KorvexApp> app;
    std::unique_ptr<StationService> service;
    std::string token, error;
    int port = 0;

    Station(const Setup& s, const std::string& home, const std::string& ports, EngineListener first = {}) {
        setenv("KORVEX_SERIAL_DIR", ports.c_str(), 1);
        fs::create_directories(home);
        app = std::make_unique<KorvexApp>(loop, prompts, clock, rng);
        app->programFolder = home + "/";
        app->FormShow({});
        loop.runUntil([&] { return app->engine.devicesFound() >= s.units; }, 10000);
        if (app->engine.devicesFound() < s.units) {
            error = std::to_string(app->engine.devicesFound()) + " of " + std::to_string(s.units) + " units found";
            return;
        }
        for (int v = 0; v < 4 && !app->engine.chip.chipChosen; ++v) {
            const auto& names = chipNames(static_cast<ChipVendor>(v));
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i].substr(0, names[i].find_last_not_of(' ') + 1) == s.chip) {
                    app->chooseChip(static_cast<ChipVendor>(v), static_cast<int>(i));
                    break;
                }
        }
        if (!app->engine.chip.chipChosen) {
            error = "no chip " + s.chip + " in the catalogue";
            return;
        }
        const std::string image = s.dir + "/image.bin";
        if (!fs::exists(image)) {
            std::vector<char> data(static_cast<size_t>(app->engine.chip.flashSizeKB) * 1024);
            SeededRandom bytes(7);
            for (auto& b : data) b = static_cast<char>(bytes.byte());
            std::ofstream(image, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        app->askBinOffset = [](const KorvexApp::BinOffsetQuestion& q) { return KorvexApp::BinOffsetAnswer{q.flashFirst, ""}; };
        if (!app->openObjectFile(image)) {
            error = "the image was not loaded: " + app->lastLoadRefusal;
            return;
        }
        if (first) app->engine.listeners.push_back(first);
        ServiceOptions so;
        so.host = "127.0.0.1";
        so.port = 0;
        so.settings = jobSettingsOf(app->jobOptions(), app->engine.job, app->engine.chip.vendor);
        service = std::make_unique<StationService>(*app, so);
        service->start();
        port = service->port();
        std::ifstream(app->programFolder + kApiTokenFileName) >> token;
    }
    ~Station() {
        if (service) service->stop();
        if (app) app->FormClose();
        service.reset();
        app.reset();
    }
    // Runs the logic thread until `driver`, on a thread of its own, returns.
    void drive(const std::function<void()>& driver) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            driver();
            done = true;
            loop.post([] {});
        });
        loop.runUntil([&] { return done.load(); }, 24 * 3600 * 1000);
        t.join();
    }
    httplib::Headers bearer() const { return {{"Authorization", "Bearer " + token}}; }
    // Starts `operation` on every channel and waits for the run's end; gives
    // the channels that ended well, -1 when it did not start or end.
    int runToEnd(httplib::Client& c, const std::string& operation, Steady::time_point* sent = nullptr) {
        const std::string body = R"({"operation":")" + operation + R"("})";
        if (sent) *sent = Steady::now();
        auto r = c.Post("/api/v1/runs", bearer(), body, "application/json");
        if (!r || r->status != 202) {
            std::fprintf(stderr, "POST /api/v1/runs: %d %s\n", r ? r->status : -1, r ? r->body.c_str() : "");
            return -1;
        }
        const std::string href = r->get_header_value("Location");
        for (int i = 0; i < 60000; ++i) {
            auto g = c.Get(href);
            const nlohmann::json run = g && g->status == 200 ? nlohmann::json::parse(g->body) : nlohmann::json::object();
            if (run.value("state", "") == "done") {
                int good = 0;
                for (const auto& result : run["results"]) good += result.value("ok", false);
                return good;
            }
            usleep(2000);
        }
        return -1;
    }
};

// (a) -------------------------------------------------------------------------

bool firstRequest(const Setup& s, const std::string& simExe, const std::string& cliExe, int runs) {
    std::printf("(a) POST /api/v1/runs {\"operation\":\"%s\"} to the first byte of its first request on a unit's line "
                "(units unpaced)\n",
                s.operation.c_str());
    Emulator emu(simExe, s.dir + "/units-a", s.units, {}, false);
    std::vector<std::string> unitPorts;
    for (int i = 0; i < s.units; ++i) unitPorts.push_back(emu.port(i));
    Relay relay(unitPorts, s.dir + "/relay");
    std::vector<double> station, cli;
    std::map<int, int> commands, cliCommands;
    int good = 0;
    {
        Station st(s, s.dir + "/home-a", s.dir + "/relay");
        if (!st.error.empty()) {
            std::printf("    not measured: %s\n", st.error.c_str());
            return false;
        }
        st.drive([&] {
            httplib::Client c("127.0.0.1", st.port);
            // As curl and Python's HTTP clients do: with Nagle's algorithm the
            // body, written after the headers, would wait for the station's
            // delayed acknowledgement of them (40 ms).
            c.set_keep_alive(true);
            c.set_tcp_nodelay(true);
            c.set_read_timeout(30, 0);
            for (int i = 0; i < runs; ++i) {
                usleep(20000);  // the last run's last bytes are long out
                Steady::time_point t0;
                relay.forget();
                const int n = st.runToEnd(c, s.operation, &t0);
                if (n < 0) break;
                good += n;
                if (auto r = relay.firstRequestAfter(t0, 5000)) {
                    station.push_back(msBetween(t0, r->at));
                    ++commands[r->command];
                }
            }
        });
    }
    // The same job from a whole process: its start, its own device search
    // (whose query does not count), then the operation.
    Spawn proc{{cliExe, s.operation, "--chip", s.chip, "--file", s.dir + "/image.bin", "--offset", "0", "-q"},
               {"KORVEX_SERIAL_DIR=" + s.dir + "/relay", "KORVEX_HOME=" + s.dir + "/home-cli"}};
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        relay.forget();
        const Steady::time_point t0 = Steady::now();
        const pid_t pid = proc.start();
        if (auto r = relay.firstRequestAfter(t0, 20000)) {
            cli.push_back(msBetween(t0, r->at));
            ++cliCommands[r->command];
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const Spread a = spread(station), b = spread(cli);
    auto listed = [](const std::map<int, int>& m) {
        std::string t;
        for (auto& [cmd, n] : m) t += format(" 0x%02x (%d)", cmd, n);
        return t;
    };
    const std::string first = listed(commands);
    const bool ok = a.n == static_cast<size_t>(runs) && a.p95 <= 5.0;
    std::printf("    station, %zu of %d runs: median %.2f ms, p95 %.2f ms, max %.2f ms [%s: p95 at most 5 ms]\n", a.n, runs,
                a.p50, a.p95, a.max, mark(ok));
    std::printf("      (the first request's command byte:%s; %d of %d channel runs good)\n", first.c_str(), good,
                runs * s.units);
    std::printf("    korvex-cli %s process, fork to its first request, %zu of %d runs: median %.1f ms, p95 %.1f ms, "
                "max %.1f ms (%d exited non-zero; first request's command byte:%s)\n",
                s.operation.c_str(), b.n, runs, b.p50, b.p95, b.max, failed, listed(cliCommands).c_str());
    return ok && b.n == static_cast<size_t>(runs);
}

// (b) -------------------------------------------------------------------------

// The engine's side of an event and the client's, with what names it: the
// kind, the channel, and for progress the step and the gauge's value.
struct Sighting {
    Steady::time_point at;
    std::string kind, step;
    int channel = 0;
    int64_t value = 0;
};

bool eventLatency(const Setup& s, const std::string& simExe, int runs) {
    std::printf("(b) event latency, engine to an EventSource client: %d %s runs on %d units at 1000000 baud\n", runs,
                s.operation.c_str(), s.units);
    Emulator emu(simExe, s.dir + "/units-b", s.units, {"--baud", "1000000"}, false);
    // The engine's events as a listener ahead of the service's sees them:
    // the moment the engine hands them out, on the logic thread.
    std::mutex m;
    std::vector<Sighting> engine, client;
    std::atomic<int> summaries{0};
    int good = 0;
    EngineListener first = [&](const EngineEvent& e) {
        Sighting x{Steady::now(), "", "", headerOf(e).channel, 0};
        if (const auto* p = std::get_if<ProgressMoved>(&e)) {
            if (!p->running) return;
            x = {x.at, "progress", stepName(p->step), x.channel, p->value};
        } else if (std::holds_alternative<ChannelFinished>(e)) {
            x.kind = "result";
        } else if (std::holds_alternative<UidRead>(e)) {
            x.kind = "uid";
        } else if (std::holds_alternative<DeviceFound>(e)) {
            x.kind = "device";
        } else if (std::holds_alternative<OfflineChip>(e)) {
            x.kind = "offline";
        } else {
            return;
        }
        std::lock_guard<std::mutex> lock(m);
        engine.push_back(x);
    };
    Station st(s, s.dir + "/home-b", emu.dir, first);
    if (!st.error.empty()) {
        std::printf("    not measured: %s\n", st.error.c_str());
        return false;
    }
    SseClients sse(st.port, 1, [&](int, const std::string& data) {
        const nlohmann::json j = nlohmann::json::parse(data);
        Sighting x{Steady::now(), j.value("event", ""), j.value("step", ""), j.value("channel", 0), j.value("value", int64_t{0})};
        std::lock_guard<std::mutex> lock(m);
        client.push_back(x);
        summaries += x.kind == "summary";
    });
    bool ran = sse.waitAll([](const SseClients::Stream& x) { return x.started; }, 5000);
    st.drive([&] {
        httplib::Client c("127.0.0.1", st.port);
        c.set_read_timeout(30, 0);
        for (int i = 0; i < runs && ran; ++i) {
            const int n = st.runToEnd(c, s.operation);
            ran = n >= 0;
            good += std::max(0, n);
            for (int w = 0; w < 5000 && summaries < i + 1; ++w) usleep(1000);
        }
    });
    // Each client event is matched with the engine event it was made of,
    // in order, per channel and kind: progress by its step and value (the
    // service sends the first event of each new percent, so the earliest
    // engine event of that step and value not yet matched is the one), a
    // result by its channel's end, the summary by the end it followed (the
    // service sends it on the last channel's end). The start event is the
    // POST's, not the engine's.
    std::lock_guard<std::mutex> lock(m);
    std::map<std::pair<std::string, int>, size_t> next;
    std::vector<double> lat;
    int unmatched = 0, starts = 0;
    Steady::time_point lastEnd{};
    for (const Sighting& c : client) {
        if (c.kind == "start") {
            ++starts;
            continue;
        }
        std::optional<Steady::time_point> at;
        if (c.kind == "summary") {
            if (lastEnd != Steady::time_point{}) at = lastEnd;
        } else {
            size_t& i = next[{c.kind, c.channel}];
            for (; i < engine.size() && !at; ++i) {
                const Sighting& e = engine[i];
                if (e.kind == c.kind && e.channel == c.channel && (c.kind != "progress" || (e.step == c.step && e.value == c.value)))
                    at = e.at;
            }
            if (at && c.kind == "result") lastEnd = *at;
        }
        if (at) lat.push_back(msBetween(*at, c.at));
        else ++unmatched;
    }
    const Spread sp = spread(lat);
    const bool ok = ran && unmatched == 0 && sp.n > 0 && sp.p95 <= 50.0;
    std::printf("    %d of %d channel runs good\n", good, runs * s.units);
    std::printf("    %zu events matched (%d start events not the engine's, %d not matched; %zu engine events), "
                "p50 %.2f ms, p95 %.2f ms, max %.2f ms [%s: p95 at most 50 ms]\n",
                sp.n, starts, unmatched, engine.size(), sp.p50, sp.p95, sp.max, mark(ok));
    return ok;
}

// (c) -------------------------------------------------------------------------

// The machine's own answer: a thread that sleeps 5 ms at a time notes each
// wake-up more than 5 ms after it was due. A logic-thread stall at a moment
// when this thread was that late too is the machine's (a core held by the
// kernel's work, or on a virtual machine the host not running this one's
// processor), not the logic thread's work.
class Sleeper {
public:
    using Span = std::pair<Steady::time_point, Steady::time_point>;  // due, came
    Sleeper() : thread_([this] { run(); }) {}
    ~Sleeper() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // After stop().
    const std::vector<Span>& late() const { return late_; }
    double worstMs() const { return worst_; }
    bool overlaps(const Span& x) const {
        return std::any_of(late_.begin(), late_.end(), [&](const Span& l) { return l.first < x.second && x.first < l.second; });
    }

private:
    void run() {
        while (!stop_) {
            const Steady::time_point due = Steady::now() + std::chrono::milliseconds(5);
            std::this_thread::sleep_until(due);
            const double lateMs = msBetween(due, Steady::now());
            worst_ = std::max(worst_, lateMs);
            if (lateMs > 5) late_.push_back({due, Steady::now()});
        }
    }
    std::atomic<bool> stop_{false};
    std::vector<Span> late_;
    double worst_ = 0;
    std::thread thread_;
};


bool manyClients(const Setup& s, const std::string& simExe, int clients, int seconds, int chipLimit, const std::string& interval) {
    std::printf("(c) %d event-stream clients during off-line production on %d units, %s ms a chip, unpaced\n", clients,
                s.units, interval.c_str());
    // The machine's floor first, with nothing running.
    {
        Sleeper idle;
        usleep(3'000'000);
        idle.stop();
        std::printf("    the machine: a thread sleeping 5 ms at a time, 3 s with nothing running, woke up to %.1f ms late "
                    "(%zu times over 5 ms)\n",
                    idle.worstMs(), idle.late().size());
    }
    // As real units, the emulator does not share the host's processor: it
    // runs only on a core the station leaves idle.
    Emulator emu(simExe, s.dir + "/units-c", s.units, {"--chip-interval-ms", interval}, true);
    std::atomic<int> chips{0};
    EngineListener first = [&](const EngineEvent& e) { chips += std::holds_alternative<OfflineChip>(e); };
    Station st(s, s.dir + "/home-c", emu.dir, first);
    if (!st.error.empty()) {
        std::printf("    not measured: %s\n", st.error.c_str());
        return false;
    }
    // The clients listen before anything happens: each should get every
    // event from the job download's start on. The first client tells the
    // chip events from the others.
    std::atomic<uint64_t> chipEvents{0};
    SseClients sse(st.port, clients, [&](int client, const std::string& data) {
        if (client == 0) chipEvents += data.find(R"("event":"offline")") != std::string::npos;
    }, true);
    sse.waitAll([](const SseClients::Stream& x) { return x.started || x.ended; }, 5000);
    int served = 0;
    for (auto& x : sse.streams()) served += x.started;
    chips = 0;

    // Production as the command line starts it: the job download (after
    // which each unit restarts and produces), then the ports opened to
    // listen. The measuring starts after that.
    bool downloaded = false;
    st.drive([&] {
        httplib::Client c("127.0.0.1", st.port);
        downloaded = st.runToEnd(c, "download") == s.units;
    });
    st.loop.runUntil([&] { return st.app->engine.allSent(); }, 2000);
    st.app->engine.StartOfflineProgrm1Click();
    // The logic thread sleeps while it opens the ports one by one (30 ms
    // each), and the first ports' frames wait meanwhile: the meter starts
    // half a second later, that backlog handled.
    st.loop.runFor(500);

    // The logic thread's longest stall: a 5 ms timer on its loop notes the
    // longest time between two of its ticks, less the 5 ms. The plain loop
    // keeps its timers in whole milliseconds (a tick may come up to 1 ms
    // late with no stall) and runs a due timer only when nothing posted
    // waits, so a backlog of the ports' data counts as the stall it is.
    // STATION_STALLS=MS prints every stall longer than MS.
    const double stallsOver = std::getenv("STATION_STALLS") ? std::atof(std::getenv("STATION_STALLS")) : -1;
    double stallMs = 0;
    int ticks = 0;
    const Steady::time_point begin = Steady::now();
    Steady::time_point lastTick = begin;
    kvx::bench::ThreadTimes lastTimes = kvx::bench::threadTimes();
    const int chipsBefore = chips;
    std::vector<Sleeper::Span> stalls;  // those over 5 ms: due, came
    Sleeper sleeper;
    const EventLoop::TimerId meter = st.loop.startTimer(5, false, [&] {
        const Steady::time_point now = Steady::now();
        const double gap = msBetween(lastTick, now) - 5;
        // With it, how long of it the thread ran and how long it waited for a core.
        const kvx::bench::ThreadTimes times = stallsOver >= 0 ? kvx::bench::threadTimes() : lastTimes;
        if (stallsOver >= 0 && gap > stallsOver)
            std::fprintf(stderr, "stall %.1f ms at %.3f s, %d chips: ran %.1f ms, waited %.1f ms for a core\n", gap,
                         msBetween(begin, now) / 1000, chips - chipsBefore, times.ranMs - lastTimes.ranMs,
                         times.waitedMs - lastTimes.waitedMs);
        lastTimes = times;
        stallMs = std::max(stallMs, gap);
        if (gap > 5) stalls.push_back({lastTick + std::chrono::milliseconds(5), now});
        lastTick = now;
        ++ticks;
    });
    double rssQuarter = -1, rssEnd = -1, runSeconds = 0;
    uint64_t sentByQuarter = 0;
    const double cpu0 = kvx::bench::cpuSeconds(), readerCpu0 = sse.cpuSeconds();
    st.drive([&] {
        auto over = [&](double part) {
            return chipLimit > 0 ? chips - chipsBefore >= chipLimit * part
                                 : msBetween(begin, Steady::now()) >= seconds * 1000.0 * part;
        };
        while (!over(0.25)) usleep(2000);
        rssQuarter = kvx::bench::residentMB();
        if (clients > 0) sentByQuarter = sse.streams()[0].lastId;
        while (!over(1.0)) usleep(2000);
        rssEnd = kvx::bench::residentMB();
        runSeconds = msBetween(begin, Steady::now()) / 1000.0;
    });
    const double cpu = kvx::bench::cpuSeconds() - cpu0, readerCpu = sse.cpuSeconds() - readerCpu0;
    st.loop.stopTimer(meter);
    sleeper.stop();
    // A tick still due counts as well: with no tick at all, the whole run.
    stallMs = std::max(stallMs, msBetween(lastTick, Steady::now()) - 5);
    if (msBetween(lastTick, Steady::now()) > 10) stalls.push_back({lastTick + std::chrono::milliseconds(5), Steady::now()});
    // The stalls the sleeper did not share, and the longest of them.
    int shared = 0;
    double ownMs = 0;
    for (const Sleeper::Span& x : stalls) {
        if (sleeper.overlaps(x)) ++shared;
        else ownMs = std::max(ownMs, msBetween(x.first, x.second));
    }
    const int made = chips - chipsBefore, engineChips = chips;
    // The end of the streams: every client gets what the ring holds for it,
    // then the end of its stream.
    st.service->stop();
    sse.waitAll([](const SseClients::Stream& x) { return x.ended; }, 20000);
    uint64_t least = clients > 0 ? UINT64_MAX : 0, most = 0, gaps = 0, firstId = UINT64_MAX, lastId = 0;
    for (auto& x : sse.streams()) {
        least = std::min(least, x.events);
        most = std::max(most, x.events);
        gaps += x.gaps;
        if (x.events) firstId = std::min(firstId, x.firstId), lastId = std::max(lastId, x.lastId);
    }
    // Every event the station sent from the download's start to its stop.
    const uint64_t sent = lastId >= firstId ? lastId - firstId + 1 : 0;
    const bool stallOk = stallMs <= 5.0, flat = rssQuarter > 0 && std::abs(rssEnd - rssQuarter) <= rssQuarter * 0.1;
    const bool allEvents = (clients == 0 || sent > 0) && least == sent && gaps == 0 &&
                           (clients == 0 || chipEvents == static_cast<uint64_t>(engineChips));
    std::printf("    streams served %d of %d; job download %s\n", served, clients, downloaded ? "done" : "FAILED");
    std::printf("    chips made %d in %.1f s (%.0f a second)\n", made, runSeconds, made / std::max(0.001, runSeconds));
    std::printf("    CPU of this process %.1f s over the run (%.0f %% of one core), of which the clients' reader %.1f s\n", cpu,
                100.0 * cpu / std::max(0.001, runSeconds), readerCpu);
    std::printf("    longest stall of the logic thread %.2f ms (%d ticks of its 5 ms timer) [%s: at most 5 ms]\n", stallMs, ticks,
                mark(stallOk));
    std::printf("      %zu stalls over 5 ms, %d of them while a thread sleeping 5 ms at a time was over 5 ms late as well "
                "(it woke up to %.1f ms late); the longest of the others %.2f ms\n",
                stalls.size(), shared, sleeper.worstMs(), ownMs);
    std::printf("    memory in use at 25 %% of the run %.1f MB, at the end %.1f MB (%+.1f %%) [%s: within 10 %%]\n", rssQuarter,
                rssEnd, 100.0 * (rssEnd - rssQuarter) / std::max(0.001, rssQuarter), mark(flat));
    // The ring holds the last eventsKept (10 000) events: until it is full
    // the memory grows with it by design.
    std::printf("      (%llu events sent by 25 %% of the run, %llu at the end; the station keeps the last %zu)\n",
                static_cast<unsigned long long>(sentByQuarter), static_cast<unsigned long long>(lastId),
                ServiceOptions{}.eventsKept);
    std::printf("    events each client received: min %llu, max %llu, of %llu sent; %llu gap notices; chip events %llu of "
                "%d the engine counted [%s: every client all]\n",
                static_cast<unsigned long long>(least), static_cast<unsigned long long>(most),
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(chipEvents.load()), engineChips, mark(allEvents));
    return downloaded && served == clients && stallOk && flat && allEvents;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = kvx::bench::benchArgs(argc, argv, R"(Usage: bench_station [--parts abc] [--units U] [--chip NAME] [--operation OP]
                     [--runs N] [--gang-runs R] [--clients C] [--seconds S]
                     [--chips N] [--interval-ms MS] [--sim PATH] [--cli PATH]
The station service in this process over U emulated units (default 8) with a
binary image the size of chip NAME's flash (default SC32F5232JV1G), spoken to
over HTTP on the loopback:
 (a) POST /api/v1/runs {"operation": OP} (default auto) to the first byte of
     the operation's first request on a unit's line, N times (default 50);
     beside it the same job run by a korvex-cli process, fork to that byte;
 (b) the engine's events to an EventSource client, over R runs (default 3)
     at 1000000 baud;
 (c) C event-stream clients (default 100) during off-line production, MS ms
     a chip (default 1), for S seconds (default 20) or N chips: the logic
     thread's longest stall (and which of the stalls a thread that only
     sleeps 5 ms at a time shared), memory at 25 % and at the end, chips,
     events each client received.
--parts picks the parts to run (default abc). korvex-sim and korvex-cli are
the build folder's unless given.
)", {"--parts", "--units", "--chip", "--operation", "--runs", "--gang-runs", "--clients", "--seconds", "--chips",
     "--interval-ms", "--sim", "--cli"});
    const fs::path build = fs::path(currentExecutablePath()).parent_path().parent_path();
    const std::string simExe = args.text("--sim", build / "korvex-sim"), cliExe = args.text("--cli", build / "korvex-cli");
    const std::string parts = args.text("--parts", "abc");
    char tmpl[] = "/tmp/korvex-station-bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    Setup s{tmpl, args.text("--chip", "SC32F5232JV1G"), args.text("--operation", "auto"), args.number("--units", 8)};
    // The station keeps its production records in its own folder, as with
    // no server configured (a server named in the environment is not used).
    unsetenv("KORVEX_RECORDS");
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("station bench: %d units, chip %s, operation %s\n", s.units, s.chip.c_str(), s.operation.c_str());
    std::fflush(stdout);
    bool ok = true;
    try {
        if (parts.find('a') != std::string::npos) ok &= firstRequest(s, simExe, cliExe, args.number("--runs", 50));
        std::fflush(stdout);
        if (parts.find('b') != std::string::npos) ok &= eventLatency(s, simExe, args.number("--gang-runs", 3));
        std::fflush(stdout);
        if (parts.find('c') != std::string::npos)
            ok &= manyClients(s, simExe, args.number("--clients", 100), args.number("--seconds", 20), args.number("--chips", 0),
                              args.text("--interval-ms", "1"));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_station: %s\n", e.what());
        ok = false;
    }
    std::error_code ec;
    fs::remove_all(s.dir, ec);
    return ok ? 0 : 1;
}
