// Saving and loading whole jobs as project files, and setting the window's
// controls from a loaded job.
#include "app/korvex_app.h"

#include "chip/catalogue.h"
#include "link/requests.h"
#include "project/project_file.h"
#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

namespace {
const FileDialogSpec kSaveDialogPrj{"Save to Korvex200xx Project File", "Korvexxx Project File(*.pmw)|*.pmw", 1, "*.PMW"};
const FileDialogSpec kOpenDialogPrj{"Open Korvex200xx Project File", "Korvexxx Project Files(*.pmw)|*.pmw", 1, "*.PMW"};
}  // namespace

// The chip and the file a project needs, each refused in a box.
static bool projectReady(const Program& engine, Prompts& prompts) {
    if (!engine.chip.chipChosen) {
        prompts.information("未选择芯片型号！");
        return false;
    }
    if (!engine.fileLoaded) {
        prompts.information("未加载目标文件！");
        return false;
    }
    return true;
}

void KorvexApp::SavetoProjectFile1Click() {
    if (!projectReady(engine, prompts)) return;
    auto choice = prompts.saveFile(kSaveDialogPrj);
    if (!choice) return;
    // The settings are captured before the flags byte is built, so the file
    // holds what the window shows (writeOptionAfter included).
    if (std::optional<JobSettings> settings = captureJobSettings())
        saveProject(choice->path, *settings, ui["ChkBoxSNDP"].checked());
}

bool KorvexApp::saveProject(const std::string& path, const JobSettings& settings, std::optional<bool> snDecimal) {
    if (!projectReady(engine, prompts)) return false;
    engine.job = settings;
    const ChipProfile& chip = engine.chip;
    const ImageState& im = *engine.image;
    uint8_t flags = 0;
    if (snDecimal.value_or(ui["ChkBoxSNDP"].checked())) flags |= kProjectFlagSnDecimal;
    if (settings.jobFlags[0] & 0x20) flags |= kProjectFlagSnBigEndian;
    if (chip.noWatchdogVariant) flags |= kProjectFlagNoWatchdog;
    if (engine.reservedProjectFlag) flags |= kProjectFlagReserved;
    if (settings.writeOptionAfter) flags |= kProjectFlagWriteOptionAfter;

    ProjectData d;
    d.modelCode = engine.modelCode;
    d.modelName = programmerModelName(engine.modelCode);
    d.chipName = chip.chipName;
    d.objectFileName = im.objectFileName;
    d.flashAcc32 = im.flashAcc32;
    d.fileChecksum = im.fileChecksum;
    d.countLimit = engine.job.countLimit;
    d.loadedFirst = im.loadedFirst;
    d.loadedLast = im.loadedLast;
    d.flags = flags;
    d.vendor = static_cast<uint8_t>(chip.vendor);
    d.flashSize = static_cast<uint32_t>(chip.flashSizeKB) * 1024;
    d.eepSize = chip.eepSize;
    d.flashFirst = chip.flashFirst;
    d.nvmFirst = chip.nvmFirst;
    d.auxFirst = chip.auxFirst;
    d.flashAcc = im.flashAcc;
    d.flashCrc = im.flashCrc;
    d.nvmAcc = im.nvmAcc;
    d.nvmCrc = im.nvmCrc;
    d.further1 = engine.words.further1;
    d.further2 = engine.words.further2;
    RequestContext ctx;
    engine.fillContext(ctx);
    uint8_t jobBlock[512];
    buildJobBlock(ctx, jobBlock);
    d.cfg = cfgBlockFromJobBlock(jobBlock);
    d.flash.assign(im.ImageBuffer.begin(), im.ImageBuffer.begin() + std::min<size_t>(d.flashSize, kImageSize));
    d.nvm.assign(im.NvmBuffer(), im.NvmBuffer() + std::min<size_t>(d.eepSize, kNvmSize));
    try {
        writeProjectFile(path, d, rng);
    } catch (const std::exception& e) {
        prompts.warning(e.what());
        return false;
    }
    std::string text = "Created Project File : " + path;
    prompts.message(text);
    AppendInfoLine(text);
    return true;
}

void KorvexApp::SpdBtnLdPrjClick() {
    auto choice = prompts.openFile(kOpenDialogPrj);
    if (choice) loadProject(choice->path);
}

