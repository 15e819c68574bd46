// Project files through the program: a job saved with the menu command is
// loaded by a fresh program with its chip, images, sums and every window
// setting; a project named on the command line loads before the device
// search without a box and programs the units; a damaged file changes
// nothing.
#include "startup_rig.h"

#include "project/project_file.h"
#include "shell/text.h"

using namespace kvx;
using kvx::test::StartupRig;

namespace {

// The window's job settings that a project restores.
struct Window {
    int volt = 0, rst = 0;
    bool vdd = false, run = false, runShut = false, blankError = false, readProtect = false, option = false,
         watchdog = false, nvm = false, autoDetect = false, countLimit = false, sn = false, snBigEndian = false,
         snDecimal = false;
    int64_t insertMs = 0, removeMs = 0, powerUpMs = 0, powerDownMs = 0, runMs = 0, count = 0;
    std::string snStep, snStart, snAddress;
    bool operator==(const Window&) const = default;
};

void PrintTo(const Window& w, std::ostream* os) {
    *os << "volt " << w.volt << " rst " << w.rst << " vdd " << w.vdd << " run " << w.run << " runShut " << w.runShut
        << " blankError " << w.blankError << " readProtect " << w.readProtect << " option " << w.option
        << " watchdog " << w.watchdog << " nvm " << w.nvm << " autoDetect " << w.autoDetect << " countLimit "
        << w.countLimit << " sn " << w.sn << " snBigEndian " << w.snBigEndian << " snDecimal " << w.snDecimal
        << " ms " << w.insertMs << "/" << w.removeMs << "/" << w.powerUpMs << "/" << w.powerDownMs << "/" << w.runMs
        << " count " << w.count << " sn " << w.snStep << " " << w.snStart << " " << w.snAddress;
}

Window readWindow(MainControls& ui) {
    Window w;
    w.volt = ui["RadioGpVolt"].itemIndex();
    w.rst = ui["RadioGrpRST"].itemIndex();
    w.vdd = ui["ChkBoxVDD"].checked();
    w.run = ui["CheckBoxRun"].checked();
    w.runShut = ui["ChkBoxRunSHT"].checked();
    w.blankError = ui["ChkBoxBlkEr"].checked();
    w.readProtect = ui["ChkBoxEnROP"].checked();
    w.option = ui["CheckBoxOpt"].checked();
    w.watchdog = ui["ChkBoxEnWDT"].checked();
    w.nvm = ui["ChkBoxNVM"].checked();
    w.autoDetect = ui["ChkBoxAuto"].checked();
    w.countLimit = ui["CheckBoxCtrl"].checked();
    w.sn = ui["CheckBoxSN"].checked();
    w.snBigEndian = ui["SNOrderChk"].checked();
    w.snDecimal = ui["ChkBoxSNDP"].checked();
    w.insertMs = ui["SpinEditIn"].value();
    w.removeMs = ui["SpinEditOut"].value();
    w.powerUpMs = ui["SpinEditVddTim"].value();
    w.powerDownMs = ui["SpinEditPwdTim"].value();
    w.runMs = ui["SpinEditRTM"].value();
    w.count = ui["SpinEditNum"].value();
    w.snStep = ui["GainEdit"].text();
    w.snStart = ui["SNEdit1"].text();
    w.snAddress = ui["AddrEdit"].text();
    return w;
}

void setWindow(MainControls& ui, const Window& w) {
    ui["RadioGpVolt"].setItemIndex(w.volt);
    ui["RadioGrpRST"].setItemIndex(w.rst);
    ui["ChkBoxVDD"].setChecked(w.vdd);
    ui["CheckBoxRun"].setChecked(w.run);
    ui["ChkBoxRunSHT"].setChecked(w.runShut);
    ui["ChkBoxBlkEr"].setChecked(w.blankError);
    ui["ChkBoxEnROP"].setChecked(w.readProtect);
    ui["CheckBoxOpt"].setChecked(w.option);
    ui["ChkBoxEnWDT"].setChecked(w.watchdog);
    ui["ChkBoxNVM"].setChecked(w.nvm);
    ui["ChkBoxAuto"].setChecked(w.autoDetect);
    ui["SpinEditIn"].setValue(w.insertMs);
    ui["SpinEditOut"].setValue(w.removeMs);
    ui["SpinEditVddTim"].setValue(w.powerUpMs);
    ui["SpinEditPwdTim"].setValue(w.powerDownMs);
    ui["SpinEditRTM"].setValue(w.runMs);
    ui["CheckBoxCtrl"].setChecked(w.countLimit);
    ui["SpinEditNum"].setValue(w.count);
    ui["CheckBoxSN"].setChecked(w.sn);
    ui["SNOrderChk"].setChecked(w.snBigEndian);
    ui["ChkBoxSNDP"].setChecked(w.snDecimal);
    ui["GainEdit"].setText(w.snStep);
    ui["SNEdit1"].setText(w.snStart);
    ui["AddrEdit"].setText(w.snAddress);
}

// Every setting away from what choosing the chip gave it, so a restore that
// falls back to the chip's defaults shows.
Window changed(const Window& d) {
    Window w = d;
    w.volt = 1 - d.volt;
    w.rst = (d.rst + 2) % 3;
    w.vdd = !d.vdd;
    w.run = !d.run;
    w.runShut = !d.runShut;
    w.blankError = !d.blankError;
    w.readProtect = !d.readProtect;
    w.option = !d.option;
    w.watchdog = !d.watchdog;
    w.nvm = !d.nvm;
    w.autoDetect = !d.autoDetect;
    w.insertMs = 900;
    w.removeMs = 1200;
    w.powerUpMs = 350;
    w.powerDownMs = 770;
    w.runMs = 1230;
    w.countLimit = true;
    w.count = 1234;
    w.sn = true;
    w.snBigEndian = !d.snBigEndian;
    w.snDecimal = true;
    w.snStep = "0x03";
    w.snStart = "305419896";
    w.snAddress = "0x00007FF0";
    return w;
}

void expectSameJob(const JobSettings& a, const JobSettings& b) {
    EXPECT_EQ(a.jobFlags, b.jobFlags);
    EXPECT_EQ(a.writeOptionAfter, b.writeOptionAfter);
    EXPECT_EQ(a.autoDetect, b.autoDetect);
    EXPECT_EQ(a.insertSettle, b.insertSettle);
    EXPECT_EQ(a.removeSettle, b.removeSettle);
    EXPECT_EQ(a.powerUpSettle, b.powerUpSettle);
    EXPECT_EQ(a.powerDownSettle, b.powerDownSettle);
    EXPECT_EQ(a.runTime, b.runTime);
    EXPECT_EQ(a.countLimitEnable, b.countLimitEnable);
    EXPECT_EQ(a.countLimit, b.countLimit);
    EXPECT_EQ(a.snLength, b.snLength);
    EXPECT_EQ(a.snEnable, b.snEnable);
    EXPECT_EQ(a.snIncrement, b.snIncrement);
    EXPECT_EQ(a.snStart, b.snStart);
    EXPECT_EQ(a.snAddress, b.snAddress);
}

struct Saved {
    std::string path;
    ChipProfile chip;
    JobSettings job;
    Window window;
    std::vector<uint8_t> flash, nvm;
    ImageSums sums;
    uint32_t loadedFirst = 0, loadedLast = 0;
    std::string objectFileName;
};

// Chooses the chip, opens an image (and NVM data when the chip has some),
// changes every setting and saves the project through the menu command.
Saved saveProject(StartupRig& r, const std::string& chipName, uint8_t modelCode) {
    Saved s;
    r.chooseChip(chipName);
    const ChipProfile& chip = r.engine().chip;
    s.flash = test::patternBytes(static_cast<size_t>(chip.flashSizeKB) * 1024, chip.flashSizeKB);
    r.openImage(s.flash, "job.bin");
    if (chip.eepSize > 0 && chip.vendor != ChipVendor::CPT) {
        s.nvm = test::patternBytes(chip.eepSize, 99);
        std::string p = r.workDir + "/nvm.bin";
        test::writeBytes(p, s.nvm);
        r.prompts.openAnswers.push_back(FileChoice{p, 1});
        r.app->ui["LoadNVMDataFile1"].click();
    }
    s.window = changed(readWindow(r.app->ui));
    // Loading draws the NVM view, which sets the NVM box from the data: with
    // data the box stays checked.
    if (!s.nvm.empty()) s.window.nvm = true;
    setWindow(r.app->ui, s.window);
    r.engine().modelCode = modelCode;
    s.path = r.workDir + "/job.pmw";
    r.prompts.saveAnswers.push_back(FileChoice{s.path, 1});
    r.app->ui["SavetoProjectFile1"].click();
    s.chip = r.engine().chip;
    s.job = r.engine().job;
    const ImageState& im = *r.engine().image;
    s.sums.fileChecksum = im.fileChecksum;
    s.loadedFirst = im.loadedFirst;
    s.loadedLast = im.loadedLast;
    s.objectFileName = im.objectFileName;
    s.sums.flashCrc = im.flashCrc;
    s.sums.flashAcc = im.flashAcc;
    s.sums.flashAcc32 = im.flashAcc32;
    s.sums.nvmCrc = im.nvmCrc;
    s.sums.nvmAcc = im.nvmAcc;
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Message).back(), "Created Project File : " + s.path);
    return s;
}

