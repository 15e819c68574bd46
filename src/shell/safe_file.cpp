#include "shell/safe_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx {

namespace {

std::string cause(const std::string& what, const std::string& path, int err) {
    return what + " \"" + path + "\": " + std::strerror(err);
}

[[noreturn]] void refuseNotRegular(const std::string& what, const std::string& path, const struct stat& st) {
    throw FileError(what + " \"" + path + "\": " + notRegularCause(st.st_mode));
}

// Blocking mode back on for a descriptor opened non-blocking only so that the
// open could not wait; a regular file never waits either way.
void clearNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Writes the pieces to a fresh file beside `target` and returns its name:
// created with mode 0666 so that the process's umask applies as for any new
// file, or with `keep`'s mode; written and synced, or removed and thrown.
std::string writeBeside(const std::string& path, const std::string& target, const PieceSource& pieces,
                        const struct stat* keep) {
    static std::atomic<unsigned> counter{0};
    std::string tmpl;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmpl = target + ".~" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(tmpl.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        int e = errno;
        throw FileError(cause("Cannot create", path, e), e);
    }
    int err = 0;
    if (keep && ::fchmod(fd, keep->st_mode & 07777) != 0) err = errno;
    try {
        if (!err) pieces([&](std::string_view p) {
            if (!err && !writeAll(fd, reinterpret_cast<const uint8_t*>(p.data()), p.size())) err = errno;
        });
    } catch (...) {
        // The text could not be read: the target stays as it was.
        ::close(fd);
        ::unlink(tmpl.c_str());
        throw;
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (err) {
        ::unlink(tmpl.c_str());
        throw FileError(cause("Cannot write", path, err), err);
    }
    return tmpl;
}

}  // namespace

void writeFileReplacing(const std::string& path, const void* data, size_t size) {
    writeFileReplacing(path, [&](const PieceSink& sink) { sink(std::string_view(static_cast<const char*>(data), size)); });
}

void writeFileReplacing(const std::string& path, const PieceSource& pieces) {
    std::string target = path;
    struct stat st {};
    bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) target = resolved;
        exists = ::stat(target.c_str(), &st) == 0;
    }
    // A pipe someone reads or a device node would be swapped for a plain file
    // (by root even /dev/null): refused. A folder is left to the rename, which
    // fails with "Is a directory".
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) refuseNotRegular("Cannot write", path, st);
    const std::string tmp = writeBeside(path, target, pieces, exists ? &st : nullptr);
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw FileError(cause("Cannot write", path, err), err);
    }
}

std::string writeNewFile(const std::string& path, const PieceSource& pieces) {
    const size_t dot = path.find_last_of('.');
    const bool hasExt = dot != std::string::npos && path.find('/', dot) == std::string::npos;
    auto numbered = [&](int n) {
        if (n < 2) return path;
        const std::string tag = "_" + std::to_string(n);
        return hasExt ? path.substr(0, dot) + tag + path.substr(dot) : path + tag;
    };
    // The first free name as it looks now (a failure names that file); the
    // link below takes it only if it is still free.
    int n = 1;
    struct stat st {};
    while (n < 10000 && ::lstat(numbered(n).c_str(), &st) == 0) ++n;
    std::string name = numbered(n);
    const std::string tmp = writeBeside(name, name, pieces, nullptr);
    // link() gives the whole file a name only where none is taken: two
    // programs saving at the same moment never share or replace a file.
    for (;;) {
        if (::link(tmp.c_str(), name.c_str()) == 0) break;
        int err = errno;
        if (err == EPERM || err == EOPNOTSUPP) {
            // A file system without hard links: the name is claimed by an
            // exclusive create, then the written file takes its place.
            const int claim = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (claim >= 0) {
                ::close(claim);
                if (::rename(tmp.c_str(), name.c_str()) == 0) return name;
                err = errno;
                ::unlink(name.c_str());
            } else {
                err = errno;
            }
        }
        if (err != EEXIST || ++n > 10000) {
            ::unlink(tmp.c_str());
            throw FileError(cause("Cannot write", name, err), err);
        }
        name = numbered(n);
    }
    ::unlink(tmp.c_str());
    return name;
}

