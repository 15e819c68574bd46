// Writes the seed corpora of the fuzz targets, one folder per target, made
// with the program's own writers where it has them (object-file text, project
// file, frames, log configuration) and with the emulator's device reply:
//     make_seeds <corpus folder>
#include "chip/catalogue.h"
#include "firmware/firmware_maker.h"
#include "image/object_files.h"
#include "link/frame.h"
#include "link/requests.h"
#include "log/log_files.h"
#include "project/project_file.h"
#include "shell/text.h"
#include "sim/sim_unit.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace kvx;
using Bytes = std::vector<uint8_t>;

namespace {

std::string root;

void put(const std::string& target, const std::string& name, const Bytes& b) {
    std::string dir = root + "/" + target;
    ::mkdir(root.c_str(), 0777);
    ::mkdir(dir.c_str(), 0777);
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size() || std::fclose(f) != 0) {
        std::perror(name.c_str());
        std::exit(1);
    }
}
void put(const std::string& target, const std::string& name, const std::string& s) {
    put(target, name, Bytes(s.begin(), s.end()));
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes textBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (auto& v : b) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// ---------------------------------------------------------------------------
// Object files: a mode byte and four base bytes, then the text.

Bytes textSeed(uint8_t mode, uint32_t base, const std::string& text) {
    return cat(cat({mode}, le32(base)), textBytes(text));
}

void objectFileSeeds() {
    Bytes image = pattern(0x30000, 3);
    put("hex", "small", textSeed(0, 0, hexText(image.data(), 0, 0x100, 0x17F)));
    put("hex", "linear", textSeed(2, 0x00010000, hexText(image.data(), 0, 0xFFF0, 0x1003F)));
    put("hex", "segment", textSeed(1, 0x1000,
                                   ":020000021000EC\r\n:10000000000102030405060708090A0B0C0D0E0F78\r\n"
                                   ":0400000300001000E9\r\n:04000005000000CD2A\r\n:00000001FF\r\n"));
    put("hex", "faults", textSeed(3, 0x20,
                                  ":10002000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD0\n:0300300001020399\nx\n:1000\n"
                                  ":02000004000AF0\n:0100000609F0\n:020000040001F9\n:0400FFF0DEADBEEFFF\n"));
    put("srec", "s1", textSeed(0, 0, "S00600004844521B\r\n" + sRecordText(image.data(), 0, 0x40, 0x9F)));
    put("srec", "s2", textSeed(2, 0x00010000, sRecordText(image.data(), 0, 0x1FFE0, 0x2001F)));
    Bytes big(0x100, 0x5A);
    put("srec", "s3", textSeed(3, 0x08000000, sRecordText(big.data(), 0x08000000, 0x08000000, 0x080000FF) +
                                                  "S5030001FB\r\n"));
    put("srec", "faults", textSeed(1, 0x10,
                                   "S1130010000102030405060708090A0B0C0D0E0FAC\nS4030000FC\nS1020000\nS3\nS1FF0000\n"
                                   "S2080100000102FF\nQ1\nS105FFFE1122\n"));

    // Binary: control, room, lastOffset, content.
    put("bin", "plain", cat(cat(cat({0}, le32(100)), le32(0)), pattern(300, 5)));
    put("bin", "limited", cat(cat(cat({4}, le32(2000)), le32(63)), pattern(512, 6)));
    put("bin", "roomy", cat(cat(cat({2}, le32(70000)), le32(9)), pattern(64, 7)));
    put("bin", "over1M", cat(cat(cat({0x13}, le32(0x10200)), le32(0)), pattern(32, 8)));
    put("bin", "empty", cat(cat({0}, le32(5)), le32(0)));
}

// ---------------------------------------------------------------------------
// Project and firmware files.

void projectSeeds() {
    ChipProfile chip;
    chooseChip(chip, ChipVendor::SC, 0);
    chip.flashSizeKB = 1;
    chip.eepSize = 16;
    JobSettings job;
    ImageSums sums;
    ProjectWords words;
    SeededRandom rng(11);
    Bytes nvmAndOptions(kNvmSize + kOptionSize, 0x33);
    RequestContext ctx;
    ctx.chip = &chip;
    ctx.job = &job;
    ctx.sums = &sums;
    ctx.words = &words;
    ctx.rng = &rng;
    ctx.nvm = nvmAndOptions.data();
    ctx.options = nvmAndOptions.data() + kNvmSize;
    ctx.chipNameText = chip.chipName;
    ctx.productText = "seed";
    uint8_t block[512];
    buildJobBlock(ctx, block);

    ProjectData d;
    d.chipName = chip.chipName;
    d.objectFileName = "demo.hex";
    d.vendor = static_cast<uint8_t>(ChipVendor::SC);
    d.flashSize = 1024;
    d.eepSize = 16;
    d.loadedFirst = 0;
    d.loadedLast = 0x3FF;
    d.flags = kProjectFlagWriteOptionAfter;
    d.cfg = cfgBlockFromJobBlock(block);
    d.flash = pattern(1024, 9);
    d.nvm = pattern(16, 10);
    put("project", "sc_1k", encodeProjectFile(d, rng));

    d.vendor = static_cast<uint8_t>(ChipVendor::LKS);
    d.chipName = catalogueName(ChipVendor::LKS, 0);
    d.eepSize = 0;
    d.nvm.clear();
    d.flashSize = 2048;
    d.flash = pattern(2048, 12);
    put("project", "lks_2k", encodeProjectFile(d, rng));
}

void firmwareSeeds() {
    put("firmware", "v210", kvx::test::makeFirmwareFile(pattern(1000, 30), "V2.10", 0x3C3C, 0x1400));
    put("firmware", "noversion", kvx::test::makeFirmwareFile(pattern(64, 31), "", 0x0101, 0x1000));
}

// ---------------------------------------------------------------------------
// Frames.

// A reply frame: header, payload, check code.
Bytes replyFrame(uint8_t command, uint16_t parameter, const Bytes& payload) {
    Bytes f(kHeaderSize + payload.size() + 2);
    FrameHeader h;
    h.command = command;
    h.parameter = parameter;
    h.modelCode = 12;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    writeHeader(f.data(), h);
    std::copy(payload.begin(), payload.end(), f.begin() + kHeaderSize);
    appendFrameCrc(f.data(), kHeaderSize + payload.size());
    return f;
}
Bytes wireOf(const Bytes& frame) {
    Bytes w(2 * frame.size() + 7);
    w.resize(EncodeFrame(frame.data(), frame.size(), w.data()));
    return w;
}
Bytes statusFrame(uint8_t stage, uint8_t result, uint16_t p, uint16_t t) {
    auto s = offlineStatusFrame(stage, result, p, t);
    return Bytes(s.begin(), s.end());
}

// The emulator's answer to the device query.
Bytes deviceInfoWire(const std::string& version, const std::string& text = "") {
    SimUnitOptions o;
    o.version = version;
    o.infoText = text;
    SimUnit unit(1, o, nullptr);
    std::vector<SimOutput> out;
    unit.handleRun(kDeviceQuery, 5, 0, out);
    Bytes w;
    for (auto& o2 : out) w.insert(w.end(), o2.wire.begin(), o2.wire.end());
    return w;
}
// The frame inside a wire form, without its check code.
Bytes frameOf(const Bytes& wire) {
    Bytes src = wire, f(kFrameBufferSize);
    uint16_t count = static_cast<uint16_t>(src.size()), n = 0;
    if (ExtractFrame(src.data(), count, f.data(), f.size(), n) != 0 || n < 2) std::exit(2);
    f.resize(n - 2);
    return f;
}

void framesSeeds() {
    Bytes info = deviceInfoWire("V2.10");
    Bytes stream = cat(info, wireOf(replyFrame(kCmdChip, kSubBlankCheck, {0x06})));
    stream = cat(stream, {0xC0, 0xC0});
    stream = cat(stream, wireOf(statusFrame(0x40, 0, 12, 64)));
    stream = cat(stream, {0x11, 0xDB, 0xC0, 0xDB, 0xDC, 0xC0});
    put("frames", "mixed", cat(stream, {0x03, 0x80, 0x21, 0x07}));
    Bytes data = pattern(4096, 40);
    data[5] = kFlag;
    data[6] = kEscape;
    put("frames", "block", cat(wireOf(replyFrame(kCmdFlashBlockRead, 4, data)), {0x40, 0x01, 0xFF}));
    Bytes stuffed(600, kFlag);
    put("frames", "stuffed", cat(wireOf(replyFrame(kCmdNvmBlockRead, 0, stuffed)), {0x10, 0x02}));
}

// Device replies: the 14 header bytes, then a raw run or length-prefixed
// frames (without check code).
Bytes deviceHeader(uint8_t b0, uint8_t op, uint8_t b2, uint16_t flashKB, uint16_t eep, uint8_t familyOption = 0,
                   uint32_t readAddress = 0, uint16_t readLength = 0) {
    Bytes h{b0, op, b2, uint8_t(flashKB - 1), uint8_t((flashKB - 1) >> 8), uint8_t(eep), uint8_t(eep >> 8), familyOption};
    h = cat(h, le32(readAddress));
    h.push_back(static_cast<uint8_t>(readLength));
    h.push_back(static_cast<uint8_t>(readLength >> 8));
    return h;
}
Bytes framesPart(const std::vector<Bytes>& frames) {
    Bytes out;
    for (const Bytes& f : frames) {
        out.push_back(static_cast<uint8_t>(f.size()));
        out.push_back(static_cast<uint8_t>(f.size() >> 8));
        out = cat(out, f);
    }
    return out;
}
Bytes result(uint8_t command, uint16_t parameter, uint8_t code) {
    Bytes f = replyFrame(command, parameter, {code});
    f.resize(f.size() - 2);
    return f;
}
Bytes dataReply(uint8_t command, const Bytes& payload) {
    Bytes f = replyFrame(command, 0, payload);
    f.resize(f.size() - 2);
    return f;
}

void deviceSeeds() {
    const uint8_t conn = 0x08, autoSeq = 0x10, frames = 0x20, stored = 0x40, loaded = 0x80;
    // Device search: a programmer, an older one (upgrade), a foreign device.
    put("device", "info", cat(deviceHeader(0, 16, 0, 64, 0), deviceInfoWire("V2.10")));
    put("device", "info_older", cat(deviceHeader(3 | frames | stored | loaded, 16, 0, 64, 0),
                                    framesPart({frameOf(deviceInfoWire("V2.00")), result(kCmdFirmwareBlock, 0, 0)})));
    put("device", "info_foreign", cat(deviceHeader(5, 16, 0, 64, 0), deviceInfoWire("", "Some Other Box 1.0")));
    // Status frames: raw and framed.
    put("device", "status_raw", cat(deviceHeader(1, 16, 0, 64, 0), statusFrame(0xF0, 0x06, 0, 0)));
    put("device", "status_run", cat(deviceHeader(2 | conn, 16, 0, 64, 0), wireOf(statusFrame(0x40, 0, 0, 64))));
    put("device", "status_framed", cat(deviceHeader(2 | conn | frames, 16, 0, 64, 0),
                                       framesPart({statusFrame(0xF0, 0x0B, 0, 0), statusFrame(0x10, 0, 0, 0)})));
    // Operations.
    put("device", "blank_auto", cat(deviceHeader(0 | conn | frames, 4, 0, 4, 0),
                                    framesPart({result(kCmdChip, kSubBlankCheck, 0x15), result(kCmdChip, 3, 0x00),
                                                result(kCmdFlashBlockProgram, 0, 0x00),
                                                dataReply(kCmdFlashBlockRead, Bytes(4096, 0))})));
    put("device", "download", cat(deviceHeader(1 | conn | frames, 0, 4, 8, 16),
                                  framesPart({result(kCmdJobDownload, 0, 0), result(kCmdFlashBlockDownload, 0, 0),
                                              result(kCmdFlashBlockDownload, 4, 0), result(kCmdNvmBlockDownload, 0, 6)})));
    put("device", "verify_nvm", cat(deviceHeader(4 | conn | frames, 9, 3, 4, 16),
                                    framesPart({dataReply(kCmdNvmBlockRead, pattern(16, 50))})));
    put("device", "read_flash", cat(deviceHeader(6 | conn | frames, 11, 0, 8, 0),
                                    framesPart({dataReply(kCmdFlashBlockRead, pattern(4096, 51)),
                                                dataReply(kCmdFlashBlockRead, pattern(4096, 52))})));
    put("device", "option_cpt", cat(deviceHeader(7 | conn | frames, 12, 1, 32, 0, 0x20),
                                    framesPart({dataReply(kCmdChip, pattern(32, 53))})));
    put("device", "option_lks", cat(deviceHeader(7 | conn | frames, 12, 0, 32, 0),
                                    framesPart({dataReply(kCmdChip, pattern(14, 54))})));
    put("device", "chip_id", cat(deviceHeader(0 | conn | frames, 13, 0, 32, 0),
                                 framesPart({dataReply(kCmdChip, pattern(12, 55))})));
    put("device", "read_address", cat(deviceHeader(1 | conn | frames, 14, 0, 32, 0, 0, 0x08001000, 64),
                                      framesPart({dataReply(kCmdChip, pattern(64, 56))})));
    put("device", "upgrade", cat(deviceHeader(2 | conn | frames | loaded | autoSeq, 15, 0, 32, 0),
                                 framesPart({result(kCmdFirmwareBlock, 0, 0), result(kCmdFirmwareBlock, 4, 0),
                                             result(kCmdFirmwareBlock, 8, 0), result(kCmdFirmwareBlock, 12, 0)})));
    // Through the port's receive path: a reply split over the stream with
    // noise around it, and a chain of replies in one block.
    Bytes noisy = cat(Bytes{0x00, 0x55, 0xC0}, deviceInfoWire("V2.10"));
    put("device", "port_info", cat(deviceHeader(4, 16, 0x20, 64, 0), cat(noisy, wireOf(statusFrame(0x20, 0, 0, 0)))));
    put("device", "port_chain", cat(deviceHeader(5 | conn | frames, 0, 0x24, 4, 16),
                                    framesPart({result(kCmdJobDownload, 0, 0), result(kCmdFlashBlockDownload, 0, 0),
                                                result(kCmdNvmBlockDownload, 0, 0), statusFrame(0x30, 0, 0, 0)})));
    put("device", "bad_escape", cat(deviceHeader(3 | conn, 8, 0, 4, 0), Bytes{0xC0, 0x93, 0xDB, 0x01, 0xC0}));
}

// ---------------------------------------------------------------------------
// Numbers and the log configuration.

void textSeeds() {
    const char* numbers[] = {"123", "  -42", "+0x7FFFFFFF", "$FFFFFFFF", "x80000000", "-9223372036854775808",
                             "0XFFFFFFFFFFFFFFFF", "2147483648", "12a", "-$1", "0x", ""};
    int i = 0;
    for (const char* n : numbers) put("int", "n" + std::to_string(i++), std::string(n));

    LogConfig c;
    put("logcfg", "default", joinCrLf(logConfigLines(c)));
    c.enabled = false;
    c.createMode = 1;
    c.userMode = 2;
    c.userFileName = "line7.log";
    put("logcfg", "user_append", joinCrLf(logConfigLines(c)));
    put("logcfg", "lf_unknown", std::string("[ConfigLog]\nEnLog\nCustomer\nCusDef1\nColour=7\nSpcFile=\n[EndCfg]\nDnLog\n"));
    put("logcfg", "not_config", std::string("[Config]\r\nEnLog\r\n"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <corpus folder>\n");
        return 2;
    }
    root = argv[1];
    objectFileSeeds();
    projectSeeds();
    firmwareSeeds();
    framesSeeds();
    deviceSeeds();
    textSeeds();
    return 0;
}
