// Reply dispatch and operation chaining: every reply on a connected channel
// is decoded, checked and handed to the handler of the step the channel is
// in, which sends the next block, starts the next step or ends the operation.
#include "engine/program.h"

#include "link/requests.h"
#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

// ---------------------------------------------------------------------------
// Requests: built in the channel's frame buffer, escaped into its transmit
// buffer and handed to its port.

void Program::fillContext(RequestContext& ctx) const {
    static thread_local ImageSums sums;
    sums.flashCrc = image->flashCrc;
    sums.flashAcc = image->flashAcc;
    sums.flashAcc32 = image->flashAcc32;
    sums.nvmCrc = image->nvmCrc;
    sums.nvmAcc = image->nvmAcc;
    sums.fileChecksum = image->fileChecksum;
    ctx.chip = &chip;
    ctx.job = &job;
    ctx.sums = &sums;
    ctx.words = &words;
    ctx.modelCode = modelCode;
    ctx.rng = &rng;
    ctx.image = image->ImageBuffer.data();
    ctx.nvm = image->NvmBuffer();
    ctx.options = image->OptionBytesBuffer();
    ctx.chipNameText = job.chipNameText;
    ctx.productText = job.productText;
}

void Program::sendFrame(int slot, size_t frameLength) {
    ChannelSession& c = ch[slot];
    size_t wire = EncodeFrame(c.frameBuffer.data(), frameLength, c.txBuffer.data());
    if (c.port && c.port->SendData(c.txBuffer.data(), static_cast<uint16_t>(wire))) c.txBytes += wire;
}

RequestContext Program::requestContext() const {
    RequestContext ctx;
    fillContext(ctx);
    return ctx;
}

void Program::sendBlockRequest(int slot, BlockRequestBuilder build) {
    sendFrame(slot, build(requestContext(), ch[slot].blockKB, frameOf(slot)));
}

void Program::sendJobDownload(int slot) { sendFrame(slot, buildJobDownload(requestContext(), frameOf(slot))); }
void Program::sendFlashBlockDownload(int slot) { sendBlockRequest(slot, buildFlashBlockDownload); }
void Program::sendNvmBlockDownload(int slot) { sendBlockRequest(slot, buildNvmBlockDownload); }
void Program::sendChipCommand(int slot, uint8_t sub) {
    sendFrame(slot, buildChipCommand(requestContext(), sub, frameOf(slot)));
}
void Program::sendOptionWrite(int slot) { sendFrame(slot, buildOptionWrite(requestContext(), frameOf(slot))); }
void Program::sendFlashBlockProgram(int slot) { sendBlockRequest(slot, buildFlashBlockProgram); }
void Program::sendNvmBlockProgram(int slot) { sendBlockRequest(slot, buildNvmBlockProgram); }
void Program::sendFlashBlockRead(int slot) { sendBlockRequest(slot, buildFlashBlockRead); }
void Program::sendNvmBlockRead(int slot) { sendBlockRequest(slot, buildNvmBlockRead); }
void Program::sendAddressRead(int slot) {
    sendFrame(slot, buildAddressRead(requestContext(), readAddress, readLength, frameOf(slot)));
}
void Program::sendProgrammerRestart(int slot) { sendFrame(slot, buildProgrammerRestart(frameOf(slot))); }

// ---------------------------------------------------------------------------
// Step starters.

void Program::startJobDownload(int slot) {
    ch[slot].step = StepDownloadJob;
    channelLine("开始下载数据......", slot);
    ch[slot].rx.reset();
    setupGauge(500, chip.flashSizeKB, slot);
    sendJobDownload(slot);
}

void Program::startFlashDownload(int slot) {
    ch[slot].step = StepDownloadFlash;
    channelLine("开始下载Mian Flash数据......", slot);
    setupGauge(0, chip.flashSizeKB, slot);
    sendFlashBlockDownload(slot);
}

void Program::startNvmDownload(int slot) {
    ch[slot].step = StepDownloadNvm;
    channelLine("开始下载Data/EEP/NVM数据......", slot);
    setupGauge(0, 4, slot);
    sendNvmBlockDownload(slot);
}