struct ProjectCase {
    const char* chip;
    size_t fileSize;  // 0: not checked
};

}  // namespace

class ProjectRoundTrip : public ::testing::TestWithParam<ProjectCase> {};

TEST_P(ProjectRoundTrip, AFreshProgramGetsTheWholeJobBack) {
    const ProjectCase& pc = GetParam();
    Saved s;
    {
        StartupRig a(0);
        a.start();
        a.runSearch(0, 0);
        s = saveProject(a, pc.chip, 7);
        ASSERT_FALSE(HasFailure());
        if (pc.fileSize) {
            EXPECT_EQ(std::filesystem::file_size(s.path), pc.fileSize);
        }
        // The copy survives the first program's folder.
        std::filesystem::copy_file(s.path, "/tmp/kvx-e2e-" + std::string(pc.chip) + ".pmw",
                                   std::filesystem::copy_options::overwrite_existing);
        s.path = "/tmp/kvx-e2e-" + std::string(pc.chip) + ".pmw";
    }
    StartupRig b(0);
    b.start();
    b.runSearch(0, 0);
    b.prompts.openAnswers.push_back(FileChoice{s.path, 1});
    b.app->ui["SpdBtnLdPrj"].click();
    std::filesystem::remove(s.path);
    EXPECT_EQ(b.prompts.texts(ScriptedPrompts::Kind::Message).back(), "Project File Open Success!");

    Program& e = b.engine();
    const ChipProfile& c = e.chip;
    EXPECT_TRUE(c.chipChosen);
    EXPECT_TRUE(e.fileLoaded);
    EXPECT_EQ(e.modelCode, 7);
    EXPECT_EQ(c.chipName, pc.chip);  // whole, though a "K" in it is stored as a zero byte
    EXPECT_EQ(b.app->ui["MCUNameEdit"].text(), pc.chip);
    EXPECT_EQ(c.vendor, s.chip.vendor);
    EXPECT_EQ(c.familyCode, s.chip.familyCode);
    EXPECT_EQ(c.modelIndex, s.chip.modelIndex);
    EXPECT_EQ(c.familyOption, s.chip.familyOption);
    EXPECT_EQ(c.flashSizeKB, s.chip.flashSizeKB);
    EXPECT_EQ(c.sectorSize, s.chip.sectorSize);
    EXPECT_EQ(c.sectorCount, s.chip.sectorCount);
    EXPECT_EQ(c.eepSize, s.chip.eepSize);
    EXPECT_EQ(c.flashFirst, s.chip.flashFirst);
    EXPECT_EQ(c.flashLast, s.chip.flashLast);
    EXPECT_EQ(c.nvmFirst, s.chip.nvmFirst);
    EXPECT_EQ(c.auxFirst, s.chip.auxFirst);
    EXPECT_EQ(c.noWatchdogVariant, s.chip.noWatchdogVariant);

    const ImageState& im = *e.image;
    EXPECT_TRUE(std::equal(s.flash.begin(), s.flash.end(), im.ImageBuffer.begin()));
    if (!s.nvm.empty()) {
        EXPECT_TRUE(std::equal(s.nvm.begin(), s.nvm.end(), im.NvmBuffer()));
    }
    EXPECT_EQ(im.objectFileName, s.objectFileName);
    EXPECT_EQ(b.app->ui["ProductEdit"].text(), s.objectFileName);
    EXPECT_EQ(im.fileChecksum, s.sums.fileChecksum);
    EXPECT_EQ(im.loadedFirst, s.loadedFirst);
    EXPECT_EQ(im.loadedLast, s.loadedLast);
    EXPECT_EQ(im.flashCrc, s.sums.flashCrc);
    EXPECT_EQ(im.flashAcc, s.sums.flashAcc);
    EXPECT_EQ(im.flashAcc32, s.sums.flashAcc32);
    EXPECT_EQ(im.nvmCrc, s.sums.nvmCrc);
    EXPECT_EQ(im.nvmAcc, s.sums.nvmAcc);
    expectSameJob(e.job, s.job);

    // The window shows the saved settings; the program option follows the
    // NVM box on SC chips, whose option writing is the NVM write.
    Window want = s.window;
    if (c.vendor == ChipVendor::SC) want.option = want.nvm;
    EXPECT_EQ(readWindow(b.app->ui), want);
    // ... so capturing it again gives the saved job.
    expectSameJob(*b.app->captureJobSettings(), s.job);
}

