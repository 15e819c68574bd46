// Whole-file writes that never leave a half-written file behind: the content
// goes to a temporary file in the target's folder, which replaces the target
// only when it is complete. Reads of the files an operator names, which take
// only regular files and never block on a FIFO or a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <functional>
#include <string>
#include <string_view>

namespace kvx {

// A file that cannot be read or written; the message names the file and the
// cause. code() is the system's error number, 0 for a refusal of our own
// (not a regular file, too large).
class FileError : public std::runtime_error {
public:
    explicit FileError(const std::string& text, int code = 0) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

constexpr uint64_t kNoSizeLimit = UINT64_MAX;

// A regular file opened for reading; closed when it goes out of scope.
// A FIFO, a device, a socket or a folder is refused before anything is read
// (a FIFO without a writer would block the open for ever, /dev/zero never
// ends), and so is a file larger than maxSize. Reads stop at maxSize even
// when the file grows meanwhile. Every failure throws FileError with the text
// 'Cannot read file "<path>": <cause>'.
class RegularFile {
public:
    RegularFile(const std::string& path, uint64_t maxSize);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    uint64_t size() const { return size_; }  // when it was opened

    // Reads up to n bytes at the current position into dest; fewer only when
    // the file ends. Returns the number read.
    size_t read(void* dest, size_t n);

private:
    [[noreturn]] void fail(const std::string& why, int code = 0);
    std::string path_;
    uint64_t maxSize_;
    uint64_t done_ = 0;  // bytes read so far
    uint64_t size_ = 0;
    int fd_ = -1;
};

// The whole of a regular file of at most maxSize bytes. Throws FileError.
std::string readRegularFile(const std::string& path, uint64_t maxSize);

// "not a regular file (a FIFO)" and the like for a file of that mode; empty
// for a regular file.
std::string notRegularCause(unsigned mode);

// Writes data to path through a temporary file and a rename. The target keeps
// its permissions; a symbolic link is followed, so the file it names is
// replaced. A FIFO, device or socket in the target's place is refused, never
// swapped for a plain file. Throws FileError; on failure the previous file is
// untouched and no temporary file is left.
void writeFileReplacing(const std::string& path, const void* data, size_t size);
inline void writeFileReplacing(const std::string& path, const std::string& text) {
    writeFileReplacing(path, text.data(), text.size());
}
// A text written in pieces: the source calls the sink with each piece in
// order. Whatever the source throws leaves the target as it was.
using PieceSink = std::function<void(std::string_view)>;
using PieceSource = std::function<void(const PieceSink&)>;
void writeFileReplacing(const std::string& path, const PieceSource& pieces);

// Writes a new file at `path`, or, where that name is taken, at the first
// free one of path_2, path_3, ... (the number before the extension); never
// replaces or shares a file, even with another program writing at the same
// moment. Returns the name written. Throws FileError.
std::string writeNewFile(const std::string& path, const PieceSource& pieces);

// Appends data to path, creating the file when missing. Throws FileError;
// a failed write leaves the file at its previous length. Only a regular file
// is appended to; a FIFO (which would block the open without a reader) or a
// device is refused.
void appendToFile(const std::string& path, const std::string& text);
void appendToFile(const std::string& path, const PieceSource& pieces);

// Reads the whole regular file (see RegularFile) into out; false, leaving out
// as it was, when it cannot be read or is larger than maxSize.
bool readWholeFile(const std::string& path, std::string& out, uint64_t maxSize = uint64_t(64) << 20);

}  // namespace kvx
