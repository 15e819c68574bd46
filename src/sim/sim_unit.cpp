#include "sim/sim_unit.h"

#include "link/frame.h"
#include "shell/checksum.h"
#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

namespace {

constexpr size_t kBlock = 4096;
constexpr size_t kParamBlock = 64;

uint8_t maskByte(uint16_t parameter, bool odd) {
    return odd ? static_cast<uint8_t>(((parameter >> 8) ^ kJobMaskK1) | 0x80)
               : static_cast<uint8_t>(((parameter & 0xFF) ^ kJobMaskK0) | 0x80);
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> wire(2 * frame.size() + 7);
    wire.resize(EncodeFrame(frame.data(), frame.size(), wire.data()));
    return wire;
}

// Bytes that carry no flag, for the garbage and flood faults.
std::vector<uint8_t> noFlagBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t s = seed * 2654435761u + 12345;
    for (auto& b : v) {
        s = s * 1103515245u + 12345;
        b = static_cast<uint8_t>(s >> 16);
        if (b == kFlag) b = 0x3C;
    }
    return v;
}

uint16_t blocksOf(uint32_t bytes, uint32_t blockSize) {
    return static_cast<uint16_t>((bytes + blockSize - 1) / blockSize);
}

}  // namespace

void maskJobPayload(uint8_t* payload, size_t n, uint16_t parameter) {
    for (size_t i = 0; i < n; ++i) payload[i] ^= maskByte(parameter, i & 1);
}

bool jobBlockValid(const uint8_t* b) {
    static const uint8_t sig[4] = {0x5A, 0x57, 0x4C, 0x50};
    if (std::memcmp(b, sig, 4) != 0) return false;
    if (flashCrc16(b, 0, 507) != le16(b + 508)) return false;
    uint32_t sum = 0;
    for (size_t i = 0; i < 510; ++i) sum += b[i];
    return static_cast<uint16_t>(sum) == le16(b + 510);
}

std::array<uint8_t, 8> offlineStatusFrame(uint8_t stage, uint8_t result, uint16_t progress, uint16_t total) {
    std::array<uint8_t, 8> f{kCmdOfflineStatus, stage, result, 0, 0, 0, 0, 0};
    put16(&f[3], progress);
    put16(&f[5], total);
    uint8_t sum = 0;
    for (size_t i = 0; i < 7; ++i) sum = static_cast<uint8_t>(sum + f[i]);
    f[7] = static_cast<uint8_t>(0x100 - sum);
    return f;
}

SimUnit::SimUnit(int number, const SimUnitOptions& options, SimTrace* trace)
    : number_(number), opts_(options), trace_(trace) {
    version = opts_.version;
    firmwareImage.assign(kSimFirmwareImage, 0);
    if (opts_.uidSet) {
        chip.uid = opts_.uid;
    } else {
        const uint8_t base[12] = {0x4B, 0x56, 0x58, 0x32, 0x30, 0x30, 0x00, 0x00, 0x10, 0x20, 0x30, 0x40};
        std::copy(base, base + 12, chip.uid.begin());
        chip.uid[6] = static_cast<uint8_t>(number);
        chip.uid[7] = static_cast<uint8_t>(number * 37 + 11);
    }
}

void SimUnit::trace(SimTraceEvent e) {
    if (!trace_) return;
    e.unit = number_;
    trace_->add(std::move(e));
}

std::string SimUnit::infoText() const {
    if (!opts_.infoText.empty()) return opts_.infoText;
    return opts_.model + " " + version + ", Unit " + std::to_string(number_);
}

const SimFault* SimUnit::resultFault(uint8_t command, uint16_t parameter) const {
    for (const auto& f : opts_.faults)
        if (f.kind == SimFaultKind::Result && f.command == command && (f.sub < 0 || f.sub == parameter)) return &f;
    return nullptr;
}

