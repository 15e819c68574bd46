#include "records/pg_connection.h"

#include <dlfcn.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <mutex>
#include <regex>
#include <stdexcept>

namespace kvx {

// The client library is opened at the first connection, not linked: it
// brings some twenty libraries of its own (Kerberos, LDAP, TLS) that every
// start of the programs would load and relocate, server or none. The
// header still gives the types and the functions' signatures.
struct PgLibrary {
#define KVX_PQ_FUNCTIONS(X)                                                                                  \
    X(PQconninfoParse) X(PQconninfoFree) X(PQfreemem) X(PQconnectStartParams) X(PQconnectPoll) X(PQstatus) \
    X(PQerrorMessage) X(PQsetnonblocking) X(PQsetNoticeProcessor) X(PQfinish) X(PQsocket) X(PQsendQuery)   \
    X(PQsendQueryParams) X(PQflush) X(PQconsumeInput) X(PQisBusy) X(PQgetResult) X(PQresultStatus)         \
    X(PQresultErrorMessage) X(PQclear) X(PQntuples) X(PQnfields) X(PQgetisnull) X(PQgetvalue) X(PQgetlength)
#define KVX_PQ_MEMBER(f) decltype(&::f) f = nullptr;
    KVX_PQ_FUNCTIONS(KVX_PQ_MEMBER)
#undef KVX_PQ_MEMBER
    std::string name;  // as given to dlopen
};

namespace {

// Every library opened stays for the life of the process (and the state is
// never destroyed): a connection made before setPgLibraryNameForTesting, or
// on a thread still running at exit, keeps its functions.
struct PgLibraries {
    std::mutex mutex;
    std::string name = "libpq.so.5";
    std::list<PgLibrary> opened;
};

PgLibraries& pgLibraries() {
    static PgLibraries* libraries = new PgLibraries;
    return *libraries;
}

// The client library's functions; throws std::runtime_error with the reason
// when it cannot be opened. Tried again at every connection until it loads,
// so a library installed meanwhile is found without a restart.
const PgLibrary& pgLibrary() {
    PgLibraries& all = pgLibraries();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (const PgLibrary& l : all.opened)
        if (l.name == all.name) return l;
    const std::string prefix = "PostgreSQL client library " + all.name + " could not be loaded: ";
    void* handle = ::dlopen(all.name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw std::runtime_error(prefix + (why ? why : "no reason given"));
    }
    PgLibrary l;
    l.name = all.name;
    const char* missing = nullptr;
#define KVX_PQ_RESOLVE(f)                                        \
    l.f = reinterpret_cast<decltype(&::f)>(::dlsym(handle, #f)); \
    if (!l.f && !missing) missing = #f;
    KVX_PQ_FUNCTIONS(KVX_PQ_RESOLVE)
#undef KVX_PQ_RESOLVE
    if (missing) {
        ::dlclose(handle);
        throw std::runtime_error(prefix + "it has no function " + missing);
    }
    all.opened.push_back(std::move(l));
    return all.opened.back();
}

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// libpq's messages end with a line break and may span lines ("...failed:
// Connection refused\n\tIs the server running..."): one line for the log.
std::string oneLine(const std::string& text) {
    std::string out;
    bool gap = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            gap = !out.empty();
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        out += c;
    }
    return out.empty() ? "no further information from the server" : out;
}

// Where the user part of a URL lies: [begin, at) before the '@', or npos.
struct UserPart {
    size_t begin = std::string::npos, at = std::string::npos;
};

UserPart userPart(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return {};
    const size_t begin = scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", begin), url.size());
    const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < begin) return {};
    return {begin, at};
}

// The query parameters of a URL without password=...
std::string withoutPasswordParameter(const std::string& url, std::string* password) {
    const size_t q = url.find('?');
    if (q == std::string::npos) return url;
    std::string out = url.substr(0, q);
    char sep = '?';
    size_t at = q + 1;
    while (at <= url.size()) {
        size_t end = url.find('&', at);
        if (end == std::string::npos) end = url.size();
        const std::string item = url.substr(at, end - at);
        if (item.rfind("password=", 0) == 0) {
            if (password) *password = item.substr(9);
        } else if (!item.empty()) {
            out += sep + item;
            sep = '&';
        }
        at = end + 1;
    }
    return out;
}

const std::regex& keywordPassword() {
    static const std::regex re(R"(password\s*=\s*('([^'\\]|\\.)*'|\S+))");
    return re;
}

}  // namespace

void setPgLibraryNameForTesting(const std::string& name) {
    PgLibraries& all = pgLibraries();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.name = name;
}

bool isServerUrl(const std::string& text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::string serverForDisplay(const std::string& conninfo) {
    if (!isServerUrl(conninfo)) return std::regex_replace(conninfo, keywordPassword(), "password=***");
    std::string url = withoutPasswordParameter(conninfo, nullptr);
    const UserPart u = userPart(url);
    if (u.begin != std::string::npos) {
        const size_t colon = url.find(':', u.begin);
        if (colon != std::string::npos && colon < u.at) url.erase(colon, u.at - colon);
    }
    return url;
}

PgConnection::PgConnection(const std::string& conninfo, int timeoutMs, std::function<bool()> interrupted)
    : server_(serverForDisplay(conninfo)), interrupted_(std::move(interrupted)) {
    // The password as written, so that no message ever shows it, even one
    // that quotes a malformed part of the connection string.
    if (isServerUrl(conninfo)) {
        std::string param;
        const std::string url = withoutPasswordParameter(conninfo, &param);
        if (!param.empty()) secrets_.push_back(param);
        const UserPart u = userPart(url);
        if (u.begin != std::string::npos) {
            const size_t colon = url.find(':', u.begin);
            if (colon != std::string::npos && colon + 1 < u.at) secrets_.push_back(url.substr(colon + 1, u.at - colon - 1));
        }
    } else {
        std::smatch m;
        if (std::regex_search(conninfo, m, keywordPassword())) secrets_.push_back(m[1].str());
    }
    try {
        pq_ = &pgLibrary();
    } catch (const std::runtime_error& e) {
        fail(e.what());
    }
    char* parseError = nullptr;
    if (PQconninfoOption* options = pq_->PQconninfoParse(conninfo.c_str(), &parseError)) {
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (std::string(o->keyword) == "password" && o->val && *o->val) secrets_.emplace_back(o->val);
        pq_->PQconninfoFree(options);
    }
    pq_->PQfreemem(parseError);

    // The settings the program relies on come first: the connection string
    // (last) may still change them.
    const char* keywords[] = {"client_encoding", "application_name", "keepalives", "keepalives_idle",
                              "keepalives_interval", "keepalives_count", "dbname", nullptr};
    const char* values[] = {"UTF8", "korvex200", "1", "10", "5", "3", conninfo.c_str(), nullptr};
    conn_ = pq_->PQconnectStartParams(keywords, values, 1);
    if (!conn_) fail("out of memory");
    try {
        if (pq_->PQstatus(conn_) == CONNECTION_BAD) fail(pq_->PQerrorMessage(conn_));
        const int64_t deadline = nowMs() + timeoutMs;
        PostgresPollingStatusType st = PGRES_POLLING_WRITING;
        while (st != PGRES_POLLING_OK) {
            if (st == PGRES_POLLING_FAILED) fail(pq_->PQerrorMessage(conn_));
            waitSocket(st == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, "connecting");
            st = pq_->PQconnectPoll(conn_);
        }
        if (pq_->PQsetnonblocking(conn_, 1) != 0) fail(pq_->PQerrorMessage(conn_));
        // The server's notices ("already exists, skipping") are not for the
        // operator; libpq would print them on standard error.
        pq_->PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    } catch (...) {
        pq_->PQfinish(conn_);
        conn_ = nullptr;
        throw;
    }
}

PgConnection::~PgConnection() { pq_->PQfinish(conn_); }

bool PgConnection::usable() const { return conn_ && !broken_ && pq_->PQstatus(conn_) == CONNECTION_OK; }

void PgConnection::fail(const std::string& cause) {
    std::string text = oneLine(cause);
    for (const std::string& s : secrets_)
        for (size_t at; !s.empty() && (at = text.find(s)) != std::string::npos;) text.replace(at, s.size(), "***");
    throw PgError("Production records server " + server_ + ": " + text);
}

void PgConnection::waitSocket(short events, int64_t deadlineMs, const char* what) {
    for (;;) {
        const int fd = pq_->PQsocket(conn_);
        if (fd < 0) {
            broken_ = true;
            fail(pq_->PQerrorMessage(conn_));
        }
        if (interrupted_ && interrupted_()) {
            broken_ = true;
            fail(std::string("stopped while ") + what);
        }
        const int64_t left = deadlineMs - nowMs();
        if (left <= 0) {
            broken_ = true;
            fail(std::string("no answer while ") + what + " (gave up after the time limit)");
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 50)));
        if (n > 0) return;
    }
}

