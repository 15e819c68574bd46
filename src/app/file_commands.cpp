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
    "Files(*.S19)|*.S19;|All Hex/Binary Files (*.Hex,*.S1*,*.Bin)|*.Hex;*.S1*;*.Bin|Other Hex/S-record Files "
    "(*.ihex,*.ihx,*.srec,*.mot,*.s28,*.s37,*.sx)|*.ihex;*.ihx;*.srec;*.mot;*.s28;*.s37;*.sx",
    5, "*.BIN"};
const FileDialogSpec kSaveDialog1{
    "Save As", "All Binary Files(*.BIN)|*.BIN|Intel Hex Files(*.HEX)|*.HEX|Motorola S-record Files(*.mot)|*.S19", 1, ""};

std::string baseName(const std::string& path) {
    size_t p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}
}  // namespace

void KorvexApp::FileOpenBtnClick() {
    if (!engine.chip.chipChosen) {
        prompts.information("请先选择芯片型号！");
        return;
    }
    auto choice = prompts.openFile(kOpenDialog1);
    if (!choice) return;
    openObjectFile(choice->path);
}

bool KorvexApp::openObjectFile(const std::string& path) {
    AppendInfoLine(format("File \"%s\" has been loaded!", path.c_str()));
    return loadObjectFile(path, true);
}

void KorvexApp::SpdBtnLoadMoreClick() {
    if (!engine.chip.chipChosen) {
        prompts.information("请先选择芯片型号！");
        return;
    }
    auto choice = prompts.openFile(kOpenDialog1);
    if (!choice) return;
    AppendInfoLine(format("File \"%s\" has been loaded!", choice->path.c_str()));
    loadObjectFile(choice->path, false);
}

void KorvexApp::setStatusPanel(int index, const std::string& text) {
    Control& bar = ui["StatusBarX"];
    auto panels = bar.items();
    panels.resize(3);
    panels[static_cast<size_t>(index)] = text;
    bar.setItems(panels);
}

bool KorvexApp::refuseObjectFile(const std::string& path, const std::string& why) {
    AppendInfoLine(format("File \"%s\" was not loaded: %s.", path.c_str(), why.c_str()));
    lastLoadRefusal = why;
    return false;
}

LineErrorFn KorvexApp::lineErrorPrompt(const std::string& path, ObjectFormat format) {
    return [this, path, format](int line, int code) {
        if (onObjectLineError) onObjectLineError(path, line, code, format);
        if (askLineError) return askLineError(path, line, code);
        return prompts.errorOkAbort(kvx::format("Line %d Data Error : %d.", line, code));
    };
}

// The file is read into scratch copies of the buffers (over the fill value
// for a new file, over the current image when adding one); the job takes the
// copies over only when the whole file was read and held data. Anything else
// (a cancelled offset, a file that cannot be read or whose format is not
// known, a line error answered Abort, an empty file) leaves the image, its
// sums, the file name, the views and fileLoaded exactly as they were.
// Reads an Intel HEX or S-record file over `img`: "" when it was read, else
// why it is refused.
std::string KorvexApp::readTextObject(const std::string& path, ObjectFormat kind, uint8_t* img, ReaderOutputs& out) {
    const ChipProfile& chip = engine.chip;
    if (kind == ObjectFormat::Hex)
        readHexFile(path, chip.flashFirst, img, kImageSize, out, lineErrorPrompt(path, kind));
    else
        readSRecordFile(path, chip.flashFirst, img, kImageSize, out, lineErrorPrompt(path, kind));
    if (out.aborted) return format("reading was aborted at line %d", out.abortedAtLine);
    if (out.recordsOutside > 0 || out.bytesOutside > 0)
        AppendInfoLine(format("文件中有%llu字节数据超出缓冲区地址范围，未加载！",
                              static_cast<unsigned long long>(out.bytesOutside)));
    if (out.recordsBelowBase > 0)
        AppendInfoLine(format("文件中有%u条数据记录的地址低于芯片Flash起始地址0x%0.8x，未加载！", out.recordsBelowBase,
                              chip.flashFirst));
    if (out.bytesStored == 0)
        return out.first > out.last ? "it holds no data record" : "none of its data lies in the chip's flash buffer";
    return {};
}

