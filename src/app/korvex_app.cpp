#include "app/korvex_app.h"

#include "app/chip_select_form.h"
#include "chip/catalogue.h"
#include "firmware/firmware_file.h"
#include "image/buffer_views.h"
#include "records/pg_connection.h"
#include "shell/safe_file.h"
#include "shell/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace kvx {

KorvexApp::KorvexApp(EventLoop& l, Prompts& p, Clock& c, Random& r) : loop(l), prompts(p), clock(c), rng(r) {
    bindHandlers();
}

KorvexApp::~KorvexApp() {
    // The records' threads report into members declared after them (the
    // news queue), which would go first: the threads end before anything.
    recordForwarder.reset();
    recordWriter.reset();
    if (timer1) loop.stopTimer(timer1);
    if (timer2) loop.stopTimer(timer2);
}

void KorvexApp::bindHandlers() {
    auto bind = [this](const char* name, std::function<void()> fn) { ui[name].onClick = std::move(fn); };
    bind("ClearInformation1", [this] { ClearInformation1Click(); });
    bind("SpdBtnExit", [this] { SpdBtnExitClick(); });
    bind("Exit1", [this] { SpdBtnExitClick(); });
    bind("About1", [this] { About1Click(); });
    bind("DevButton", [this] { DevButtonClick(); });
    ui["MCUNameEdit"].onChange = [this] { MCUNameEditChange(); };
    bind("BitBtnFindDev", [this] { engine.BitBtnFindDevClick(); });

    bind("SpdBtnOpen", [this] { FileOpenBtnClick(); });
    bind("Execute1", [this] { FileOpenBtnClick(); });
    bind("SpdBtnLoadMore", [this] { SpdBtnLoadMoreClick(); });
    bind("LoadNVMDataFile1", [this] { LoadNVMDataFile1Click(); });
    bind("ButtonLdCFG", [this] { LoadNVMDataFile1Click(); });
    bind("LoadFileOTP", [this] { LoadNVMDataFile1Click(); });
    bind("SaveFile1", [this] { FileSaveBtnClick(); });
    bind("SaveNVMDatatoFile1", [this] { SaveNVMDatatoFile1Click(); });
    bind("SaveBuffer1", [this] { SaveNVMDatatoFile1Click(); });
    bind("ReadAddress1", [this] { ReadAddress1Click(); });
    bind("SpdBtnLdPrj", [this] { SpdBtnLdPrjClick(); });
    bind("LoadFromProjectFile1", [this] { SpdBtnLdPrjClick(); });
    bind("SavetoProjectFile1", [this] { SavetoProjectFile1Click(); });
    bind("CheckBoxSN", [this] { CheckBoxSNClick(); });
    bind("ChkBoxSNDP", [this] { ChkBoxSNDPClick(); });
    bind("ButtonCfgSN", [this] { ButtonCfgSNClick(); });
    bind("ButtonOpt", [this] { ButtonOptClick(); });
    bind("ConfigLogFile1", [this] { ConfigLogFile1Click(); });
    bind("ProductionRecords1", [this] { ProductionRecords1Click(); });
    logForm.writeConfiguration = [this] { writeLogConfiguration(); };
    engine.saveProductionLogHook = [this] { saveProductionLog(); };
    // The information log's journal lies in the program folder; a failed
    // save or journal write is told in the log itself (from the loop, not
    // while a line is being added).
    log.journal().setFolder([this] { return logsFolder(); });
    log.journal().onFailure = [this](const std::string& cause) { loop.post([this, cause] { AppendInfoLine(cause); }); };
    productionLogs.onFailed = [this](const std::string& error) {
        ++logWriteFailures;
        AppendInfoLine(error);
    };
    snForm.onFlashChanged = [this] { showFlashView(engine.chip.flashFirst, engine.chip.flashLast); };
    snForm.onNvmChanged = [this] {
        if (engine.chip.eepSize > 0) showNvmView();
    };
    engine.refreshFlashViewHook = [this] { showFlashView(engine.chip.flashFirst, engine.chip.flashLast); };
    engine.refreshNvmViewHook = [this] { showNvmView(); };

    bind("AutoSpdBtn", [this] { AutoSpdBtnClick(); });
    bind("AutoProgram1", [this] { AutoSpdBtnClick(); });
    bind("SpdBtnDownLoad", [this] { SpdBtnDownLoadClick(); });
    bind("Download1", [this] { SpdBtnDownLoadClick(); });
    bind("SpdBtnBlankChk", [this] { SpdBtnBlankChkClick(); });
    bind("BlankCheck1", [this] { SpdBtnBlankChkClick(); });
    bind("SpdBtnErase", [this] { SpdBtnEraseClick(); });
    bind("EraseChip1", [this] { SpdBtnEraseClick(); });
    bind("SpdBtnProg", [this] { SpdBtnProgClick(); });
    bind("Programming1", [this] { SpdBtnProgClick(); });
    bind("SpdBtnVerify", [this] { SpdBtnVerifyClick(); });
    bind("VeriufyDownload1", [this] { SpdBtnVerifyClick(); });
    bind("SpdBtnWrtOPB", [this] { SpdBtnWrtOPBClick(); });
    bind("WriteOptionByte1", [this] { SpdBtnWrtOPBClick(); });
    bind("ReadOptionByte1", [this] { ReadOptionByte1Click(); });
    bind("ReadChipMemory1", [this] { ReadChipMemory1Click(); });
    bind("ReadVO32voChipID1", [this] { ReadVO32voChipID1Click(); });
    bind("StartOfflineProgrm1", [this] { engine.StartOfflineProgrm1Click(); });
    bind("DoFirmwareUpgrade1", [this] { engine.DoFirmwareUpgrade1Click(); });
    bind("CheckBoxCtrl", [this] { CheckBoxCtrlClick(); });
    bind("ChkBoxAuto", [this] { ChkBoxAutoClick(); });
    bindEngineViews();
}

