// The answers a front end with nobody at it gives the questions of a job
// load, from the options it was given, and the chip catalogue looked up by
// name. korvex-cli names its options (--offset, --allow-outside); the
// station its request's parameters (offset, allowOutside).
#pragma once

#include "app/korvex_app.h"

#include <optional>
#include <string>
#include <utility>

namespace kvx {

std::string upperCase(std::string s);
// A chip's catalogue name without the padding some entries carry.
std::string trimmedChipName(std::string name);
// The chip of that name, in any case.
std::optional<std::pair<ChipVendor, int>> findChipByName(const std::string& name);
// "unknown chip 'X' (did you mean A, B or C? korvex-cli chips lists them)".
std::string unknownChip(const std::string& name);

// How the refusals name the options that would change the answer.
struct LoadOptionNames {
    const char* offset = "--offset";
    const char* allowOutside = "--allow-outside";
};

// Where `offset` puts a binary file: an address inside the chip's flash, or
// an offset from its first address. Refused (naming the option) when the
// file would start outside the flash or run past its end.
KorvexApp::BinOffsetAnswer binOffsetAnswer(const std::optional<int64_t>& offset, bool allowOutside,
                                           const KorvexApp::BinOffsetQuestion& q, LoadOptionNames names = {});
// A file whose data lies partly outside the chip loads without that data
// only when allowOutside says so.
KorvexApp::ImageCutAnswer imageCutAnswer(bool allowOutside, const KorvexApp::ImageCutQuestion& q,
                                         LoadOptionNames names = {});

}  // namespace kvx