// Reads a binary file over `img` at the offset the operator gives: "" when it
// was read, else why it is refused (the offset is then as it was).
std::string KorvexApp::readBinObject(const std::string& path, uint8_t* img, ReaderOutputs& out) {
    const ChipProfile& chip = engine.chip;
    ImageState& im = *engine.image;
    const uint32_t oldBinOffset = im.binOffset;
    // A file that cannot be read is refused before the operator is asked
    // for its offset.
    uint64_t size = 0;
    {
        RegularFile probe(path, kNoSizeLimit);
        size = probe.size();
    }
    if (askBinOffset) {
        const BinOffsetAnswer a = askBinOffset({path, size, chip.flashFirst, chip.flashLast});
        if (!a.address || *a.address < chip.flashFirst || *a.address > chip.flashLast)
            return a.refusal.empty() ? "no offset was given" : a.refusal;
        im.binOffset = *a.address - chip.flashFirst;
    } else if (!prompts.showModal(ofsAddrForm)) {
        im.binOffset = oldBinOffset;
        return "no offset was given";
    }
    uint32_t at = im.binOffset & ~0xFu;
    uint32_t last = 0;
    size_t room = at < kImageSize ? kImageSize - at : 0;
    // A read error is thrown to the caller, which puts the offset back.
    const uint64_t fileSize = readBinFile(path, img + at, room, last, out.fileChecksum);
    if (fileSize == 0) {
        im.binOffset = oldBinOffset;
        return "it is empty";
    }
    out.first = chip.flashFirst + im.binOffset;
    out.last = chip.flashFirst + im.binOffset + last;
    uint64_t stored = static_cast<uint64_t>(last) + 1;
    out.bytesStored = stored;
    out.bytesOffChip = out.chip.bytesOutside(static_cast<uint64_t>(chip.flashFirst) + at, stored);
    if (fileSize > stored)
        AppendInfoLine(format("BIN文件共%llu字节，只加载了前%llu字节（超出1MB或Flash缓冲区的部分未加载）。",
                              static_cast<unsigned long long>(fileSize), static_cast<unsigned long long>(stored)));
    return {};
}

std::string KorvexApp::imageCutRefusal(const std::string& path, const ReaderOutputs& out) {
    const ChipProfile& chip = engine.chip;
    const auto bytes = static_cast<unsigned long long>(out.bytesOffChip);
    if (askImageCut) {
        const ImageCutAnswer a = askImageCut({path, out.bytesOffChip, out.first, out.last, chip.flashFirst, chip.flashLast});
        if (!a.load) return a.refusal.empty() ? format("%llu bytes lie outside the chip", bytes) : a.refusal;
    } else if (!prompts.questionYesNo(format("文件\"%s\"的数据范围为0x%0.8x-0x%0.8x，其中%llu字节不在芯片Flash"
                                             "（0x%0.8x-0x%0.8x）内，不会写入芯片。\n是否去掉这些数据后加载文件？",
                                             baseName(path).c_str(), out.first, out.last, bytes, chip.flashFirst,
                                             chip.flashLast))) {
        return format("%llu bytes lie outside the chip's flash 0x%0.8x-0x%0.8x", bytes, chip.flashFirst, chip.flashLast);
    }
    AppendInfoLine(format("文件数据有%llu字节超出芯片Flash（0x%0.8x-0x%0.8x），已去掉，未加载。", bytes, chip.flashFirst,
                          chip.flashLast));
    return {};
}

