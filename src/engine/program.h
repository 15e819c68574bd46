// The programming engine: the eight channel sessions with their ports, the
// job settings, the chip, the images, and every operation that runs on the
// channels (discovery, reporting, reply dispatch, launchers, watchdog,
// off-line production, firmware upgrade). One instance for the whole run,
// driven on the logic thread.
#pragma once

#include "chip/profile.h"
#include "engine/events.h"
#include "firmware/firmware_file.h"
#include "image/image_state.h"
#include "link/assembler.h"
#include "link/frame.h"
#include "link/records.h"
#include "serial/comm.h"
#include "serial/discovery.h"
#include "serial/port_map.h"
#include "shell/info.h"
#include "shell/job_options.h"
#include "shell/main_controls.h"
#include "shell/seams.h"

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

struct RequestContext;


// Result codes of the units' replies; Program::resultMessage gives their
// texts. The codes the link layer knows as well (kResultOk, kResultGood,
// kResultNoClosingFlag, kResultCrcMismatch, kResultDamaged,
// kResultVerifyMismatch) are in link/frame.h.
constexpr uint8_t kResultChipNotErased = 0x04;
constexpr uint8_t kResultNoChipResponse = 0x0B;
constexpr uint8_t kResultWriteProtected = 0x10;
constexpr uint8_t kResultReadProtected = 0x13;
constexpr uint8_t kResultNotBlank = 0x15;  // a blank check found data; it has no message of its own
constexpr uint8_t kResultUnknownCommand = 0x25;
constexpr uint8_t kResultFlashError = 0x2C;
constexpr uint8_t kResultNvmWriteError = 0x2D;
constexpr uint8_t kResultChipChecksumWrong = 0x34;
constexpr uint8_t kResultWrongChipType = 0x36;
constexpr uint8_t kResultWrongChipMaker = 0x38;
constexpr uint8_t kResultCommandTimeout = 0x40;
constexpr uint8_t kResultCommandFailed = 0x45;
constexpr uint8_t kResultSerialNumberWriteError = 0x47;
constexpr uint8_t kResultOptionWriteError = 0x4F;
constexpr uint8_t kResultFlashSizeMismatch = 0x51;
constexpr uint8_t kResultAddressOutOfRange = 0x55;
constexpr uint8_t kResultIllegalOperation = 0x5A;  // the chip is probably protected
constexpr uint8_t kResultInterfaceInitError = 0x60;
constexpr uint8_t kResultSerialLinkError = 0xE0;

// The two codes a unit answers a successful operation with.
constexpr bool isSuccessCode(uint8_t code) { return code == kResultOk || code == kResultGood; }

// The operations a front end starts on the channels.
enum class Operation : uint8_t {
    Auto,         // blank check, erase when needed, program, verify, option write
    Download,     // the job and image into the units, for off-line production
    BlankCheck,
    Erase,
    Program,
    Verify,
    WriteOption,
    ReadOption,   // channel 1 only, as the read-backs below
    ReadFlash,
    ReadChipId,
};

// The job the engine sends, from the job's options as the window shows them:
// `base` gives what the options do not name (the chip's and a project's flag
// bits), `vendor` the chip family, whose option write differs.
JobSettings jobSettingsOf(const JobOptions& options, const JobSettings& base, ChipVendor vendor);

// What the last device search learned of a channel's port.
enum class SearchOutcome : uint8_t {
    NotQueried,      // no device query went out on it
    NoAnswer,        // queried; no device information has come back
    NotAProgrammer,  // the answer was not a Korvex200 programmer's
    Found,           // a programmer answered; the channel is connected
    Upgrading,       // a programmer with older firmware answered; its upgrade started
};

struct ChannelSession {
    TComm* port = nullptr;
    std::string portName;
    Control* gauge = nullptr;
    std::array<uint8_t, kFrameBufferSize> frameBuffer{};
    std::array<uint8_t, kTxBufferSize> txBuffer{};
    uint16_t frameLength = 0;  // length of the frame last decoded into frameBuffer
    RxAssembler rx;            // rxBuffer, rxCount, rxFrame
    bool connected = false;
    uint8_t step = StepIdle;
    bool busy = false;
    bool autoSequence = false;
    bool timeGauge = false;
    uint16_t tickBudget = 0;
    uint16_t blockKB = 0;
    uint16_t blockTotalKB = 0;
    int32_t okCount = 0;
    int32_t ngCount = 0;
    bool upgrading = false;
    // Bytes this channel put on and took from its line (for measurements).
    uint64_t txBytes = 0;
    uint64_t rxBytes = 0;
    uint64_t statusFrames = 0;  // off-line status frames shown
    SearchOutcome searchOutcome = SearchOutcome::NotQueried;  // of the last device search
    UnitIdentity unit;  // the unit found on it by the last search
    int64_t startedMs = 0;  // when its current (or last) operation began, engine clock
    // The job's serial-number settings when its current operation began
    // (none: numbering off).
    std::optional<SerialSettings> serialAtStart;
    // Its current operation was cut short: the port hung up (the unit
    // unplugged) or the program is closing.
    bool cutShort = false;
    // Ticks left to wait for the answer to the request an operation that was
    // stopped still had out (0: none out). That answer is dropped, not taken
    // as the next operation's, and the channel takes no new one meanwhile.
    uint16_t strayTicks = 0;
};

class Program {
public:
    Program(EventLoop& loop, Prompts& prompts, Clock& clock, Random& rng, MainControls& ui, InfoWriter& info);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // --- seams and window ---------------------------------------------------
    EventLoop& loop;
    Prompts& prompts;
    Clock& clock;
    Random& rng;
    MainControls& ui;
    InfoWriter& info;

    // --- the job and the line's configuration, set by the front ends --------------
    // The line's port map, when it has one: each channel takes its own port,
    // and a port not there leaves its channel empty. A map that cannot be
    // read (portMapError) lists no port at all, rather than let the channels
    // fall to other sockets.
    std::optional<PortMap> portMap;
    std::string portMapError;
    // Without a map: only adapters matching one of these (none: every port).
    std::vector<UsbFilter> usbFilters;
    // The port of channel `slot` in the last listing ("" when it has none).
    std::string channelPort(int slot) const;
    // The channel count the listed ports need: 8 beyond the fourth, else 4.
    uint8_t channelsNeeded() const;
    // Off-line summaries between two production-log saves.
    int32_t summariesPerSave = 2000;
    ChipProfile chip;
    JobSettings job;
    ProjectWords words;
    uint8_t modelCode = 12;
    bool fileLoaded = false;
    bool reservedProjectFlag = false;
    std::unique_ptr<ImageState> image = std::make_unique<ImageState>();
    std::unique_ptr<FirmwareFile> firmware = std::make_unique<FirmwareFile>();
    bool FirmwareFileLoaded() const { return firmware && firmware->loaded; }

    // Hooks filled by the rooms above: saving the information log every
    // summariesPerSave off-line summaries; redrawing the views after a read-back.
    std::function<void()> saveProductionLogHook;
    std::function<void()> refreshFlashViewHook;
    std::function<void()> refreshNvmViewHook;
    // The port box follows the channels' port list: a new listing (the last
    // port shown as its text), a cleared list, or a port that hung up
    // (its index in the list; the text to show when the list ran empty).
    struct PortListChange {
        enum Kind { Listed, Cleared, Removed } kind;
        int index;
        std::string text;
    };
    std::function<void(const PortListChange&)> portListHook;
    // The device search's latest word on a unit (the status panel shows it).
    std::function<void(const std::string&)> searchSummaryHook;
    // The loaded image's file checksum and chip checksum, as just reported.
    std::function<void(uint32_t fileChecksum, uint16_t flashAcc)> imageSumsHook;
    // The front ends' observers of the engine's events, called in order on
    // the logic thread as each thing happens.
    std::vector<EngineListener> listeners;


    // What a front end may know of a channel: whether a unit is connected on
    // it and runs an operation, the step it is in, its port, what the last
    // search found there.
    struct ChannelState {
        bool connected = false, busy = false, portOpen = false, upgrading = false;
        uint8_t step = StepIdle;
        std::string port;
        SearchOutcome searchOutcome = SearchOutcome::NotQueried;
        UnitIdentity unit;
        // A stopped operation's answer is still awaited: no operation starts.
        bool settling = false;
    };
    ChannelState channelState(int slot) const;
    // Every open port has put its queued bytes on the line.
    bool allSent() const;
    // What a channel's line carried and what off-line production counted on
    // it (for measurements and tests).
    struct ChannelCounts {
        uint64_t txBytes = 0, rxBytes = 0, statusFrames = 0;
        int32_t ok = 0, ng = 0;
    };
    ChannelCounts channelCounts(int slot) const;
    // The channels in use (4 or 8) and the programmers the last search found.
    uint8_t channelsInUse() const { return channelCount; }
    uint8_t devicesFound() const { return DevicesFound; }
    // Why the last launch started no channel (the operator was told in a box).
    enum class LaunchRefusal { None, NoChip, NoFile };
    LaunchRefusal lastRefusal() const { return lastRefusal_; }
    // What a launch of `op` would be refused for, told to nobody (a remote
    // controller is answered, not the operator's screen).
    LaunchRefusal refusalFor(Operation op) const;
    // The ports listed for the channels, in channel order (the port box
    // shows them): the last search's listing, less the ports that hung up
    // since.
    const std::vector<std::string>& listedPorts() const { return listedPorts_; }
    // The last search's ports that could not be opened: the listing's, then a
    // listed port that failed to open for its channel.
    const std::vector<SkippedPort>& skippedPorts() const { return skippedPorts_; }
    // The last search's listed ports beyond the channels in use.
    const std::vector<std::string>& unusedPorts() const { return unusedPorts_; }
    // Off-line production's good and failed chips since start.
    int32_t offlineOk() const { return totalOk; }
    int32_t offlineNg() const { return totalNg; }
    // The range of the last address read (the dialog shows it again).
    uint32_t lastReadAddress() const { return readAddress; }
    uint16_t lastReadLength() const { return readLength; }