PgRows PgConnection::exec(const std::string& sql, const std::vector<PgParam>& params, int timeoutMs) {
    if (!usable()) fail("the connection was lost");
    const int64_t deadline = nowMs() + timeoutMs;
    int sent;
    if (params.empty()) {
        sent = pq_->PQsendQuery(conn_, sql.c_str());
    } else {
        std::vector<Oid> types;
        std::vector<const char*> values;
        types.reserve(params.size());
        values.reserve(params.size());
        for (const PgParam& p : params) {
            types.push_back(p.type);
            values.push_back(p.value ? p.value->c_str() : nullptr);
        }
        sent = pq_->PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                                 nullptr, nullptr, 0);
    }
    if (!sent) {
        broken_ = true;
        fail(pq_->PQerrorMessage(conn_));
    }
    // A large statement goes out in pieces as the server takes them; what it
    // answers meanwhile is read so that neither side stalls.
    for (;;) {
        const int f = pq_->PQflush(conn_);
        if (f == 0) break;
        if (f < 0) {
            broken_ = true;
            fail(pq_->PQerrorMessage(conn_));
        }
        waitSocket(POLLIN | POLLOUT, deadline, "sending");
        if (!pq_->PQconsumeInput(conn_)) {
            broken_ = true;
            fail(pq_->PQerrorMessage(conn_));
        }
    }
    PGresult* last = nullptr;
    std::string error;
    for (;;) {
        while (pq_->PQisBusy(conn_)) {
            waitSocket(POLLIN, deadline, "waiting for the answer");
            if (!pq_->PQconsumeInput(conn_)) {
                broken_ = true;
                pq_->PQclear(last);
                fail(pq_->PQerrorMessage(conn_));
            }
        }
        PGresult* r = pq_->PQgetResult(conn_);
        if (!r) break;
        const ExecStatusType status = pq_->PQresultStatus(r);
        if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
            if (error.empty()) error = pq_->PQresultErrorMessage(r);
            pq_->PQclear(r);
        } else {
            pq_->PQclear(last);
            last = r;
        }
    }
    if (!error.empty()) {
        pq_->PQclear(last);
        fail(error);
    }
    PgRows rows;
    if (last && pq_->PQresultStatus(last) == PGRES_TUPLES_OK) {
        const int n = pq_->PQntuples(last), cols = pq_->PQnfields(last);
        rows.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            auto& row = rows[static_cast<size_t>(i)];
            row.reserve(static_cast<size_t>(cols));
            for (int c = 0; c < cols; ++c)
                if (pq_->PQgetisnull(last, i, c)) row.emplace_back(std::nullopt);
                else row.emplace_back(std::string(pq_->PQgetvalue(last, i, c), static_cast<size_t>(pq_->PQgetlength(last, i, c))));
        }
    }
    pq_->PQclear(last);
    return rows;
}

}  // namespace kvx
