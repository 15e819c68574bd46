// Test side of the emulator: a port opened the plain POSIX way and the few
// request frames the tests need, built from the link's frame code.
#pragma once

#include "link/frame.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// A chip as the host describes it in the chip parameter block.
struct TestChip {
    uint8_t familyCode = 0x80;
    uint8_t modelIndex = 0;
    uint8_t familyOption = 0;
    uint16_t flashSizeKB = 64;
    uint32_t flashFirst = 0;
    uint16_t eepSize = 512;
    uint32_t nvmFirst = 0;
    uint8_t jobFlags[6] = {0x48, 0, 0, 0, 0, 0};

    static TestChip lks32();  // LKS, 32 KB, EEP 1024 at 0
    static TestChip cpt();    // CPT, 32 KB at 0x08000000, options at 0x08010000
    static TestChip fg();     // FG, 64 KB at 0x08000000
    static TestChip sc64();   // SC, 64 KB, NVM 512
};

Bytes paramBlock(const TestChip& c);
// Header + payload + check code.
Bytes frame(uint8_t command, uint16_t parameter, const Bytes& payload, const TestChip& c = {});
Bytes wire(const Bytes& frame);
inline Bytes request(uint8_t command, uint16_t parameter, const Bytes& payload, const TestChip& c = {}) {
    return wire(frame(command, parameter, payload, c));
}
Bytes deviceQuery();

// The requests the tests use.
Bytes chipCommand(uint16_t sub, const TestChip& c);                        // 208-byte payload
Bytes optionWrite(const TestChip& c, const Bytes& options128);
Bytes addressRead(const TestChip& c, uint32_t address, uint16_t count);
Bytes flashProgram(uint16_t blockKB, const TestChip& c, const Bytes& data4k);
Bytes nvmProgram(uint16_t blockKB, const TestChip& c, const Bytes& data4k);
Bytes flashRead(uint16_t blockKB, const TestChip& c);
Bytes nvmRead(uint16_t blockKB, const TestChip& c);
Bytes blockDownload(uint8_t command, uint16_t blockKB, const Bytes& data4k, const TestChip& c);
Bytes restart();

struct TestJob {
    TestChip chip;
    uint8_t countLimitEnable = 0;
    uint32_t countLimit = 0;
    uint8_t snEnable = 0;
    uint16_t snIncrement = 1;
    uint32_t snAddress = 0;
    uint32_t snStart = 0;
};
Bytes jobBlock(const TestJob& j);
// The JobDownload request with the job block twice, masked with k0/k1.
Bytes jobDownload(const Bytes& block, uint8_t k0 = 0x6B, uint8_t k1 = 0x2D, const Bytes* second = nullptr);

// A firmware block as the host builds it (mask word m, filler from seed).
Bytes firmwareBlock(int blockIndex, const Bytes& image64k, uint16_t m, uint32_t seed);
Bytes firmwareEnd();

Bytes pattern(size_t n, uint32_t seed);

// A port opened like the host opens it, optionally exclusive (TIOCEXCL and
// flock).
class TestPort {
public:
    explicit TestPort(const std::string& path, bool exclusive = false);
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    bool ok() const { return fd_ >= 0; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    void send(const Bytes& bytes);
    // The next decoded frame (ExtractFrame), waiting up to timeoutMs.
    std::optional<Bytes> frame(int timeoutMs = 2000);
    // Everything that arrives until the line has been quiet for quietMs
    // (or timeoutMs passed).
    Bytes drain(int quietMs, int timeoutMs = 2000);
    // Reads once; -1 with errno on failure, 0 on timeout.
    long readOnce(Bytes& out, int timeoutMs);
    size_t reads() const { return reads_; }
    Bytes& pending() { return pending_; }
    // One request, one decoded reply.
    std::optional<Bytes> transact(const Bytes& wireRequest, int timeoutMs = 2000) {
        send(wireRequest);
        return frame(timeoutMs);
    }

private:
    int fd_ = -1;
    int error_ = 0;
    size_t reads_ = 0;
    Bytes pending_;
};

// Reply helpers.
inline uint16_t payloadLength(const Bytes& f) { return kvx::le16(f.data() + 6); }
inline Bytes payloadOf(const Bytes& f) { return Bytes(f.begin() + 8, f.end() - 2); }
uint8_t resultOf(const Bytes& f);  // CheckReply

}  // namespace simtest
