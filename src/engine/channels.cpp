// The channels' ports and receive path, device discovery, the operation
// launchers, the watchdog, off-line production and the firmware upgrade.
#include "engine/program.h"

#include "link/requests.h"
#include "serial/discovery.h"
#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

Program::Program(EventLoop& l, Prompts& p, Clock& c, Random& r, MainControls& u, InfoWriter& i)
    : loop(l), prompts(p), clock(c), rng(r), ui(u), info(i) {
    for (int s = 0; s < 8; ++s) ch[s].gauge = &ui.gauge(s + 1);
}

Program::~Program() { closeAllPorts(); }

void Program::createPorts() {
    for (int s = 0; s < 8; ++s) {
        if (ports[s]) continue;
        ports[s] = std::make_unique<TComm>(loop);
        configureAsChannelPort(*ports[s], s + 1);
        ports[s]->OnReceiveData = [this, s](TComm&, const uint8_t* b, uint16_t n) { receiveData(s, b, n); };
        ports[s]->OnReceiveError = [this, s](TComm&, uint32_t) { receiveError(s); };
        ports[s]->OnRequestHangup = [this, s](TComm&) { requestHangup(s); };
        ch[s].port = ports[s].get();
    }
}

Program::ChannelState Program::channelState(int slot) const {
    const ChannelSession& c = ch[static_cast<size_t>(slot)];
    return {c.connected,  c.busy,          c.port && c.port->isOpen(), c.upgrading, c.step, c.portName, c.searchOutcome,
            c.unit, c.strayTicks > 0};
}

Program::ChannelCounts Program::channelCounts(int slot) const {
    const ChannelSession& c = ch[static_cast<size_t>(slot)];
    return {c.txBytes, c.rxBytes, c.statusFrames, c.okCount, c.ngCount};
}

void Program::resetChannels() {
    summariesSinceSave = 0;
    DevicesFound = 0;
    channelCount = 8;
    for (auto& c : ch) {
        c.connected = false;
        c.busy = false;
        c.autoSequence = false;
        c.blockKB = 0;
        c.blockTotalKB = 0;
    }
    createPorts();
}

void Program::listPortsForStart() {
    ListSerialPorts();
    channelCount = channelsNeeded();
}

bool Program::allSent() const {
    return std::all_of(ports.begin(), ports.end(), [](const auto& p) { return !p || !p->isOpen() || p->sendEmpty(); });
}

void Program::interruptRunning(const std::string& why, uint8_t channels) {
    for (int s = 0; s < 8; ++s) {
        ChannelSession& c = ch[s];
        if (!c.busy || !(channels >> s & 1)) continue;
        c.cutShort = true;  // marks the result as cut short
        c.strayTicks = 500;
        const std::string message = "Interrupted: " + why;
        finishChannel(1, s, message);
        channelLine(message, s);
    }
}

void Program::closeAllPorts() {
    for (auto& p : ports)
        if (p && p->isOpen()) p->ClosePort();
}

// ---------------------------------------------------------------------------
// Receive path.

void Program::receiveData(int slot, const uint8_t* buffer, uint16_t length) {
    ChannelSession& c = ch[slot];
    c.tickBudget = 1000;
    c.rxBytes += length;
    c.rx.receive(buffer, length, [this, slot](const uint8_t* run, uint16_t n) {
        if (ch[slot].connected) handleReply(slot, run, n);
        else deviceInfoPath(slot, run, n);
    });
}

void Program::receiveError(int slot) {
    ch[slot].rx.reset();
    ch[slot].busy = false;
}

void Program::requestHangup(int slot) {
    ChannelSession& c = ch[slot];
    if (c.busy && !c.cutShort) {
        // The operation cannot finish: its result (the watchdog's, or a
        // failure) is recorded as cut short.
        c.cutShort = true;
        channelLine("Interrupted: the port hung up (the unit was unplugged?)", slot);
    }
    if (c.port) c.port->ClosePort();
    c.connected = false;
    // The port list holds the channels' ports in channel order until the
    // first hang-up removes one; from then on positions shift, so the item
    // to remove is the one naming this channel's port.
    auto it = std::find(listedPorts_.begin(), listedPorts_.end(), c.portName);
    if (!c.portName.empty() && it != listedPorts_.end()) {
        const int index = static_cast<int>(it - listedPorts_.begin());
        listedPorts_.erase(it);
        showPorts({PortListChange::Removed, index, listedPorts_.empty() ? "请连接设备......" : ""});
    } else if (listedPorts_.empty()) {
        showPorts({PortListChange::Removed, -1, "请连接设备......"});
    }
}