void SimUnit::reply(const uint8_t* request, const std::vector<uint8_t>& payload, double notBeforeMs,
                    std::vector<SimOutput>& out, SimTraceEvent& ev) {
    std::vector<uint8_t> frame(kHeaderSize + payload.size() + 2);
    std::memcpy(frame.data(), request, 6);
    put16(frame.data() + 6, static_cast<uint16_t>(payload.size()));
    if (!payload.empty()) std::memcpy(frame.data() + kHeaderSize, payload.data(), payload.size());
    appendFrameCrc(frame.data(), kHeaderSize + payload.size());
    const SimFault* bad = opts_.fault(SimFaultKind::BadCrc);
    bool corrupt = bad && requests >= bad->count;
    if (corrupt) frame[frame.size() - 2] ^= 0x5A;

    SimOutput o;
    o.notBeforeMs = notBeforeMs;
    if (const SimFault* g = opts_.fault(SimFaultKind::Flood)) o.wire = noFlagBytes(g->count, requests);
    if (const SimFault* g = opts_.fault(SimFaultKind::Garbage)) {
        auto bytes = noFlagBytes(g->count, requests + 7);
        o.wire.insert(o.wire.end(), bytes.begin(), bytes.end());
    }
    size_t prefix = o.wire.size();
    auto wire = encode(frame);
    // Bit errors hit the flagged part of the wire form (flags and escapes
    // included, the padding behind the closing flag left alone). The places
    // follow from the unit number and the request number alone, so a run is
    // repeatable and a reply's damage does not depend on the ones before.
    std::string flips;
    const SimFault* be = opts_.fault(SimFaultKind::BitErrors);
    if (be && requests >= be->count) {
        const size_t flagged = wire.size() - kPaddingBytes;
        uint32_t state = static_cast<uint32_t>(number_) * 2654435761u ^ requests * 0x9E3779B9u;
        for (uint32_t k = 0; k < be->bits; ++k) {
            state = state * 1664525u + 1013904223u;
            uint32_t x = state;  // mixed, so that low and high bits are both usable
            x = (x ^ (x >> 16)) * 0x7FEB352Du;
            x = (x ^ (x >> 15)) * 0x846CA68Bu;
            x ^= x >> 16;
            int bit = static_cast<int>(x & 7);
            size_t at = (x >> 3) % flagged;
            wire[at] = static_cast<uint8_t>(wire[at] ^ (1u << bit));
            flips += format("%sbit %d of wire byte %d", flips.empty() ? "" : ", ", bit, static_cast<int>(at));
        }
    }
    o.wire.insert(o.wire.end(), wire.begin(), wire.end());
    if (const SimFault* s = opts_.fault(SimFaultKind::Split)) o.pieceSize = s->count;

    SimTraceEvent r;
    r.kind = "reply";
    r.command = frame[0];
    r.parameter = le16(frame.data() + 1);
    r.payloadLength = static_cast<int>(payload.size());
    r.frameLength = frame.size();
    r.wireLength = o.wire.size();
    r.result = payload.size() <= 2 ? (payload.empty() ? -1 : payload[0]) : -1;
    if (corrupt) r.note = "wrong check code";
    if (!flips.empty()) r.note += (r.note.empty() ? "" : ", ") + flips + " flipped";
    if (prefix) r.note += (r.note.empty() ? "" : ", ") + std::to_string(prefix) + " bytes without flags first";
    if (notBeforeMs > 0) {
        if (!r.note.empty()) r.note += ", ";
        r.note += format("sent at %.1f ms", notBeforeMs);
    }
    ev.result = r.result;
    out.push_back(std::move(o));
    pendingReplies_.push_back(std::move(r));
}

void SimUnit::resultReply(const uint8_t* request, uint8_t code, double notBeforeMs, std::vector<SimOutput>& out,
                          SimTraceEvent& ev) {
    reply(request, std::vector<uint8_t>{code}, notBeforeMs, out, ev);
}

void SimUnit::deviceInfo(std::vector<SimOutput>& out, SimTraceEvent& ev) {
    std::string text = infoText();
    std::vector<uint8_t> payload(20, 0);
    std::copy(chip.uid.begin(), chip.uid.end(), payload.begin());
    payload.insert(payload.end(), text.begin(), text.end());
    payload.push_back(0);
    const uint8_t head[6] = {0xA3, 0xA5, 0x35, 0x0C, 0x00, static_cast<uint8_t>(number_)};
    reply(head, payload, 0, out, ev);
    pendingReplies_.back().note = "device information \"" + text + "\"" +
                                  (pendingReplies_.back().note.empty() ? "" : ", " + pendingReplies_.back().note);
    pendingReplies_.back().result = -1;
    ev.result = -1;
}

