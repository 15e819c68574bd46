// Reporting of every channel operation: gauges, result messages, the status
// frames of off-line production and their running totals; the job's
// options encoded into the settings sent; the serial-number advance; the
// image summaries shown after loads and read-backs.
#include "engine/program.h"

#include "shell/checksum.h"
#include "shell/text.h"

namespace kvx {

void Program::setupGauge(uint16_t tickLimit, uint16_t total, int slot) {
    ChannelSession& c = ch[slot];
    if (!c.busy) {
        // The operation's first step.
        c.startedMs = clock.epochMs();
        c.serialAtStart = serialSettings();
        c.cutShort = false;
    }
    c.blockKB = 0;
    c.blockTotalKB = total;
    c.busy = true;
    Control& g = *c.gauge;
    g.setEnabled(true);
    if (tickLimit != 0) {
        c.tickBudget = tickLimit;
        c.timeGauge = true;
        g.setMaxValue(tickLimit);
    } else {
        c.tickBudget = 500;
        c.timeGauge = false;
        g.setMaxValue(c.blockTotalKB);
    }
    g.setProgress(2);
    g.setColor(kBlue);
    stepStarted(slot);
    gaugeMoved(slot);
}

EventHeader Program::header(int slot) const { return {slot + 1, ch[slot].portName, clock.epochMs()}; }

JobFacts Program::jobFacts() const {
    JobFacts job;
    if (chip.chipChosen) job.chip = chip.chipName;
    while (!job.chip.empty() && job.chip.back() == ' ') job.chip.pop_back();
    if (fileLoaded) {
        job.imageFile = image->objectFileName;
        job.fileChecksum = image->fileChecksum;
        job.flashCrc = image->flashCrc;
        job.flashAcc = image->flashAcc;
        job.bytesCut = image->bytesCut;
    }
    return job;
}

std::string Program::operationOf(int slot) const { return operationName(ch[slot].step, ch[slot].autoSequence); }

void Program::publish(const EngineEvent& e) {
    for (const EngineListener& l : listeners) l(e);
}

void Program::stepStarted(int slot) {
    if (listeners.empty()) return;
    publish(StepStarted{header(slot), operationOf(slot), ch[slot].step, ch[slot].unit});
}

void Program::gaugeMoved(int slot) {
    if (listeners.empty()) return;
    const ChannelSession& c = ch[slot];
    auto e = eventAt<ProgressMoved>(slot);
    e.step = c.step;
    e.value = c.gauge->progress();
    e.max = c.gauge->maxValue();
    e.running = c.busy;
    // The steps that move data count it in blocks: 1 KB of flash or NVM, or a
    // firmware block.
    if (c.busy && !c.timeGauge) {
        const uint64_t blockBytes = c.step == StepUpgrade ? kFirmwareBlockSource : 1024;
        e.bytesTotal = c.blockTotalKB * blockBytes;
        e.bytesDone = std::min<uint64_t>(c.blockKB * blockBytes, e.bytesTotal);
    }
    publish(e);
}

void Program::finishChannel(int failed, int slot, const std::string& message, int code) {
    ChannelSession& c = ch[slot];
    const uint8_t endedIn = c.step;
    const bool wasAuto = c.autoSequence;
    const bool wasBusy = c.busy;
    c.busy = false;
    c.step = StepIdle;
    c.tickBudget = 0;
    c.autoSequence = false;
    c.gauge->setColor(failed != 0 ? kRed : kBlue);
    c.gauge->setProgress(c.gauge->maxValue());
    if (listeners.empty()) return;
    auto e = eventAt<ChannelFinished>(slot);
    e.operation = operationName(endedIn, wasAuto);
    e.step = endedIn;
    e.ok = failed == 0;
    e.code = code;
    e.message = message;
    e.startedMs = c.startedMs ? c.startedMs : e.timeMs;
    e.interrupted = failed != 0 && c.cutShort;
    e.reason = resultReason(e.ok, e.interrupted, code >= 0 ? std::optional<int>(code) : std::nullopt);
    e.unit = c.unit;
    e.job = jobFacts();
    e.job.serial = wasBusy ? c.serialAtStart : serialSettings();
    publish(e);
}

std::string Program::resultMessage(uint8_t code) {
    switch (code) {
    case kResultOk:
    case kResultGood: return "操作成功！";
    case kResultChipNotErased: return "芯片未擦除！";
    case kResultNoChipResponse: return "芯片没有响应！";
    case kResultWriteProtected: return "芯片已被写保护！";
    case kResultReadProtected: return "芯片已被读保护！";
    case kResultCrcMismatch: return "数据包校验错误！";
    case kResultUnknownCommand: return "不认识的命令！";
    case kResultDamaged: return "数据包错误！";
    case kResultFlashError: return "Flash Memory错误！";
    case kResultNvmWriteError: return "写EEP/OTP数据错误！";
    case kResultVerifyMismatch: return "数据校验错误！";
    case kResultChipChecksumWrong: return "芯片校验和不正确！";
    case kResultWrongChipType: return "芯片类型不正确！";
    case kResultWrongChipMaker: return "芯片厂家型号不正确！";
    case kResultCommandTimeout: return "命令执行超时！";
    case kResultCommandFailed: return "命令执行错误！";
    case kResultSerialNumberWriteError: return "写序列好数据错误！";
    case kResultOptionWriteError: return "写Option Byte出错！";
    case kResultFlashSizeMismatch: return "Flash的大小与芯片不匹配";
    case kResultAddressOutOfRange: return "地址空间超出芯片范围！";
    case kResultIllegalOperation: return "非法操作，芯片可能被保护！";
    case kResultInterfaceInitError: return "初始化编程接口错误！";
    case kResultSerialLinkError: return "串口通讯错误！";
    default: return format("操作失败！错误代码: 0%d(0x%0.2x)！", code, code);
    }
}

void Program::reportResult(uint8_t code, int slot) {
    const std::string message = resultMessage(code);
    finishChannel(code, slot, message, code);
    channelLine(message, slot);
    if (isSuccessCode(code)) prompts.beep();
}

void Program::showOfflineStatus(int slot) {
    ChannelSession& c = ch[slot];
    if (c.frameLength < 8) return;
    const uint8_t* f = c.frameBuffer.data();
    uint8_t sum = 0;
    for (int i = 0; i < 8; ++i) sum = static_cast<uint8_t>(sum + f[i]);
    if (sum != 0) return;
    ++c.statusFrames;
    uint8_t result = f[2];
    uint16_t P = le16(f + 3), T = le16(f + 5);
    Control& g = *c.gauge;
    auto stage = [&](const char* line, int64_t progress, int64_t max, bool blue) {
        if (line) channelLine(line, slot);
        g.setProgress(progress);
        g.setMaxValue(max);
        if (blue) g.setColor(kBlue);
        gaugeMoved(slot);
    };
    switch (f[1]) {
    case 0x10: stage("Initial Programming Interface ....", 5, 100, true); break;
    case 0x20: stage("Chip Blank Checking....", 50, 100, false); break;
    case 0x30: stage("Do Chip Erasing....", 50, 100, false); break;
    case 0x40: stage(P == 0 ? "Do Main Flash Programming...." : nullptr, P + 2, T, true); break;
    case 0x50: stage(P == 0 ? "Do NVM Data Programming...." : nullptr, P + 2, T, false); break;
    case 0x70: stage("Do Main Flash Verification....", 50, 100, true); break;
    case 0x80: stage("Do NVM Data Verification....", 50, 100, false); break;
    case 0xA0: stage("Do Chip Option Byte Programming....", 50, 100, false); break;
    case 0xF0:
        if (result == kResultGood) {
            ++c.okCount;
            ++totalOk;
            g.setColor(kBlue);
        } else {
            ++c.ngCount;
            ++totalNg;
            g.setColor(kRed);
        }
        // The chip's event before its lines: the record is handed over
        // before any front end shows the chip.
        if (!listeners.empty()) {
            auto e = eventAt<OfflineChip>(slot);
            e.ok = result == kResultGood;
            e.code = result;
            e.channelOk = c.okCount;
            e.channelNg = c.ngCount;
            e.totalOk = totalOk;
            e.totalNg = totalNg;
            e.unit = c.unit;
            e.job = jobFacts();
            // Numbered from what the job download sent this unit, if it did.
            const auto sent = downloadedSerial_.find(c.portName);
            e.job.serial.reset();
            if (sent != downloadedSerial_.end()) e.job.serial = sent->second;
            publish(e);
        }
        channelLine(std::string("Progrmming Completed : ") +
                        (result == kResultGood ? std::string("Successed !") : format("Failed : Error=0x%0.2x!", result)),
                    slot);
        channelLine(format("OK=%d, NG=%d.", c.okCount, c.ngCount), slot);
        writeOfflineSummary();
        g.setProgress(g.maxValue());
        gaugeMoved(slot);
        break;
    default: break;
    }
}

void Program::writeOfflineSummary() {
    ++summariesSinceSave;
    info.addLine(format(">---------- Total OK Number is : %d, NG is %d ----------", totalOk, totalNg));
    if (summariesSinceSave >= summariesPerSave) {
        summariesSinceSave = 0;
        if (saveProductionLogHook) saveProductionLogHook();
    }
}

// ---------------------------------------------------------------------------
// Job settings.

JobSettings jobSettingsOf(const JobOptions& o, const JobSettings& base, ChipVendor vendor) {
    JobSettings job = base;
    auto& f = job.jobFlags;
    auto bit = [](uint8_t& b, uint8_t mask, bool set) { b = static_cast<uint8_t>(set ? (b | mask) : (b & ~mask)); };

    // Bits the options do not name (the chip's and the project's) are kept.
    f[0] = static_cast<uint8_t>((f[0] & 0x0C) | 0x40);
    bit(f[0], 0x10, !o.fastSpeed);
    bit(f[0], 0x20, o.snBigEndian);
    bit(f[0], 0x80, o.showFileChecksum);
    if (o.voltage5V) f[1] = static_cast<uint8_t>(f[1] | 0x01);
    else f[1] = static_cast<uint8_t>(f[1] & ~0x03);
    bit(f[1], 0x20, o.optionBytes);
    uint8_t b2 = o.powerOffAfter ? 0x00 : 0x10;
    b2 = static_cast<uint8_t>(b2 | (o.reset < 0 ? 0 : o.reset & 0x03));
    if (o.runAfter) b2 |= 0x04;
    if (o.runAndShut) b2 |= 0x80;
    f[2] = b2;
    bit(f[3], 0x03, o.nvmArea);
    bit(f[3], 0x10, o.watchdog);
    bit(f[4], 0x01, o.blankError);
    bit(f[4], 0x80, o.readProtect);

    job.writeOptionAfter = vendor == ChipVendor::SC ? o.nvmArea : o.optionBytes;
    job.includeNvm = o.nvmArea;
    job.autoDetect = o.autoDetect ? 0x0F : 0x00;
    job.insertSettle = static_cast<uint8_t>(o.insertMs / 30);
    job.removeSettle = static_cast<uint8_t>(o.removeMs / 30);
    job.powerUpSettle = static_cast<uint8_t>(o.powerUpMs / 10);
    job.powerDownSettle = static_cast<uint8_t>(o.powerDownMs / 10);
    job.runTime = static_cast<uint16_t>(o.runTimeMs / 10);
    job.countLimitEnable = o.countLimitOn ? 0x0F : 0x00;
    job.countLimit = static_cast<uint32_t>(o.countLimit);
    job.snLength = 4;
    job.snEnable = o.serialNumbers ? 0x0F : 0x00;
    job.snIncrement = o.snIncrement;
    job.snStart = o.snStart;
    job.snAddress = o.snAddress;
    job.snAdvance = o.snAdvance;
    job.chipNameText = o.chipNameText;
    job.productText = o.productText;
    return job;
}

std::optional<SerialSettings> Program::serialSettings() const {
    if (job.snEnable == 0) return std::nullopt;
    return SerialSettings{job.snStart, job.snIncrement, job.snAddress};
}

void Program::advanceSerialNumber(int) {
    if (!job.snAdvance || job.snEnable == 0) return;
    job.snStart = job.snStart + job.snIncrement;
    if (nextSerialNumberHook) nextSerialNumberHook(job.snStart);
}

// ---------------------------------------------------------------------------
// Image summaries.

void Program::computeFlashSums() {
    // The range is the chip's flash inside the image buffer; anything outside
    // the buffer counts as an empty range (sum 0).
    uint32_t first = image->viewFirst - chip.flashFirst;
    uint32_t last = image->viewLast - chip.flashFirst;
    if (last >= kImageSize) last = static_cast<uint32_t>(kImageSize - 1);
    const uint8_t* b = image->ImageBuffer.data();
    image->flashCrc = first <= last && first < kImageSize ? flashCrc16(b, first, last) : 0;
    image->flashAcc32 = first <= last && first < kImageSize ? byteSum32(b, first, last) : 0;
    image->flashAcc = static_cast<uint16_t>(image->flashAcc32);
}

void Program::reportImageInfo(uint32_t first, uint32_t last) {
    image->viewFirst = first;
    image->viewLast = last;
    computeFlashSums();
    info.addLine("");
    info.AppendInfoLine(format("加载文件地址空间   ：0x%0.8x-0x%0.8x.", image->loadedFirst, image->loadedLast));
    info.AppendInfoLine(format("加载文件校验和数据 ：0x%0.8x", image->fileChecksum));
    info.addLine("");
    info.AppendInfoLine(format("芯片Code Flash地址空间  ：0x%0.8x-0x%0.8x.", chip.flashFirst, chip.flashLast));
    info.AppendInfoLine(format("芯片Flash CRC/ACC校验和 ：0x%0.4x/0x%0.4x", image->flashCrc, image->flashAcc));
    info.addLine("");
    if (imageSumsHook) imageSumsHook(image->fileChecksum, image->flashAcc);
}

void Program::reportFlashChecksum(uint32_t first, uint32_t last) {
    image->viewFirst = first;
    image->viewLast = last;
    computeFlashSums();
    info.AppendInfoLine(format("芯片Flash CRC/ACC校验和 ：0x%0.4x/0x%0.4x", image->flashCrc, image->flashAcc));
}

void Program::computeNvmSums() {
    uint32_t n = chip.eepSize > kNvmSize ? static_cast<uint32_t>(kNvmSize) : chip.eepSize;
    image->nvmCrc = n ? flashCrc16(image->NvmBuffer(), 0, n - 1) : 0;
    image->nvmAcc = n ? static_cast<uint16_t>(byteSum32(image->NvmBuffer(), 0, n - 1)) : 0;
}

}  // namespace kvx