bool KorvexApp::loadProject(const std::string& path) {
    AppendInfoLine(format("Load Tandra Project file of \"%s\" at ", path.c_str()) + shortDateText(clock.now()));
    ProjectData d;
    std::string message;
    int result = 0;
    try {
        result = readProjectFile(path, d, message);
    } catch (const std::exception& e) {
        lastProjectProblem = e.what();
        AppendInfoLine(e.what());
        if (!CommandLineProject) prompts.warning(e.what());
        return false;
    }
    AppendInfoLine(message);
    if (!CommandLineProject) prompts.message(message);
    lastProjectProblem = result != 0 ? message : std::string();
    if (result != 0) return false;

    ChipProfile& chip = engine.chip;
    ImageState& im = *engine.image;
    chip.chipChosen = true;
    // The chip name is resolved against the catalogue entry of the stored
    // vendor and model index (job block offset 5, CFG offset 9): a name byte
    // equal to the text key is stored as zero and would cut the name short.
    std::string entry = d.vendor <= 3 ? catalogueName(static_cast<ChipVendor>(d.vendor), d.cfg[9]) : std::string();
    applyProjectData(d, entry, engine.modelCode, chip, im, engine.words);
    restoreFromCfg(d.cfg.data(), chip, engine.job, im, engine.words);

    ui["MCUNameEdit"].setText(chip.chipName);
    ui["ProductEdit"].setText(im.objectFileName);
    setStatusPanel(2, im.objectFileName);
    im.viewFirst = chip.flashFirst;
    im.viewLast = chip.flashLast;
    restoreFromCfg(d.cfg.data(), chip, engine.job, im, engine.words);
    ui["lbFlashSize"].setCaption(format("%dK,EEP=%dB", chip.flashSizeKB, chip.eepSize));
    engine.reportImageInfo(chip.flashFirst, chip.flashLast);
    showFlashView(chip.flashFirst, chip.flashLast);
    chip.noWatchdogVariant = (d.flags & kProjectFlagNoWatchdog) != 0;
    engine.reservedProjectFlag = (d.flags & kProjectFlagReserved) != 0;
    engine.job.writeOptionAfter = (d.flags & kProjectFlagWriteOptionAfter) != 0;
    engine.fileLoaded = true;
    applyProjectSettings(d.flags);
    if (chip.vendor == ChipVendor::CPT) showOptionView();
    else if (chip.eepSize > 0) showNvmView();
    return true;
}

void KorvexApp::applyProjectSettings(uint8_t projectFlags) {
    const JobSettings j = engine.job;  // the handlers below may change it
    const auto& f = j.jobFlags;
    ui["RadioGpVolt"].setItemIndex((f[1] & 3) != 0 ? 1 : 0);
    ui["ChkBoxVDD"].setChecked((f[2] & 0x10) == 0);
    ui["CheckBoxRun"].setChecked((f[2] & 0x04) != 0);
    ui["ChkBoxRunSHT"].setChecked((f[2] & 0x80) != 0);
    ui["ChkBoxBlkEr"].setChecked((f[4] & 0x01) != 0);
    ui["ChkBoxEnROP"].setChecked((f[4] & 0x80) != 0);
    ui["CheckBoxOpt"].setChecked(j.writeOptionAfter);
    ui["ChkBoxEnWDT"].setChecked((f[3] & 0x10) != 0);
    ui["ChkBoxNVM"].setChecked((f[3] & 0x03) != 0);
    ui["RadioGrpRST"].setItemIndex(std::min(f[2] & 3, 2));
    ui["ChkBoxAuto"].setChecked(j.autoDetect != 0);
    ui["SpinEditIn"].setValue(j.insertSettle * 30);
    ui["SpinEditOut"].setValue(j.removeSettle * 30);
    ui["SpinEditVddTim"].setValue(j.powerUpSettle * 10);
    ui["SpinEditPwdTim"].setValue(j.powerDownSettle * 10);
    ui["SpinEditRTM"].setValue(j.runTime * 10);
    if (j.countLimitEnable != 0) {
        ui["SpinEditNum"].setValue(j.countLimit);
        ui["CheckBoxCtrl"].setChecked(j.countLimit != 0);
    } else {
        ui["SpinEditNum"].setValue(0);
        ui["CheckBoxCtrl"].setChecked(false);
    }
    ui["CheckBoxSN"].setChecked(j.snEnable != 0);
    // The increment's edit holds 4 characters: above 0xFF the value goes in
    // as a decimal (or, near 0xFFFF, as the negative number it was typed as)
    // so that the next capture reads the same 16 bits, not a cut text.
    const unsigned inc = j.snIncrement;
    ui["GainEdit"].setText(inc <= 0xFF ? format("0x%0.2x", inc) : inc <= 9999 ? format("%u", inc)
                           : inc >= 0x10000 - 999 ? format("-%u", 0x10000 - inc) : format("0x%0.4x", inc));
    ui["SNOrderChk"].setChecked((f[0] & 0x20) != 0);
    ui["ChkBoxSNDP"].setChecked((projectFlags & kProjectFlagSnDecimal) != 0);
    if (j.snEnable != 0) {
        ui["SNEdit1"].setText(ui["ChkBoxSNDP"].checked() ? format("%u", j.snStart) : format("0x%0.8x", j.snStart));
        ui["AddrEdit"].setText(format("0x%0.8x", j.snAddress));
    } else {
        ui["SNEdit1"].setText("0x00000000");
        ui["AddrEdit"].setText("0x0000FFF0");
    }
    engine.job = j;
}

}  // namespace kvx
