#include "records/record_journal.h"

#include "records/record_fields.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kvx {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Throws on anything but pairs of hexadecimal digits.
std::string bytesOf(const std::string& hex) {
    if (hex.size() % 2) throw std::invalid_argument("odd hex");
    std::string out(hex.size() / 2, '\0');
    for (size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigit(hex[2 * i]), lo = hexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) throw std::invalid_argument("not hex");
        out[i] = static_cast<char>(hi << 4 | lo);
    }
    return out;
}

// A journal line is written by hand rather than through a json object: it
// is made on the logic thread for every chip, and its values need no
// escaping (text goes as hexadecimal digits). The reader parses it as JSON.
void putValue(std::string& out, const std::string& v) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : v) {
        out += digits[c >> 4];
        out += digits[c & 0xf];
    }
    out += '"';
}
void putValue(std::string& out, bool v) { out += v ? "true" : "false"; }
template <std::integral T>
void putValue(std::string& out, T v) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(v)).ptr;
    out.append(buf, end);
}
template <typename T>
void putValue(std::string& out, const std::optional<T>& v) {
    if (v) putValue(out, *v);
    else out += "null";
}

// Each throws (nlohmann's type_error, invalid_argument) on a value of the
// wrong kind.
void take(const nlohmann::json& v, std::string& out) { out = bytesOf(v.get<std::string>()); }
void take(const nlohmann::json& v, bool& out) { out = v.get<bool>(); }
template <std::integral T>
void take(const nlohmann::json& v, T& out) { out = static_cast<T>(v.get<int64_t>()); }
template <typename T>
void take(const nlohmann::json& v, std::optional<T>& out) {
    if (v.is_null()) {
        out.reset();
        return;
    }
    T x{};
    take(v, x);
    out = x;
}

std::atomic<unsigned> gJournalNumber{0};

// "records.sqlite.pending.PID.N": the journals' names.
std::string journalPrefix(const std::string& dbPath) { return dbPath + ".pending."; }

bool isJournalName(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0) return false;
    const std::string rest = name.substr(prefix.size());
    const size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == rest.size()) return false;
    return std::all_of(rest.begin(), rest.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); }) &&
           rest.find('.', dot + 1) == std::string::npos;
}

}  // namespace

std::string journalLine(const ProductionRecord& r) {
    std::string out;
    out.reserve(640);
    out += '{';
    for (const RecordField& f : kRecordFields) {
        if (out.size() > 1) out += ',';
        out += '"';
        out += f.column;
        out += "\":";
        withMember(f, r, [&](const auto& v) { putValue(out, v); });
    }
    out += "}\n";
    return out;
}

std::optional<ProductionRecord> parseJournalLine(std::string_view line) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    ProductionRecord r;
    try {
        for (const RecordField& f : kRecordFields) {
            const auto it = j.find(f.column);
            if (it == j.end()) continue;
            withMember(f, r, [&](auto& v) { take(*it, v); });
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (r.recordId.empty()) return std::nullopt;
    return r;
}

JournalFile createJournal(const std::string& dbPath, std::string& error) {
    const std::string stem = journalPrefix(dbPath) + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = stem + std::to_string(++gJournalNumber);
        // Made under a name no start-up reads, locked, then given its own:
        // a program starting meanwhile never finds it unlocked.
        const std::string making = path + ".new";
        const int fd = ::open(making.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = "the pending-records journal " + path + " cannot be made: " + std::strerror(errno);
            return {};
        }
        // Never over a journal of the same name (a killed run's, whose
        // process number this one has now).
        int rc = ::flock(fd, LOCK_EX | LOCK_NB);
        if (rc == 0) {
            rc = ::renameat2(AT_FDCWD, making.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && errno == EINVAL) {  // a file system without it
                errno = EEXIST;
                rc = ::access(path.c_str(), F_OK) == 0 ? -1 : ::rename(making.c_str(), path.c_str());
            }
        }
        if (rc == 0) return {path, fd};
        const int err = errno;
        ::close(fd);
        ::unlink(making.c_str());
        if (err == EEXIST) continue;
        error = "the pending-records journal " + path + " cannot be made: " + std::strerror(err);
        return {};
    }
    error = "the pending-records journal " + stem + "N cannot be made: every name is taken";
    return {};
}

std::vector<LeftJournal> readLeftJournals(const std::string& dbPath) {
    namespace fs = std::filesystem;
    const fs::path db(dbPath);
    const fs::path folder = db.has_parent_path() ? db.parent_path() : fs::path(".");
    const std::string prefix = journalPrefix(db.filename().string());
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (isJournalName(name, prefix)) {
            found.emplace_back(fs::last_write_time(it->path(), ec), it->path().string());
        } else if (name.rfind(prefix, 0) == 0 && name.size() > 4 && name.ends_with(".new")) {
            // One a kill left before it had its name: empty, unless a
            // program is making it now (then it is locked).
            const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(it->path().c_str());
            if (fd >= 0) ::close(fd);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<LeftJournal> out;
    for (const auto& [time, path] : found) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            out.push_back({path, {}, 0, std::strerror(errno)});
            continue;
        }
        // Locked: a program running now writes it.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        LeftJournal left{path, {}, 0, {}};
        std::string text;
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
        if (n < 0) left.error = std::strerror(errno);
        ::close(fd);
        if (left.error.empty()) {
            for (size_t at = 0; at < text.size();) {
                const size_t nl = text.find('\n', at);
                // A last line without its end was cut short.
                if (nl == std::string::npos) {
                    ++left.damagedLines;
                    break;
                }
                if (nl > at) {
                    if (auto r = parseJournalLine(std::string_view(text).substr(at, nl - at)))
                        left.records.push_back(std::move(*r));
                    else ++left.damagedLines;
                }
                at = nl + 1;
            }
        }
        out.push_back(std::move(left));
    }
    return out;
}

}  // namespace kvx