void Program::startBlankCheckAuto(int slot) {
    ch[slot].autoSequence = true;
    startBlankCheck(slot);
}

void Program::startBlankCheck(int slot) {
    ch[slot].step = StepBlankCheck;
    channelLine("芯片查空......", slot);
    setupGauge(500, chip.flashSizeKB, slot);
    sendChipCommand(slot, kSubBlankCheck);
}

void Program::startErase(int slot, const std::string& line) {
    ch[slot].step = StepErase;
    channelLine(line, slot);
    setupGauge(2000, chip.flashSizeKB, slot);
    sendChipCommand(slot, kSubChipErase);
}

void Program::startProgramming(int slot, const std::string& line) {
    ch[slot].step = StepProgramFlash;
    channelLine(line, slot);
    setupGauge(0, chip.flashSizeKB, slot);
    sendFlashBlockProgram(slot);
}

void Program::startNvmProgramming(int slot) {
    ch[slot].step = StepProgramNvm;
    channelLine("写EEP/NVM Data......", slot);
    setupGauge(500, 4, slot);
    sendNvmBlockProgram(slot);
}

void Program::startFlashVerify(int slot) {
    ch[slot].step = StepVerifyFlash;
    channelLine("开始Mian Flash数据校验......", slot);
    setupGauge(0, chip.flashSizeKB, slot);
    sendFlashBlockRead(slot);
}

void Program::startNvmVerify(int slot) {
    ch[slot].step = StepVerifyNvm;
    channelLine("开始EEP/NVM数据校验......", slot);
    setupGauge(0, 4, slot);
    sendNvmBlockRead(slot);
}

void Program::startOptionWrite(int slot) {
    ch[slot].step = StepWriteOption;
    channelLine("写Option/NVM Data......", slot);
    setupGauge(500, chip.flashSizeKB, slot);
    if (chip.vendor == ChipVendor::SC) sendNvmBlockProgram(slot);
    else sendOptionWrite(slot);
}

void Program::startFlashRead(int slot) {
    ch[slot].step = StepReadFlash;
    setupGauge(0, chip.flashSizeKB, slot);
    channelLine("读取芯片Main Flash......", slot);
    sendFlashBlockRead(slot);
}

// ---------------------------------------------------------------------------
// Dispatch.

namespace {
// A blank check's answers for a chip whose protection hides its contents: the
// auto sequence erases it.
bool chipProtected(uint8_t result) {
    return result == kResultWriteProtected || result == kResultReadProtected || result == kResultIllegalOperation;
}
}  // namespace

uint16_t Program::payloadLength(int slot) const { return le16(ch[slot].frameBuffer.data() + 6); }

// True when the decoded reply really carries `bytes` payload bytes: its
// length field says so and the decoded frame holds them ahead of its two
// check-code bytes (which are never data).
bool Program::payloadHas(int slot, size_t bytes) const {
    const ChannelSession& c = ch[slot];
    return payloadLength(slot) >= bytes && c.frameLength >= kHeaderSize + bytes + 2;
}

// A zero result on a step that compares or copies data needs the data: a
// reply that does not carry it is damaged, never compared with stale bytes.
uint8_t Program::withData(int slot, uint8_t result, size_t bytes) const {
    return result == kResultOk && !payloadHas(slot, bytes) ? kResultDamaged : result;
}

void Program::handleReply(int slot, const uint8_t* run, uint16_t length) {
    ChannelSession& c = ch[slot];
    if (c.strayTicks && !c.busy) {
        // The answer to a stopped operation's last request.
        c.strayTicks = 0;
        return;
    }
    // ExtractFrame consumes its source; decode from a copy of the run.
    uint8_t src[kFrameBufferSize * 2 + 16];
    uint16_t count = static_cast<uint16_t>(std::min<size_t>(length, sizeof src));
    std::memcpy(src, run, count);
    uint16_t n = 0;
    uint8_t code = ExtractFrame(src, count, c.frameBuffer.data(), c.frameBuffer.size(), n);
    if (code != kResultOk) {
        c.frameLength = 0;
        reportResult(code, slot);
        return;
    }
    c.frameLength = n;
    if (c.frameBuffer[0] == 0xFD) {
        showOfflineStatus(slot);
        return;
    }
    stepReply(slot, CheckReply(c.frameBuffer.data(), n));
}