// ---------------------------------------------------------------------------
// Device discovery.

void Program::showPorts(const PortListChange& change) {
    if (portListHook) portListHook(change);
}

void Program::ListSerialPorts() {
    std::vector<std::string> items = listedPorts_;
    std::string text;
    skippedPorts_.clear();
    if (portMap || !portMapError.empty()) {
        // The map's ports that are there, in channel order.
        items.clear();
        for (const std::string& port : portMap ? portMap->ports : std::array<std::string, 8>{}) {
            if (port.empty()) continue;
            const std::string path = serialDevicePath(port);
            if (std::string cause = portOpenFailure(path); !cause.empty()) skippedPorts_.push_back({port, path, cause});
            else items.push_back(port);
        }
    } else {
        kvx::ListSerialPorts(items, text, &skippedPorts_);
        if (!usbFilters.empty()) {
            const std::vector<SerialPortInfo> system = systemSerialPorts();
            std::erase_if(items, [this, &system](const std::string& name) {
                SerialPortInfo port;
                for (const SerialPortInfo& p : system)
                    if (p.name == name) port = p;
                return std::none_of(usbFilters.begin(), usbFilters.end(), [&](const UsbFilter& f) { return f.matches(port); });
            });
        }
    }
    // The last port shown, as the listing shows it (the map's and the
    // filter's lists are made here).
    text = items.empty() ? "无可用的串口" : items.back();
    listedPorts_ = items;
    showPorts({PortListChange::Listed, -1, text});
}

SerialPortInfo Program::searchedPortInfo(const std::string& name) const {
    for (const SerialPortInfo& p : searchedPortInfo_)
        if (p.name == name) return p;
    return {};
}

std::string Program::channelPort(int slot) const {
    const auto& items = listedPorts_;
    if (portMap) {
        const std::string& port = portMap->ports[static_cast<size_t>(slot)];
        return std::find(items.begin(), items.end(), port) != items.end() ? port : std::string();
    }
    if (!portMapError.empty()) return {};
    return slot < static_cast<int>(items.size()) ? items[static_cast<size_t>(slot)] : std::string();
}

uint8_t Program::channelsNeeded() const {
    if (portMap) return portMap->lastChannel() > 4 ? 8 : 4;
    return listedPorts_.size() > 4 ? 8 : 4;
}

// A channel of the port map whose port is not there: said once a search.
void Program::reportEmptyChannel(int slot) {
    if (!portMap || portMap->ports[static_cast<size_t>(slot)].empty()) return;
    info.AppendInfoLine(format("Channel %d: empty, its port %s is not there", slot + 1,
                               portMap->ports[static_cast<size_t>(slot)].c_str()));
}

