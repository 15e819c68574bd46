#include "shell/safe_file.h"

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

}  // namespace

void writeFileReplacing(const std::string& path, const void* data, size_t size) {
    std::string target = path;
    struct stat st {};
    bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) target = resolved;
        exists = ::stat(target.c_str(), &st) == 0;
    }
    // A fresh name beside the target; created with mode 0666 so that the
    // process's umask applies as for any new file.
    static std::atomic<unsigned> counter{0};
    std::string tmpl;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmpl = target + ".~" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(tmpl.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw FileError(cause("Cannot create", path, errno));
    int err = 0;
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) err = errno;
    if (!err && !writeAll(fd, static_cast<const uint8_t*>(data), size)) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmpl.c_str(), target.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmpl.c_str());
        throw FileError(cause("Cannot write", path, err));
    }
}

void appendToFile(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw FileError(cause("Cannot open", path, errno));
    int err = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) err = errno;
    if (!err && !writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        err = errno;
        // A full disk can take part of the text: cut the file back to what
        // it held, so a failed append adds nothing (when that fails as well
        // there is nothing more to do).
        int cut = ::ftruncate(fd, st.st_size);
        (void)cut;
    }
    if (::close(fd) != 0 && !err) err = errno;
    if (err) throw FileError(cause("Cannot write", path, err));
}

bool readWholeFile(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (ok) out.swap(data);
    return ok;
}

}  // namespace kvx