// The reply to the channel's step, by the step: the next step of the chain,
// or the channel's end.
void Program::stepReply(int slot, uint8_t result) {
    ChannelSession& c = ch[slot];
    const bool good = isSuccessCode(result);
    switch (c.step) {
    case StepDownloadJob:
        if (good) startFlashDownload(slot);
        else reportResult(result, slot);
        break;
    case StepDownloadFlash:
    case StepDownloadNvm:
    case StepProgramFlash:
    case StepProgramNvm:
        flashBlockStep(slot, result, false);
        break;
    case StepBlankCheck: blankCheckReply(slot, result); break;
    case StepErase:
        if (good) {
            channelLine("擦除芯片操作成功！", slot);
            if (c.autoSequence) startProgramming(slot, "开始芯片编程...");
            else finishChannel(0, slot, "擦除芯片操作成功！", result);
        } else {
            reportResult(result, slot);
        }
        break;
    case StepVerifyFlash:
        result = withData(slot, result, 4096);
        if (result != kResultOk) reportResult(result, slot);
        else if (!compareFlashBlock(slot)) reportResult(kResultVerifyMismatch, slot);
        else flashBlockStep(slot, kResultOk, true);
        break;
    case StepVerifyNvm: nvmVerifyReply(slot, result); break;
    case StepWriteOption:
        if (good) {
            channelLine("写Option/NVM Data操作成功！", slot);
            if (c.autoSequence) advanceSerialNumber(slot);
            finishChannel(0, slot, "写Option/NVM Data操作成功！", result);
        } else {
            reportResult(result, slot);
        }
        break;
    case StepReadFlash:
        result = withData(slot, result, 4096);
        if (result == kResultOk) {
            size_t at = static_cast<size_t>(c.blockKB) * 1024;
            if (at + 4096 <= kImageSize) std::memcpy(image->ImageBuffer.data() + at, c.frameBuffer.data() + kHeaderSize, 4096);
            flashBlockStep(slot, kResultOk, false);
        } else {
            reportResult(result, slot);
        }
        break;
    case StepReadOption: optionReadReply(slot, result); break;
    case StepReadChipId: chipIdReply(slot, result); break;
    case StepReadAddress:
        // A failed read ends once, with the unit's result.
        if (good) {
            finishChannel(0, slot, resultMessage(result), result);
            addressDump(slot);
        } else {
            reportResult(result, slot);
        }
        break;
    case StepUpgrade: firmwareBlockDone(result, slot); break;
    default: c.busy = false; break;
    }
}

void Program::blankCheckReply(int slot, uint8_t result) {
    const bool chain = ch[slot].autoSequence;
    if (isSuccessCode(result)) {
        channelLine("芯片为空！", slot);
        if (chain) startProgramming(slot, "开始芯片编程...");
        else finishChannel(0, slot, "芯片为空！", result);
    } else if (result == kResultNotBlank) {
        channelLine("芯片不为空！", slot);
        if (chain) startErase(slot, "芯片擦除...");
        else finishChannel(1, slot, "芯片不为空！", result);
    } else if (chipProtected(result) && chain) {
        startErase(slot, "芯片已保护，擦除芯片...");
    } else {
        reportResult(result, slot);
    }
}

void Program::nvmVerifyReply(int slot, uint8_t result) {
    result = withData(slot, result, std::min<size_t>(chip.eepSize, kNvmSize));
    if (result != kResultOk) {
        reportResult(result, slot);
    } else if (!compareNvm(slot)) {
        reportResult(kResultVerifyMismatch, slot);
    } else {
        channelLine("EEP/NVM数据校验成功！", slot);
        if (ch[slot].autoSequence && job.writeOptionAfter) {
            startOptionWrite(slot);
        } else {
            advanceSerialNumber(slot);
            finishChannel(0, slot, "EEP/NVM数据校验成功！", result);
        }
    }
}