void SimUnit::useChip(const uint8_t* block) {
    std::copy(block, block + lastParameterBlock.size(), lastParameterBlock.begin());
    ChipGeometry g = ChipGeometry::fromParameterBlock(block);
    if (!chip.present || !chip.geometry.sameChip(g)) {
        chip.insert(g, opts_.fault(SimFaultKind::NotBlank) != nullptr);
        chip.writeProtected = opts_.fault(SimFaultKind::WriteProtect) != nullptr;
        chip.readProtected = opts_.fault(SimFaultKind::ReadProtect) != nullptr;
    }
    chip.geometry = g;
}

void SimUnit::handleRun(const uint8_t* run, size_t n, double nowMs, std::vector<SimOutput>& out) {
    ++requests;
    pendingReplies_.clear();
    SimTraceEvent ev;
    ev.kind = "request";
    ev.wireLength = n;

    bool silent = opts_.fault(SimFaultKind::Silent) != nullptr;
    if (const SimFault* s = opts_.fault(SimFaultKind::SilentAfter)) silent = silent || requests > s->count;

    std::vector<uint8_t> src(run, run + n);
    std::vector<uint8_t> f(std::max<size_t>(n, 16));
    uint16_t count = static_cast<uint16_t>(std::min<size_t>(n, 0xFFFF));
    uint16_t len = 0;
    uint8_t rc = ExtractFrame(src.data(), count, f.data(), f.size(), len);
    f.resize(len);
    ev.frameLength = len;

    const SimFault* hang = opts_.fault(SimFaultKind::Hangup);
    if (silent || (hang && hang->count == 0)) {
        if (len >= kHeaderSize) {
            ev.command = f[0];
            ev.parameter = le16(&f[1]);
        }
        // A unit set to hang up after no answer at all goes at its first request.
        if (!silent) hangupDue_ = true;
        ev.note = silent ? "not answered (silent)" : "not answered (hanging up)";
        trace(ev);
        return;
    }

    if (len == 3 && f[0] == 0xA3 && f[1] == 0xA5 && f[2] == 0x35) {
        ev.note = "device query";
        if (offline_.active && opts_.queryEndsOffline) {
            offline_.active = false;
            ev.note += ", off-line run ended";
        }
        deviceInfo(out, ev);
    } else if (rc != kResultOk || len < kHeaderSize + 2) {
        ev.note = "damaged frame";
        const uint8_t head[6] = {0, 0, 0, 0, 0, 0};
        resultReply(head, kResultDamaged, 0, out, ev);
    } else {
        ev.command = f[0];
        ev.parameter = le16(&f[1]);
        ev.payloadLength = le16(&f[6]);
        uint16_t crc = flashCrc16(f.data(), 0, static_cast<uint32_t>(len - 3));
        ev.crcOk = crc == le16(&f[len - 2]);
        if (!ev.crcOk) {
            ev.note = "check code mismatch";
            resultReply(f.data(), kResultCrcMismatch, 0, out, ev);
        } else if (static_cast<size_t>(ev.payloadLength) + kHeaderSize + 2 != len) {
            ev.note = "length does not match the frame";
            resultReply(f.data(), kResultDamaged, 0, out, ev);
        } else {
            if (offline_.active && f[0] != kCmdProgrammerRestart) {
                offline_.active = false;
                ev.note = "off-line run ended";
            }
            dispatch(f.data(), len, nowMs, out, ev);
        }
    }
    trace(ev);
    for (auto& r : pendingReplies_) trace(std::move(r));
    pendingReplies_.clear();

    if (hang && requests >= hang->count) hangupDue_ = true;
}