INSTANTIATE_TEST_SUITE_P(Vendors, ProjectRoundTrip,
                         ::testing::Values(ProjectCase{"LKS32MC088K6Qx", 0}, ProjectCase{"CPT2816QN24-A1", 36500},
                                           ProjectCase{"FG8590Q48xx", 0}, ProjectCase{"SC32F5264LF1G", 69813}),
                         [](const ::testing::TestParamInfo<ProjectCase>& i) {
                             std::string n = i.param.chip;
                             for (auto& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(Project, FirstStartUpArgumentLoadsBeforeTheSearchWithoutABox) {
    const std::string path = "/tmp/kvx-e2e-cmdline.pmw";
    Saved s;
    {
        StartupRig a(0);
        a.start();
        a.runSearch(0, 0);
        s = saveProject(a, "SC32F5232JV1G", 12);
        std::filesystem::copy_file(s.path, path, std::filesystem::copy_options::overwrite_existing);
    }
    StartupRig r(2);
    r.writeFirmware(test::makeFirmwareFile(test::patternBytes(8192, 1), "V2.10", 0x77, 0x1000));
    r.start({path});
    EXPECT_TRUE(r.app->CommandLineProject);
    EXPECT_TRUE(r.engine().fileLoaded);
    EXPECT_EQ(r.engine().chip.chipName, "SC32F5232JV1G");
    r.runSearch(2);
    std::filesystem::remove(path);
    ASSERT_EQ(r.connected(), 2);
    EXPECT_TRUE(r.prompts.records.empty());
    const int load = r.indexOf("Load Tandra Project file of \"" + path + "\" at " + shortDateText(r.clock.now()));
    const int ok = r.indexOf("Project File Open Success!");
    const int search = r.indexOf("查找设备1............");
    ASSERT_GE(load, 0);
    EXPECT_GT(ok, load);
    EXPECT_GT(search, ok);

    // The loaded job programs the units.
    r.app->ui["AutoSpdBtn"].click();
    ASSERT_TRUE(r.waitIdle());
    for (int u = 0; u < 2; ++u) {
        std::vector<uint8_t> flash;
        r.sim->withUnit(u, [&](SimUnit& unit) { flash = unit.chip.flash; });
        EXPECT_EQ(flash, s.flash) << u;
    }
}

struct DamageCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message;
};

class DamagedProject : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedProject, LeavesChipAndImageAsTheyWere) {
    const DamageCase& dc = GetParam();
    StartupRig r(0);
    r.start();
    r.runSearch(0, 0);
    Saved s = saveProject(r, "SC32F5264LF1G", 12);
    auto bytes = test::readBytes(s.path);
    dc.damage(bytes);
    test::writeBytes(s.path, bytes);

    // Another job is in the program when the damaged file is opened.
    r.chooseChip("LKS32MC088C6Qx");
    const auto other = test::patternBytes(32 * 1024, 1234);
    r.openImage(other, "other.bin");
    r.engine().modelCode = 12;
    const ChipProfile before = r.engine().chip;
    const std::vector<uint8_t> nvmBefore(r.engine().image->NvmBuffer(), r.engine().image->NvmBuffer() + kNvmSize);
    const std::string object = r.engine().image->objectFileName;
    const uint32_t fileSum = r.engine().image->fileChecksum;

    EXPECT_FALSE(r.app->loadProject(s.path));
    EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Message).back(), dc.message);
    EXPECT_EQ(test::lineText(r.app->log.lines().back()), dc.message);
    const ChipProfile& c = r.engine().chip;
    EXPECT_EQ(c.chipName, before.chipName);
    EXPECT_EQ(c.vendor, before.vendor);
    EXPECT_EQ(c.flashSizeKB, before.flashSizeKB);
    EXPECT_EQ(c.eepSize, before.eepSize);
    EXPECT_EQ(c.flashFirst, before.flashFirst);
    EXPECT_EQ(c.flashLast, before.flashLast);
    EXPECT_EQ(r.engine().modelCode, 12);
    EXPECT_TRUE(r.engine().fileLoaded);
    EXPECT_EQ(r.app->ui["MCUNameEdit"].text(), "LKS32MC088C6Qx");
    EXPECT_TRUE(std::equal(other.begin(), other.end(), r.engine().image->ImageBuffer.begin()));
    EXPECT_TRUE(std::equal(nvmBefore.begin(), nvmBefore.end(), r.engine().image->NvmBuffer()));
    EXPECT_EQ(r.engine().image->objectFileName, object);
    EXPECT_EQ(r.engine().image->fileChecksum, fileSum);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedProject,
    ::testing::Values(
        DamageCase{"image_byte", [](std::vector<uint8_t>& b) { b[3434 + 1000] ^= 0x01; },
                   "Project File Data Has Been Corrupted!"},
        DamageCase{"cfg_tag", [](std::vector<uint8_t>& b) { b[2403] ^= 0xFF; }, "Project File Data Has Been Corrupted!"},
        DamageCase{"truncated", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); },
                   "Project File Data Has Been Corrupted!"},
        DamageCase{"signature", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "Not Valid Tandra Project File!"}),
    [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });
