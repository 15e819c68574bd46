// Replies on a channel: the device-information check of device search, the
// reply dispatch of every operation step and the off-line status display, on
// a program with scripted prompts, a fixed clock, a seeded random source and
// no ports (requests are built and dropped).
//
// Input: byte 0 gives the slot (low three bits) and flags, byte 1 the
// operation the channel is in, bytes 2..13 the chip and job settings, the
// rest the replies: one raw flagged run, or (flag "frames") a list of
// length-prefixed frames that get their check code and escaping here. With
// bit 5 of byte 2 set the bytes arrive as one block through the port's
// receive path instead (assembler, routing by `connected`, resets made by the
// handlers themselves).
//
// Two programs get the same input. Before each reply the frame buffer of one
// is filled with 0x00 and of the other with 0xFF: whatever they show or do
// must not differ, so no handler reads past the frame it decoded. The
// device-information check and the status display also run on exactly sized
// or poisoned copies, so AddressSanitizer stops any read beyond the frame.
#include "engine/engine_rig.h"
#include "engine/program.h"
#include "fuzz_util.h"
#include "shell/plain_loop.h"
#include "shell/scripted_prompts.h"

#include <algorithm>
#include <vector>

using namespace kvx;
using namespace kvx::fuzz;

namespace {

// The engine test rig (fixed clock, scripted prompts, no ports) with a
// firmware file loaded: upgrade requests need one, and its version decides
// whether a programmer's firmware is older.
struct Rig : kvx::test::EngineRig {
    Rig() {
        p.firmware->loaded = true;
        p.firmware->imageEnd = 0x2FFF;
    }
};

// Flags of byte 0.
constexpr uint8_t kConnected = 0x08;
constexpr uint8_t kAuto = 0x10;
constexpr uint8_t kFrames = 0x20;
constexpr uint8_t kStoredVersion = 0x40;
constexpr uint8_t kFirmwareLoaded = 0x80;
constexpr uint8_t kThroughPort = 0x20;  // of byte 2
constexpr size_t kHeader = 14;

// Puts the channel into the operation byte 1 names, as the launchers do.
void enterStep(Program& p, int slot, uint8_t op) {
    ChannelSession& c = p.ch[slot];
    switch (op % 20) {
    case 0: p.startJobDownload(slot); break;
    case 1: p.startFlashDownload(slot); break;
    case 2: p.startNvmDownload(slot); break;
    case 3: p.startBlankCheck(slot); break;
    case 4: p.startBlankCheckAuto(slot); break;
    case 5: p.startErase(slot, "erase"); break;
    case 6: p.startProgramming(slot, "program"); break;
    case 7: p.startNvmProgramming(slot); break;
    case 8: p.startFlashVerify(slot); break;
    case 9: p.startNvmVerify(slot); break;
    case 10: p.startOptionWrite(slot); break;
    case 11: p.startFlashRead(slot); break;
    case 12:
        p.setupGauge(500, 0, slot);
        c.step = StepReadOption;
        break;
    case 13:
        p.setupGauge(500, 0, slot);
        c.step = StepReadChipId;
        break;
    case 14:
        p.setupGauge(500, 0, slot);
        c.step = StepReadAddress;
        break;
    case 15: p.startFirmwareUpgrade(slot); break;
    case 16: p.finishChannel(0, slot, ""); break;
    default:
        // Any step value, with no block counting under way.
        p.setupGauge(500, 0, slot);
        c.step = op;
        break;
    }
}

void setUp(Rig& r, const uint8_t* h) {
    Program& p = r.p;
    const int slot = h[0] % 8;
    p.firmware->loaded = (h[0] & kFirmwareLoaded) != 0;
    p.firmware->version = {};
    if (h[0] & kStoredVersion) std::copy_n("V2.10", 5, p.firmware->version.begin());
    p.chip.vendor = static_cast<ChipVendor>(h[2] & 3);
    p.job.includeNvm = (h[2] & 4) != 0;
    p.job.writeOptionAfter = (h[2] & 8) != 0;
    p.chip.flashSizeKB = static_cast<uint16_t>(1 + (h[3] | h[4] << 8) % 4096);
    p.chip.eepSize = static_cast<uint16_t>((h[5] | h[6] << 8) % (kNvmSize + 1));
    p.chip.familyOption = h[7];
    p.chip.flashFirst = (h[2] & 0x10) ? 0x08000000u : 0;
    p.chip.flashLast = p.chip.flashFirst + p.chip.flashSizeKB * 1024u - 1;
    p.readAddress = le32At(h + 8);
    p.readLength = static_cast<uint16_t>(h[12] | h[13] << 8);

    ChannelSession& c = p.ch[slot];
    c.rx.reset();
    c.busy = false;
    c.upgrading = false;
    c.autoSequence = false;
    c.connected = true;
    enterStep(p, slot, h[1]);
    if (h[0] & kAuto) c.autoSequence = true;
    c.connected = (h[0] & kConnected) != 0;
}

// What a reply may change that the operator or the next request sees.
void compare(Rig& a, Rig& b, int slot, bool imageMayChange) {
    const ChannelSession& x = a.p.ch[slot];
    const ChannelSession& y = b.p.ch[slot];
    FUZZ_CHECK(x.step == y.step && x.busy == y.busy && x.connected == y.connected && x.upgrading == y.upgrading);
    FUZZ_CHECK(x.blockKB == y.blockKB && x.blockTotalKB == y.blockTotalKB && x.autoSequence == y.autoSequence);
    FUZZ_CHECK(x.okCount == y.okCount && x.ngCount == y.ngCount && x.frameLength == y.frameLength);
    FUZZ_CHECK(x.txBuffer == y.txBuffer);
    FUZZ_CHECK(x.gauge->progress() == y.gauge->progress() && x.gauge->maxValue() == y.gauge->maxValue());
    FUZZ_CHECK(x.gauge->color() == y.gauge->color());
    FUZZ_CHECK(a.log.lines() == b.log.lines());
    FUZZ_CHECK(a.prompts.records.size() == b.prompts.records.size());
    for (size_t i = 0; i < a.prompts.records.size(); ++i)
        FUZZ_CHECK(a.prompts.records[i].text == b.prompts.records[i].text);
    FUZZ_CHECK(a.p.DevicesFound == b.p.DevicesFound && a.p.totalOk == b.p.totalOk && a.p.totalNg == b.p.totalNg);
    FUZZ_CHECK(a.p.ui["InfoPanel"].caption() == b.p.ui["InfoPanel"].caption());
    FUZZ_CHECK(a.p.image->nvmAndOptions == b.p.image->nvmAndOptions);
    if (imageMayChange) FUZZ_CHECK(a.p.image->ImageBuffer == b.p.image->ImageBuffer);
}

// The device-information check on a copy of exactly the decoded frame.
void checkDeviceInfoExact(Program& p, const uint8_t* frame, uint16_t n) {
    std::vector<uint8_t> exact(frame, frame + n);
    std::string text;
    Program::DeviceCheck r = p.CheckDeviceInfo(exact.data(), exact.size(), text);
    FUZZ_CHECK(text.size() <= 127);
    if (r != Program::DeviceCheck::NotAProgrammer) FUZZ_CHECK(text.compare(0, 12, "Korvex200RTQ") == 0);
}

// The status display with the frame buffer poisoned past the frame.
void showStatusPoisoned(Program& p, int slot, const uint8_t* frame, uint16_t n) {
    ChannelSession& c = p.ch[slot];
    std::copy_n(frame, n, c.frameBuffer.begin());
    c.frameLength = n;
    poison(c.frameBuffer.data() + n, c.frameBuffer.size() - n);
    p.showOfflineStatus(slot);
    unpoison(c.frameBuffer.data(), c.frameBuffer.size());
}

void deliver(Rig& a, Rig& b, int slot, const uint8_t* run, uint16_t length) {
    // The frame as the handlers will decode it.
    std::vector<uint8_t> src(run, run + length);
    std::vector<uint8_t> frame(kFrameBufferSize);
    uint16_t count = length, n = 0;
    const bool decoded = ExtractFrame(src.data(), count, frame.data(), frame.size(), n) == kResultOk;

    const bool imageMayChange = a.p.ch[slot].step == StepReadFlash;
    const bool connected = a.p.ch[slot].connected;
    a.p.ch[slot].frameBuffer.fill(0x00);
    b.p.ch[slot].frameBuffer.fill(0xFF);
    if (connected) {
        a.p.handleReply(slot, run, length);
        b.p.handleReply(slot, run, length);
    } else {
        a.p.deviceInfoPath(slot, run, length);
        b.p.deviceInfoPath(slot, run, length);
    }
    compare(a, b, slot, imageMayChange);

    if (decoded) {
        checkDeviceInfoExact(a.p, frame.data(), n);
        showStatusPoisoned(a.p, slot, frame.data(), n);
        showStatusPoisoned(b.p, slot, frame.data(), n);
        compare(a, b, slot, false);
    }
}

// With KVX_FUZZ_VERBOSE set, the information log and the prompts of each
// input are printed (for looking at a reproducer).
void printLog(Rig& r) {
    static const bool verbose = std::getenv("KVX_FUZZ_VERBOSE") != nullptr;
    if (!verbose) return;
    for (const std::string& l : r.log.lines()) std::fprintf(stderr, "  log: %s\n", l.c_str());
    for (const auto& rec : r.prompts.records) std::fprintf(stderr, "  prompt: %s\n", rec.text.c_str());
}

// A block as the port's read thread hands it on: both programs' frame
// buffers are filled differently first, as above.
void receive(Rig& a, Rig& b, int slot, const uint8_t* block, size_t length) {
    const bool imageMayChange = a.p.ch[slot].step == StepReadFlash;
    a.p.ch[slot].frameBuffer.fill(0x00);
    b.p.ch[slot].frameBuffer.fill(0xFF);
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(length, 0xFFFF));
    a.p.receiveData(slot, block, n);
    b.p.receiveData(slot, block, n);
    // A read-back may fill the image at any block of the chain.
    compare(a, b, slot, imageMayChange || a.p.ch[slot].step == StepIdle);
    FUZZ_CHECK(a.p.ch[slot].rx.count() == b.p.ch[slot].rx.count());
}