void Program::optionReadReply(int slot, uint8_t result) {
    // What the reply carries: the CPT option rows, the SC NVM area, or the
    // other chips' 14 option bytes.
    size_t need = 14;
    if (chip.vendor == ChipVendor::CPT) {
        const size_t rows = chip.familyOption >> 4;
        need = (rows == 0 ? 256 : rows) * 16;
    } else if (chip.vendor == ChipVendor::SC) {
        need = std::min<size_t>(chip.eepSize, kNvmSize);
    }
    const bool good = isSuccessCode(result);
    result = withData(slot, result, need);
    if (good && (result != kResultOk || payloadHas(slot, need))) {
        if (result == kResultOk) readOptionData(slot);
        finishChannel(0, slot, resultMessage(result), result);
    } else {
        reportResult(result, slot);
    }
}

void Program::chipIdReply(int slot, uint8_t result) {
    result = withData(slot, result, 12);
    if (result != kResultOk) {
        reportResult(result, slot);
        return;
    }
    const uint8_t* payload = ch[slot].frameBuffer.data() + kHeaderSize;
    std::string uid, digits;
    for (int i = 0; i < 12; ++i) {
        uid += format("%0.2x ", payload[i]);
        digits += format("%0.2x", payload[i]);
    }
    channelLine("UID=" + uid, slot);
    if (!listeners.empty()) publish(UidRead{header(slot), operationOf(slot), digits, ch[slot].unit});
    finishChannel(0, slot, "UID=" + uid, result);
}

// The block pattern of download, program, verify and read steps.
void Program::flashBlockStep(int slot, uint8_t result, bool /*zeroOnly*/) {
    ChannelSession& c = ch[slot];
    if (!isSuccessCode(result)) {
        reportResult(result, slot);
        return;
    }
    c.blockKB = static_cast<uint16_t>(c.blockKB + 4);
    c.gauge->setProgress(c.blockKB + 1);
    gaugeMoved(slot);
    if (c.blockKB < c.blockTotalKB) {
        switch (c.step) {
        case StepDownloadFlash: sendFlashBlockDownload(slot); break;
        case StepDownloadNvm: sendNvmBlockDownload(slot); break;
        case StepProgramFlash: sendFlashBlockProgram(slot); break;
        case StepProgramNvm: sendNvmBlockProgram(slot); break;
        case StepVerifyFlash:
        case StepReadFlash: sendFlashBlockRead(slot); break;
        default: break;
        }
        return;
    }
    // The step is complete.
    switch (c.step) {
    case StepDownloadFlash:
        if (job.includeNvm) {
            startNvmDownload(slot);
            break;
        }
        [[fallthrough]];
    case StepDownloadNvm:
        if (const auto sent = serialSettings()) downloadedSerial_[c.portName] = *sent;
        else downloadedSerial_.erase(c.portName);
        finishChannel(0, slot, "数据下载成功！", result);
        channelLine("数据下载成功！", slot);
        sendProgrammerRestart(slot);
        break;
    case StepProgramFlash:
        if (job.includeNvm) {
            startNvmProgramming(slot);
            break;
        }
        [[fallthrough]];
    case StepProgramNvm:
        if (c.autoSequence) {
            startFlashVerify(slot);
        } else {
            channelLine("编程操作成功！", slot);
            finishChannel(0, slot, "编程操作成功！", result);
        }
        break;
    case StepVerifyFlash:
        channelLine("Main Flash数据校验成功！", slot);
        if (job.includeNvm) {
            startNvmVerify(slot);
        } else if (c.autoSequence && job.writeOptionAfter) {
            startOptionWrite(slot);
        } else {
            advanceSerialNumber(slot);
            finishChannel(0, slot, "Main Flash数据校验成功！", result);
        }
        break;
    case StepReadFlash:
        finishChannel(0, slot, "Main Flash读取成功！", result);
        channelLine("Main Flash读取成功！", slot);
        reportFlashChecksum(chip.flashFirst, chip.flashLast);
        if (refreshFlashViewHook) refreshFlashViewHook();
        break;
    default:
        break;
    }
}

