// The program behind the main window TKorvexMGxPrg: owns the controls' state,
// the information log and the engine with every program-wide record, binds
// each control to its handler, and runs the start-up and shut-down sequences.
// The Qt window and the command line front end drive the same object through
// the seams.
#pragma once

#include "app/about_form.h"
#include "app/address_forms.h"
#include "app/log_form.h"
#include "app/option_form.h"
#include "app/records_form.h"
#include "app/sn_form.h"
#include "engine/program.h"
#include "image/object_files.h"
#include "log/log_files.h"
#include "log/production_logs.h"
#include "shell/info.h"
#include "shell/job_options.h"
#include "app/recorder.h"
#include "records/record_forwarder.h"
#include "records/record_store.h"
#include "records/record_writer.h"
#include "shell/main_controls.h"
#include "shell/seams.h"

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kvx {

class KorvexApp {
public:
    KorvexApp(EventLoop& loop, Prompts& prompts, Clock& clock, Random& rng);
    ~KorvexApp();
    KorvexApp(const KorvexApp&) = delete;
    KorvexApp& operator=(const KorvexApp&) = delete;

    // --- shell --------------------------------------------------------------
    void FormShow(const std::vector<std::string>& args);
    // The device search that start-up schedules does not run (off-line
    // production from the command line must not query units that may be
    // producing: a query can end a unit's run).
    void skipStartupSearch() { StartupDone = false; }
    void FormClose();
    // Why the last project file did not load (its read error or the
    // decoder's message), "" when it did.
    std::string lastProjectProblem;
    // Why FormClose cuts short what still runs, for its log lines and records.
    std::string closingReason = "the program was closed";
    void AppendInfoLine(const std::string& text) { info.AppendInfoLine(text); }
    void ClearInformation1Click();
    // Copies the given selection of the information log to the clipboard.
    void CopytoCli1Click(const std::string& selection);
    // Exit (button, menu, Ctrl+X): asks first while a channel runs.
    void SpdBtnExitClick() { quit(true); }
    // Closes the window as Exit does; asking first while a channel runs,
    // or not (a signal to end: nobody may be there to answer).
    void quit(bool ask);
    // True when the program may close now: no channel runs, a quit was
    // agreed already, or the operator agrees (asked once, No the default)
    // to cut the running operations short.
    bool confirmQuit();
    void About1Click();
    // A key pressed anywhere in the main window: Space or Enter runs the
    // automatic operation. The key is not consumed (the caller passes it on).
    void FormKeyPress(char key);
    void Timer2Timer();

    // --- launchers: each captures the job and starts its operation ---------------
    void AutoSpdBtnClick() { launch(Operation::Auto); }
    void SpdBtnDownLoadClick() { launch(Operation::Download); }
    void SpdBtnBlankChkClick() { launch(Operation::BlankCheck); }
    void SpdBtnEraseClick() { launch(Operation::Erase); }
    void SpdBtnProgClick() { launch(Operation::Program); }
    void SpdBtnVerifyClick() { launch(Operation::Verify); }
    void SpdBtnWrtOPBClick() { launch(Operation::WriteOption); }
    void ReadOptionByte1Click() { launch(Operation::ReadOption); }
    void ReadChipMemory1Click() { launch(Operation::ReadFlash); }
    void ReadVO32voChipID1Click() { launch(Operation::ReadChipId); }
    void launch(Operation op);
    void CheckBoxCtrlClick();
    void ChkBoxAutoClick();

    // --- chip selection ------------------------------------------------------
    void DevButtonClick();
    void MCUNameEditChange() { applyChipDefaults(); }
    void applyChipDefaults();
    // The start-up chip state: profile, job flags, caption and title.
    void resetChipSelection();
    void layoutGauges();

    // --- object files and views -----------------------------------------------
    void FileOpenBtnClick();
    // The part of FileOpenBtnClick after the dialog (the command line uses
    // it). False when the file was not loaded; the job is then unchanged.
    bool openObjectFile(const std::string& path);
    void SpdBtnLoadMoreClick();
    // Reads a file into the image: over the fill value (newFile) or over the
    // current image. All or nothing; false (and a log line saying why) when
    // the file was not loaded.
    bool loadObjectFile(const std::string& path, bool newFile);
    // Why the last object or NVM file was not loaded.
    std::string lastLoadRefusal;
    // Told of every faulty object-file line before the operator is asked.
    std::function<void(const std::string& path, int line, int code, ObjectFormat format)> onObjectLineError;
    // A faulty line: go on without it (true) or refuse the file? Unset, the
    // operator is asked in a box.
    std::function<bool(const std::string& path, int line, int code)> askLineError;

    // Questions for the operator, typed. Unset, the window's dialogs ask
    // them; a front end with no person at it answers from its options or
    // refuses, saying why.
    struct BinOffsetQuestion {
        std::string path;
        uint64_t fileSize = 0;
        uint32_t flashFirst = 0, flashLast = 0;  // the chip's flash
    };
    struct BinOffsetAnswer {
        std::optional<uint32_t> address;  // where the file's first byte goes; none: the load is refused
        std::string refusal;              // why, when refused
    };
    std::function<BinOffsetAnswer(const BinOffsetQuestion&)> askBinOffset;
    // A file whose data lies partly outside the chip: load it without those
    // bytes? Unset, the window asks in a box (No keeps the job as it was).
    struct ImageCutQuestion {
        std::string path;
        uint64_t bytesOutside = 0;
        uint32_t fileFirst = 0, fileLast = 0;    // the file's data
        uint32_t flashFirst = 0, flashLast = 0;  // the chip's flash
    };
    struct ImageCutAnswer {
        bool load = false;
        std::string refusal;  // why not, when refused
    };
    std::function<ImageCutAnswer(const ImageCutQuestion&)> askImageCut;
    struct ReadRange {
        uint32_t address = 0;
        uint16_t length = 0;
    };
    // Gets the range the dialog would show; none: nothing is read.
    std::function<std::optional<ReadRange>(const ReadRange& shown)> askReadRange;

    // The job's options as the controls show them; throws ConvertError for
    // a number edit that does not hold a number.
    JobOptions jobOptions();
    // The job the launchers start with: the controls' options over the
    // engine's job. A number edit that is not a number is shown in a box:
    // none. A count limit of 0 unchecks its box (its click disables the count).
    std::optional<JobSettings> captureJobSettings();
    // Writes the project file `path` of the chosen chip and loaded file with
    // `settings`; snDecimal: the serial number is shown in decimal (none: as
    // the window shows it). A failure is shown in a box: false.
    bool saveProject(const std::string& path, const JobSettings& settings, std::optional<bool> snDecimal = {});
    // Chooses a catalogue chip as the chip dialog does.
    void chooseChip(ChipVendor vendor, int index);
    void showChosenChip();
    // This run's log in place of the configured one (the configuration file
    // is not changed): none, or the file named, written anew.
    void useRunLog(bool enabled, const std::string& file = {});
    void splitCptOptionArea();
    // False when no NVM data was loaded (the NVM image is then unchanged).
    bool LoadNVMDataFile1Click();
    // The part of it after the dialog (the command line uses it).
    bool loadNvmFile(const std::string& path);
    void FileSaveBtnClick();
    void SaveNVMDatatoFile1Click();
    void showFlashView(uint32_t first, uint32_t last);
    void showNvmView();
    void showOptionView();
    void setStatusPanel(int index, const std::string& text);
    void ReadAddress1Click();

    // --- project files ---------------------------------------------------------
    void SavetoProjectFile1Click();
    void SpdBtnLdPrjClick();
    bool loadProject(const std::string& path);
    void applyProjectSettings(uint8_t projectFlags);

    // --- serial numbers, option bytes, log configuration ------------------------
    void CheckBoxSNClick();
    void ChkBoxSNDPClick();
    void ButtonCfgSNClick();
    void ButtonOptClick();
    void ConfigLogFile1Click();
    // The production records dialog (read-only).
    void ProductionRecords1Click();

    // The application title (the task bar text), set at start and per vendor.
    std::string applicationTitle = "Korvex200XXX";
    void setApplicationTitle(const std::string& t) {
        applicationTitle = t;
        if (onTitleChanged) onTitleChanged(t);
    }
    std::function<void(const std::string&)> onTitleChanged;
    // The view closes the main window when asked.
    std::function<void()> onCloseWindow;

    // --- log files ---------------------------------------------------------------
    void loadLogConfiguration();
    void loadPortMap();
    // Sets up the production records: the writer, the recorder and, with a
    // server configured, the forwarder.
    void startRecords();
    // Writes every record still waiting, then gives the forwarder up to 2 s
    // to send what waits for the server (what is left goes at the next
    // start), and ends both; every message of theirs is handled before it
    // returns. Records not written, dropped or not forwarded by then count
    // in recordsFailures.
    void finishRecords();
    void writeLogConfiguration();
    void writeRunLog();
    void saveProductionLog();
    LogConfig logConfigFromForm();
    // Run and production logs that could not be written since start.
    int logWriteFailures = 0;
    // Production records problems that still stand: a database or server
    // failure that did not end (one that ended with everything written does
    // not count), a database set aside, a journal that could not be written
    // or read, and at the end records dropped, not written or not forwarded.
    int recordsFailures = 0;
    // Gets each production records problem (a whole message; also in the
    // information log), on the logic thread: the command line shows them on
    // its error output.
    std::function<void(const std::string&)> onRecordsProblem;
    // The firmware file. A bare name is looked for in the working folder,
    // then the program folder, then systemDataFolder (the package's files).
    std::string firmwareFileName = "KorvexSCX.FWR";
    std::string systemDataFolder = "/usr/share/korvex200/";

    // --- seams and state -------------------------------------------------------
    EventLoop& loop;
    Prompts& prompts;
    Clock& clock;
    Random& rng;
    MainControls ui;
    InfoLog log;
    InfoWriter info{log, clock};
    Program engine{loop, prompts, clock, rng, ui, info};
    ProductionLogs productionLogs{log, loop};
    // The long-lived dialogs, created in this order after the main window.
    TFormOfsAddr ofsAddrForm{prompts, engine.chip.flashFirst, engine.chip.flashLast, engine.image->binOffset};
    TConfigSNForm snForm{prompts, engine.chip, *engine.image};
    TLogCfgForm logForm{prompts};
    TCfgCPTxOptForm optionForm{engine.image->OptionBytesBuffer(), [this] { return ui["MCUNameEdit"].text(); }};
    TAboutForm about;
    TRecordsForm recordsForm{clock, [this] { return recordsPath(); }};

    // Where the configuration (ZirIvoD.cfg, ports.map) lives, and where the
    // logs go (the program folder when empty); both end with "/".
    std::string programFolder;
    std::string logFolder;
    const std::string& logsFolder() const { return logFolder.empty() ? programFolder : logFolder; }
    // Production records: each channel operation and off-line chip, written
    // to the station's database in the logs folder (records.sqlite) unless
    // recordsEnabled is false ($KORVEX_RECORDS=off). Set up at start-up.
    bool recordsEnabled = true;
    std::string stationName;  // empty: $KORVEX_STATION, else the host name
    std::string recordsPath() const { return logsFolder() + kRecordsFileName; }
    std::unique_ptr<RecordWriter> recordWriter;
    std::unique_ptr<Recorder> recorder;
    // The server that collects every station's records, as a libpq
    // connection string; when empty at start-up, from $KORVEX_RECORDS
    // ("postgresql://...") or else "server =" in records.conf in the
    // configuration folder; none: the records stay in the station's database.
    std::string recordsServer;
    std::unique_ptr<RecordForwarder> recordForwarder;
    // What the writer's and forwarder's threads report, kept in order until
    // the logic thread handles it (from the loop, or at once in
    // finishRecords, so that a short run shows every reason before its end).
    enum class RecordsNews { Problem, Recovered, Notice };
    void postRecordsNews(RecordsNews kind, std::string text);
    void handleRecordsNews();
    void recordsProblem(const std::string& text);
    std::mutex recordsNewsMutex_;
    std::vector<std::pair<RecordsNews, std::string>> recordsNews_;
    bool CommandLineProject = false;
    std::string commandLineProjectPath;
    bool StartupDone = false;
    EventLoop::TimerId timer1 = 0, timer2 = 0;

private:
    bool quitAgreed_ = false;  // the operator agreed to close while channels ran
    void bindHandlers();
    void bindEngineViews();
    bool refuseObjectFile(const std::string& path, const std::string& why);
    std::string readTextObject(const std::string& path, ObjectFormat kind, uint8_t* img, ReaderOutputs& out);
    std::string readBinObject(const std::string& path, uint8_t* img, ReaderOutputs& out);
    // "" when the data outside the chip may be left out (the log says so),
    // else why the load is refused.
    std::string imageCutRefusal(const std::string& path, const ReaderOutputs& out);
    LineErrorFn lineErrorPrompt(const std::string& path, ObjectFormat format);
    std::unique_ptr<std::array<uint8_t, kImageSize>> scratchImage_;
};

}  // namespace kvx
