// One connection to the PostgreSQL server that collects the stations'
// production records (libpq, opened at the first connection: the programs
// start without it). Every wait on the server (connecting, sending, waiting
// for an answer) polls the socket in short steps, so it ends at its
// time limit or as soon as the owner asks it to stop: a thread that forwards
// records can always be stopped within a fraction of a second.
#pragma once

#include "records/record_store.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

namespace kvx {

struct PgLibrary;

// A server that cannot be reached or refuses a statement: the message names
// the server (never its password) and the cause.
class PgError : public RecordStoreError {
public:
    using RecordStoreError::RecordStoreError;
};

// True for the connection strings the program takes for a server:
// "postgresql://..." and "postgres://...".
bool isServerUrl(const std::string& text);

// The connection string as it may be shown: the password (in the user part
// or as a password= parameter) taken out.
std::string serverForDisplay(const std::string& conninfo);

// Connections made from now on open the client library by this name
// instead of libpq.so.5 (tests: one that is not there).
void setPgLibraryNameForTesting(const std::string& name);

// A parameter of a statement: text, or nullopt for NULL, with its type.
struct PgParam {
    enum Type : unsigned { Text = 25, Int8 = 20, Int4 = 23, Bool = 16 };
    std::optional<std::string> value;
    Type type = Text;
};

// The rows of an answer, every value as text (nullopt: NULL).
using PgRows = std::vector<std::vector<std::optional<std::string>>>;

class PgConnection {
public:
    // Connects within timeoutMs; interrupted (when given) is asked every few
    // tens of milliseconds and ends the wait. Throws PgError.
    PgConnection(const std::string& conninfo, int timeoutMs, std::function<bool()> interrupted = {});
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Runs sql (without parameters it may hold several statements) and
    // returns the rows of its last result. A statement that does not end
    // within timeoutMs, or is interrupted, leaves the connection broken.
    // Throws PgError.
    PgRows exec(const std::string& sql, const std::vector<PgParam>& params = {}, int timeoutMs = 15000);
    // False once the connection was lost or left in the middle of a statement.
    bool usable() const;
    // The server as shown in messages (no password).
    const std::string& server() const { return server_; }

private:
    [[noreturn]] void fail(const std::string& cause);
    // Waits until the socket is ready for `events` or the step ends; throws
    // at the deadline or when interrupted.
    void waitSocket(short events, int64_t deadlineMs, const char* what);
    std::string server_;
    std::vector<std::string> secrets_;  // the password, as written and decoded
    std::function<bool()> interrupted_;
    const PgLibrary* pq_ = nullptr;
    pg_conn* conn_ = nullptr;
    bool broken_ = false;
};

}  // namespace kvx
