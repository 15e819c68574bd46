// Loads that do not complete change nothing: after a good image is loaded, a
// second load that is cancelled, cannot be read, is aborted on a faulty line,
// has no known format or holds no data leaves the image, its sums, the file
// name and the views as they were, and "自动" programs the first image. The
// formats recognised by content or by their other extensions load and
// program what they hold.
#include "e2e_rig.h"
#include "e2e/startup_rig.h"
#include "image/object_files.h"

#include <sys/stat.h>

using namespace kvx;
using kvx::test::E2ERig;
using kvx::test::patternBytes;
using kvx::test::writeBytes;

namespace {

constexpr size_t kFlash = 32 * 1024;  // SC32F5232JV1G, flash from address 0

enum class Command { Open, LoadMore, Nvm };

struct LoadCase {
    const char* name;
    // Writes the second file (holding `image` where it holds data) into dir;
    // returns its path.
    std::function<std::string(const std::string& dir, const std::vector<uint8_t>& image)> make;
    Command command = Command::Open;
    bool cancelOffset = false;      // Escape in the BIN offset dialog
    std::deque<bool> lineAnswers = {};  // OK (true) or Abort for faulty lines
    const char* why = nullptr;      // the log's reason; nullptr: the file loads
    bool firstLoad = true;          // a good image is loaded before
    std::deque<bool> cutAnswers = {};  // Yes (true) or No to loading without the data outside the chip
};

void writeText(const std::string& path, const std::string& text) {
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string hexOf(const std::vector<uint8_t>& image) {
    return hexText(image.data(), 0, 0, static_cast<uint32_t>(image.size()) - 1);
}

// The image followed by as many other bytes: twice the chip's flash.
std::vector<uint8_t> doubled(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> b = image;
    b.resize(2 * image.size(), 0x5A);
    return b;
}

// The HEX text with the checksum of line n (1-based) made wrong.
std::string hexWithBadLine(const std::vector<uint8_t>& image, int n) {
    std::string t = hexOf(image);
    size_t at = 0;
    for (int i = 1; i < n; ++i) at = t.find('\n', at) + 1;
    size_t end = t.find('\r', at);
    t[end - 1] = t[end - 1] == '0' ? '1' : '0';
    return t;
}

std::vector<LoadCase> loadCases() {
    auto named = [](const char* file, std::function<std::string(const std::vector<uint8_t>&)> text) {
        return [file, text](const std::string& dir, const std::vector<uint8_t>& image) {
            std::string p = dir + "/" + file;
            writeText(p, text(image));
            return p;
        };
    };
    auto bin = [](const std::string& dir, const std::vector<uint8_t>& image) {
        writeBytes(dir + "/second.bin", image);
        return dir + "/second.bin";
    };
    return {
        {"bin offset cancelled", bin, Command::Open, true, {}, "no offset was given"},
        {"missing file", [](const std::string& dir, const std::vector<uint8_t>&) { return dir + "/missing.hex"; },
         Command::Open, false, {}, "No such file or directory"},
        {"hex line 5 answered Abort", named("bad.hex", [](auto& i) { return hexWithBadLine(i, 5); }), Command::Open,
         false, {false}, "reading was aborted at line 5"},
        {"hex line 5 answered OK", named("bad.hex", [](auto& i) { return hexWithBadLine(i, 5); }), Command::Open,
         false, {true}},
        {"more data, line 5 answered Abort", named("bad.hex", [](auto& i) { return hexWithBadLine(i, 5); }),
         Command::LoadMore, false, {false}, "reading was aborted at line 5"},
        {"unknown extension and content", named("notes.txt", [](auto&) { return std::string("hello\r\n"); }),
         Command::Open, false, {}, "its format is not known"},
        {"unknown file before any load", named("notes.txt", [](auto&) { return std::string("hello\r\n"); }),
         Command::Open, false, {}, "its format is not known", false},
        {"empty bin", [](const std::string& dir, const std::vector<uint8_t>&) {
             writeBytes(dir + "/empty.bin", {});
             return dir + "/empty.bin";
         }, Command::Open, false, {}, "it is empty"},
        {"hex without a data record", named("eof.hex", [](auto&) { return std::string(":00000001FF\r\n"); }),
         Command::Open, false, {}, "it holds no data record"},
        {"fifo named .hex", [](const std::string& dir, const std::vector<uint8_t>&) {
             mkfifo((dir + "/pipe.hex").c_str(), 0600);
             return dir + "/pipe.hex";
         }, Command::Open, false, {}, "not a regular file (a FIFO)"},
        {"nvm data of unknown format", named("nvm.dat", [](auto&) { return std::string("\x01\x02"); }), Command::Nvm,
         false, {}, "its format is not known"},
        // Data outside the chip's 32 KB flash: asked once; No keeps the job,
        // Yes loads (and programs) what lies in the flash.
        {"64 KB hex answered No", named("big.hex", [](auto& i) { return hexOf(doubled(i)); }), Command::Open, false,
         {}, "32768 bytes lie outside the chip's flash 0x00000000-0x00007FFF", true, {false}},
        {"64 KB hex answered Yes", named("big.hex", [](auto& i) { return hexOf(doubled(i)); }), Command::Open, false,
         {}, nullptr, true, {true}},
        {"40 KB bin answered No", [](const std::string& dir, const std::vector<uint8_t>& image) {
             std::vector<uint8_t> b = doubled(image);
             b.resize(40 * 1024);
             writeBytes(dir + "/big.bin", b);
             return dir + "/big.bin";
         }, Command::Open, false, {}, "8192 bytes lie outside", true, {false}},
        // Other names of the two text formats, and content without a name.
        {".s37", named("second.s37", [](auto& i) { return sRecordText(i.data(), 0, 0, kFlash - 1); })},
        {".mot", named("second.mot", [](auto& i) { return sRecordText(i.data(), 0, 0, kFlash - 1); })},
        {".ihx", named("second.ihx", [](auto& i) { return hexOf(i); })},
        {"hex without extension", named("second", [](auto& i) { return "\r\n" + hexOf(i); })},
        {"srec with an S6 count", named("second.srec", [](auto& i) {
             return "S0030000FC\r\n" + sRecordText(i.data(), 0, 0, kFlash - 1) + "S604000400F7\r\n";
         })},
    };
}

// What a load may change, to compare before and after.
struct JobView {
    std::vector<uint8_t> flash, nvm;
    uint32_t fileChecksum, loadedFirst, loadedLast;
    uint16_t flashCrc, flashAcc;
    std::string objectFileName, productEdit, path, fileSum;
    bool fileLoaded;
    size_t hexRows;
    std::string hexCell;
    bool operator==(const JobView&) const = default;
};

JobView jobView(E2ERig& r) {
    const ImageState& im = *r.engine().image;
    auto panels = r.app->ui["StatusBarX"].items();
    panels.resize(3);
    Control& grid = r.app->ui["HexViewer"];
    return {std::vector<uint8_t>(im.ImageBuffer.begin(), im.ImageBuffer.begin() + kFlash),
            std::vector<uint8_t>(im.NvmBuffer(), im.NvmBuffer() + kNvmSize),
            im.fileChecksum, im.loadedFirst, im.loadedLast, im.flashCrc, im.flashAcc, im.objectFileName,
            r.app->ui["ProductEdit"].text(), panels[2], panels[0], r.engine().fileLoaded,
            grid.rowCount ? grid.rowCount() : 0, grid.cellText ? grid.cellText(1, 1) : ""};
}

}  // namespace

TEST(LoadsThatDoNotComplete, LeaveTheJobAndTheChipsAsTheyWere) {
    for (const LoadCase& c : loadCases()) {
        SCOPED_TRACE(c.name);
        E2ERig r(2);
        ASSERT_EQ(r.connected(), 2);
        r.chooseChip("SC32F5232JV1G");
        std::vector<uint8_t> first(kFlash, 0xFF);
        if (c.firstLoad) first = r.loadRandomImage(kFlash, 1);
        const std::vector<uint8_t> second = patternBytes(kFlash, 2);
        const std::string path = c.make(r.workDir, second);
        const JobView before = jobView(r);

        r.prompts.okAbortAnswers.assign(c.lineAnswers.begin(), c.lineAnswers.end());
        r.prompts.yesNoAnswers.assign(c.cutAnswers.begin(), c.cutAnswers.end());
        r.prompts.openAnswers.push_back(FileChoice{path, 1});
        r.prompts.modalScript = [&](Form& f) {
            if (f.className() != "TFormOfsAddr") return;
            if (c.cancelOffset) f.close(Form::Cancel);
            else f["BitBtn1"].click();
        };
        const char* button = c.command == Command::Open ? "SpdBtnOpen" : c.command == Command::LoadMore ? "SpdBtnLoadMore" : "LoadNVMDataFile1";
        r.app->ui[button].click();
        r.prompts.modalScript = nullptr;
        EXPECT_EQ(r.prompts.okAbortAnswers.size(), 0u);
        EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::ErrorOkAbort), c.lineAnswers.size());
        EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::QuestionYesNo), c.cutAnswers.size());
        EXPECT_EQ(r.logHas("已去掉"), !c.cutAnswers.empty() && c.cutAnswers.front());

        const std::string notLoaded = "File \"" + path + "\" was not loaded: ";
        if (c.why) {
            EXPECT_TRUE(r.logHas(notLoaded)) << path;
            EXPECT_TRUE(r.logHas(c.why)) << r.app->log.line(r.app->log.size() - 1);
            EXPECT_TRUE(jobView(r) == before);
        } else {
            EXPECT_FALSE(r.logHas(notLoaded));
            EXPECT_TRUE(r.engine().fileLoaded);
        }

        size_t boxes = r.prompts.count(ScriptedPrompts::Kind::Information);
        r.app->ui["AutoSpdBtn"].click();
        ASSERT_TRUE(r.waitIdle(30000));
        const std::vector<uint8_t>& expect = c.why ? first : second;
        if (!c.firstLoad) {
            EXPECT_EQ(r.prompts.count(ScriptedPrompts::Kind::Information), boxes + 1);
            EXPECT_EQ(r.prompts.texts(ScriptedPrompts::Kind::Information).back(), "请加载目标文件！");
        }
        for (int s = 0; s < 2; ++s) {
            if (c.firstLoad || !c.why) EXPECT_TRUE(r.unitFlash(s) == expect) << s;
            else EXPECT_EQ(r.countRequests(s + 1, 0x95), 0u) << s;  // nothing was programmed
        }
        EXPECT_EQ(r.logCount("Main Flash数据校验成功！"), c.firstLoad || !c.why ? 2u : 0u);
    }
}