void SimUnit::dispatch(const uint8_t* f, size_t n, double nowMs, std::vector<SimOutput>& out, SimTraceEvent& ev) {
    const uint8_t cmd = f[0];
    const uint16_t param = le16(f + 1);
    const uint8_t* payload = f + kHeaderSize;
    const size_t plen = n - kHeaderSize - 2;
    auto note = [&](const std::string& s) { ev.note += (ev.note.empty() ? "" : ", ") + s; };

    if (cmd == kCmdProgrammerRestart) {
        bool rest = std::memcmp(f + 1, "REST", 4) == 0 && f[5] == 0xA8;
        note(rest ? "restart" : "restart with unexpected header bytes");
        if (job) {
            startOffline(nowMs);
            note("off-line run started");
        } else {
            note("no job");
        }
        return;  // no reply
    }
    if (const SimFault* rf = resultFault(cmd, param)) {
        note("chosen result");
        resultReply(f, rf->code, 0, out, ev);
        return;
    }
    switch (cmd) {
    case kCmdJobDownload:
        jobDownload(f, n, out, ev);
        return;
    case kCmdFlashBlockDownload:
    case kCmdNvmBlockDownload: {
        if (plen != kBlock) {
            note("block of " + std::to_string(plen) + " bytes");
            resultReply(f, kResultDamaged, 0, out, ev);
            return;
        }
        auto& img = cmd == kCmdFlashBlockDownload ? flashImage : nvmImage;
        size_t limit = cmd == kCmdFlashBlockDownload ? kSimFlashImageMax : kSimNvmImageMax;
        size_t off = static_cast<size_t>(param) * 1024;
        if (off + kBlock > limit) {
            note("beyond the image");
            resultReply(f, 0x55, 0, out, ev);
            return;
        }
        if (img.size() < off + kBlock) img.resize(off + kBlock, kSimErased);
        std::memcpy(img.data() + off, payload, kBlock);
        resultReply(f, kResultOk, 0, out, ev);
        return;
    }
    case kCmdChip:
        chipCommand(f, n, nowMs, out, ev);
        return;
    case kCmdFlashBlockProgram:
    case kCmdNvmBlockProgram: {
        if (plen < kParamBlock + kBlock) {
            note("payload too short");
            resultReply(f, kResultDamaged, 0, out, ev);
            return;
        }
        useChip(payload);
        double due = opts_.programMs > 0 ? nowMs + opts_.programMs : 0;
        if (chip.writeProtected || chip.readProtected) {
            resultReply(f, chip.readProtected ? 0x13 : 0x10, due, out, ev);
            return;
        }
        size_t written;
        if (cmd == kCmdFlashBlockProgram) {
            written = chip.programFlash(static_cast<uint32_t>(param & 0x0FFF) * 1024, payload + kParamBlock, kBlock);
        } else {
            written = chip.programNvm(static_cast<uint32_t>(param) * 1024, payload + kParamBlock, kBlock);
        }
        note(std::to_string(written) + " bytes written");
        resultReply(f, written ? kResultOk : 0x55, due, out, ev);
        return;
    }
    case kCmdFlashBlockRead:
    case kCmdNvmBlockRead: {
        if (plen < kParamBlock) {
            note("payload too short");
            resultReply(f, kResultDamaged, 0, out, ev);
            return;
        }
        useChip(payload);
        if (chip.readProtected) {
            resultReply(f, 0x13, 0, out, ev);
            return;
        }
        std::vector<uint8_t> data(kBlock);
        if (cmd == kCmdFlashBlockRead)
            chip.readFlash(static_cast<uint32_t>(param) * 1024, data.data(), data.size());
        else
            chip.readNvm(static_cast<uint32_t>(param) * 1024, data.data(), data.size());
        reply(f, data, 0, out, ev);
        return;
    }
    case kCmdFirmwareBlock:
        firmwareBlock(f, n, out, ev);
        return;
    case kCmdFirmwareEnd: {
        bool complete = !firmwareBlocks.empty() && !firmwareDamaged && *firmwareBlocks.begin() == 0 &&
                        *firmwareBlocks.rbegin() == static_cast<int>(firmwareBlocks.size()) - 1;
        if (complete) {
            upgraded = true;
            version = opts_.upgradeVersion;
            note("upgrade complete, " + std::to_string(firmwareBlocks.size()) + " blocks, now " + version);
        } else {
            note("upgrade incomplete");
        }
        resultReply(f, kResultOk, 0, out, ev);
        return;
    }
    default:
        note("unknown command");
        resultReply(f, 0x25, 0, out, ev);
        return;
    }
}

