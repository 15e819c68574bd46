// The information log's journal: every line of the log since it was last
// cleared, as the log files hold them (each line followed by CR LF), in an
// unnamed file in the program folder. The log keeps only its newest lines in
// memory; what works on the whole log (the run log at shut-down, the
// production logs) reads the journal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// A piece of the log's text, readable from any thread: the part already in
// the journal's file and the part that was still waiting to be written when
// the piece was taken. Reading never blocks the log.
class LogText {
public:
    LogText() = default;
    // The text of these lines (held in memory).
    LogText(const std::vector<std::string>& lines);  // NOLINT: a list of lines is a text
    size_t lines() const { return lines_; }
    uint64_t bytes() const { return (fileTo_ - fileFrom_) + tail_.size(); }
    // Calls sink with the text in order, in pieces of at most 1 MiB. Throws
    // FileError when the journal's file cannot be read.
    void forEachPiece(const std::function<void(std::string_view)>& sink) const;
    // The whole text at once (for small texts and tests).
    std::string str() const;

private:
    friend class LogJournal;
    struct File;
    std::shared_ptr<File> file_;
    uint64_t fileFrom_ = 0, fileTo_ = 0;
    std::string tail_;
    size_t lines_ = 0;
};

class LogJournal {
public:
    // folder() names the folder the file goes in, asked when the file is
    // first needed; without it the journal keeps everything in memory.
    explicit LogJournal(std::function<std::string()> folder = {});
    ~LogJournal();
    // Where the file goes from now on (a file already made stays).
    void setFolder(std::function<std::string()> folder) { folder_ = std::move(folder); }
    LogJournal(const LogJournal&) = delete;
    LogJournal& operator=(const LogJournal&) = delete;

    // Adds a line (CR LF is added). Written to the file in blocks of 64 KiB.
    void append(std::string_view line);
    // Writes what waits; false when the file cannot be made or written (the
    // text then waits in memory for the next try: nothing is lost).
    bool flush();
    // Starts afresh (the log was cleared). Texts taken before stay readable.
    void clear();

    size_t lines() const { return lines_; }
    uint64_t bytes() const { return written_ + pending_.size(); }
    // Bytes waiting in memory to be written.
    size_t waiting() const { return pending_.size(); }
    // The text between two byte offsets (values bytes() gave), with the
    // number of lines in it given by the caller's count.
    LogText text(uint64_t from, uint64_t to, size_t lineCount);
    LogText all() { return text(0, bytes(), lines_); }

    // Why the last write failed; empty while the journal works.
    const std::string& failure() const { return failure_; }
    // Called when lines start to wait in memory because the file cannot be
    // written (once, and again only after a write worked), with the cause.
    std::function<void(const std::string&)> onFailure;

private:
    bool open();
    std::function<std::string()> folder_;
    std::shared_ptr<LogText::File> file_;
    uint64_t written_ = 0;
    std::string pending_;
    size_t lines_ = 0;
    std::string failure_;
    size_t nextTry_ = 64 * 1024;  // pending bytes at which append writes
    bool reported_ = false;
};

}  // namespace kvx
