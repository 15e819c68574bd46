// The log configuration file: loadLogConfig on a file written from the input.
// A file whose first line is not "[ConfigLog]" leaves the configuration as it
// was; a loaded configuration writes out and reads back the same.
#include "fuzz_util.h"
#include "log/log_files.h"
#include "shell/text.h"

using namespace kvx;
using namespace kvx::fuzz;

namespace {
bool same(const LogConfig& a, const LogConfig& b) {
    return a.enabled == b.enabled && a.createMode == b.createMode && a.userMode == b.userMode &&
           a.userFileName == b.userFileName;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFile file(kLogConfigFileName);
    file.write(data, size);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string_view first = text.substr(0, text.find('\n'));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);

    LogConfig before;
    before.enabled = false;
    before.createMode = 1;
    before.userMode = 2;
    before.userFileName = "before.log";
    LogConfig cfg = before;
    bool loaded = loadLogConfig(file.path(), cfg);
    FUZZ_CHECK(loaded == (first == "[ConfigLog]"));
    if (!loaded) {
        FUZZ_CHECK(same(cfg, before));
        return 0;
    }
    FUZZ_CHECK(cfg.createMode == 0 || cfg.createMode == 1);
    FUZZ_CHECK(cfg.userMode >= 0 && cfg.userMode <= 2);
    FUZZ_CHECK(cfg.userFileName.find('\n') == std::string::npos);

    // Written and read back. The file name and mode are written only for a
    // user-named log.
    std::string again = joinCrLf(logConfigLines(cfg));
    file.write(reinterpret_cast<const uint8_t*>(again.data()), again.size());
    LogConfig back;
    FUZZ_CHECK(loadLogConfig(file.path(), back));
    FUZZ_CHECK(back.enabled == cfg.enabled && back.createMode == cfg.createMode);
    if (cfg.createMode == 1) FUZZ_CHECK(back.userMode == cfg.userMode && back.userFileName == cfg.userFileName);
    return 0;
}
