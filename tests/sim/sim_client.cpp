#include "sim_client.h"

#include "shell/checksum.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace kvx;

namespace simtest {

TestChip TestChip::lks32() {
    TestChip c;
    c.familyCode = 0x00;
    c.flashSizeKB = 32;
    c.eepSize = 1024;
    c.jobFlags[0] = 0x40;
    c.jobFlags[3] = 0x42;
    return c;
}
TestChip TestChip::cpt() {
    TestChip c;
    c.familyCode = 0x40;
    c.familyOption = 0x20;
    c.flashSizeKB = 32;
    c.flashFirst = 0x08000000;
    c.eepSize = 0;
    c.nvmFirst = 0x08010000;
    c.jobFlags[0] = 0x40;
    c.jobFlags[5] = 0x01;
    return c;
}
TestChip TestChip::fg() {
    TestChip c = cpt();
    c.familyCode = 0x10;
    c.familyOption = 0;
    c.flashSizeKB = 64;
    c.jobFlags[0] = 0x4C;
    c.jobFlags[5] = 0;
    return c;
}
TestChip TestChip::sc64() { return TestChip{}; }

Bytes paramBlock(const TestChip& c) {
    Bytes b(64, 0);
    b[3] = 0x0C;
    b[4] = c.familyCode;
    b[5] = c.modelIndex;
    b[6] = 0x77;
    put16(&b[17], static_cast<uint16_t>(c.flashSizeKB * 4));
    put16(&b[20], c.flashSizeKB);
    put16(&b[22], c.flashSizeKB);
    put16(&b[24], 1024);
    put16(&b[26], c.eepSize);
    b[29] = 1;
    put16(&b[30], static_cast<uint16_t>(c.nvmFirst));
    for (int i = 0; i < 6; ++i) b[32 + i] = c.jobFlags[i];
    put32(&b[38], c.flashFirst);
    put16(&b[46], static_cast<uint16_t>(c.nvmFirst >> 16));
    b[60] = c.familyOption;
    return b;
}

Bytes frame(uint8_t command, uint16_t parameter, const Bytes& payload, const TestChip& c) {
    Bytes f(8 + payload.size() + 2);
    FrameHeader h;
    h.command = command;
    h.parameter = parameter;
    h.modelCode = 0x0C;
    h.familyCode = c.familyCode;
    h.modelIndex = c.modelIndex;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    writeHeader(f.data(), h);
    std::copy(payload.begin(), payload.end(), f.begin() + 8);
    appendFrameCrc(f.data(), 8 + payload.size());
    return f;
}

Bytes wire(const Bytes& f) {
    Bytes w(2 * f.size() + 7);
    w.resize(EncodeFrame(f.data(), f.size(), w.data()));
    return w;
}

Bytes deviceQuery() { return Bytes(kDeviceQuery, kDeviceQuery + 10); }

Bytes chipCommand(uint16_t sub, const TestChip& c) {
    Bytes p = paramBlock(c);
    p.resize(208, 0);
    return request(0x93, sub, p, c);
}

Bytes optionWrite(const TestChip& c, const Bytes& options128) {
    Bytes p = paramBlock(c);
    p.insert(p.end(), options128.begin(), options128.end());
    return request(0x93, 0x35, p, c);
}

Bytes addressRead(const TestChip& c, uint32_t address, uint16_t count) {
    Bytes p = paramBlock(c);
    put32(&p[48], address);
    put16(&p[52], count);
    return request(0x93, 0x79, p, c);
}

Bytes flashProgram(uint16_t blockKB, const TestChip& c, const Bytes& data4k) {
    Bytes p = paramBlock(c);
    p.insert(p.end(), data4k.begin(), data4k.end());
    return request(0x95, blockKB, p, c);
}

Bytes nvmProgram(uint16_t blockKB, const TestChip& c, const Bytes& data4k) {
    Bytes p = paramBlock(c);
    p.insert(p.end(), data4k.begin(), data4k.end());
    return request(0x99, blockKB, p, c);
}

Bytes flashRead(uint16_t blockKB, const TestChip& c) {
    Bytes p = paramBlock(c);
    p.resize(208, 0);
    return request(0x9B, blockKB, p, c);
}

Bytes nvmRead(uint16_t blockKB, const TestChip& c) {
    Bytes p = paramBlock(c);
    p.resize(208, 0);
    return request(0x9D, blockKB, p, c);
}

Bytes blockDownload(uint8_t command, uint16_t blockKB, const Bytes& data4k, const TestChip& c) {
    return request(command, blockKB, data4k, c);
}

Bytes restart() {
    Bytes f = {0x8A, 'R', 'E', 'S', 'T', 0xA8, 0x02, 0x00, 0x00, 0x00, 0, 0};
    appendFrameCrc(f.data(), 10);
    return wire(f);
}

Bytes jobBlock(const TestJob& j) {
    Bytes b(512, 0);
    b[0] = 0x5A;
    b[1] = 0x57;
    b[2] = 0x4C;
    b[3] = 0x50;
    Bytes pb = paramBlock(j.chip);
    put16(&pb[10], 0x1234);
    std::copy(pb.begin(), pb.end(), b.begin() + 4);
    b[68] = j.snEnable;
    b[69] = 4;
    put16(&b[70], j.snIncrement);
    put32(&b[72], j.snAddress);
    put32(&b[76], j.snStart);
    b[84] = j.countLimitEnable;
    put32(&b[86], j.countLimit);
    for (int i = 0; i < 128; ++i) b[112 + i] = static_cast<uint8_t>(0xF0 + (i & 0x0F));
    b[240] = '?';
    const char* name = "app.hex";
    std::memcpy(&b[256], name, std::strlen(name));
    for (int i = 0; i < 64; ++i) b[304 + i] = static_cast<uint8_t>(i * 13 % 255);
    put16(&b[508], flashCrc16(b.data(), 0, 507));
    uint32_t sum = 0;
    for (int i = 0; i < 510; ++i) sum += b[i];
    put16(&b[510], static_cast<uint16_t>(sum));
    return b;
}

Bytes jobDownload(const Bytes& block, uint8_t k0, uint8_t k1, const Bytes* second) {
    Bytes p = block;
    const Bytes& b2 = second ? *second : block;
    p.insert(p.end(), b2.begin(), b2.end());
    for (size_t i = 0; i < p.size(); ++i) p[i] ^= static_cast<uint8_t>((i & 1 ? k1 : k0) | 0x80);
    return request(0x53, 0, p);
}

Bytes firmwareBlock(int b, const Bytes& image, uint16_t m, uint32_t seed) {
    Bytes f(4138, 0);
    f[0] = 0xB7;
    f[1] = static_cast<uint8_t>(b * 4);
    put16(&f[2], m);
    f[4] = static_cast<uint8_t>(seed);
    f[5] = static_cast<uint8_t>(seed >> 8);
    put16(&f[6], 4128);
    Bytes filler = pattern(2080, seed);
    for (size_t g = 0; g < 520; ++g) {
        for (int k = 0; k < 3; ++k) f[8 + 2048 + 4 * g + k] = static_cast<uint8_t>(filler[4 * g + k] % 255);
        f[8 + 2048 + 4 * g + 3] = 0;
    }
    size_t base = (static_cast<size_t>(b) * 2048) % 65536;
    const uint8_t ml = static_cast<uint8_t>(m), mh = static_cast<uint8_t>(m >> 8);
    for (size_t i = 0; i < 512; ++i) {
        const uint8_t* s = &image[base + 4 * i];
        const uint8_t* k = &f[8 + 2048 + 4 * i];
        uint8_t* d = &f[8 + 4 * i];
        d[0] = s[0] ^ ml ^ k[0];
        d[1] = s[1] ^ mh ^ k[1];
        d[2] = s[2] ^ ml ^ k[2];
        d[3] = k[3];
    }
    appendFrameCrc(f.data(), 4136);
    return wire(f);
}

Bytes firmwareEnd() {
    Bytes f = {0xBD, 0x00, 0x52, 0x53, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0, 0};
    appendFrameCrc(f.data(), 10);
    return wire(f);
}

Bytes pattern(size_t n, uint32_t seed) {
    Bytes v(n);
    uint32_t s = seed * 747796405u + 2891336453u;
    for (auto& b : v) {
        s = s * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(s >> 24);
    }
    return v;
}

uint8_t resultOf(const Bytes& f) { return CheckReply(f.data(), f.size()); }

TestPort::TestPort(const std::string& path, bool exclusive) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if (exclusive) {
        if (ioctl(fd_, TIOCEXCL) != 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

TestPort::~TestPort() {
    if (fd_ >= 0) ::close(fd_);
}

void TestPort::send(const Bytes& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = ::write(fd_, bytes.data() + off, bytes.size() - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            pollfd pf{fd_, POLLOUT, 0};
            poll(&pf, 1, 100);
        } else {
            return;
        }
    }
}

long TestPort::readOnce(Bytes& out, int timeoutMs) {
    pollfd pf{fd_, POLLIN, 0};
    int r = poll(&pf, 1, timeoutMs);
    if (r <= 0) return 0;
    uint8_t buf[65536];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    if (n == 0) return -1;
    ++reads_;
    out.insert(out.end(), buf, buf + n);
    return n;
}

std::optional<Bytes> TestPort::frame(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // A complete run: opening flag, at least one byte, closing flag.
        size_t start = 0;
        while (start < pending_.size() && pending_[start] != kFlag) ++start;
        if (start < pending_.size()) {
            size_t open = start;
            while (open + 1 < pending_.size() && pending_[open + 1] == kFlag) ++open;
            size_t close = open + 1;
            while (close < pending_.size() && pending_[close] != kFlag) ++close;
            if (close < pending_.size()) {
                Bytes run(pending_.begin() + static_cast<long>(open), pending_.begin() + static_cast<long>(close) + 1);
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(close) + 1);
                Bytes dest(16384);
                uint16_t count = static_cast<uint16_t>(run.size()), len = 0;
                uint8_t rc = ExtractFrame(run.data(), count, dest.data(), dest.size(), len);
                dest.resize(len);
                if (rc == kResultOk) return dest;
                continue;
            }
        }
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) return std::nullopt;
        if (readOnce(pending_, left) < 0) return std::nullopt;
    }
}

Bytes TestPort::drain(int quietMs, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes out;
    out.swap(pending_);
    while (std::chrono::steady_clock::now() < deadline) {
        if (readOnce(out, quietMs) <= 0) break;
    }
    return out;
}

}  // namespace simtest
