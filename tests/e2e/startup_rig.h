// A rig for start-up, discovery, firmware and project runs: the emulator and
// hand-made units on pseudo-terminals are started first, the work folder can
// be filled (firmware file, projects) before the program starts, and the
// program's start-up is run with chosen arguments without waiting for the
// device search.
#pragma once

#include "e2e_rig.h"

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

// A firmware file as its producer writes it: the signature XOR 0x2E, the
// version, the words XOR W, the key table, the image scrambled in groups of
// four with two key bytes each (padded to 16-byte steps), a trailer and the
// byte sum.
inline std::vector<uint8_t> makeFirmwareFile(const std::vector<uint8_t>& image, const std::string& version,
                                             uint16_t w, uint16_t imageEnd, uint32_t seed = 7) {
    std::vector<uint8_t> f;
    for (char ch : std::string("KvxFmWr")) f.push_back(static_cast<uint8_t>(ch) ^ 0x2E);
    for (size_t i = 0; i < 8; ++i) f.push_back(i < version.size() ? static_cast<uint8_t>(version[i]) : 0);
    auto word = [&](uint16_t v) {
        f.push_back(static_cast<uint8_t>(v));
        f.push_back(static_cast<uint8_t>(v >> 8));
    };
    word(w);
    word(static_cast<uint16_t>(imageEnd ^ w));
    word(static_cast<uint16_t>(0x0102 ^ w));
    word(static_cast<uint16_t>(0x0304 ^ w));
    word(static_cast<uint16_t>(image.size() ^ w));
    std::vector<uint8_t> key(4096, 0);
    uint32_t x = seed * 2654435761u + 99;
    for (size_t i = 0; i < 3290; ++i) {
        x = x * 1664525u + 1013904223u;
        key[i] = static_cast<uint8_t>(x >> 24);
        f.push_back(key[i]);
    }
    size_t padded = 16 * ((image.size() + 15) / 16);
    size_t c = 0;
    for (size_t at = 0; at < padded; at += 4) {
        for (size_t j = 0; j < 4; ++j) {
            uint8_t s = at + j < image.size() ? image[at + j] : 0;
            f.push_back(static_cast<uint8_t>(s ^ key[c + (j & 1)]));
        }
        c = (c + 4) % 4096;
    }
    for (size_t i = 0; i < 876; ++i) f.push_back(static_cast<uint8_t>(i * 13 + 5));
    uint32_t sum = 0;
    for (uint8_t b : f) sum += b;
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(sum >> (8 * i)));
    return f;
}

inline std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    uint32_t x = seed * 2246822519u + 3;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

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

struct StartupRig {
    std::string portDir = makeTempDir("kvx-e2e-ports");
    std::string workDir = makeTempDir("kvx-e2e-work");
    std::unique_ptr<SimServer> sim;
    std::vector<std::unique_ptr<FakeUnit>> fakes;
    PlainEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SeededRandom rng{77};
    std::unique_ptr<KorvexApp> app;

    // Starts `units` emulated units (none when 0); the program is started
    // by start().
    explicit StartupRig(int units, const std::function<void(SimOptions&)>& tune = {}) {
        setenv("KORVEX_SERIAL_DIR", portDir.c_str(), 1);
        if (units <= 0) return;
        SimOptions o;
        o.units = units;
        o.dir = portDir;
        o.unit.resize(static_cast<size_t>(units));
        if (tune) tune(o);
        sim = std::make_unique<SimServer>(o);
        sim->start();
    }
    ~StartupRig() {
        app.reset();
        fakes.clear();
        sim.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        std::error_code ec;
        std::filesystem::remove_all(portDir, ec);
        std::filesystem::remove_all(workDir, ec);
    }

    FakeUnit& addFake(const std::string& name, FakeUnit::Answer answer) {
        fakes.push_back(std::make_unique<FakeUnit>(portDir, name, std::move(answer)));
        EXPECT_TRUE(fakes.back()->ok());
        return *fakes.back();
    }
    std::string firmwarePath() const { return workDir + "/KorvexSCX.FWR"; }
    void writeFirmware(const std::vector<uint8_t>& bytes) { writeBytes(firmwarePath(), bytes); }

    // The program's start-up with these arguments; the device search runs
    // from the loop 100 ms later.
    void start(const std::vector<std::string>& args = {}) {
        app = std::make_unique<KorvexApp>(loop, prompts, clock, rng);
        app->programFolder = workDir + "/";
        app->firmwareFileName = firmwarePath();
        app->FormShow(args);
    }
    // Runs the start-up search and then the loop until `expected` channels
    // are connected and no channel is busy, or settleMs has passed.
    void runSearch(int expected, int settleMs = 2000) {
        loop.runUntil([&] { return !app->StartupDone; }, 3000);
        loop.runUntil([&] { return connected() >= expected && !anyBusy(); }, settleMs);
    }

    Program& engine() { return app->engine; }

    // Chooses a chip through the chip dialog, as the operator does.
    void chooseChip(const std::string& name) {
        for (int v = 0; v < 4; ++v) {
            const auto& names = chipNames(static_cast<ChipVendor>(v));
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == name) {
                    engine().chip.vendor = static_cast<ChipVendor>(v);
                    prompts.modalScript = [i](Form& f) {
                        if (f.className() != "TChipSelForm") return;
                        f["ListBoxCP"].setItemIndex(static_cast<int>(i));
                        f["BitBtnOK"].click();
                    };
                    app->DevButtonClick();
                    prompts.modalScript = nullptr;
                    return;
                }
        }
        ADD_FAILURE() << "no chip " << name;
    }
    // Writes bytes as a binary object file and opens it at the start of flash.
    void openImage(const std::vector<uint8_t>& data, const std::string& name = "image.bin") {
        std::string path = workDir + "/" + name;
        writeBytes(path, data);
        prompts.openAnswers.push_back(FileChoice{path, 1});
        prompts.modalScript = [](Form& f) {
            if (f.className() == "TFormOfsAddr") f["BitBtn1"].click();
        };
        app->FileOpenBtnClick();
        prompts.modalScript = nullptr;
    }
    bool waitIdle(int timeoutMs = 20000) {
        loop.runFor(5);
        return loop.runUntil([&] { return !anyBusy(); }, timeoutMs);
    }

    int connected() const {
        int n = 0;
        for (auto& c : app->engine.ch) n += c.connected;
        return n;
    }
    bool anyBusy() const {
        for (auto& c : app->engine.ch)
            if (c.busy) return true;
        return false;
    }
    // Texts of the log lines (without "> " and the time), in order.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (auto& l : app->log.lines()) out.push_back(lineText(l));
        return out;
    }
    size_t countText(const std::string& t) const {
        size_t n = 0;
        for (auto& l : app->log.lines()) n += lineText(l) == t;
        return n;
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
    size_t countRequests(int unit, int command) const {
        size_t n = 0;
        for (auto& e : sim->trace().events()) n += e.unit == unit && e.kind == "request" && e.command == command;
        return n;
    }
    size_t countDeviceQueries(int unit) const {
        size_t n = 0;
        for (auto& e : sim->trace().events())
            n += e.unit == unit && e.kind == "request" && e.frameLength == 3;
        return n;
    }
};

}  // namespace kvx::test