void appendToFile(const std::string& path, const std::string& text) {
    appendToFile(path, [&](const PieceSink& sink) { sink(text); });
}

void appendToFile(const std::string& path, const PieceSource& pieces) {
    // A FIFO would block the open until a reader comes and a device would
    // take the text: only a regular file (or a new one) is appended to. The
    // look before the open leaves a device untouched; O_NONBLOCK and the look
    // after it cover a FIFO put in the file's place meanwhile.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) refuseNotRegular("Cannot write", path, st);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        throw FileError(cause("Cannot open", path, e), e);
    }
    int err = 0;
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        refuseNotRegular("Cannot write", path, st);
    }
    clearNonBlocking(fd);
    // A full disk can take part of the text, and the text may fail to be
    // read: the file is cut back to what it held, so a failed append adds
    // nothing (when that fails as well there is nothing more to do).
    auto cutBack = [&] {
        int cut = ::ftruncate(fd, st.st_size);
        (void)cut;
    };
    try {
        if (!err) pieces([&](std::string_view p) {
            if (!err && !writeAll(fd, reinterpret_cast<const uint8_t*>(p.data()), p.size())) err = errno;
        });
    } catch (...) {
        cutBack();
        ::close(fd);
        throw;
    }
    if (err) cutBack();
    if (::close(fd) != 0 && !err) err = errno;
    if (err) throw FileError(cause("Cannot write", path, err), err);
}

// ---------------------------------------------------------------------------
// Reading.

std::string notRegularCause(unsigned mode) {
    const char* kind = S_ISREG(mode)    ? nullptr
                       : S_ISDIR(mode)  ? "a folder"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a special file";
    return kind ? std::string("not a regular file (") + kind + ")" : std::string();
}

RegularFile::RegularFile(const std::string& path, uint64_t maxSize) : path_(path), maxSize_(maxSize) {
    // Looked at before the open, which can act on a device (a serial port
    // raises its modem lines); O_NONBLOCK keeps a FIFO put in its place
    // meanwhile from blocking the open, and fstat() then refuses it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(std::strerror(errno), errno);
    if (!S_ISREG(st.st_mode)) fail(notRegularCause(st.st_mode));
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) fail(std::strerror(errno), errno);
    if (::fstat(fd_, &st) != 0) fail(std::strerror(errno), errno);
    if (!S_ISREG(st.st_mode)) fail(notRegularCause(st.st_mode));
    clearNonBlocking(fd_);
    size_ = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (size_ > maxSize_)
        fail("too large (" + std::to_string(size_) + " bytes, at most " + std::to_string(maxSize_) + ")");
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
}

size_t RegularFile::read(void* dest, size_t n) {
    auto* p = static_cast<uint8_t*>(dest);
    size_t got = 0;
    while (got < n) {
        uint8_t probe;
        // At the limit, one byte more means the file grew past it while read.
        const bool atLimit = done_ == maxSize_;
        size_t want = atLimit ? 1 : static_cast<size_t>(std::min<uint64_t>({n - got, maxSize_ - done_, 1 << 20}));
        ssize_t r = ::read(fd_, atLimit ? &probe : p + got, want);
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(std::strerror(errno), errno);
        }
        if (r == 0) break;
        if (atLimit) fail("too large (grew past " + std::to_string(maxSize_) + " bytes while read)");
        got += static_cast<size_t>(r);
        done_ += static_cast<uint64_t>(r);
    }
    return got;
}

void RegularFile::fail(const std::string& why, int code) {
    // Also called from the constructor, where no destructor will close it.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    throw FileError("Cannot read file \"" + path_ + "\": " + why, code);
}

std::string readRegularFile(const std::string& path, uint64_t maxSize) {
    RegularFile f(path, maxSize);
    std::string data;
    char buf[65536];
    size_t n;
    do {
        n = f.read(buf, sizeof buf);
        data.append(buf, n);
    } while (n == sizeof buf);
    return data;
}

bool readWholeFile(const std::string& path, std::string& out, uint64_t maxSize) {
    try {
        out = readRegularFile(path, maxSize);
        return true;
    } catch (const FileError&) {
        return false;
    }
}

}  // namespace kvx
