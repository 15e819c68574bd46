// Whole-file writes that never leave a half-written file behind: the content
// goes to a temporary file in the target's folder, which replaces the target
// only when it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kvx {

// A file that cannot be written; the message names the file and the cause.
class FileError : public std::runtime_error {
public:
    explicit FileError(const std::string& text) : std::runtime_error(text) {}
};

// Writes data to path through a temporary file and a rename. The target keeps
// its permissions; a symbolic link is followed, so the file it names is
// replaced. Throws FileError; on failure the previous file is untouched and no
// temporary file is left.
void writeFileReplacing(const std::string& path, const void* data, size_t size);
inline void writeFileReplacing(const std::string& path, const std::string& text) {
    writeFileReplacing(path, text.data(), text.size());
}

// Appends data to path, creating the file when missing. Throws FileError;
// a failed write leaves the file at its previous length.
void appendToFile(const std::string& path, const std::string& text);

// Reads the whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& out);

}  // namespace kvx
