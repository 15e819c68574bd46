// A throw-away PostgreSQL server for tests and benchmarks: initdb into a
// temporary folder, the server on a free TCP port of 127.0.0.1 (its socket
// file in the same folder), trust authentication, no fsync. PostgreSQL
// refuses to run as root, so under root both run as the "postgres" user,
// which then owns the folder. The server dies with the process that started
// it (a parent-death signal), so a crashed test leaves none behind.
#pragma once

#include <libpq-fe.h>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kvx::test {

class PgTestServer {
public:
    PgTestServer() = default;
    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;
    ~PgTestServer() {
        stop();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // Makes the cluster and starts the server; empty when it runs, else why
    // not. binariesMissing() tells a machine without PostgreSQL.
    std::string start() {
        bin_ = findBinaries();
        if (bin_.empty()) {
            missing_ = true;
            return "the PostgreSQL server programs (initdb, postgres) are not installed under /usr/lib/postgresql";
        }
        if (geteuid() == 0) {
            const passwd* pw = getpwnam("postgres");
            if (!pw) return "running as root, the server needs the unprivileged user \"postgres\", which does not exist";
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
        char tmpl[] = "/tmp/kvx-pg.XXXXXX";
        if (!mkdtemp(tmpl)) return "cannot make a temporary folder";
        dir_ = tmpl;
        if (uid_ && chown(dir_.c_str(), uid_, gid_) != 0) return "cannot give " + dir_ + " to the postgres user";
        const int rc = waitFor(spawn({bin_ + "/initdb", "-D", dir_ + "/data", "-A", "trust", "-U", "korvex", "-E", "UTF8",
                                      "--locale=C", "-N"},
                                     dir_ + "/initdb.log"),
                               60000);
        if (rc != 0) return "initdb failed (" + std::to_string(rc) + "): " + tail(dir_ + "/initdb.log");
        port_ = freePort();
        return run();
    }
    bool binariesMissing() const { return missing_; }

    // Stops the server (fast shutdown: clients are disconnected).
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        if (waitFor(pid_, 10000) == -1) waitFor(pid_, 1000);
        pid_ = -1;
    }
    // Starts it again on the same port and data.
    std::string restart() { return run(); }

    int port() const { return port_; }
    std::string url(const std::string& db, const std::string& password = "") const {
        return "postgresql://korvex" + (password.empty() ? "" : ":" + password) + "@127.0.0.1:" + std::to_string(port_) +
               "/" + db;
    }
    // A fresh database; its URL. Empty (and *why set) when it could not be made.
    std::string createDatabase(const std::string& name, std::string* why = nullptr) {
        if (!exec("postgres", "DROP DATABASE IF EXISTS " + name, why) || !exec("postgres", "CREATE DATABASE " + name, why))
            return "";
        return url(name);
    }
    // Runs a statement on a database; false (and *why) when it failed.
    bool exec(const std::string& db, const std::string& sql, std::string* why = nullptr) const {
        PGconn* c = PQconnectdb(url(db).c_str());
        bool ok = PQstatus(c) == CONNECTION_OK;
        PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
        if (ok) {
            PGresult* r = PQexec(c, sql.c_str());
            ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
            PQclear(r);
        }
        if (!ok && why) *why = PQerrorMessage(c);
        PQfinish(c);
        return ok;
    }

    // A role that must give its password (every other role is trusted):
    // its URL with the `wrong` password, once the server refuses that.
    // Empty (and *why set) when it could not be made.
    std::string passwordRole(const std::string& role, const std::string& password, const std::string& wrong,
                             std::string* why = nullptr) {
        if (!exec("postgres", "DROP ROLE IF EXISTS " + role, why) ||
            !exec("postgres", "CREATE ROLE " + role + " LOGIN PASSWORD '" + password + "'", why))
            return "";
        const std::string hba = dir_ + "/data/pg_hba.conf";
        std::stringstream old;
        old << std::ifstream(hba).rdbuf();
        std::ofstream(hba, std::ios::trunc) << "host all " << role << " 127.0.0.1/32 scram-sha-256\n" << old.str();
        if (!exec("postgres", "SELECT pg_reload_conf()", why)) return "";
        const std::string url = "postgresql://" + role + ":" + wrong + "@127.0.0.1:" + std::to_string(port_) + "/postgres";
        // The server reads the file again in its own time.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            PGconn* c = PQconnectdb((url + "?connect_timeout=2").c_str());
            const bool asked = PQstatus(c) != CONNECTION_OK && std::string(PQerrorMessage(c)).find("password") != std::string::npos;
            PQfinish(c);
            if (asked) return url;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (why) *why = "the server did not start asking for the password";
        return "";
    }

private:
    static std::string findBinaries() {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const std::string bin = e.path().string() + "/bin";
            if (access((bin + "/initdb").c_str(), X_OK) == 0 && access((bin + "/postgres").c_str(), X_OK) == 0)
                found.push_back(bin);
        }
        if (found.empty()) return "";
        // The newest version: "9.6" < "15" compared as numbers.
        std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
            auto v = [](const std::string& s) { return std::stod(s.substr(std::string("/usr/lib/postgresql/").size())); };
            return v(a) < v(b);
        });
        return found.back();
    }

    static int freePort() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(s);
        return port;
    }

    static std::string tail(const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string t = ss.str();
        return t.size() > 1500 ? t.substr(t.size() - 1500) : t;
    }

    // The exit status of pid (128 + signal), -1 when it had not ended in time.
    static int waitFor(pid_t pid, int timeoutMs) {
        if (pid <= 0) return -2;
        for (int i = 0; i <= timeoutMs / 10; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            usleep(10000);
        }
        kill(pid, SIGKILL);
        return -1;
    }

    // Runs argv as the server's user, its output appended to logPath.
    pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) const {
        std::vector<std::string> args = argv;
        std::vector<char*> cargv;
        for (auto& a : args) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        const pid_t parent = getpid();
        const uid_t uid = uid_;
        const gid_t gid = gid_;
        const pid_t pid = fork();
        if (pid != 0) return pid;
        // The child: only async-signal-safe calls until exec. The log is
        // opened before the user changes, so it needs no owner of its own.
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (log < 0 || null < 0) _exit(126);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (uid && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(125);
        // Set after setuid, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != parent) _exit(124);
        execv(cargv[0], cargv.data());
        _exit(127);
    }

    std::string run() {
        pid_ = spawn({bin_ + "/postgres", "-D", dir_ + "/data", "-p", std::to_string(port_), "-k", dir_, "-c",
                      "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c", "synchronous_commit=off", "-c",
                      "full_page_writes=off", "-c", "shared_buffers=16MB", "-c", "max_connections=40", "-c",
                      "max_wal_senders=0", "-c", "wal_level=minimal", "-c", "autovacuum=off"},
                     dir_ + "/server.log");
        const std::string ping = "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=korvex connect_timeout=2";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (PQping(ping.c_str()) == PQPING_OK) return "";
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return "the server ended at start: " + tail(dir_ + "/server.log");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "the server did not answer within 20 s: " + tail(dir_ + "/server.log");
    }

    std::string bin_, dir_;
    bool missing_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kvx::test