int runInput(Rig* a, Rig* b, const uint8_t* data, size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* a = new Rig;
    static Rig* b = new Rig;
    int r = runInput(a, b, data, size);
    printLog(*a);
    return r;
}

namespace {

int runInput(Rig* a, Rig* b, const uint8_t* data, size_t size) {
    if (size < kHeader) return 0;
    const int slot = data[0] % 8;
    for (Rig* r : {a, b}) {
        r->log.clear();
        r->prompts.records.clear();
        setUp(*r, data);
    }
    const uint8_t* rest = data + kHeader;
    size_t left = size - kHeader;
    const bool throughPort = (data[2] & kThroughPort) != 0;

    if (!(data[0] & kFrames) && throughPort) {
        receive(*a, *b, slot, rest, left);
        return 0;
    }
    if (!(data[0] & kFrames)) {
        // The rest as one flagged run, as the assembler would hand it on.
        deliver(*a, *b, slot, rest, static_cast<uint16_t>(std::min<size_t>(left, RxAssembler::kCapacity)));
        // And the raw bytes as a status frame.
        uint16_t n = static_cast<uint16_t>(std::min<size_t>(left, kFrameBufferSize));
        showStatusPoisoned(a->p, slot, rest, n);
        showStatusPoisoned(b->p, slot, rest, n);
        compare(*a, *b, slot, false);
        return 0;
    }
    // Frames: two length bytes, then the frame without its check code.
    static std::vector<uint8_t> frame(kFrameBufferSize + 2);
    static std::vector<uint8_t> wire(2 * (kFrameBufferSize + 2) + 7);
    std::vector<uint8_t> block;
    for (int i = 0; i < 16 && left >= 2; ++i) {
        size_t len = static_cast<size_t>(rest[0] | rest[1] << 8) % (kFrameBufferSize - 1);
        rest += 2;
        left -= 2;
        len = std::min(len, left);
        std::copy_n(rest, len, frame.begin());
        rest += len;
        left -= len;
        size_t n = appendFrameCrc(frame.data(), len);
        size_t w = EncodeFrame(frame.data(), n, wire.data()) - kPaddingBytes;
        if (throughPort) block.insert(block.end(), wire.begin(), wire.begin() + static_cast<long>(w + kPaddingBytes));
        else deliver(*a, *b, slot, wire.data(), static_cast<uint16_t>(w));
    }
    if (throughPort) receive(*a, *b, slot, block.data(), block.size());
    return 0;
}

}  // namespace
