// The main window's object-file commands and the buffer views: opening,
// adding and saving object files, loading and saving NVM data, and drawing
// the hexadecimal grids.
#include "app/korvex_app.h"

#include "image/buffer_views.h"
#include "image/object_files.h"
#include "shell/text.h"

#include <algorithm>
#include <cstring>

namespace kvx {

namespace {
const FileDialogSpec kOpenDialog1{
    "Open",
    "All Files (*.*)|*.*|All Binary Files (*.Bin)|*.Bin|All Intel Hex Files (*.Hex)|*.Hex|All Motorola Hex "
    "Files(*.S19)|*.S19;|All Hex/Binary Files (*.Hex,*.S1*,*.Bin)|*.Hex;*.S1*;*.Bin",
    5, "*.BIN"};
const FileDialogSpec kSaveDialog1{
    "Save As", "All Binary Files(*.BIN)|*.BIN|Intel Hex Files(*.HEX)|*.HEX|Motorola S-record Files(*.mot)|*.S19", 1, ""};

std::string baseName(const std::string& path) {
    size_t p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

// The extension including the dot, in upper case ("" when there is none).
std::string upperExtension(const std::string& path) {
    std::string name = baseName(path);
    size_t p = name.find_last_of('.');
    return p == std::string::npos ? std::string() : upperAscii(name.substr(p));
}
}  // namespace

KorvexApp::ObjectKind KorvexApp::objectKind(const std::string& path) {
    std::string ext = upperExtension(path);
    if (ext == ".HEX") return ObjectKind::Hex;
    if (ext.size() >= 4 && ext[1] == 'S' && ext[2] == '1' && ext[3] >= '0' && ext[3] <= '9') return ObjectKind::SRecord;
    if (ext == ".BIN") return ObjectKind::Bin;
    return ObjectKind::Unknown;
}

void KorvexApp::FileOpenBtnClick() {
    if (!engine.chip.chipChosen) {
        prompts.information("请先选择芯片型号！");
        return;
    }
    auto choice = prompts.openFile(kOpenDialog1);
    if (!choice) return;
    openObjectFile(choice->path);
}

void KorvexApp::openObjectFile(const std::string& path) {
    AppendInfoLine(format("File \"%s\" has been loaded!", path.c_str()));
    ImageState& im = *engine.image;
    uint8_t fill = engine.chip.vendor == ChipVendor::FG ? 0x00 : 0xFF;
    std::memset(im.ImageBuffer.data(), fill, kImageSize);
    std::memset(im.NvmBuffer(), fill, kNvmSize);
    std::string name = baseName(path);
    ui["ProductEdit"].setText(name);
    setStatusPanel(2, path);
    im.fileChecksum = 0;
    im.objectFileName = name;
    loadObjectFile(path);
}

void KorvexApp::SpdBtnLoadMoreClick() {
    if (!engine.chip.chipChosen) {
        prompts.information("请先选择芯片型号！");
        return;
    }
    auto choice = prompts.openFile(kOpenDialog1);
    if (!choice) return;
    AppendInfoLine(format("File \"%s\" has been loaded!", choice->path.c_str()));
    loadObjectFile(choice->path);
}

void KorvexApp::setStatusPanel(int index, const std::string& text) {
    Control& bar = ui["StatusBarX"];
    auto panels = bar.items();
    panels.resize(3);
    panels[static_cast<size_t>(index)] = text;
    bar.setItems(panels);
}

bool KorvexApp::loadObjectFile(const std::string& path) {
    ChipProfile& chip = engine.chip;
    ImageState& im = *engine.image;
    engine.fileLoaded = true;
    ReaderOutputs out;
    out.fileChecksum = im.fileChecksum;
    auto lineError = [this](int line, int code) { return prompts.errorOkAbort(format("Line %d Data Error : %d.", line, code)); };
    bool read = false;
    try {
        switch (objectKind(path)) {
        case ObjectKind::Hex:
            readHexFile(path, chip.flashFirst, im.ImageBuffer.data(), kImageSize, out, lineError);
            read = true;
            break;
        case ObjectKind::SRecord:
            readSRecordFile(path, chip.flashFirst, im.ImageBuffer.data(), kImageSize, out, lineError);
            read = true;
            break;
        case ObjectKind::Bin: {
            if (!prompts.showModal(ofsAddrForm)) {
                AppendInfoLine(format("File \"%s\" was not loaded: no offset was given.", path.c_str()));
                return false;
            }
            uint32_t at = im.binOffset & ~0xFu;
            uint32_t last = 0;
            uint32_t sum = im.fileChecksum;
            size_t room = at < kImageSize ? kImageSize - at : 0;
            uint64_t fileSize = readBinFile(path, im.ImageBuffer.data() + at, room, last, sum);
            im.fileChecksum = sum;
            im.loadedFirst = chip.flashFirst + im.binOffset;
            im.loadedLast = chip.flashFirst + im.binOffset + last;
            uint64_t stored = static_cast<uint64_t>(last) + 1;
            if (fileSize > stored)
                AppendInfoLine(format("BIN文件共%llu字节，只加载了前%llu字节（超出1MB或Flash缓冲区的部分未加载）。",
                                      static_cast<unsigned long long>(fileSize), static_cast<unsigned long long>(stored)));
            break;
        }
        case ObjectKind::Unknown:
            break;
        }
    } catch (const FileError& e) {
        prompts.warning(e.what());
        return false;
    }
    if (read) {
        im.loadedFirst = out.first;
        im.loadedLast = out.last;
        im.fileChecksum = out.fileChecksum;
        if (out.recordsOutside > 0 || out.bytesOutside > 0)
            AppendInfoLine(format("文件中有%llu字节数据超出缓冲区地址范围，未加载！",
                                  static_cast<unsigned long long>(out.bytesOutside)));
        if (out.recordsBelowBase > 0)
            AppendInfoLine(format("文件中有%u条数据记录的地址低于芯片Flash起始地址0x%0.8x，未加载！", out.recordsBelowBase,
                                  chip.flashFirst));
    }
    im.viewFirst = chip.flashFirst;
    im.viewLast = chip.flashLast;
    if (chip.vendor == ChipVendor::CPT && im.loadedLast > chip.flashLast) splitCptOptionArea();
    info.addLine("");
    engine.reportImageInfo(im.viewFirst, im.viewLast);
    showFlashView(im.viewFirst, im.viewLast);
    if (chip.vendor == ChipVendor::CPT) showOptionView();
    else if (chip.eepSize > 0) showNvmView();
    return true;
}

void KorvexApp::splitCptOptionArea() {
    ImageState& im = *engine.image;
    size_t from = engine.chip.nvmFirst & 0xFFFFF;
    if (from + 1024 <= kImageSize) std::memcpy(im.NvmBuffer(), im.ImageBuffer.data() + from, 1024);
    std::memcpy(im.OptionBytesBuffer(), im.NvmBuffer(), kOptionSize);
    int n = -1;
    for (int i = 255; i >= 0; --i)
        if (im.OptionBytesBuffer()[i] != 0xFF) {
            n = i;
            break;
        }
    engine.chip.familyOption = (n < 0 || n >= 240) ? 0 : static_cast<uint8_t>(((n | 0x0F) + 1) & 0xFF);
}

void KorvexApp::LoadNVMDataFile1Click() {
    ImageState& im = *engine.image;
    std::memset(im.NvmBuffer(), 0xFF, kNvmSize);
    uint32_t L = 0xFFF;
    auto choice = prompts.openFile(kOpenDialog1);
    if (!choice) return;
    const std::string& path = choice->path;
    try {
        switch (objectKind(path)) {
        case ObjectKind::Hex:
        case ObjectKind::SRecord: {
            ReaderOutputs out;
            out.fileChecksum = im.fileChecksum;
            auto lineError = [this](int line, int code) {
                return prompts.errorOkAbort(format("Line %d Data Error : %d.", line, code));
            };
            if (objectKind(path) == ObjectKind::Hex)
                readHexFile(path, engine.chip.flashFirst, im.NvmBuffer(), kNvmSize, out, lineError);
            else
                readSRecordFile(path, engine.chip.flashFirst, im.NvmBuffer(), kNvmSize, out, lineError);
            im.fileChecksum = out.fileChecksum;
            if (out.bytesOutside > 0)
                AppendInfoLine(format("文件中有%llu字节数据超出NVM缓冲区地址范围，未加载！",
                                      static_cast<unsigned long long>(out.bytesOutside)));
            break;
        }
        case ObjectKind::Bin:
            readBinLimited(path, im.NvmBuffer(), kNvmSize, L);
            break;
        case ObjectKind::Unknown:
            break;
        }
    } catch (const FileError& e) {
        prompts.warning(e.what());
        return;
    }
    showNvmView();
}

void KorvexApp::FileSaveBtnClick() {
    auto choice = prompts.saveFile(kSaveDialog1);
    if (!choice) return;
    const ChipProfile& chip = engine.chip;
    const uint8_t* img = engine.image->ImageBuffer.data();
    const uint32_t last = lastInImage(chip.flashFirst, chip.flashLast, kImageSize);
    try {
        switch (choice->filterIndex) {
        case 1: writeBinFile(choice->path, img, 0, static_cast<int64_t>(last) - chip.flashFirst); break;
        case 2: writeHexFile(choice->path, img, chip.flashFirst, chip.flashFirst, last); break;
        case 3: writeSRecordFile(choice->path, img, chip.flashFirst, chip.flashFirst, last); break;
        default: break;
        }
    } catch (const FileError& e) {
        prompts.warning(e.what());
    }
}

void KorvexApp::SaveNVMDatatoFile1Click() {
    auto choice = prompts.saveFile(kSaveDialog1);
    if (!choice) return;
    try {
        writeBinFile(choice->path, engine.image->NvmBuffer(), 0, static_cast<int64_t>(engine.chip.eepSize) - 1);
    } catch (const FileError& e) {
        prompts.warning(e.what());
    }
}

// ---------------------------------------------------------------------------
// Buffer views.

void KorvexApp::showFlashView(uint32_t first, uint32_t last) {
    showHexRows(ui["HexViewer"], flashSnapshot(engine.image->ImageBuffer.data(), kImageSize, engine.chip.flashFirst, first, last));
}

void KorvexApp::showNvmView() {
    const ChipProfile& chip = engine.chip;
    AppendInfoLine(format("芯片EEP/NVM Data地址空间 = 0x%0.4x-0x%0.4x.", chip.nvmFirst, chip.nvmLast));
    engine.computeNvmSums();
    AppendInfoLine(format("芯片NVM CRC/ACC CheckSum = 0x%0.4x/0x%0.4x", engine.image->nvmCrc, engine.image->nvmAcc));
    Control& page = ui["TabSheetEEP"];
    page.setVisible(true);
    page.setCaption("NVM Data");
    size_t n = std::min<size_t>(chip.eepSize, kNvmSize);
    bool anyData = false;
    if (n == 0) {
        page.setVisible(false);
    } else {
        showHexRows(ui["EEPDataView"], bufferSnapshot(engine.image->NvmBuffer(), kNvmSize, chip.nvmFirst, n / 16));
        const uint8_t* b = engine.image->NvmBuffer();
        anyData = std::any_of(b, b + (n / 16) * 16, [](uint8_t x) { return x != 0xFF; });
    }
    ui["ChkBoxNVM"].setChecked(anyData);
}

void KorvexApp::showOptionView() {
    Control& page = ui["TabSheetEEP"];
    page.setVisible(true);
    page.setCaption("Option Data");
    showHexRows(ui["EEPDataView"], bufferSnapshot(engine.image->NvmBuffer(), kNvmSize, engine.chip.nvmFirst, 64));
}

void KorvexApp::ReadAddress1Click() {
    TSetAddressForm dlg(prompts, engine.readAddress, engine.readLength);
    prompts.showModal(dlg);
    engine.startReadAddress();
}

}  // namespace kvx