// The controls that show what the engine owns: the port list, the search's
// word on a unit, the image's sums, the next serial number.
void KorvexApp::bindEngineViews() {
    engine.portListHook = [this](const Program::PortListChange& c) {
        Control& combo = ui["ComboBoxCOM"];
        switch (c.kind) {
        case Program::PortListChange::Listed:
            combo.setItems(engine.listedPorts());
            combo.setText(c.text);
            break;
        case Program::PortListChange::Cleared: combo.clearItems(); break;
        case Program::PortListChange::Removed:
            combo.deleteItem(c.index);
            if (!c.text.empty()) combo.setText(c.text);
            break;
        }
    };
    engine.searchSummaryHook = [this](const std::string& text) { ui["InfoPanel"].setCaption(text); };
    engine.imageSumsHook = [this](uint32_t fileChecksum, uint16_t flashAcc) {
        Control& bar = ui["StatusBarX"];
        auto panels = bar.items();
        panels.resize(3);
        panels[0] = format("文件校验和：0x%0.8x", fileChecksum);
        panels[1] = format("芯片校验和：0x%0.4x", flashAcc);
        bar.setItems(panels);
    };
    // The edit shows the engine's next serial number.
    engine.nextSerialNumberHook = [this](uint32_t next) {
        ui["SNEdit1"].setText(ui["ChkBoxSNDP"].checked() ? format("%u", next) : format("0x%0.8x", next));
    };
}

void KorvexApp::FormShow(const std::vector<std::string>& args) {
    std::vector<std::string> moved;
    if (programFolder.empty()) {
        ProgramFolders folders = programFolders(currentExecutablePath());
        programFolder = folders.config;
        if (logFolder.empty()) logFolder = folders.logs;
        moved = std::move(folders.moved);
    }
    ui["PageControlSet"].setItemIndex(0);
    info.addLine("");
    engine.resetChannels();
    ui["TabSheetEEP"].setVisible(false);
    loadLogConfiguration();
    resetChipSelection();
    loadPortMap();
    engine.listPortsForStart();
    layoutGauges();
    AppendInfoLine("Hello Korvex200SC User! ------ " + shortDateText(clock.now()));
    for (const std::string& m : moved) AppendInfoLine("Configuration moved: " + m);
    startRecords();
    if (!engine.portMapError.empty()) AppendInfoLine(engine.portMapError);

    struct stat st {};
    std::string firmwarePath = firmwareFileName;
    if (firmwareFileName.find('/') == std::string::npos) {
        for (const std::string& folder : {std::string(), programFolder, systemDataFolder})
            if (stat((folder + firmwareFileName).c_str(), &st) == 0) {
                firmwarePath = folder + firmwareFileName;
                break;
            }
    }
    if (stat(firmwarePath.c_str(), &st) == 0) {
        *engine.firmware = checkFirmwareFile(firmwarePath);
        if (!engine.firmware->loaded && !engine.firmware->refusal.empty())
            AppendInfoLine(engine.firmware->refusal);
    } else {
        engine.firmware->loaded = false;
        AppendInfoLine("File of \"KorvexSCX.FWR\" not Found!");
        prompts.message("文件\"KorvexSCX.FWR\"没有找到，请确认！");
    }

    if (!args.empty()) {
        CommandLineProject = true;
        commandLineProjectPath = args[0];
        // The first argument is the project; the others are not used.
        for (size_t i = 1; i < args.size(); ++i) AppendInfoLine("Argument \"" + args[i] + "\" is ignored: only the first names a project");
        loadProject(args[0]);
    } else {
        CommandLineProject = false;
    }

    StartupDone = true;
    if (!timer1) timer1 = loop.startTimer(10, false, [this] { engine.Timer1Timer(); });
    timer2 = loop.startTimer(100, true, [this] {
        timer2 = 0;
        Timer2Timer();
    });
}

void KorvexApp::Timer2Timer() {
    if (!StartupDone) return;
    StartupDone = false;
    engine.ListSerialPorts();
    engine.BitBtnFindDevClick();
}

void KorvexApp::layoutGauges() {
    bool eight = engine.channelsInUse() == 8;
    for (int i = 1; i <= 8; ++i) {
        Control& g = ui.gauge(i);
        int top = eight ? MainControls::kGaugeTops[i - 1] : MainControls::kGaugeTops[i + 3 > 7 ? 7 : i + 3];
        if (!eight && i > 4) {
            g.setVisible(false);
            continue;
        }
        g.setTop(top);
        g.setVisible(true);
    }
    ui["InfoMemo"].setHeight(eight ? MainControls::kMemoHeight8 : MainControls::kMemoHeight4);
}

void KorvexApp::FormClose() {
    // An operation still running is cut short: told and recorded as such.
    engine.interruptRunning(closingReason);
    engine.closeAllPorts();
    productionLogs.finish();
    finishRecords();
    writeRunLog();
}

void KorvexApp::startRecords() {
    if (!recordsEnabled || recordWriter) return;
    const RecordsSettings settings = readRecordsSettings(programFolder + kRecordsConfFileName, std::getenv("KORVEX_RECORDS"),
                                                         std::getenv("KORVEX_STATION"));
    if (!settings.enabled) {
        recordsEnabled = false;
        return;
    }
    for (const std::string& problem : settings.problems) AppendInfoLine("Production records: " + problem);
    if (stationName.empty()) stationName = settings.station.empty() ? defaultStationName() : settings.station;
    // The writer's thread reports through the loop, onto the logic thread.
    recordWriter = std::make_unique<RecordWriter>(
        recordsPath(), [this](const std::string& problem) { postRecordsNews(RecordsNews::Problem, problem); },
        [this] { postRecordsNews(RecordsNews::Recovered, "Production records: written again to " + recordsPath()); },
        [this] {
            // Counted at the end, with how many.
            postRecordsNews(RecordsNews::Notice, "Production records " + recordsPath() +
                                                     ": records are being dropped: the most that may wait in memory "
                                                     "wait already");
        },
        [this](const std::string& notice) { postRecordsNews(RecordsNews::Notice, notice); });
    recorder = std::make_unique<Recorder>(stationName, [this](ProductionRecord r) {
        if (recordWriter) recordWriter->add(std::move(r));
    });
    // The first listener: a result reaches the writer (and its journal)
    // before a front end's listener shows it.
    engine.listeners.insert(engine.listeners.begin(), [this](const EngineEvent& e) {
        if (recorder) recorder->onEvent(e);
    });
    if (recordsServer.empty()) recordsServer = settings.server;
    if (recordsServer.empty()) return;
    // So does the forwarder's.
    recordForwarder = std::make_unique<RecordForwarder>(
        recordsPath(), recordsServer, [this](const std::string& problem) { postRecordsNews(RecordsNews::Problem, problem); },
        [this, server = serverForDisplay(recordsServer)] {
            postRecordsNews(RecordsNews::Recovered, "Production records: forwarded to " + server + " again");
        });
    AppendInfoLine("Production records: forwarded to " + recordForwarder->server());
}

void KorvexApp::postRecordsNews(RecordsNews kind, std::string text) {
    {
        std::lock_guard<std::mutex> lock(recordsNewsMutex_);
        recordsNews_.emplace_back(kind, std::move(text));
    }
    loop.post([this] { handleRecordsNews(); });
}

void KorvexApp::handleRecordsNews() {
    std::vector<std::pair<RecordsNews, std::string>> news;
    {
        std::lock_guard<std::mutex> lock(recordsNewsMutex_);
        news.swap(recordsNews_);
    }
    for (const auto& [kind, text] : news) {
        switch (kind) {
        case RecordsNews::Problem: recordsProblem(text); break;
        case RecordsNews::Recovered:
            // The failure told before it is over (each is told once, and
            // its end once).
            --recordsFailures;
            AppendInfoLine(text);
            break;
        case RecordsNews::Notice: AppendInfoLine(text); break;
        }
    }
}

void KorvexApp::recordsProblem(const std::string& text) {
    ++recordsFailures;
    AppendInfoLine(text);
    if (onRecordsProblem) onRecordsProblem(text);
}

void KorvexApp::finishRecords() {
    if (!recordWriter) return;
    const bool written = recordWriter->flush(3000);
    handleRecordsNews();  // the reason first
    const uint64_t dropped = recordWriter->dropped();
    if (dropped > 0)
        recordsProblem(format("Production records: %llu record(s) were dropped, not kept: memory held the most that "
                              "may wait for %s",
                              static_cast<unsigned long long>(dropped), recordsPath().c_str()));
    if (!written)
        recordsProblem(format("Production records: %d could not be written to %s; those in its pending-records journal "
                              "are written at the next start",
                              static_cast<int>(recordWriter->waiting()), recordsPath().c_str()));
    if (recordForwarder) {
        // A short wait at most: records not yet on the server stay marked in
        // the station's database and go at the next start.
        const int64_t left = recordForwarder->finish(2000);
        const std::string server = recordForwarder->server();
        recordForwarder.reset();
        handleRecordsNews();
        if (left > 0)
            recordsProblem(format("Production records: %lld not yet forwarded to %s; they go at the next start",
                                  static_cast<long long>(left), server.c_str()));
        else if (left < 0)
            recordsProblem("Production records: some may not yet be forwarded to " + server + "; they go at the next start");
    }
    // Its end writes what came meanwhile and removes the journals.
    recorder.reset();
    recordWriter.reset();
    handleRecordsNews();
}

void KorvexApp::ClearInformation1Click() { log.clear(); }

void KorvexApp::CopytoCli1Click(const std::string& selection) { prompts.copyToClipboard(selection); }

void KorvexApp::quit(bool ask) {
    if (ask && !confirmQuit()) return;
    quitAgreed_ = true;
    engine.closeAllPorts();
    if (onCloseWindow) onCloseWindow();
}

bool KorvexApp::confirmQuit() {
    bool running = false;
    for (int s = 0; s < 8; ++s) running = running || engine.channelState(s).busy;
    if (quitAgreed_ || !running) return true;
    quitAgreed_ = prompts.questionYesNo("有通道正在执行操作，退出程序将中断这些操作。\n确定要退出吗？");
    return quitAgreed_;
}

void KorvexApp::About1Click() { prompts.showModal(about); }

void KorvexApp::FormKeyPress(char key) {
    if (key == ' ' || key == '\r') AutoSpdBtnClick();
}

// ---------------------------------------------------------------------------
// Launchers.

void KorvexApp::launch(Operation op) {
    ui["ViewPageCtrl"].setItemIndex(0);
    if (op == Operation::Auto || op == Operation::Download || op == Operation::Verify) ui["PanelBtns"].setFocus();
    if (!engine.prepare(op)) return;
    if (op == Operation::ReadChipId) {
        engine.start(op, engine.job);
        return;
    }
    if (std::optional<JobSettings> settings = captureJobSettings()) engine.start(op, *settings);
}

