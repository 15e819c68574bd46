// Helpers for the serial tests: a real kernel pseudo-terminal pair whose
// slave a TComm opens through a port folder (KORVEX_SERIAL_DIR), and a loop
// that counts what the ports post.
#pragma once

#include "shell/plain_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvx::testing {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// Counts the events the ports post, so a test can tell that an event is
// waiting in the queue without running it.
class CountingLoop : public PlainEventLoop {
public:
    void post(std::function<void()> fn) override {
        posts.fetch_add(1);
        PlainEventLoop::post(std::move(fn));
    }
    // Waits (without running anything) until more than `than` posts were made.
    bool waitPosts(int than, int timeoutMs) {
        auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (posts.load() <= than) {
            if (SteadyClock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    std::atomic<int> posts{0};
};

// One pseudo-terminal pair. The test plays the programmer unit on the master;
// the slave stays open here too, as the emulator keeps it, so its line
// settings can be read back while the port is closed. The slave starts with
// the kernel's cooked settings (echo, line editing, CR/LF mapping, XON/XOFF),
// as a real tty might: the port must make it raw itself.
class Pty {
public:
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        slavePath = name;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        termios t{};
        tcgetattr(slave, &t);
        t.c_iflag |= ICRNL | IXON | IXOFF;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        closeMaster();
        if (slave >= 0) ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // Writes every byte (waiting while the line is full); false on error.
    bool write(const Bytes& b) const {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t n = ::write(master, b.data() + done, b.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master, POLLOUT, 0};
                poll(&p, 1, 10);
            } else {
                return false;
            }
        }
        return true;
    }
    // Reads until n bytes came or the time is up.
    Bytes read(size_t n, int timeoutMs) const {
        Bytes out;
        auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t buf[4096];
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now()).count();
            if (left <= 0) break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            ssize_t r = ::read(master, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) out.insert(out.end(), buf, buf + r);
            else if (r < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        return out;
    }
    // Whatever arrives within ms milliseconds.
    Bytes drain(int ms) const { return read(SIZE_MAX, ms); }

    int master = -1;
    int slave = -1;
    std::string slavePath;
};

// A temporary port folder named by KORVEX_SERIAL_DIR for the life of the
// object (the previous value is restored).
class PortDir {
public:
    PortDir() {
        char tmpl[] = "/tmp/kvx-ports-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
        if (const char* old = std::getenv("KORVEX_SERIAL_DIR")) saved_ = old;
        setenv("KORVEX_SERIAL_DIR", path.c_str(), 1);
    }
    ~PortDir() {
        if (saved_) setenv("KORVEX_SERIAL_DIR", saved_->c_str(), 1);
        else unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    PortDir(const PortDir&) = delete;
    PortDir& operator=(const PortDir&) = delete;

    void link(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, path + "/" + name);
    }
    void file(const std::string& name) const { std::ofstream(path + "/" + name) << "not a tty\n"; }
    void remove(const std::string& name) const { std::filesystem::remove(path + "/" + name); }

    std::string path;

private:
    std::optional<std::string> saved_;
};

// Bytes 0..255 repeated, shifted by seed, so every byte value (XON, XOFF,
// CR, LF, ^C, the flag byte) crosses the line.
inline Bytes pattern(size_t n, unsigned seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return b;
}


}  // namespace kvx::testing
