// Forwards the station's production records from its SQLite database to the
// PostgreSQL server that collects every station's, on a thread of its own:
// production never waits for the server. Records go in the order they were
// written, in batches of up to kBatch (one server transaction each), and are
// marked forwarded in the station's database only after the server took
// them. A server that cannot be reached loses nothing: the records stay in
// the station's database and go when it answers again (tried again after
// 0.25, 0.5, 1, 2, then every 4 s). A record forwarded twice (the answer to
// a batch lost on the way) is one row on the server: its id is the key.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvx {

class RecordForwarder {
public:
    static constexpr int kBatch = 1000;
    static constexpr int kPollMs = 500;       // how often it looks for new records
    static constexpr int kMaxBackoffMs = 4000;

    // path: the station's database (written by a RecordWriter meanwhile);
    // server: a libpq connection string. onProblem gets a failure once (the
    // server and the cause, no password) until forwarding works again, when
    // onRecovered is told; both are called on the forwarder's thread.
    RecordForwarder(std::string path, std::string server, std::function<void(const std::string&)> onProblem,
                    std::function<void()> onRecovered = {});
    // Stops the thread at once (finish first to send what is waiting).
    ~RecordForwarder();
    RecordForwarder(const RecordForwarder&) = delete;
    RecordForwarder& operator=(const RecordForwarder&) = delete;

    // Makes the thread look for records now rather than at its next round.
    void nudge();
    // Gives the thread up to timeoutMs to forward every record written so
    // far, then stops it (a wait on the server is abandoned: the records it
    // carried are sent again next time). A failing server is tried once
    // more, and its failure ends the wait at once. Returns how many records
    // were left unforwarded: 0 when all went, -1 when the database could not
    // be read.
    int64_t finish(int timeoutMs);
    // Records the server has taken since start (those it had already count).
    uint64_t forwarded() const { return forwarded_; }
    // The server as shown in messages (no password).
    const std::string& server() const { return shownServer_; }
    const std::string& path() const { return path_; }

private:
    void run();
    bool stopping() const { return stop_.load(); }
    std::string path_, server_, shownServer_;
    std::function<void(const std::string&)> onProblem_;
    std::function<void()> onRecovered_;
    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    bool nudged_ = false, draining_ = false, isDrained_ = false, drainFailed_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> forwarded_{0};
    std::thread thread_;
};

// Where the production records go, from the environment and records.conf in
// the configuration folder ("server = postgresql://...", "station = NAME",
// "password_file = FILE", # comments); the environment wins over the file.
// The server's password is best kept out of the address: libpq takes it
// from $PGPASSWORD or ~/.pgpass, or password_file names a file (readable by
// its owner only, relative to records.conf's folder) whose first line it is.
struct RecordsSettings {
    bool enabled = true;  // false: $KORVEX_RECORDS=off
    // Empty: the station's database only. With password_file, the password
    // is in it (serverForDisplay shows it without).
    std::string server;
    std::string station;  // empty: the host name
    // Lines of the file that were not understood, and a $KORVEX_RECORDS that
    // is neither "off" nor a server, as messages for the information log.
    std::vector<std::string> problems;
};

constexpr const char* kRecordsConfFileName = "records.conf";

// recordsEnv and stationEnv: the values of $KORVEX_RECORDS and
// $KORVEX_STATION (nullptr when unset).
RecordsSettings readRecordsSettings(const std::string& confPath, const char* recordsEnv, const char* stationEnv);

}  // namespace kvx