JobOptions KorvexApp::jobOptions() {
    const auto on = [this](const char* name) { return ui[name].checked(); };
    JobOptions o;
    o.voltage5V = ui["RadioGpVolt"].itemIndex() == 1;
    o.fastSpeed = ui["RadioGroupBitF"].itemIndex() != 0;
    o.reset = ui["RadioGrpRST"].itemIndex();
    o.powerOffAfter = on("ChkBoxVDD");
    o.runAfter = on("CheckBoxRun");
    o.runAndShut = on("ChkBoxRunSHT");
    o.blankError = on("ChkBoxBlkEr");
    o.readProtect = on("ChkBoxEnROP");
    o.optionBytes = on("CheckBoxOpt");
    o.nvmArea = on("ChkBoxNVM");
    o.watchdog = on("ChkBoxEnWDT");
    o.autoDetect = on("ChkBoxAuto");
    o.showFileChecksum = on("ChkBoxDpFS");
    o.insertMs = ui["SpinEditIn"].value();
    o.removeMs = ui["SpinEditOut"].value();
    o.powerUpMs = ui["SpinEditVddTim"].value();
    o.powerDownMs = ui["SpinEditPwdTim"].value();
    o.runTimeMs = ui["SpinEditRTM"].value();
    o.countLimitOn = on("CheckBoxCtrl");
    o.countLimit = ui["SpinEditNum"].value();
    o.serialNumbers = on("CheckBoxSN");
    o.snIncrement = static_cast<uint16_t>(strToInt(ui["GainEdit"].text()));
    o.snStart = static_cast<uint32_t>(strToInt64(ui["SNEdit1"].text()));
    o.snAddress = static_cast<uint32_t>(strToInt64(ui["AddrEdit"].text()));
    o.snBigEndian = on("SNOrderChk");
    o.snAdvance = on("ChkBoxPCSN");
    o.chipNameText = ui["MCUNameEdit"].text();
    o.productText = ui["ProductEdit"].text();
    return o;
}

std::optional<JobSettings> KorvexApp::captureJobSettings() {
    try {
        const JobOptions o = jobOptions();
        if (o.countLimit == 0) ui["CheckBoxCtrl"].setChecked(false);  // its click disables the count
        return jobSettingsOf(o, engine.job, engine.chip.vendor);
    } catch (const ConvertError& e) {
        prompts.warning(e.what());
        return std::nullopt;
    }
}

void KorvexApp::CheckBoxCtrlClick() { ui["SpinEditNum"].setEnabled(ui["CheckBoxCtrl"].checked()); }

void KorvexApp::ChkBoxAutoClick() {
    const bool c = ui["ChkBoxAuto"].checked();
    ui["SpinEditIn"].setEnabled(c);
    ui["SpinEditOut"].setEnabled(c);
}

// ---------------------------------------------------------------------------
// Serial numbers, option bytes, log configuration.

void KorvexApp::CheckBoxSNClick() {
    bool on = ui["CheckBoxSN"].checked();
    for (const char* n : {"AddrEdit", "SNEdit1", "GainEdit", "SNOrderChk", "ChkBoxPCSN"}) ui[n].setEnabled(on);
    ui["SpinEditNum"].setEnabled(ui["CheckBoxCtrl"].checked());
}

void KorvexApp::ChkBoxSNDPClick() {
    Control& sn = ui["SNEdit1"];
    int64_t v = 0;
    if (!tryParseInt64(sn.text(), v)) {
        prompts.warning(ConvertError(sn.text()).what());
        return;
    }
    uint32_t low = static_cast<uint32_t>(v);
    sn.setText(ui["ChkBoxSNDP"].checked() ? format("%u", low) : format("0x%0.8x", low));
}

void KorvexApp::ButtonCfgSNClick() {
    if (!engine.chip.chipChosen || !engine.fileLoaded) {
        prompts.warning("请先选择芯片并加载数据文件！");
        return;
    }
    prompts.showModal(snForm);
}

void KorvexApp::ButtonOptClick() {
    if (!engine.chip.chipChosen) return;
    ImageState& im = *engine.image;
    bool cpt = engine.chip.vendor == ChipVendor::CPT;
    if (cpt) std::memcpy(im.OptionBytesBuffer(), im.NvmBuffer(), kOptionSize);
    prompts.showModal(optionForm);
    const uint8_t* o = im.OptionBytesBuffer();
    AppendInfoLine("Option Byte Setting: " + format("%0.2x %0.2x %0.2x %0.2x ", o[8], o[9], o[12], o[13]));
    std::string buf = "Option Byte Buffer: ";
    for (int i = 8; i <= 15; ++i) buf += format("%0.2x ", o[i]);
    AppendInfoLine(buf);
    if (cpt) {
        std::memcpy(im.NvmBuffer(), im.OptionBytesBuffer(), kOptionSize);
        showOptionView();
    }
}

