#include "records/record_forwarder.h"

#include "records/pg_record_store.h"
#include "records/record_store.h"
#include "shell/safe_file.h"
#include "shell/text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>

namespace kvx {

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kBatchTimeoutMs = 20000;

// The station's database for forwarding; nullptr while there is nothing to
// forward: the file is not there yet, or the writer has not yet brought it
// to the current schema (the writer migrates; two connections migrating at
// once would fail one of them).
std::unique_ptr<RecordStore> openStore(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return nullptr;
    {
        RecordStore probe(path, true);
        if (probe.schemaVersion() < RecordStore::kSchemaVersion) return nullptr;
    }
    return std::make_unique<RecordStore>(path);
}

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The server address with the password as its password= parameter, every
// byte but the unreserved ones percent-encoded.
std::string withPassword(const std::string& url, const std::string& password) {
    std::string out = url + (url.find('?') == std::string::npos ? "?" : "&") + "password=";
    for (unsigned char c : password) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') out += static_cast<char>(c);
        else out += format("%%%02X", c);
    }
    return out;
}

// The password that a password_file line names: the file's first line. A
// file others may read is refused, as libpq refuses such a ~/.pgpass. Empty
// (and the reason in `problem`) when it cannot be used.
std::string readPasswordFile(const std::string& path, std::string& problem) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO))) {
        problem = "password_file " + path + " may be read by other users (chmod 600 it): it is not used";
        return "";
    }
    std::string text;
    try {
        text = readRegularFile(path, 4096);
    } catch (const FileError& e) {
        problem = std::string("password_file: ") + e.what();
        return "";
    }
    const std::string password = text.substr(0, text.find_first_of("\r\n"));
    if (password.empty()) problem = "password_file " + path + " holds no password";
    return password;
}

}  // namespace

RecordForwarder::RecordForwarder(std::string path, std::string server, std::function<void(const std::string&)> onProblem,
                                 std::function<void()> onRecovered)
    : path_(std::move(path)),
      server_(std::move(server)),
      shownServer_(serverForDisplay(server_)),
      onProblem_(std::move(onProblem)),
      onRecovered_(std::move(onRecovered)) {
    thread_ = std::thread([this] { run(); });
}

RecordForwarder::~RecordForwarder() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RecordForwarder::nudge() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nudged_ = true;
    }
    wake_.notify_all();
}

int64_t RecordForwarder::finish(int timeoutMs) {
    bool drained = false;
    if (thread_.joinable()) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            draining_ = true;
            isDrained_ = drainFailed_ = false;
            nudged_ = true;
            wake_.notify_all();
            drained_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return isDrained_ || drainFailed_; });
            drained = isDrained_;
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    if (drained) return 0;
    try {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0 && errno == ENOENT) return 0;
        return RecordStore(path_, true).unforwardedCount();
    } catch (const std::exception&) {
        return -1;
    }
}

