#include "shell/job_options.h"

namespace kvx {

void JobOptionChanges::applyTo(JobOptions& o) const {
    const auto set = [](bool& field, const std::optional<bool>& v) {
        if (v) field = *v;
    };
    const auto ms = [](int64_t& field, const std::optional<int64_t>& v, const SpinRange& range) {
        if (v) field = range.clamp(*v);
    };
    set(o.voltage5V, voltage5V);
    set(o.fastSpeed, fastSpeed);
    if (reset) o.reset = *reset;
    set(o.powerOffAfter, powerOffAfter);
    set(o.runAfter, runAfter);
    set(o.runAndShut, runAndShut);
    ms(o.runTimeMs, runTimeMs, kRunTimeMsRange);
    set(o.blankError, blankError);
    set(o.readProtect, readProtect);
    set(o.optionBytes, optionBytes);
    set(o.nvmArea, nvmArea);
    set(o.watchdog, watchdog);
    set(o.autoDetect, autoDetect);
    ms(o.insertMs, insertMs, kInsertMsRange);
    ms(o.removeMs, removeMs, kRemoveMsRange);
    ms(o.powerUpMs, powerUpMs, kPowerUpMsRange);
    ms(o.powerDownMs, powerDownMs, kPowerDownMsRange);
    set(o.countLimitOn, countLimitOn);
    ms(o.countLimit, countLimit, kCountLimitRange);
    set(o.serialNumbers, serialNumbers);
    if (snStart) o.snStart = *snStart;
    if (snIncrement) o.snIncrement = static_cast<uint16_t>(*snIncrement);
    if (snAddress) o.snAddress = *snAddress;
    set(o.snBigEndian, snBigEndian);
    set(o.snAdvance, snAdvance);
}

}  // namespace kvx