void KorvexApp::ConfigLogFile1Click() { prompts.showModal(logForm); }

void KorvexApp::ProductionRecords1Click() { prompts.showModal(recordsForm); }

LogConfig KorvexApp::logConfigFromForm() {
    LogConfig c;
    c.enabled = logForm["CheckBoxLog"].checked();
    c.createMode = std::max(0, logForm["RadioGrpCreat"].itemIndex());
    c.userMode = std::max(0, logForm["RadioGrpMod"].itemIndex());
    c.userFileName = logForm["EditLogName"].text();
    return c;
}

// The line's port map file in the program folder, unless the front end gave
// the ports itself. A file that cannot be read or makes no sense uses no port.
void KorvexApp::loadPortMap() {
    if (engine.portMap) return;
    engine.portMapError.clear();
    const std::string path = programFolder + kPortMapFileName;
    std::string text, error;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return;
    if (!readWholeFile(path, text, 1 << 20)) error = "cannot be read";
    else if (auto map = parsePortMap(text, error)) engine.portMap = map;
    if (!engine.portMap) engine.portMapError = "Port map " + path + ": " + error + "; no port is used until it is mended.";
}

void KorvexApp::loadLogConfiguration() {
    LogConfig c = logConfigFromForm();
    std::string problem;
    if (!loadLogConfig(programFolder + kLogConfigFileName, c, &problem)) {
        // The dialog's settings stay; the operator is told why the file's
        // were not taken.
        if (!problem.empty()) AppendInfoLine(problem);
        return;
    }
    // Setting the controls runs their click handlers, as loading does in the
    // dialog; the loaded values are set last so they win.
    logForm["CheckBoxLog"].setChecked(c.enabled);
    logForm["RadioGrpCreat"].setItemIndex(c.createMode);
    logForm["RadioGrpMod"].setItemIndex(c.userMode);
    logForm["EditLogName"].setText(c.userFileName);
}

void KorvexApp::writeLogConfiguration() {
    try {
        saveLogConfig(programFolder + kLogConfigFileName, logConfigFromForm());
    } catch (const std::exception& e) {
        prompts.warning(e.what());
    }
}

void KorvexApp::writeRunLog() {
    std::string error;
    log.journal().flush();
    kvx::writeRunLog(logsFolder(), logConfigFromForm(), log.journal().all(), clock.now(), error);
    if (!error.empty()) {
        ++logWriteFailures;
        prompts.message(error);
    }
}

void KorvexApp::saveProductionLog() { productionLogs.save(logsFolder(), clock.now()); }

// ---------------------------------------------------------------------------
// Chip selection.

void KorvexApp::resetChipSelection() {
    ChipProfile fresh;
    engine.chip = fresh;
    engine.job.jobFlags.fill(0);
    engine.modelCode = 12;
    engine.job.snAddress = 0x00FFFFFF;
    ui["MCUNameEdit"].setText("请选择目标MCU的型号...");
    ui["ButtonLdCFG"].setVisible(true);
    ui["ViewPageCtrl"].setItemIndex(0);
    ui.setCaption(windowCaption(engine.chip.vendor));
    setApplicationTitle(kvx::applicationTitle(engine.chip.vendor));
    clearHexRows(ui["HexViewer"]);
    clearHexRows(ui["EEPDataView"]);
}

void KorvexApp::DevButtonClick() {
    TChipSelForm dlg(engine.chip);
    prompts.showModal(dlg);
    showChosenChip();
}

void KorvexApp::chooseChip(ChipVendor vendor, int index) {
    kvx::chooseChip(engine.chip, vendor, index);
    showChosenChip();
}

// The chip's name and sizes in the main window; a changed name applies the
// chip's defaults (MCUNameEditChange).
void KorvexApp::showChosenChip() {
    ui["MCUNameEdit"].setText(engine.chip.chipName);
    ui["lbFlashSize"].setCaption(format("%dK,EEP=%dB", engine.chip.flashSizeKB, engine.chip.eepSize));
}