void RecordForwarder::run() {
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<PgConnection> pg;
    bool failing = false;
    int backoffMs = 0, delayMs = 0;
    auto connect = [&] {
        pg.reset();
        pg = std::make_unique<PgConnection>(server_, kConnectTimeoutMs, [this] { return stopping(); });
        preparePgSchema(*pg);
    };
    for (;;) {
        bool draining;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return stopping() || nudged_; });
            if (stopping()) return;
            nudged_ = false;
            // Read before looking at the database: "nothing left" then covers
            // every record written before finish() was called.
            draining = draining_;
        }
        delayMs = kPollMs;
        std::string problem;
        bool nothingLeft = false;
        try {
            if (!store) store = openStore(path_);
            std::vector<std::pair<int64_t, ProductionRecord>> batch;
            if (store) batch = store->unforwarded(kBatch);
            if (batch.empty()) {
                nothingLeft = true;
            } else {
                std::vector<const ProductionRecord*> records;
                records.reserve(batch.size());
                for (const auto& [row, r] : batch) records.push_back(&r);
                try {
                    try {
                        const bool fresh = !pg || !pg->usable();
                        if (fresh) connect();
                        try {
                            insertPg(*pg, records, kBatchTimeoutMs);
                        } catch (const PgError&) {
                            // A connection kept since the last batch may have
                            // been lost meanwhile (the server restarted): one
                            // more try on a new one before calling it a failure.
                            if (fresh || pg->usable() || stopping()) throw;
                            connect();
                            insertPg(*pg, records, kBatchTimeoutMs);
                        }
                    } catch (const PgError&) {
                        pg.reset();
                        throw;
                    }
                } catch (const PgError& e) {
                    problem = std::string(e.what()) + "; the records stay in " + path_ +
                              " and are forwarded when the server answers.";
                }
                if (problem.empty()) {
                    store->markForwarded(batch.back().first);
                    forwarded_ += batch.size();
                    delayMs = 0;  // more may be waiting
                }
            }
        } catch (const std::exception& e) {
            problem = std::string(e.what()) + "; forwarding to " + shownServer_ + " waits until it can be read.";
            store.reset();
        }
        if (stopping()) return;
        if (problem.empty()) {
            backoffMs = 0;
            if (failing) {
                failing = false;
                if (onRecovered_) onRecovered_();
            }
        } else {
            backoffMs = backoffMs ? std::min(2 * backoffMs, kMaxBackoffMs) : 250;
            delayMs = backoffMs;
            if (!failing) {
                failing = true;
                if (onProblem_) onProblem_(problem);
            }
        }
        if (draining && (nothingLeft || !problem.empty())) {
            std::lock_guard<std::mutex> lock(mutex_);
            (nothingLeft ? isDrained_ : drainFailed_) = true;
            drained_.notify_all();
        }
    }
}

RecordsSettings readRecordsSettings(const std::string& confPath, const char* recordsEnv, const char* stationEnv) {
    RecordsSettings s;
    std::ifstream in(confPath);
    std::string line, passwordFile, passwordWhere;
    for (int n = 1; std::getline(in, line); ++n) {
        // A comment is a line beginning with '#' or the rest of a line after
        // a blank and '#'.
        for (size_t at = line.find('#'); at != std::string::npos; at = line.find('#', at + 1))
            if (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t') {
                line.erase(at);
                break;
            }
        line = trimmed(line);
        if (line.empty()) continue;
        const std::string where = confPath + " line " + std::to_string(n) + ": ";
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            s.problems.push_back(where + "not understood (expected \"server = ...\" or \"station = ...\")");
            continue;
        }
        std::string key = trimmed(line.substr(0, eq));
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::string value = trimmed(line.substr(eq + 1));
        if (key == "server") {
            if (value.empty() || isServerUrl(value)) s.server = value;
            else s.problems.push_back(where + "the server must be a postgresql:// address; records are kept in this station's database only");
        } else if (key == "station") {
            s.station = value;
        } else if (key == "password_file") {
            // Relative to the folder of records.conf.
            const size_t slash = confPath.find_last_of('/');
            passwordFile = value.empty() || value[0] == '/' || slash == std::string::npos
                               ? value
                               : confPath.substr(0, slash + 1) + value;
            passwordWhere = where;
        } else {
            s.problems.push_back(where + "unknown setting \"" + key + "\"");
        }
    }
    if (recordsEnv) {
        const std::string v = recordsEnv;
        if (v == "off") s.enabled = false;
        else if (isServerUrl(v)) s.server = v;
        else if (!v.empty() && v != "on")
            s.problems.push_back(
                "KORVEX_RECORDS is neither \"off\" nor a postgresql:// address: it is not used");
    }
    if (stationEnv && *stationEnv) s.station = stationEnv;
    if (!passwordFile.empty() && !s.server.empty()) {
        if (serverForDisplay(s.server) != s.server) {
            s.problems.push_back(passwordWhere + "password_file is not used: the server address holds a password");
        } else {
            std::string problem;
            const std::string password = readPasswordFile(passwordFile, problem);
            if (problem.empty()) s.server = withPassword(s.server, password);
            else s.problems.push_back(passwordWhere + problem);
        }
    }
    return s;
}

}  // namespace kvx