void Program::BitBtnFindDevClick() {
    createPorts();
    listedPorts_.clear();
    showPorts({PortListChange::Cleared, -1, ""});
    for (int s = 0; s < channelCount; ++s) {
        ChannelSession& c = ch[s];
        c.rx.reset();
        c.connected = false;
        c.busy = false;
        c.gauge->setEnabled(false);
        c.gauge->setProgress(0);
        c.gauge->setColor(kBlue);
        if (c.port->isOpen()) c.port->ClosePort();
    }
    for (ChannelSession& c : ch) {
        c.searchOutcome = SearchOutcome::NotQueried;
        c.unit = {};
    }
    ListSerialPorts();
    reportListedPorts();
    searchedPortInfo_ = systemSerialPorts();
    DevicesFound = 0;
    // Every port gets its 10 ms after opening before its query; the waits
    // overlap (one after all the ports are open), so that a search of 8 ports
    // takes 10 ms of waiting rather than 80.
    int opened = 0;
    for (int i = 0; i < channelCount; ++i) {
        const std::string port = channelPort(i);
        if (port.empty()) {
            reportEmptyChannel(i);
            continue;
        }
        ChannelSession& c = ch[i];
        info.AppendInfoLine(format("查找设备%d............", i + 1));
        // Which physical adapter sits on this channel, when the port is a USB
        // adapter that tells.
        SerialPortInfo usb = searchedPortInfo(port);
        if (!usb.vendorId.empty())
            info.AppendInfoLine(format("%s: USB %s:%s, S/N %s", usb.name.c_str(), usb.vendorId.c_str(),
                                       usb.productId.c_str(), usb.serial.empty() ? "-" : usb.serial.c_str()));
        c.connected = false;
        c.tickBudget = 500;
        // An open failure ends the search; the ports opened before it are
        // still queried.
        if (!openListedPort(i)) break;
        opened = i + 1;
    }
    if (opened == 0) return;
    loop.sleepMs(10);
    for (int i = 0; i < opened; ++i) {
        ChannelSession& c = ch[i];
        if (!channelPort(i).empty() && c.port->isOpen() && c.port->SendData(kDeviceQuery, sizeof kDeviceQuery))
            c.searchOutcome = SearchOutcome::NoAnswer;
    }
}

namespace {
std::string skippedLine(const SkippedPort& p) { return format("Port %s skipped: %s", p.name.c_str(), p.cause.c_str()); }
}  // namespace

// Names in the log the ports the listing left out and the listed ones no
// channel takes, so that no port drops out of a search without a word.
void Program::reportListedPorts() {
    for (const SkippedPort& p : skippedPorts_) info.AppendInfoLine(skippedLine(p));
    const auto& items = listedPorts_;
    const size_t used = std::min<size_t>(items.size(), channelCount);
    unusedPorts_.assign(items.begin() + static_cast<ptrdiff_t>(used), items.end());
    // The channel count is fixed at start-up: four unless more ports were there.
    for (const std::string& name : unusedPorts_)
        info.AppendInfoLine(format("Port %s not used: all %d channels are taken%s", name.c_str(), channelCount,
                                   channelCount < 8 ? " (start the program again to use 8)" : ""));
}

// Gives channel `slot` the port listed at the same position and opens it; an
// open failure is shown to the operator and ends the caller's loop.
bool Program::openListedPort(int slot) {
    ChannelSession& c = ch[slot];
    c.portName = channelPort(slot);
    c.port->setCommName(c.portName);
    try {
        c.port->OpenPort();
    } catch (const ECommsError& e) {
        // Listed a moment ago; gone or taken since.
        const std::string path = serialDevicePath(c.portName);
        std::string cause = portOpenFailure(path);
        skippedPorts_.push_back({c.portName, path, cause.empty() ? e.what() : cause});
        info.AppendInfoLine(skippedLine(skippedPorts_.back()));
        prompts.warning(e.what());
        return false;
    }
    return true;
}

Program::DeviceCheck Program::CheckDeviceInfo(const uint8_t* f, size_t n, std::string& text) const {
    static const std::string kModel = "Korvex200RTQ";
    text = kModel;
    if (n < 8 || f[0] != 0xA3 || f[1] != 0xA5 || f[2] != 0x35) return DeviceCheck::NotAProgrammer;
    uint16_t L = le16(f + 6);
    if (L == 0) return DeviceCheck::NotAProgrammer;
    // The text: bytes from offset 28 in 0x20..0x7F, at most L + 1 of them, at
    // most 127 kept, and never beyond the decoded frame.
    std::string t;
    for (size_t i = 28; i < n && i < 28 + static_cast<size_t>(L) + 1 && t.size() < 127; ++i) {
        if (f[i] < 0x20 || f[i] > 0x7F) break;
        t.push_back(static_cast<char>(f[i]));
    }
    text = t;
    if (t.compare(0, kModel.size(), kModel) != 0 || t.size() < kModel.size()) return DeviceCheck::NotAProgrammer;
    std::string word;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i] == 'V' && t[i - 1] == ' ') {
            for (size_t j = i; j < t.size() && t[j] != ' ' && t[j] != ',' && word.size() < 8; ++j) word.push_back(t[j]);
            break;
        }
    }
    const auto& stored = firmware->version;
    bool haveStored = std::any_of(stored.begin(), stored.end(), [](uint8_t b) { return b != 0; });
    if (!haveStored) return DeviceCheck::Accepted;
    if (word.empty()) return DeviceCheck::OlderFirmware;
    // Compared as zero-terminated texts over the length of the version word.
    for (size_t i = 0; i < word.size(); ++i) {
        uint8_t a = static_cast<uint8_t>(word[i]);
        uint8_t b = i < stored.size() ? stored[i] : 0;
        if (a != b) return a < b ? DeviceCheck::OlderFirmware : DeviceCheck::Accepted;
        if (b == 0) break;
    }
    return DeviceCheck::Accepted;
}