void SimUnit::chipCommand(const uint8_t* f, size_t n, double nowMs, std::vector<SimOutput>& out, SimTraceEvent& ev) {
    const uint16_t sub = le16(f + 1);
    const uint8_t* payload = f + kHeaderSize;
    const size_t plen = n - kHeaderSize - 2;
    auto note = [&](const std::string& s) { ev.note += (ev.note.empty() ? "" : ", ") + s; };
    if (plen < kParamBlock) {
        note("payload too short");
        resultReply(f, kResultDamaged, 0, out, ev);
        return;
    }
    useChip(payload);
    const ChipGeometry& g = chip.geometry;
    switch (sub) {
    case kSubChipErase:
        chip.erase();
        note("chip erased");
        resultReply(f, kResultOk, opts_.eraseMs > 0 ? nowMs + opts_.eraseMs : 0, out, ev);
        return;
    case kSubBlankCheck: {
        uint8_t code = chip.readProtected ? 0x13 : chip.writeProtected ? 0x10 : chip.flashBlank() ? 0x00 : 0x15;
        resultReply(f, code, 0, out, ev);
        return;
    }
    case kSubOptionRead: {
        if (chip.readProtected) {
            resultReply(f, 0x13, 0, out, ev);
            return;
        }
        std::vector<uint8_t> data;
        if (g.familyCode == kFamilyCpt) {
            size_t rows = g.familyOption >> 4;
            rows = g.familyOption < 16 ? kSimOptionSize / 16 : std::max<size_t>(rows, 2);
            data.assign(chip.options.begin(), chip.options.begin() + static_cast<long>(rows * 16));
        } else if (g.familyCode == kFamilySc) {
            data.resize(std::max<size_t>(g.eepSize, 16));
            chip.readNvm(0, data.data(), data.size());
        } else {
            data.assign(chip.options.begin(), chip.options.begin() + 16);
        }
        reply(f, data, 0, out, ev);
        return;
    }
    case kSubOptionWrite:
        if (plen < kParamBlock + 128) {
            note("payload too short");
            resultReply(f, kResultDamaged, 0, out, ev);
            return;
        }
        if (chip.writeProtected || chip.readProtected) {
            resultReply(f, chip.readProtected ? 0x13 : 0x10, 0, out, ev);
            return;
        }
        chip.writeOptions(payload + kParamBlock, 128);
        resultReply(f, kResultOk, 0, out, ev);
        return;
    case kSubChipIdRead: {
        std::vector<uint8_t> data(16, 0);
        std::copy(chip.uid.begin(), chip.uid.end(), data.begin());
        reply(f, data, 0, out, ev);
        return;
    }
    case kSubAddressRead: {
        uint32_t addr = le32(payload + 48);
        uint16_t count = le16(payload + 52);
        note(format("read 0x%0.8x, %d bytes", addr, static_cast<int>(count)));
        if (count > kBlock) {
            resultReply(f, 0x55, 0, out, ev);
            return;
        }
        if (chip.readProtected) {
            resultReply(f, 0x13, 0, out, ev);
            return;
        }
        // A reply of 2 bytes or fewer would read as a result code: at least 3.
        std::vector<uint8_t> data(std::max<size_t>(count, 3));
        for (size_t i = 0; i < data.size(); ++i) data[i] = chip.readAddress(static_cast<uint32_t>(addr + i));
        reply(f, data, 0, out, ev);
        return;
    }
    default:
        note("unknown sub-command");
        resultReply(f, 0x25, 0, out, ev);
        return;
    }
}

