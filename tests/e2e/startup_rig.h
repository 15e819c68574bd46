// A rig for start-up, discovery, firmware and project runs: the emulator and
// hand-made units on pseudo-terminals are started first, the work folder can
// be filled (firmware file, projects) before the program starts, and the
// program's start-up is run with chosen arguments without waiting for the
// device search.
#pragma once

#include "e2e_rig.h"
#include "firmware/firmware_maker.h"

#include "link/frame.h"
#include "shell/checksum.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

namespace kvx::test {

inline std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    uint32_t x = seed * 2246822519u + 3;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

inline void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A hand-made unit on a pseudo-terminal, for answers the emulator does not
// give: each decoded request is handed to `answer`, whose frame (check code
// included, if wanted) goes back escaped between flags; an empty frame is
// no answer.
class FakeUnit {
public:
    using Answer = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& request)>;

    FakeUnit(const std::string& dir, const std::string& name, Answer answer) : answer_(std::move(answer)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char slave[128];
        if (ptsname_r(master_, slave, sizeof slave) != 0) return;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        // The device side stays open here, raw, so the host's closes do not
        // hang the line up.
        device_ = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        tcgetattr(device_, &t);
        cfmakeraw(&t);
        tcsetattr(device_, TCSANOW, &t);
        if (pipe(wake_) != 0) return;
        link_ = dir + "/" + name;
        if (symlink(slave, link_.c_str()) != 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeUnit() {
        if (thread_.joinable()) {
            [[maybe_unused]] ssize_t w = write(wake_[1], "x", 1);
            thread_.join();
        }
        if (!link_.empty()) unlink(link_.c_str());
        for (int fd : {master_, device_, wake_[0], wake_[1]})
            if (fd >= 0) close(fd);
    }
    FakeUnit(const FakeUnit&) = delete;
    FakeUnit& operator=(const FakeUnit&) = delete;

    bool ok() const { return thread_.joinable(); }
    int requests() const { return requests_; }

private:
    void serve() {
        std::vector<uint8_t> run;
        bool inRun = false;
        uint8_t buf[4096];
        for (;;) {
            // Another host's exclusive mode must not outlive it.
            ioctl(device_, TIOCNXCL);
            pollfd pf[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
            if (poll(pf, 2, 5) < 0) continue;
            if (pf[0].revents & POLLIN) return;
            ssize_t n = read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t b = buf[i];
                if (!inRun) {
                    if (b == kFlag) run.assign(1, kFlag), inRun = true;
                    continue;
                }
                if (b == kFlag && run.size() == 1) continue;
                run.push_back(b);
                if (b == kFlag) {
                    handle(run);
                    inRun = false;
                }
            }
        }
    }
    void handle(std::vector<uint8_t>& run) {
        ++requests_;
        std::vector<uint8_t> frame(run.size() + 16);
        uint16_t count = static_cast<uint16_t>(run.size());
        uint16_t len = 0;
        // The device query is shorter than a header: taken as decoded.
        ExtractFrame(run.data(), count, frame.data(), frame.size(), len);
        frame.resize(len);
        std::vector<uint8_t> reply = answer_(frame);
        if (reply.empty()) return;
        std::vector<uint8_t> wire(2 * reply.size() + 7);
        wire.resize(EncodeFrame(reply.data(), reply.size(), wire.data()));
        for (size_t off = 0; off < wire.size();) {
            ssize_t w = write(master_, wire.data() + off, wire.size() - off);
            if (w > 0) off += static_cast<size_t>(w);
            else usleep(1000);
        }
    }

    Answer answer_;
    int master_ = -1, device_ = -1;
    int wake_[2] = {-1, -1};
    std::string link_;
    std::thread thread_;
    std::atomic<int> requests_{0};
};

// A device-information frame: signature, the three free bytes, L, twenty
// bytes, the text and its zero, and the frame check code.
inline std::vector<uint8_t> deviceInfoFrame(const std::string& text, int lengthOverride = -1) {
    std::vector<uint8_t> f = {0xA3, 0xA5, 0x35, 0x0C, 0x00, 0x01, 0, 0};
    f.resize(28, 0);
    f.insert(f.end(), text.begin(), text.end());
    f.push_back(0);
    uint16_t L = lengthOverride >= 0 ? static_cast<uint16_t>(lengthOverride) : static_cast<uint16_t>(f.size() - 8);
    put16(&f[6], L);
    f.resize(f.size() + 2);
    appendFrameCrc(f.data(), f.size() - 2);
    return f;
}

// The emulated units (and hand-made fake units) first, the program started
// by start(), so tests can look at start-up itself.
struct StartupRig : ProgramRig {
    std::vector<std::unique_ptr<FakeUnit>> fakes;

    // Starts `units` emulated units (none when 0); the program is started
    // by start().
    explicit StartupRig(int units, const std::function<void(SimOptions&)>& tune = {}) : ProgramRig(77) {
        if (units > 0) startSim(units, tune);
    }
    ~StartupRig() {
        app.reset();
        fakes.clear();
    }

    FakeUnit& addFake(const std::string& name, FakeUnit::Answer answer) {
        fakes.push_back(std::make_unique<FakeUnit>(portDir, name, std::move(answer)));
        EXPECT_TRUE(fakes.back()->ok());
        return *fakes.back();
    }
    std::string firmwarePath() const { return workDir + "/KorvexSCX.FWR"; }
    void writeFirmware(const std::vector<uint8_t>& bytes) { writeBytes(firmwarePath(), bytes); }

    void start(const std::vector<std::string>& args = {}) { startProgram(args); }
    // Runs the start-up search and then the loop until `expected` channels
    // are connected and no channel is busy, or settleMs has passed.
    void runSearch(int expected, int settleMs = 20000) {
        loop.runUntil([&] { return !app->StartupDone; }, 20000);
        loop.runUntil([&] { return connected() >= expected && !anyBusy(); }, settleMs);
    }

    // Writes bytes as a binary object file and opens it at the start of flash.
    void openImage(const std::vector<uint8_t>& data, const std::string& name = "image.bin") {
        std::string path = workDir + "/" + name;
        writeBytes(path, data);
        openBinary(path);
    }

    // Texts of the log lines (without "> " and the time), in order.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (auto& l : app->log.lines()) out.push_back(lineText(l));
        return out;
    }
    // Index of the first line whose text is t, or -1.
    int indexOf(const std::string& t) const {
        const auto& ls = app->log.lines();
        for (size_t i = 0; i < ls.size(); ++i)
            if (lineText(ls[i]) == t) return static_cast<int>(i);
        return -1;
    }
    // Waits until the emulated units (slots) have taken in a complete
    // firmware upgrade: the host's last frame is still on its way when its
    // channel turns idle.
    bool waitUpgraded(const std::vector<int>& slots, int timeoutMs = 3000) {
        return loop.runUntil(
            [&] {
                for (int s : slots) {
                    bool done = false;
                    sim->withUnit(s, [&](SimUnit& u) { done = u.upgraded; });
                    if (!done) return false;
                }
                return true;
            },
            timeoutMs);
    }
    size_t countDeviceQueries(int unit) const {
        size_t n = 0;
        for (auto& e : sim->trace().events())
            n += e.unit == unit && e.kind == "request" && e.frameLength == 3;
        return n;
    }
};

}  // namespace kvx::test
