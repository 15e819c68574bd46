#include "service/access.h"

#include "shell/safe_file.h"
#include "shell/text.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kvx {

namespace {

std::string newToken() {
    unsigned char bytes[32];
    for (size_t got = 0; got < sizeof bytes;) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("no random bytes for the API token: ") + std::strerror(errno));
        got += static_cast<size_t>(n);
    }
    std::string hex;
    for (unsigned char b : bytes) hex += format("%0.2x", b);
    return hex;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string loadOrMakeToken(const std::string& path) {
    // O_EXCL: of two stations started at once, one makes it and the other reads it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string token = newToken();
        const std::string text = token + "\n";
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            ::unlink(path.c_str());
            throw std::runtime_error("the API token " + path + " could not be written");
        }
        return token;
    }
    if (errno != EEXIST) throw std::runtime_error("the API token " + path + " cannot be made: " + std::strerror(errno));
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("the API token " + path + " is not a regular file");
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        throw std::runtime_error(format("the API token %s may be read by others (mode %0.4o): chmod 600 it",
                                        path.c_str(), static_cast<unsigned>(st.st_mode & 07777)));
    std::string text;
    if (!readWholeFile(path, text, 4096)) throw std::runtime_error("the API token " + path + " cannot be read");
    std::string token = trimmed(text);
    if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos)
        throw std::runtime_error("the API token " + path + " holds no token (one word)");
    return token;
}

bool bearerMatches(const std::string& authorization, const std::string& token) {
    const std::string scheme = "Bearer ";
    if (token.empty() || authorization.size() != scheme.size() + token.size() ||
        authorization.compare(0, scheme.size(), scheme) != 0)
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(authorization[scheme.size() + i] ^ token[i]);
    return differ == 0;
}

bool isLoopback(const std::string& a) {
    return a.rfind("127.", 0) == 0 || a == "::1" || a.rfind("::ffff:127.", 0) == 0;
}

}  // namespace kvx