void SimUnit::jobDownload(const uint8_t* f, size_t n, std::vector<SimOutput>& out, SimTraceEvent& ev) {
    const size_t plen = n - kHeaderSize - 2;
    if (plen != 1024) {
        ev.note = "job of " + std::to_string(plen) + " bytes";
        ev.jobOk = 0;
        job.reset();
        resultReply(f, kResultDamaged, 0, out, ev);
        return;
    }
    std::array<uint8_t, 1024> p;
    std::memcpy(p.data(), f + kHeaderSize, 1024);
    maskJobPayload(p.data(), p.size(), le16(f + 1));
    bool good = jobBlockValid(p.data()) && std::memcmp(p.data(), p.data() + 512, 512) == 0;
    ev.jobOk = good;
    flashImage.clear();
    nvmImage.clear();
    if (good) {
        job.emplace();
        std::memcpy(job->data(), p.data(), 512);
        nextSerial = le32(job->data() + 76);
        resultReply(f, kResultOk, 0, out, ev);
    } else {
        job.reset();
        ev.note = "job block rejected";
        resultReply(f, 0x34, 0, out, ev);
    }
}

void SimUnit::firmwareBlock(const uint8_t* f, size_t n, std::vector<SimOutput>& out, SimTraceEvent& ev) {
    const size_t plen = n - kHeaderSize - 2;
    int index = f[1] / 4;
    ev.note = "firmware block " + std::to_string(index);
    if (plen != 4128) {
        firmwareDamaged = true;
        ev.note += ", wrong length";
        resultReply(f, kResultDamaged, 0, out, ev);
        return;
    }
    if (index == 0) {
        firmwareBlocks.clear();
        firmwareDamaged = false;
        std::fill(firmwareImage.begin(), firmwareImage.end(), 0);
    }
    const uint8_t mlow = f[2], mhigh = f[3];
    const uint8_t* data = f + kHeaderSize;
    size_t base = (static_cast<size_t>(index) * 2048) % kSimFirmwareImage;
    bool fillerOk = true;
    for (size_t i = 0; i < 512; ++i) {
        const uint8_t* b = data + 4 * i;
        const uint8_t* k = data + 2048 + 4 * i;
        firmwareImage[base + 4 * i] = b[0] ^ mlow ^ k[0];
        firmwareImage[base + 4 * i + 1] = b[1] ^ mhigh ^ k[1];
        firmwareImage[base + 4 * i + 2] = b[2] ^ mlow ^ k[2];
        if ((b[3] ^ k[3]) != 0) fillerOk = false;
    }
    if (fillerOk) {
        firmwareBlocks.insert(index);
    } else {
        firmwareDamaged = true;
        ev.note += ", filler check failed";
    }
    resultReply(f, kResultOk, 0, out, ev);
}

void SimUnit::startOffline(double nowMs) {
    offline_ = Offline{};
    offline_.active = true;
    offline_.limit = opts_.offlineChips;
    const uint8_t* j = job->data();
    if (j[84] == 0x0F) {
        uint32_t l = le32(j + 86);
        offline_.limit = offline_.limit ? std::min(offline_.limit, l) : l;
        if (l == 0) offline_.active = false;  // a limit of none: nothing to make
    }
    offline_.nextChipMs = nowMs + opts_.chipIntervalMs;
    offlineGood = offlineBad = 0;
    nextSerial = le32(j + 76);
}

void SimUnit::planChip(double nowMs) {
    const uint8_t* j = job->data();
    ChipGeometry g = ChipGeometry::fromParameterBlock(j + 4);
    uint16_t t = blocksOf(static_cast<uint32_t>(g.flashSizeKB) * 1024, 4096);
    bool nvm = (g.jobFlags[3] & 0x03) == 0x03 && g.eepSize > 0 && !g.nvmInOptionArea();
    bool options = (g.jobFlags[1] & 0x20) != 0;
    uint32_t number = ++offline_.started;
    offline_.chipFails = opts_.offlineFailEvery && number % opts_.offlineFailEvery == 0;

    std::vector<std::array<uint8_t, 8>> frames;
    frames.push_back(offlineStatusFrame(0x10, 0, 0, 0));
    frames.push_back(offlineStatusFrame(0x20, 0, 0, 0));
    frames.push_back(offlineStatusFrame(0x30, 0, 0, 0));
    for (uint16_t p = 0; p <= t; ++p) frames.push_back(offlineStatusFrame(0x40, 0, p, t));
    if (nvm) {
        uint16_t e = std::max<uint16_t>(1, blocksOf(g.eepSize, 1024));
        for (uint16_t p = 0; p <= e; ++p) frames.push_back(offlineStatusFrame(0x50, 0, p, e));
    }
    frames.push_back(offlineStatusFrame(0x70, 0, 0, 0));
    if (options) frames.push_back(offlineStatusFrame(0xA0, 0, 0, 0));
    uint8_t result = offline_.chipFails ? opts_.offlineFailCode : kResultGood;
    frames.push_back(offlineStatusFrame(0xF0, result, 0, 0));

    // The frames of one chip spread over most of its interval.
    double span = 0.8 * opts_.chipIntervalMs;
    offline_.frames.clear();
    offline_.nextFrame = 0;
    for (size_t k = 0; k < frames.size(); ++k)
        offline_.frames.emplace_back(nowMs + span * static_cast<double>(k) / static_cast<double>(frames.size() - 1),
                                     frames[k]);
    offline_.nextChipMs = nowMs + opts_.chipIntervalMs;
}