    // --- start-up ---------------------------------------------------------------
    // Every channel idle and unconnected, no programmer found, the port
    // objects made; then, once the configuration is read, the ports listed
    // and the channels in use set from them (4, or 8 beyond the fourth port).
    void resetChannels();
    void listPortsForStart();

    // --- receive path ---------------------------------------------------------
    void receiveData(int slot, const uint8_t* buffer, uint16_t length);  // SPCommNReceiveData
    void receiveError(int slot);                                          // SPCommNReceiveError
    void requestHangup(int slot);                                         // SPCommNRequestHangup

    // --- device discovery -------------------------------------------------------
    void ListSerialPorts();
    void BitBtnFindDevClick();

    // --- reporting ---------------------------------------------------------------
    static std::string resultMessage(uint8_t code);

    // The next serial number, after a chip got one (the window's edit shows it).
    std::function<void(uint32_t next)> nextSerialNumberHook;

    // --- requests ---------------------------------------------------------------
    void fillContext(RequestContext& ctx) const;

    // --- reply dispatch and chaining ----------------------------------------------

    // --- launchers ------------------------------------------------------------------
    // A launch in two parts, so that a front end asks for the job's settings
    // only when the operation may run. prepare() writes the blank line that
    // begins an automatic run or a download and checks that a chip is chosen
    // and, where the operation needs one, a file loaded: a refusal is told in
    // a box and kept in lastRefusal. start() checks the same again and starts
    // the operation with `settings` on every connected idle channel (the
    // read-backs on channel 1); the chip identifier read ignores them. Both
    // give false when refused. `channels` narrows the broadcast to the
    // channels of its set bits (bit 0: channel 1); a read-back runs only
    // when channel 1's bit is set.
    bool prepare(Operation op);
    static constexpr uint8_t kAllChannels = 0xFF;
    bool start(Operation op, const JobSettings& settings, uint8_t channels = kAllChannels);
    // Ends the running operations of `channels` as cut short (the program
    // closes or a controller stopped them): a line each with `why`, and a
    // result event marked interrupted, so that a front end reports and
    // records it. The unit's answer to the request it still has is dropped
    // when it comes; until then, or the watchdog's 5 s, the channel settles
    // and starts nothing.
    void interruptRunning(const std::string& why, uint8_t channels = kAllChannels);
    // The read-address request on channel 1.
    void startReadAddress(uint32_t address, uint16_t length);

    // --- watchdog and off-line -------------------------------------------------------
    void Timer1Timer();
    void StartOfflineProgrm1Click();

    // --- firmware upgrade --------------------------------------------------------------
    void DoFirmwareUpgrade1Click();

    // --- image summaries -----------------------------------------------------------------
    void reportImageInfo(uint32_t first, uint32_t last);
    void computeNvmSums();

    // Opens each channel's port object and binds its events (called once).
    void createPorts();
    // Closes every open port in channel order 1 .. 8.
    void closeAllPorts();

#ifndef KORVEX_ENGINE_PROBE
private:
#else
    // The fuzz tree (all of it built so) drives the reply paths and the
    // steps directly: every member is open to its harness.
public:
#endif
    // --- the channels' sessions and the run's counts -------------------------
    std::array<std::unique_ptr<TComm>, 8> ports;  // SPComm1 .. SPComm8
    std::array<ChannelSession, 8> ch;
    uint8_t channelCount = 8;
    uint8_t DevicesFound = 0;
    LaunchRefusal lastRefusal_ = LaunchRefusal::None;
    std::vector<std::string> listedPorts_;
    // The serial-number settings the last successful job download sent to
    // the unit on each port (in this run of the program): what its off-line
    // chips were numbered from.
    std::map<std::string, SerialSettings> downloadedSerial_;
    std::vector<SkippedPort> skippedPorts_;
    // The machine's serial ports as the last search found them: one scan of
    // the system a search, not one per port and answer.
    std::vector<SerialPortInfo> searchedPortInfo_;
    SerialPortInfo searchedPortInfo(const std::string& name) const;
    std::vector<std::string> unusedPorts_;
    int32_t totalOk = 0, totalNg = 0, summariesSinceSave = 0;
    // Read-address request parameters.
    uint32_t readAddress = 0;
    uint16_t readLength = 0;