namespace {
// The unit that answered on a port: its text's words and its adapter's USB
// identity.
UnitIdentity unitOn(const SerialPortInfo& usb, const std::string& text) {
    UnitIdentity u = parseUnitText(text);
    u.vendorId = usb.vendorId;
    u.productId = usb.productId;
    u.usbSerial = usb.serial;
    return u;
}
}  // namespace

void Program::deviceInfoPath(int slot, const uint8_t* run, uint16_t length) {
    ChannelSession& c = ch[slot];
    uint8_t src[kFrameBufferSize * 2 + 16];
    uint16_t count = static_cast<uint16_t>(std::min<size_t>(length, sizeof src));
    std::memcpy(src, run, count);
    uint16_t n = 0;
    if (ExtractFrame(src, count, c.frameBuffer.data(), c.frameBuffer.size(), n) != kResultOk) return;
    c.frameLength = n;
    if (c.frameBuffer[0] == 0xFD) {
        showOfflineStatus(slot);
        return;
    }
    std::string text;
    switch (CheckDeviceInfo(c.frameBuffer.data(), n, text)) {
    case DeviceCheck::Accepted:
        c.searchOutcome = SearchOutcome::Found;
        c.upgrading = false;
        c.connected = true;
        c.step = StepIdle;
        c.tickBudget = 500;
        if (searchSummaryHook) searchSummaryHook(text);
        channelLine(format("找到设备：%s!", text.c_str()), slot);
        ++DevicesFound;
        c.unit = unitOn(searchedPortInfo(c.portName), text);
        if (!listeners.empty()) publish(DeviceFound{header(slot), c.unit});
        break;
    case DeviceCheck::OlderFirmware:
        c.searchOutcome = SearchOutcome::Upgrading;
        c.unit = unitOn(searchedPortInfo(c.portName), text);
        startFirmwareUpgrade(slot);
        break;
    case DeviceCheck::NotAProgrammer:
        c.searchOutcome = SearchOutcome::NotAProgrammer;
        c.connected = false;
        if (searchSummaryHook) searchSummaryHook("未找到设备！");
        channelLine("未找到设备!", slot);
        channelLine("Return Device Info : " + text, slot);
        break;
    }
}

// ---------------------------------------------------------------------------
// Launchers.

bool Program::checkChip() {
    if (chip.chipChosen) return true;
    lastRefusal_ = LaunchRefusal::NoChip;
    prompts.information("请选择并确认芯片型号！");
    return false;
}

bool Program::checkFile() {
    if (fileLoaded) return true;
    lastRefusal_ = LaunchRefusal::NoFile;
    prompts.information("请加载目标文件！");
    return false;
}

namespace {
// The operations that write or compare the image need a file loaded.
bool needsFile(Operation op) {
    return op == Operation::Auto || op == Operation::Download || op == Operation::Program || op == Operation::Verify;
}
}  // namespace

// A channel that was cut short starts nothing until its unit has answered:
// the operator is told why it did not start.
void Program::settlingLine(int slot) {
    channelLine("Not started: the unit has yet to answer the last request of the stopped operation", slot);
}

Program::LaunchRefusal Program::refusalFor(Operation op) const {
    if (!chip.chipChosen) return LaunchRefusal::NoChip;
    if (needsFile(op) && !fileLoaded) return LaunchRefusal::NoFile;
    return LaunchRefusal::None;
}

bool Program::mayStart(Operation op) { return checkChip() && (!needsFile(op) || checkFile()); }