bool KorvexApp::loadObjectFile(const std::string& path, bool newFile) {
    ChipProfile& chip = engine.chip;
    ImageState& im = *engine.image;
    if (!scratchImage_) scratchImage_ = std::make_unique<std::array<uint8_t, kImageSize>>();
    uint8_t* img = scratchImage_->data();
    std::array<uint8_t, kNvmSize> nvm;
    if (newFile) {
        uint8_t fill = chip.vendor == ChipVendor::FG ? 0x00 : 0xFF;
        std::memset(img, fill, kImageSize);
        nvm.fill(fill);
    } else {
        std::memcpy(img, im.ImageBuffer.data(), kImageSize);
    }
    ReaderOutputs out;
    out.fileChecksum = newFile ? 0 : im.fileChecksum;
    out.chip.flashFirst = chip.flashFirst;
    out.chip.flashLast = chip.flashLast;
    if (chip.vendor == ChipVendor::CPT) {
        // The option area the image carries after the flash (taken into the
        // NVM buffer when the file reaches it).
        out.chip.otherFirst = chip.flashFirst + (chip.nvmFirst & 0xFFFFF);
        out.chip.otherLast = out.chip.otherFirst + 1023;
    }
    const uint32_t oldBinOffset = im.binOffset;
    try {
        const ObjectFormat kind = objectFileFormat(path);
        std::string refusal;
        switch (kind) {
        case ObjectFormat::Hex:
        case ObjectFormat::SRecord: refusal = readTextObject(path, kind, img, out); break;
        case ObjectFormat::Bin: refusal = readBinObject(path, img, out); break;
        case ObjectFormat::Unknown:
            refusal = "its format is not known (neither Intel HEX nor S-record by its first line, and not named .bin)";
            break;
        }
        if (refusal.empty() && out.bytesOffChip > 0) refusal = imageCutRefusal(path, out);
        if (!refusal.empty()) {
            im.binOffset = oldBinOffset;
            return refuseObjectFile(path, refusal);
        }
    } catch (const FileError& e) {
        im.binOffset = oldBinOffset;
        prompts.warning(e.what());
        return refuseObjectFile(path, e.what());
    }

    // The whole file was read: the job takes it over.
    std::memcpy(im.ImageBuffer.data(), img, kImageSize);
    if (newFile) {
        std::memcpy(im.NvmBuffer(), nvm.data(), kNvmSize);
        std::string name = baseName(path);
        ui["ProductEdit"].setText(name);
        setStatusPanel(2, path);
        im.objectFileName = name;
    }
    im.bytesCut = (newFile ? 0 : im.bytesCut) + out.bytesOffChip;
    im.fileChecksum = out.fileChecksum;
    im.loadedFirst = out.first;
    im.loadedLast = out.last;
    engine.fileLoaded = true;
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

// NVM data: read into a scratch copy filled with 0xFF and taken over only
// when the whole file was read and held data.
bool KorvexApp::LoadNVMDataFile1Click() {
    auto choice = prompts.openFile(kOpenDialog1);
    return choice && loadNvmFile(choice->path);
}

bool KorvexApp::loadNvmFile(const std::string& path) {
    ImageState& im = *engine.image;
    std::array<uint8_t, kNvmSize> nvm;
    nvm.fill(0xFF);
    uint32_t L = 0xFFF;
    uint32_t checksum = im.fileChecksum;
    try {
        ObjectFormat kind = objectFileFormat(path);
        switch (kind) {
        case ObjectFormat::Hex:
        case ObjectFormat::SRecord: {
            ReaderOutputs out;
            out.fileChecksum = im.fileChecksum;
            if (kind == ObjectFormat::Hex)
                readHexFile(path, engine.chip.flashFirst, nvm.data(), kNvmSize, out, lineErrorPrompt(path, kind));
            else
                readSRecordFile(path, engine.chip.flashFirst, nvm.data(), kNvmSize, out, lineErrorPrompt(path, kind));
            if (out.aborted) {
                refuseObjectFile(path, format("reading was aborted at line %d", out.abortedAtLine));
                return false;
            }
            if (out.bytesOutside > 0)
                AppendInfoLine(format("文件中有%llu字节数据超出NVM缓冲区地址范围，未加载！",
                                      static_cast<unsigned long long>(out.bytesOutside)));
            if (out.bytesStored == 0) {
                refuseObjectFile(path, "none of its data lies in the NVM buffer");
                return false;
            }
            checksum = out.fileChecksum;
            break;
        }
        case ObjectFormat::Bin:
            if (readBinLimited(path, nvm.data(), kNvmSize, L) == 0) {
                refuseObjectFile(path, "it is empty");
                return false;
            }
            break;
        case ObjectFormat::Unknown:
            refuseObjectFile(path, "its format is not known (neither Intel HEX nor S-record by its first line, "
                                   "and not named .bin)");
            return false;
        }
    } catch (const FileError& e) {
        prompts.warning(e.what());
        refuseObjectFile(path, e.what());
        return false;
    }
    std::memcpy(im.NvmBuffer(), nvm.data(), kNvmSize);
    im.fileChecksum = checksum;
    showNvmView();
    return true;
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
    ReadRange range{engine.lastReadAddress(), engine.lastReadLength()};
    if (askReadRange) {
        const std::optional<ReadRange> r = askReadRange(range);
        if (!r) return;
        range = *r;
    } else {
        // The dialog shows a length of 16 to 4096; closed without OK, the
        // read takes what it showed.
        range.length = static_cast<uint16_t>(std::clamp<int>(range.length, 16, 4096));
        TSetAddressForm dlg(prompts, range.address, range.length);
        prompts.showModal(dlg);
    }
    engine.startReadAddress(range.address, range.length);
}

}  // namespace kvx