    enum class DeviceCheck { Accepted, OlderFirmware, NotAProgrammer };
    void deviceInfoPath(int slot, const uint8_t* run, uint16_t length);
    DeviceCheck CheckDeviceInfo(const uint8_t* frame, size_t length, std::string& text) const;
    void channelLine(const std::string& text, int slot) { info.channelLine(text, slot + 1); }
    void settlingLine(int slot);
    void setupGauge(uint16_t tickLimit, uint16_t blockTotalKB, int slot);
    // Ends a channel's operation; the result event carries the message shown
    // for it and the unit's result code (-1: none).
    void finishChannel(int failed, int slot, const std::string& message, int code = -1);
    void reportResult(uint8_t code, int slot);
    void showOfflineStatus(int slot);
    void writeOfflineSummary();
    // After a good chip on `slot`, with on-line numbering on: the job's next
    // number, told to nextSerialNumberHook (the window's edit shows it). The
    // number is the host's count only: no request carries it.
    void advanceSerialNumber(int slot);
    // The job's serial-number settings, none when numbering is off.
    std::optional<SerialSettings> serialSettings() const;
    void sendFrame(int slot, size_t frameLength);
    void sendJobDownload(int slot);
    void sendFlashBlockDownload(int slot);
    void sendNvmBlockDownload(int slot);
    void sendChipCommand(int slot, uint8_t sub);
    void sendOptionWrite(int slot);
    void sendFlashBlockProgram(int slot);
    void sendNvmBlockProgram(int slot);
    void sendFlashBlockRead(int slot);
    void sendNvmBlockRead(int slot);
    void sendAddressRead(int slot);
    void sendProgrammerRestart(int slot);
    void handleReply(int slot, const uint8_t* run, uint16_t length);
    void startJobDownload(int slot);
    void startFlashDownload(int slot);
    void startNvmDownload(int slot);
    void startBlankCheckAuto(int slot);
    void startBlankCheck(int slot);
    void startErase(int slot, const std::string& line);
    void startProgramming(int slot, const std::string& line);
    void startNvmProgramming(int slot);
    void startFlashVerify(int slot);
    void startNvmVerify(int slot);
    void startOptionWrite(int slot);
    void startFlashRead(int slot);
    void startFirmwareUpgrade(int slot);
    void firmwareBlockDone(uint8_t result, int slot);
    void sendFirmwareBlock(uint16_t block, int slot);
    void sendFirmwareEnd(int slot);
    void computeFlashSums();
    void reportFlashChecksum(uint32_t first, uint32_t last);

    // A request context filled from the program's state (fillContext).
    RequestContext requestContext() const;
    uint8_t* frameOf(int slot) { return ch[slot].frameBuffer.data(); }
    // Sends the request `build` makes for the channel's current block.
    using BlockRequestBuilder = size_t (*)(const RequestContext&, uint16_t blockKB, uint8_t* frame);
    void sendBlockRequest(int slot, BlockRequestBuilder build);
    // Runs `start` on every channel in use of the mask's channels that is
    // connected and not busy, after clearing its receive buffer and, with
    // resetAuto, its auto sequence.
    void forEachIdleChannel(bool resetAuto, uint8_t channels, const std::function<void(int)>& start);
    // What an event of `slot` begins with: its channel, port and time.
    EventHeader header(int slot) const;
    template <class Event>
    Event eventAt(int slot) const {
        Event e;
        static_cast<EventHeader&>(e) = header(slot);
        return e;
    }
    // The chip and the image a result or an off-line chip was made with.
    JobFacts jobFacts() const;
    std::string operationOf(int slot) const;
    void publish(const EngineEvent& e);
    void stepStarted(int slot);
    // The gauge of `slot` moved: a progress event with what it shows.
    void gaugeMoved(int slot);
    void showPorts(const PortListChange& change);
    bool openListedPort(int slot);
    void reportListedPorts();
    void reportEmptyChannel(int slot);
    bool checkChip();
    bool checkFile();
    bool mayStart(Operation op);
    void startOptionRead();
    uint8_t withData(int slot, uint8_t result, size_t bytes) const;
    void stepReply(int slot, uint8_t result);
    void blankCheckReply(int slot, uint8_t result);
    void nvmVerifyReply(int slot, uint8_t result);
    void optionReadReply(int slot, uint8_t result);
    void chipIdReply(int slot, uint8_t result);
    void flashBlockStep(int slot, uint8_t result, bool zeroOnly);
    bool compareFlashBlock(int slot);
    bool compareNvm(int slot);
    void readOptionData(int slot);
    void addressDump(int slot);
    uint16_t payloadLength(int slot) const;
    bool payloadHas(int slot, size_t bytes) const;
};

}  // namespace kvx