bool Program::prepare(Operation op) {
    lastRefusal_ = LaunchRefusal::None;
    if (op == Operation::Auto || op == Operation::Download) info.addLine("");
    // The flash read checks its chip only once its settings are taken.
    return op == Operation::ReadFlash || mayStart(op);
}

// The per-channel part of the broadcast launchers: the resets and the first
// step go to every channel in use that is connected and idle. A busy channel
// is left as it is, so a running operation keeps its pending bytes and its
// chain.
void Program::forEachIdleChannel(bool resetAuto, uint8_t channels, const std::function<void(int)>& start) {
    for (int s = 0; s < channelCount; ++s) {
        ChannelSession& c = ch[s];
        if (!c.connected || c.busy || !(channels >> s & 1)) continue;
        if (c.strayTicks) {
            settlingLine(s);
            continue;
        }
        c.rx.reset();
        if (resetAuto) c.autoSequence = false;
        start(s);
    }
}

bool Program::start(Operation op, const JobSettings& settings, uint8_t channels) {
    lastRefusal_ = LaunchRefusal::None;
    if (!mayStart(op)) return false;
    const bool readBack = op == Operation::ReadOption || op == Operation::ReadFlash || op == Operation::ReadChipId;
    if (readBack && !(channels & 1)) return true;
    if (readBack && ch[0].strayTicks) {
        settlingLine(0);
        return true;
    }
    // The chip identifier is read without a job.
    if (op != Operation::ReadChipId) {
        job = settings;
        image->viewFirst = chip.flashFirst;
        image->viewLast = chip.flashLast;
    }
    // SC chips take their NVM area through the option write.
    const bool sc = chip.vendor == ChipVendor::SC;
    switch (op) {
    case Operation::Auto:
        if (sc) job.includeNvm = false;
        forEachIdleChannel(false, channels, [this](int s) { startBlankCheckAuto(s); });
        break;
    case Operation::Download:
        for (int s = 0; s < channelCount; ++s)
            if (ch[s].connected && !ch[s].busy && (channels >> s & 1)) {
                if (ch[s].strayTicks) settlingLine(s);
                else startJobDownload(s);
            }
        break;
    case Operation::BlankCheck: forEachIdleChannel(true, channels, [this](int s) { startBlankCheck(s); }); break;
    case Operation::Erase: forEachIdleChannel(true, channels, [this](int s) { startErase(s, "执行芯片擦除......"); }); break;
    case Operation::Program:
        if (sc) job.includeNvm = false;
        forEachIdleChannel(true, channels, [this](int s) { startProgramming(s, "开始编程......"); });
        break;
    case Operation::Verify:
        if (sc) job.includeNvm = false;
        forEachIdleChannel(true, channels, [this](int s) { startFlashVerify(s); });
        break;
    case Operation::WriteOption: forEachIdleChannel(true, channels, [this](int s) { startOptionWrite(s); }); break;
    case Operation::ReadOption: startOptionRead(); break;
    case Operation::ReadFlash:
        if (!ch[0].busy) startFlashRead(0);
        break;
    case Operation::ReadChipId:
        ch[0].step = StepReadChipId;
        info.AppendInfoLine("读取芯片......");
        setupGauge(500, chip.flashSizeKB, 0);
        sendChipCommand(0, kSubChipIdRead);
        break;
    }
    return true;
}

void Program::startOptionRead() {
    info.AppendInfoLine("读NVM Data ......");
    ChannelSession& c = ch[0];
    c.rx.reset();
    c.step = StepReadOption;
    c.timeGauge = true;
    c.autoSequence = false;
    info.addLine("");
    setupGauge(500, 4, 0);
    if (chip.vendor == ChipVendor::SC) sendNvmBlockRead(0);
    else sendChipCommand(0, kSubOptionRead);
}

void Program::startReadAddress(uint32_t address, uint16_t length) {
    readAddress = address;
    readLength = length;
    ChannelSession& c = ch[0];
    c.step = StepReadAddress;
    c.autoSequence = false;
    c.rx.reset();
    setupGauge(500, chip.flashSizeKB, 0);
    c.gauge->setProgress(250);
    gaugeMoved(0);
    sendAddressRead(0);
}

// ---------------------------------------------------------------------------
// Watchdog.