void KorvexApp::useRunLog(bool enabled, const std::string& file) {
    logForm["CheckBoxLog"].setChecked(enabled);
    if (!enabled || file.empty()) return;
    logForm["RadioGrpCreat"].setItemIndex(1);
    logForm["RadioGrpMod"].setItemIndex(1);
    logForm["EditLogName"].setText(file);
}

void KorvexApp::applyChipDefaults() {
    ChipProfile& chip = engine.chip;
    if (!chip.chipChosen) return;
    const ChipVendor v = chip.vendor;
    engine.fileLoaded = false;
    clearHexRows(ui["HexViewer"]);
    ui["ButtonOpt"].setVisible(v == ChipVendor::CPT);
    ui["ChkBoxNVM"].setChecked(false);
    ui["ChkBoxEnWDT"].setVisible(false);
    ui["ChkBoxEnROP"].setChecked(false);
    ui["ButtonLdCFG"].setVisible(false);
    ui["ChkBoxNVM"].setCaption("擦写数据区");
    ui["ChkBoxEnROP"].setVisible(v == ChipVendor::LKS);
    AppendInfoLine(format("Chip \"%s\" has been selected!", chip.chipName.c_str()));

    applyProfileDefaults(chip, engine.job.jobFlags, engine.image->OptionBytesBuffer());
    auto show = [this](const char* name, bool visible) { ui[name].setVisible(visible); };
    switch (v) {
    case ChipVendor::LKS:
        ui["RadioGpVolt"].setItemIndex(0);
        ui["CheckBoxOpt"].setVisible(true);
        ui["CheckBoxOpt"].setChecked(false);
        show("LoadNVMDataFile1", true);
        show("SaveNVMDatatoFile1", true);
        show("ReadOptionByte1", false);
        show("WriteOptionByte1", false);
        break;
    case ChipVendor::CPT:
        ui["RadioGpVolt"].setItemIndex(1);
        ui["CheckBoxOpt"].setVisible(true);
        ui["CheckBoxOpt"].setChecked(true);
        ui["ChkBoxEnWDT"].setVisible(!chip.noWatchdogVariant);
        if (chip.noWatchdogVariant) ui["ChkBoxEnWDT"].setChecked(false);
        show("LoadNVMDataFile1", false);
        show("SaveNVMDatatoFile1", false);
        show("ReadOptionByte1", true);
        show("WriteOptionByte1", true);
        break;
    case ChipVendor::FG:
        ui["RadioGpVolt"].setItemIndex(0);
        ui["CheckBoxOpt"].setVisible(true);
        ui["CheckBoxOpt"].setChecked(true);
        ui["ChkBoxEnROP"].setVisible(true);
        show("LoadNVMDataFile1", false);
        show("SaveNVMDatatoFile1", false);
        break;
    case ChipVendor::SC:
        ui["RadioGpVolt"].setItemIndex(1);
        ui["CheckBoxOpt"].setVisible(false);
        ui["CheckBoxOpt"].setChecked(false);
        ui["ChkBoxEnWDT"].setVisible(false);
        ui["ChkBoxEnWDT"].setChecked(false);
        ui["ButtonLdCFG"].setVisible(true);
        ui["ChkBoxNVM"].setCaption("擦写NVM数据");
        show("LoadNVMDataFile1", true);
        show("SaveNVMDatatoFile1", true);
        show("ReadOptionByte1", true);
        ui["ReadOptionByte1"].setCaption("Read &NVM Byte");
        show("WriteOptionByte1", true);
        ui["WriteOptionByte1"].setCaption("&Write NVM Byte");
        ui["SpdBtnWrtOPB"].setCaption("写NVM Data");
        break;
    }
    ui["ChkBoxNVM"].setVisible(chip.eepSize != 0);
    // The chip's own requests (Read Chip ID, Read Address) use the job as it
    // was last captured; until a launcher captures it, that is the settings
    // the window shows now, so the first request carries a valid parameter
    // block. A field that is no number is told when a launcher captures.
    try {
        engine.job = jobSettingsOf(jobOptions(), engine.job, v);
    } catch (const ConvertError&) {
    }
}

}  // namespace kvx
