#include "shell/log_journal.h"

#include "shell/safe_file.h"
#include "shell/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kvx {

namespace {
constexpr size_t kBlock = 64 * 1024;
constexpr size_t kPiece = 1024 * 1024;
}  // namespace

// The journal's open file; texts taken from it keep it open while they live,
// so a cleared log's file goes away only when the last save that reads it is
// done.
struct LogText::File {
    explicit File(int f) : fd(f) {}
    ~File() { ::close(fd); }
    int fd;
};

LogText::LogText(const std::vector<std::string>& lines) : tail_(joinCrLf(lines)), lines_(lines.size()) {}

void LogText::forEachPiece(const std::function<void(std::string_view)>& sink) const {
    if (fileTo_ > fileFrom_) {
        std::string buf(static_cast<size_t>(std::min<uint64_t>(kPiece, fileTo_ - fileFrom_)), '\0');
        for (uint64_t at = fileFrom_; at < fileTo_;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), fileTo_ - at));
            ssize_t n = ::pread(file_->fd, buf.data(), want, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int e = n < 0 ? errno : EIO;
                throw FileError(std::string("Cannot read the information log's journal: ") + std::strerror(e), e);
            }
            sink(std::string_view(buf.data(), static_cast<size_t>(n)));
            at += static_cast<uint64_t>(n);
        }
    }
    for (size_t at = 0; at < tail_.size(); at += kPiece) sink(std::string_view(tail_).substr(at, kPiece));
}

std::string LogText::str() const {
    std::string out;
    out.reserve(static_cast<size_t>(bytes()));
    forEachPiece([&](std::string_view p) { out.append(p); });
    return out;
}

LogJournal::LogJournal(std::function<std::string()> folder) : folder_(std::move(folder)) {}
LogJournal::~LogJournal() = default;

bool LogJournal::open() {
    std::string given = folder_();
    const std::string dir = given.empty() ? std::string(".") : given;
    // An unnamed file: nothing is left behind when the program ends, however
    // it ends. Where the file system cannot make one, a named file is made
    // and its name removed at once.
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string tmpl = dir + "/.korvex-journal-XXXXXX";
        fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(tmpl.c_str());
    }
    if (fd < 0) {
        int e = errno;
        failure_ = "Cannot make the information log's journal in \"" + dir + "\": " + std::strerror(e);
        return false;
    }
    file_ = std::make_shared<LogText::File>(fd);
    return true;
}

void LogJournal::append(std::string_view line) {
    pending_.append(line);
    pending_.append("\r\n");
    ++lines_;
    // While writing fails, the next try waits for another block.
    if (folder_ && pending_.size() >= nextTry_ && !flush()) {
        nextTry_ = pending_.size() + kBlock;
        // The lines now wait in memory: said once, until a write works again.
        if (!reported_ && onFailure) onFailure(failure_);
        reported_ = true;
    }
}

bool LogJournal::flush() {
    if (pending_.empty()) return true;
    if (!folder_) return false;
    bool ok = file_ || open();
    size_t done = 0;
    while (ok && done < pending_.size()) {
        ssize_t n = ::pwrite(file_->fd, pending_.data() + done, pending_.size() - done, static_cast<off_t>(written_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            failure_ = std::string("Cannot write the information log's journal: ") + std::strerror(e);
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    written_ += done;
    pending_.erase(0, done);
    if (ok) {
        failure_.clear();
        nextTry_ = kBlock;
        reported_ = false;
        return true;
    }
    return false;
}

void LogJournal::clear() {
    file_.reset();
    written_ = 0;
    pending_.clear();
    pending_.shrink_to_fit();
    lines_ = 0;
    failure_.clear();
    nextTry_ = kBlock;
    reported_ = false;
}

LogText LogJournal::text(uint64_t from, uint64_t to, size_t lineCount) {
    LogText t;
    to = std::min(to, bytes());
    from = std::min(from, to);
    t.file_ = file_;
    t.fileFrom_ = std::min(from, written_);
    t.fileTo_ = std::min(to, written_);
    if (to > written_) {
        const uint64_t at = from > written_ ? from - written_ : 0;
        t.tail_ = pending_.substr(static_cast<size_t>(at), static_cast<size_t>(to - written_ - at));
    }
    t.lines_ = lineCount;
    return t;
}

}  // namespace kvx