bool Program::compareFlashBlock(int slot) {
    ChannelSession& c = ch[slot];
    const uint8_t* chipBytes = c.frameBuffer.data() + kHeaderSize;
    size_t base = static_cast<size_t>(c.blockKB) * 1024;
    for (size_t row = 0; row < 256; ++row) {
        bool differs = false;
        for (size_t j = 0; j < 16; ++j) {
            size_t k = row * 16 + j;
            uint8_t mine = base + k < kImageSize ? image->ImageBuffer[base + k] : 0;
            if (mine == chipBytes[k]) continue;
            differs = true;
            std::string text = format("Chip 1: Buffer Address 0x%0.8x = 0x%0.2x, Chip = 0x%0.2x",
                                      static_cast<uint32_t>(chip.flashFirst + base + k), mine, chipBytes[k]);
            if (!prompts.differenceYesAbort(text)) return false;
        }
        if (differs) return false;
    }
    return true;
}

bool Program::compareNvm(int slot) {
    ChannelSession& c = ch[slot];
    const uint8_t* chipBytes = c.frameBuffer.data() + kHeaderSize;
    size_t n = std::min<size_t>(chip.eepSize, kNvmSize);
    bool same = true;
    for (size_t k = 0; k < n; ++k) {
        uint8_t mine = image->NvmBuffer()[k];
        if (mine == chipBytes[k]) continue;
        same = false;
        std::string text = format("Chip 1: OTP Buffer Address 0x%0.8x = 0x%0.2x, Chip = 0x%0.2x",
                                  static_cast<uint32_t>(chip.nvmFirst + k), mine, chipBytes[k]);
        if (!prompts.differenceYesAbort(text)) return false;
    }
    return same;
}

void Program::readOptionData(int slot) {
    const uint8_t* p = ch[slot].frameBuffer.data() + kHeaderSize;
    switch (chip.vendor) {
    case ChipVendor::CPT: {
        channelLine("Read Option/NVM Data: ", slot);
        size_t rows = chip.familyOption >> 4;
        if (rows == 0) rows = 256;
        for (size_t r = 0; r < rows; ++r) {
            std::string line = format(" 0x08010%0.2x0:", static_cast<unsigned>(r));
            for (size_t j = 0; j < 16; ++j) line += format("%0.2x ", p[r * 16 + j]);
            info.addLine(line);
        }
        break;
    }
    case ChipVendor::SC:
        channelLine("Read NVM Data: ", slot);
        std::memcpy(image->NvmBuffer(), p, std::min<size_t>(chip.eepSize, kNvmSize));
        if (refreshNvmViewHook) refreshNvmViewHook();
        break;
    default:
        channelLine("Read Option/NVM Data: " + format("0x%0.2x%0.2x, ", p[9], p[8]) + format("0x%0.2x%0.2x, ", p[13], p[12]),
                    slot);
        break;
    }
}

void Program::addressDump(int slot) {
    const ChannelSession& c = ch[slot];
    const uint8_t* p = c.frameBuffer.data() + kHeaderSize;
    // Only bytes the reply carried are printed.
    size_t carried = std::min<size_t>(payloadLength(slot), c.frameLength >= kHeaderSize + 2 ? c.frameLength - kHeaderSize - 2 : 0);
    size_t lines = std::max<size_t>(1, readLength / 16);
    for (size_t r = 0; r < lines; ++r) {
        std::string line = format("0x%0.8x : ", static_cast<uint32_t>(readAddress + 16 * r));
        for (size_t j = 0; j < 16 && r * 16 + j < carried; ++j) line += format("%0.2x ", p[r * 16 + j]);
        info.addLine(line);
        if ((r + 1) * 16 >= carried) break;
    }
}

}  // namespace kvx