void Program::Timer1Timer() {
    for (int s = 0; s < 8; ++s) {
        ChannelSession& c = ch[s];
        if (!c.busy) {
            if (c.strayTicks) --c.strayTicks;
            continue;
        }
        if (c.timeGauge) {
            c.gauge->addProgress(1);
            gaugeMoved(s);
        }
        if (c.tickBudget > 0) {
            --c.tickBudget;
            continue;
        }
        const std::string text = c.step == StepDownloadJob ? format("编程器 %d ：操作超时！", s + 1)
                                                           : format("芯片 %d ：操作超时！", s + 1);
        info.AppendInfoLine(text);
        finishChannel(1, s, text);
    }
}

// ---------------------------------------------------------------------------
// Off-line production.

void Program::StartOfflineProgrm1Click() {
    createPorts();
    info.AppendInfoLine("Start Off-Line Programming......");
    listedPorts_.clear();
    showPorts({PortListChange::Cleared, -1, ""});
    for (int s = 0; s < channelCount; ++s) {
        ChannelSession& c = ch[s];
        c.rx.reset();
        c.connected = false;
        c.busy = false;
        c.gauge->setProgress(0);
        if (c.port->isOpen()) c.port->ClosePort();
    }
    ListSerialPorts();
    reportListedPorts();
    for (int i = 0; i < channelCount; ++i) {
        if (channelPort(i).empty()) {
            reportEmptyChannel(i);
            continue;
        }
        if (!openListedPort(i)) return;
        loop.sleepMs(30);
        if (i == 0 && ch[0].port->isOpen()) sendProgrammerRestart(0);
    }
}

// ---------------------------------------------------------------------------
// Firmware upgrade.

void Program::startFirmwareUpgrade(int slot) {
    if (!FirmwareFileLoaded()) return;
    ChannelSession& c = ch[slot];
    c.upgrading = true;
    c.connected = true;
    if (!c.busy) c.startedMs = clock.epochMs();
    c.step = StepUpgrade;
    c.timeGauge = false;
    c.busy = true;
    c.tickBudget = 500;
    c.blockKB = 0;
    c.blockTotalKB = static_cast<uint16_t>(firmware->blockCount());
    c.gauge->setEnabled(true);
    c.gauge->setProgress(2);
    c.gauge->setMaxValue(c.blockTotalKB);
    c.gauge->setColor(kBlue);
    stepStarted(slot);
    gaugeMoved(slot);
    info.AppendInfoLine("开始升级编程器固件......");
    sendFirmwareBlock(0, slot);
}

void Program::firmwareBlockDone(uint8_t /*result*/, int slot) {
    ChannelSession& c = ch[slot];
    c.gauge->addProgress(1);
    gaugeMoved(slot);
    ++c.blockKB;
    if (c.blockKB < c.blockTotalKB) {
        sendFirmwareBlock(c.blockKB, slot);
        return;
    }
    c.upgrading = false;
    sendFirmwareEnd(slot);
    info.AppendInfoLine("Firmware 1 Upgrade Completed!");
    finishChannel(0, slot, "Firmware 1 Upgrade Completed!");
}

void Program::sendFirmwareBlock(uint16_t block, int slot) {
    sendFrame(slot, buildFirmwareBlock(rng, firmware->buffer.data(), block, frameOf(slot)));
}

void Program::sendFirmwareEnd(int slot) { sendFrame(slot, buildFirmwareEnd(frameOf(slot))); }

void Program::DoFirmwareUpgrade1Click() {
    if (!FirmwareFileLoaded()) {
        prompts.message("Firmware文件没有找到，请确认！");
        return;
    }
    if (DevicesFound == 0) {
        prompts.message("No Device is Connected!");
        return;
    }
    // The programmers found are the connected channels. They usually sit in
    // the first DevicesFound slots, but not when a foreign device or a
    // silent port came before one of them: counting slots would send the
    // firmware to a device that is not a programmer and miss a programmer.
    createPorts();
    for (int s = 0; s < channelCount; ++s) {
        if (!ch[s].connected) continue;
        ch[s].rx.reset();
        startFirmwareUpgrade(s);
    }
}

}  // namespace kvx