void SimUnit::finishChip() {
    const uint8_t* j = job->data();
    ChipGeometry g = ChipGeometry::fromParameterBlock(j + 4);
    // The chip in the socket gets the job: erased, programmed, serial number.
    chip.insert(g, false);
    size_t n = std::min(flashImage.size(), chip.flash.size());
    std::copy(flashImage.begin(), flashImage.begin() + static_cast<long>(n), chip.flash.begin());
    if ((g.jobFlags[3] & 0x03) == 0x03 && !g.nvmInOptionArea()) {
        size_t m = std::min(nvmImage.size(), chip.nvm.size());
        std::copy(nvmImage.begin(), nvmImage.begin() + static_cast<long>(m), chip.nvm.begin());
    }
    if (g.jobFlags[1] & 0x20) chip.writeOptions(j + 112, 128);
    if (offline_.chipFails) {
        ++offlineBad;
        return;
    }
    ++offlineGood;
    if (j[68] == 0x0F) {
        uint32_t addr = le32(j + 72);
        size_t len = std::min<size_t>(j[69], 4);
        bool bigEndian = (g.jobFlags[0] & 0x20) != 0;
        for (size_t i = 0; i < len; ++i) {
            size_t shift = 8 * (bigEndian ? len - 1 - i : i);
            chip.writeAddress(static_cast<uint32_t>(addr + i), static_cast<uint8_t>(nextSerial >> shift));
        }
        nextSerial += le16(j + 70);
    }
}

double SimUnit::pollOffline(double nowMs, std::vector<SimOutput>& out) {
    if (!offline_.active) return -1;
    if (offline_.nextFrame >= offline_.frames.size()) {
        uint32_t done = offlineGood + offlineBad;
        if (offline_.limit && done >= offline_.limit) {
            offline_.active = false;
            SimTraceEvent e;
            e.kind = "offline-end";
            e.note = format("%d good, %d failed", static_cast<int>(offlineGood), static_cast<int>(offlineBad));
            trace(e);
            return -1;
        }
        if (nowMs < offline_.nextChipMs) return offline_.nextChipMs;
        planChip(nowMs);
    }
    while (offline_.nextFrame < offline_.frames.size() && offline_.frames[offline_.nextFrame].first <= nowMs) {
        const auto& fr = offline_.frames[offline_.nextFrame++].second;
        SimOutput o;
        o.wire.resize(2 * fr.size() + 7);
        o.wire.resize(EncodeFrame(fr.data(), fr.size(), o.wire.data()));
        SimTraceEvent e;
        e.kind = "status";
        e.command = fr[0];
        e.parameter = fr[1];
        e.result = fr[2];
        e.frameLength = fr.size();
        e.wireLength = o.wire.size();
        e.note = format("stage 0x%0.2x, %d of %d", static_cast<unsigned>(fr[1]), static_cast<int>(le16(&fr[3])),
                        static_cast<int>(le16(&fr[5])));
        out.push_back(std::move(o));
        if (fr[1] == 0xF0) finishChip();
        trace(e);
    }
    if (offline_.nextFrame < offline_.frames.size()) return offline_.frames[offline_.nextFrame].first;
    return std::max(nowMs, offline_.nextChipMs);
}

}  // namespace kvx
