#include "app/job_answers.h"

#include "chip/catalogue.h"
#include "shell/text.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kvx {

namespace {

// Edit distance, for suggestions.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// the names closest to it, those that begin with it first.
}  // namespace

std::string upperCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmedChipName(std::string name) {
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

std::optional<std::pair<ChipVendor, int>> findChipByName(const std::string& name) {
    const std::string wanted = upperCase(trimmedChipName(name));
    for (int v = 0; v < 4; ++v) {
        const auto& names = chipNames(static_cast<ChipVendor>(v));
        for (size_t i = 0; i < names.size(); ++i)
            if (upperCase(trimmedChipName(names[i])) == wanted) return std::make_pair(static_cast<ChipVendor>(v), static_cast<int>(i));
    }
    return std::nullopt;
}

std::string unknownChip(const std::string& name) {
    const std::string wanted = upperCase(trimmedChipName(name));
    std::vector<std::pair<size_t, std::string>> near;
    for (int v = 0; v < 4; ++v)
        for (const std::string& n : chipNames(static_cast<ChipVendor>(v))) {
            const std::string chip = trimmedChipName(n), up = upperCase(chip);
            const size_t d = up.rfind(wanted, 0) == 0 && !wanted.empty() ? 0 : editDistance(wanted, up);
            if (d <= std::max<size_t>(3, wanted.size() / 4)) near.emplace_back(d, chip);
        }
    std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string hint;
    for (size_t i = 0; i < near.size() && i < 3; ++i)
        hint += (i == 0 ? "" : i + 1 == std::min<size_t>(near.size(), 3) ? " or " : ", ") + near[i].second;
    return "unknown chip '" + name + "' (" + (hint.empty() ? "" : "did you mean " + hint + "? ") +
           "korvex-cli chips lists them)";
}

KorvexApp::BinOffsetAnswer binOffsetAnswer(const std::optional<int64_t>& offset, bool allowOutside,
                                           const KorvexApp::BinOffsetQuestion& q, LoadOptionNames names) {
    const int64_t first = q.flashFirst, last = q.flashLast;
    int64_t at = first + (offset ? *offset : 0);
    if (offset && *offset >= first) at = *offset;
    const std::string given = offset ? format("%s 0x%llX", names.offset, static_cast<unsigned long long>(*offset))
                                     : format("without %s, the file", names.offset);
    if (at < first || at > last)
        return {std::nullopt, format("%s would put it at 0x%0.8llX, outside the chip's flash 0x%0.8X-0x%0.8X",
                                     given.c_str(), static_cast<unsigned long long>(at), q.flashFirst, q.flashLast)};
    // The image takes a binary file on a 16-byte row: another start would
    // move it.
    if (at % 16 != 0)
        return {std::nullopt, format("%s would put it at 0x%0.8llX: a binary file starts on a multiple of 16 (0x10)",
                                     given.c_str(), static_cast<unsigned long long>(at))};
    const uint64_t room = static_cast<uint64_t>(last - at) + 1;
    if (q.fileSize > room && !allowOutside)
        return {std::nullopt,
                format("%s puts its %llu bytes at 0x%0.8llX: %llu of them would run past the end of the chip's flash "
                       "(0x%0.8X); %s loads it without them",
                       given.c_str(), static_cast<unsigned long long>(q.fileSize), static_cast<unsigned long long>(at),
                       static_cast<unsigned long long>(q.fileSize - room), q.flashLast, names.allowOutside)};
    return {static_cast<uint32_t>(at), {}};
}

KorvexApp::ImageCutAnswer imageCutAnswer(bool allowOutside, const KorvexApp::ImageCutQuestion& q, LoadOptionNames names) {
    if (allowOutside) return {true, {}};
    return {false, format("%llu of its bytes (data at 0x%0.8X-0x%0.8X) lie outside the chip's flash 0x%0.8X-0x%0.8X; "
                          "%s loads it without them",
                          static_cast<unsigned long long>(q.bytesOutside), q.fileFirst, q.fileLast, q.flashFirst,
                          q.flashLast, names.allowOutside)};
}

}  // namespace kvx
