// The station service as a line controller meets it: korvex-cli serve run as
// a process against emulated units started here, spoken to over real HTTP
// with cpp-httplib's client, and ended with SIGTERM.
#include "child_process.h"

#include "cli/cli.h"
#include "e2e/startup_rig.h"
#include "shell/text.h"
#include "sim/sim_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

using namespace kvx;
using nlohmann::json;

namespace {

constexpr const char* kChip = "SC32F5232JV1G";
constexpr const char* kOctets = "application/octet-stream";

// One event of the stream: its number and its JSON.
struct SseEvent {
    uint64_t id = 0;
    json data;
};

// The events complete in `text` (each ends with a blank line); the rest
// stays in it for the next read.
std::vector<SseEvent> takeEvents(std::string& text) {
    std::vector<SseEvent> v;
    for (size_t end; (end = text.find("\n\n")) != std::string::npos; text.erase(0, end + 2)) {
        SseEvent e;
        std::istringstream block(text.substr(0, end));
        for (std::string line; std::getline(block, line);) {
            if (line.rfind("id: ", 0) == 0) e.id = std::stoull(line.substr(4));
            if (line.rfind("data: ", 0) == 0) e.data = json::parse(line.substr(6));
        }
        if (e.id) v.push_back(e);
    }
    return v;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvx-service-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        if (const char* h = std::getenv("KORVEX_HOME")) oldHome_ = h;
        // The station's configuration (its token), logs and records.
        setenv("KORVEX_HOME", path("home").c_str(), 1);
        image_ = test::patternBytes(32 * 1024, 7);
        test::writeBytes(path("fw.bin"), image_);
    }
    void TearDown() override {
        if (child_.pid > 0) EXPECT_EQ(stopStation(), 0) << output_;
        sim_.reset();
        unsetenv("KORVEX_SERIAL_DIR");
        setenv("KORVEX_HOME", oldHome_.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void startUnits(int n, const std::function<void(SimOptions&)>& tune = {}) {
        SimOptions o;
        o.units = n;
        o.dir = path("ports");
        o.unit.resize(static_cast<size_t>(n));
        if (tune) tune(o);
        sim_ = std::make_unique<SimServer>(o);
        sim_->start();
        setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    }
    // Each unit takes this long for each 4 KB block it programs, so that a
    // run lasts long enough to be met while it runs.
    void startPacedUnits(int n, int programMs) {
        startUnits(n, [programMs](SimOptions& o) {
            for (auto& u : o.unit) u.programMs = programMs;
        });
    }

    // korvex-cli serve on a free port, with the job loaded; the client
    // speaks to it, the token read from its configuration folder.
    void serve(const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--chip", kChip, "--file", path("fw.bin")};
        args.insert(args.end(), more.begin(), more.end());
        child_ = test::spawnChild(KORVEX_CLI_BIN, args, true);
        output_ = test::readUntil(child_.out, "(Ctrl+C", 15000);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(output_, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/api/v1"))) << output_;
        port_ = std::stoi(m[1]);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(10, 0);
        std::ifstream t(path("home/api.token"));
        std::getline(t, token_);
        struct stat st {};
        ASSERT_EQ(::stat(path("home/api.token").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(token_.size(), 64u);
    }
    int stopStation() {
        kill(child_.pid, SIGTERM);
        output_ += test::readUntil(child_.out, [](const std::string&) { return false; }, 3000);
        const int status = test::waitExit(child_.pid, 10000);
        close(child_.out);
        child_ = {};
        return status;
    }

    httplib::Headers bearer(const std::string& token) const { return {{"Authorization", "Bearer " + token}}; }
    httplib::Result postRun(const std::string& body) {
        return client_->Post("/api/v1/runs", bearer(token_), body, "application/json");
    }
    httplib::Result putJob(const std::string& query, const std::vector<uint8_t>& file) {
        return client_->Put("/api/v1/job" + query, bearer(token_), std::string(file.begin(), file.end()),
                            "application/octet-stream");
    }
    // The station's production records, through korvex-cli records.
    std::vector<json> records() {
        std::ostringstream out, err;
        EXPECT_EQ(cli::run({"records", "--json", "--db", path("home/records.sqlite")}, out, err), cli::kExitOk) << err.str();
        std::vector<json> v;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) v.push_back(json::parse(line));
        return v;
    }
    json bodyOf(const httplib::Result& r) {
        if (!r) return json();
        try {
            return json::parse(r->body);
        } catch (const std::exception&) {
            ADD_FAILURE() << "not JSON: " << r->body;
            return json();
        }
    }
    // Starts a run the station takes (202); gives its id, or -1 (a failure).
    int startedRun(const std::string& body) {
        auto r = postRun(body);
        if (!r || r->status != 202) {
            ADD_FAILURE() << body << ": " << (r ? r->status : -1) << " " << (r ? r->body : "");
            return -1;
        }
        return bodyOf(r)["id"].get<int>();
    }
    // Starts a run and waits for its end; gives GET /runs/ID's answer.
    json runToEnd(const std::string& body) {
        auto r = postRun(body);
        if (!r || r->status != 202) {
            ADD_FAILURE() << body << ": " << (r ? r->status : -1) << " " << (r ? r->body : "");
            return json();
        }
        const std::string href = r->get_header_value("Location");
        for (int i = 0; i < 1000; ++i) {
            json run = bodyOf(client_->Get(href));
            if (run["state"] == "done") return run;
            usleep(20000);
        }
        ADD_FAILURE() << "run " << href << " did not end";
        return json();
    }
    std::vector<uint8_t> unitFlash(int slot) {
        std::vector<uint8_t> flash;
        sim_->withUnit(slot, [&](SimUnit& u) { flash = u.chip.flash; });
        return flash;
    }

    std::string dir_, oldHome_, output_, token_;
    std::vector<uint8_t> image_;
    std::unique_ptr<SimServer> sim_;
    test::Child child_;
    int port_ = 0;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace

// Every endpoint, and every way a request is refused: the status, a JSON
// body with "error" for each refusal, and no CORS header for a page from
// elsewhere.
TEST_F(Service, EndpointsAnswerAndRefuseAsDocumented) {
    startUnits(2);
    serve();
    enum Auth { None, Good, Wrong };
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        Auth auth;
        int status;
        const char* contentType = "application/json";
    };
    const std::vector<Case> cases = {
        {"GET", "/api/v1/station", "", None, 200},
        {"GET", "/metrics", "", None, 200},
        {"GET", "/api/v1/runs/999", "", None, 404},
        {"GET", "/api/v1/nothing", "", None, 404},
        {"GET", "/api/v1/records?last=5", "", None, 200},
        {"GET", "/api/v1/records?outcome=maybe", "", None, 400},
        {"GET", "/api/v1/records?since=yesterday", "", None, 400},
        {"GET", "/api/v1/records?colour=red", "", None, 400},
        {"POST", "/api/v1/runs", R"({"operation":"auto"})", None, 401},
        {"POST", "/api/v1/runs", R"({"operation":"auto"})", Wrong, 401},
        {"POST", "/api/v1/runs", "{\"operation\":", Good, 400},
        {"POST", "/api/v1/runs", "[\"auto\"]", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"fly"})", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"auto","channel":[1]})", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"auto","channels":[9]})", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"auto","channels":"1"})", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"read-id","channels":[2]})", Good, 400},
        {"POST", "/api/v1/runs", R"({"operation":"auto","channels":[3]})", Good, 422},
        {"POST", "/api/v1/runs", R"({"operation":"auto"})", Good, 415, "text/plain"},
        {"POST", "/api/v1/runs", "{\"operation\":\"auto\",\"x\":\"" + std::string(70000, 'a') + "\"}", Good, 413},
        {"POST", "/api/v1/runs/999/stop", "", Good, 404},
        {"POST", "/api/v1/runs/1/stop", "", None, 401},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G&file=x.bin", "abc", None, 401, kOctets},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G&file=x.bin", "abc", Good, 415},
        {"PUT", "/api/v1/job", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?project=a.pmw&chip=SC32F5232JV1G&file=x.bin", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?project=a.pmw&offset=16", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G&file=../x.bin", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G&file=x.bin&allowOutside=maybe", "abc", Good, 400, kOctets},
        {"PUT", "/api/v1/job?chip=SC32F5232JV1G&file=x.bin", "", Good, 400, kOctets},
        // Refused on the logic thread: the job stays as it was.
        {"PUT", "/api/v1/job?chip=NOSUCHCHIP&file=x.bin", "abc", Good, 422, kOctets},
        {"PUT", "/api/v1/job?project=broken.pmw", "not a project", Good, 422, kOctets},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body.substr(0, 60));
        httplib::Headers h = c.auth == None ? httplib::Headers{} : bearer(c.auth == Good ? token_ : std::string(64, '0'));
        h.emplace("Origin", "http://elsewhere.example");
        const std::string method = c.method;
        auto r = method == "GET"   ? client_->Get(c.path, h)
                 : method == "PUT" ? client_->Put(c.path, h, c.body, c.contentType)
                                   : client_->Post(c.path, h, c.body, c.contentType);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
        EXPECT_FALSE(r->has_header("Access-Control-Allow-Origin"));
        if (c.status >= 400) {
            EXPECT_TRUE(bodyOf(r)["error"].is_string()) << r->body;
            EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
        }
    }
    const json station = bodyOf(client_->Get("/api/v1/station"));
    EXPECT_EQ(station["chip"], kChip);
    EXPECT_EQ(station["job"]["file"], "fw.bin");
    EXPECT_EQ(station["unitsConnected"], 2);
    EXPECT_EQ(station["units"][1]["unit"]["unit"], 2);
    EXPECT_EQ(station["units"][2]["connected"], false);
    EXPECT_TRUE(station["running"].is_null());
    EXPECT_EQ(client_->Get("/metrics")->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    // The token never shows in what the station writes.
    EXPECT_EQ(stopStation(), 0);
    EXPECT_EQ(output_.find(token_), std::string::npos);
}

// The result a run reports for each channel is what the unit there holds:
// the whole run, a failing unit, and a run on one channel only. The records
// of the runs are kept as a korvex-cli run keeps them.
TEST_F(Service, RunResultsAreWhatTheUnitsHold) {
    startUnits(2, [](SimOptions& o) {
        SimFault f;
        std::string why;
        ASSERT_TRUE(parseSimFault("result:0x95:0x2C", f, why)) << why;  // unit 2 fails to program
        o.unit[1].faults.push_back(f);
    });
    serve();
    struct Case {
        const char* body;
        std::vector<std::tuple<int, const char*, int>> results;  // channel, outcome, code
        bool unit1HoldsImage;
    };
    const Case cases[] = {
        {R"({"operation":"auto"})", {{1, "ok", 0}, {2, "failed", 0x2C}}, true},
        // Channel 1 is not in this run: its chip keeps the image.
        {R"({"operation":"erase","channels":[2]})", {{2, "ok", 0}}, true},
        {R"({"operation":"erase"})", {{1, "ok", 0}, {2, "ok", 0}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const json run = runToEnd(c.body);
        ASSERT_EQ(run["results"].size(), c.results.size()) << run.dump();
        bool allOk = true;
        for (size_t i = 0; i < c.results.size(); ++i) {
            const json& r = run["results"][i];
            const auto& [channel, outcome, code] = c.results[i];
            EXPECT_EQ(r["event"], "result");
            EXPECT_EQ(r["channel"], channel);
            EXPECT_EQ(r["outcome"], outcome) << r.dump();
            EXPECT_EQ(r["code"], code) << r.dump();
            allOk = allOk && std::string(outcome) == "ok";
        }
        EXPECT_EQ(run["status"], allOk ? 0 : 1);
        EXPECT_EQ(unitFlash(0) == image_, c.unit1HoldsImage);
        bool blank = false;
        sim_->withUnit(1, [&](SimUnit& u) { blank = u.chip.flashBlank(); });
        EXPECT_TRUE(blank) << "unit 2 failed to program, then was erased";
    }
    // The failed chip through the API's records (the writer keeps them a
    // moment after the run's end).
    json ng;
    for (int i = 0; i < 100 && (ng.empty() || !ng.is_array()); ++i) {
        ng = bodyOf(client_->Get("/api/v1/records?outcome=ng"));
        if (ng.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(ng.size(), 1u) << ng.dump();
    EXPECT_EQ(ng[0]["channel"], 2);
    EXPECT_EQ(ng[0]["operation"], "auto");
    EXPECT_EQ(ng[0]["reason"], "flash-error");
    ASSERT_EQ(stopStation(), 0) << output_;
    std::multiset<std::string> kept;
    for (const json& r : records())
        kept.insert(format("%d %s %s", r["channel"].get<int>(), r["operation"].get<std::string>().c_str(),
                           r["outcome"].get<std::string>().c_str()));
    EXPECT_EQ(kept, (std::multiset<std::string>{"1 auto ok", "2 auto ng", "2 erase ok", "1 erase ok", "2 erase ok"}));
}

// One controller at a time: a second run while one runs is refused with
// what runs, and is taken once it ended. A scrape taken meanwhile is valid
// for Prometheus.
TEST_F(Service, SecondRunWhileOneRunsIsRefused) {
    startPacedUnits(2, 150);
    serve();
    const int id = startedRun(R"({"operation":"program"})");
    ASSERT_GT(id, 0);
    auto second = postRun(R"({"operation":"auto","channels":[2]})");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 409);
    EXPECT_EQ(bodyOf(second)["running"]["run"], id) << second->body;
    EXPECT_EQ(bodyOf(second)["running"]["operation"], "program");
    EXPECT_EQ(bodyOf(client_->Get("/api/v1/station"))["running"]["run"], id);
    const std::string scrape = client_->Get("/metrics")->body;
    EXPECT_NE(scrape.find("korvex_channels_busy 2\n"), std::string::npos) << scrape;
    for (const char* records : {"korvex_records_problems 0\n", "korvex_records_forwarding 0\n"})
        EXPECT_NE(scrape.find(records), std::string::npos) << scrape;
    if (::access("/usr/bin/promtool", X_OK) == 0) {
        test::writeBytes(path("scrape.txt"), std::vector<uint8_t>(scrape.begin(), scrape.end()));
        EXPECT_EQ(std::system(("/usr/bin/promtool check metrics < " + path("scrape.txt")).c_str()), 0) << scrape;
    }
    for (int i = 0; i < 500 && bodyOf(client_->Get(format("/api/v1/runs/%d", id)))["state"] != "done"; ++i) usleep(20000);
    const json next = runToEnd(R"({"operation":"verify"})");
    EXPECT_EQ(next["status"], 0) << next.dump();
    const std::string after = client_->Get("/metrics")->body;
    EXPECT_NE(after.find("korvex_runs_total{outcome=\"ok\"} 2\n"), std::string::npos) << after;
    EXPECT_NE(after.find("korvex_chips_total{channel=\"2\",chip=\"SC32F5232JV1G\",result=\"ok\"} 1\n"), std::string::npos);
}

// A client that loses its connection in the middle of a run and comes back
// with Last-Event-ID gets every event it missed, once, in order; the events
// are the v1 events of korvex-cli --json.
TEST_F(Service, EventStreamResumesWithLastEventId) {
    startPacedUnits(2, 100);
    serve();
    // Reads the stream from Last-Event-ID `after` (none: from now) until
    // `enough` says so.
    auto listen = [this](std::optional<uint64_t> after, const std::function<bool(const std::vector<SseEvent>&)>& enough) {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10, 0);
        httplib::Headers h;
        if (after) h.emplace("Last-Event-ID", std::to_string(*after));
        std::string text;
        std::vector<SseEvent> got;
        c.Get("/api/v1/events", h, [&](const char* data, size_t n) {
            text.append(data, n);
            for (SseEvent& e : takeEvents(text)) got.push_back(e);
            return !enough(got);
        });
        return got;
    };
    std::atomic<bool> listening{false};
    std::vector<SseEvent> before;
    std::thread first([&] {
        before = listen(std::nullopt, [&](const std::vector<SseEvent>& got) {
            listening = true;
            return got.size() >= 5;  // then it goes away, mid-run
        });
    });
    while (!listening) usleep(5000);
    auto r = postRun(R"({"operation":"auto"})");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202);
    first.join();
    ASSERT_EQ(before.size(), 5u);
    const auto ends = [](const std::vector<SseEvent>& got) { return !got.empty() && got.back().data["event"] == "summary"; };
    const std::vector<SseEvent> rest = listen(before.back().id, ends);
    const std::vector<SseEvent> whole = listen(0, ends);
    std::vector<SseEvent> joined = before;
    joined.insert(joined.end(), rest.begin(), rest.end());
    ASSERT_EQ(joined.size(), whole.size());
    std::ofstream stream(path("events.jsonl"));
    int results = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(joined[i].id, whole[i].id);
        EXPECT_EQ(joined[i].data, whole[i].data);
        EXPECT_EQ(whole[i].id, whole[0].id + i) << "numbers run without a hole";
        results += whole[i].data["event"] == "result";
        stream << whole[i].data.dump() << "\n";
    }
    stream.close();
    EXPECT_EQ(whole.front().data["event"], "start");
    EXPECT_EQ(results, 2);
    EXPECT_EQ(whole.back().data["status"], 0);
    EXPECT_EQ(std::system(("/usr/bin/python3 " KORVEX_TEST_SOURCE "/cli/validate_events.py " KORVEX_DOCS
                           "/json-events.schema.json " + path("events.jsonl")).c_str()),
              0);
}

// A job uploaded through the API is what the next run programs: an object
// file for a chip, and a project file. A file the station cannot load is
// refused with why, and a refused object file leaves no file to program.
TEST_F(Service, UploadedJobIsWhatTheNextRunPrograms) {
    startUnits(1);
    serve();
    const std::vector<uint8_t> other = test::patternBytes(32 * 1024, 11);
    std::ostringstream out, err;
    ASSERT_EQ(cli::run({"save-project", path("fw.pmw"), "--chip", kChip, "--file", path("fw.bin")}, out, err), cli::kExitOk)
        << err.str();
    const std::vector<uint8_t> project = test::readBytes(path("fw.pmw"));
    const std::string badHex = ":020000040000FA\n:10000000000102030405060708090A0B0C0D0E0F00\n:00000001FF\n";
    struct Case {
        std::string query;
        std::vector<uint8_t> file;
        int status;
        const char* project;                // the job's afterwards ("" none)
        const char* fileName;               // nullptr: no file loaded
        const std::vector<uint8_t>* image;  // what a program run then puts on the chip
        const char* error = "";
    };
    const Case cases[] = {
        {"?chip=SC32F5232JV1G&file=other.bin", other, 200, "", "other.bin", &other},
        {"?project=fw.pmw", project, 200, "fw.pmw", "fw.bin", &image_},
        // Refused: the job stays as it was.
        {"?chip=sc32f5232jv1g&file=bad.hex", {badHex.begin(), badHex.end()}, 422, "fw.pmw", "fw.bin", &image_,
         "skipBadLines=true"},
        // With no file for the chip it now has, nothing programs.
        {"?chip=SC32F5264LF1G&file=bad.hex", {badHex.begin(), badHex.end()}, 422, "", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        auto r = putJob(c.query, c.file);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, c.status) << r->body;
        const json job = bodyOf(r)["job"];
        EXPECT_EQ(job["project"], c.project);
        EXPECT_EQ(job["file"], c.fileName ? json(c.fileName) : json()) << r->body;
        EXPECT_NE(bodyOf(r).value("error", "").find(c.error), std::string::npos) << r->body;
        EXPECT_EQ(bodyOf(client_->Get("/api/v1/station"))["job"], job);
        if (!c.image) {
            auto refused = postRun(R"({"operation":"program"})");
            EXPECT_EQ(refused->status, 422) << refused->body;
            continue;
        }
        EXPECT_EQ(runToEnd(R"({"operation":"erase"})")["status"], 0);
        EXPECT_EQ(runToEnd(R"({"operation":"program"})")["status"], 0);
        EXPECT_EQ(unitFlash(0), *c.image);
    }
}

// A stopped run ends at once with every channel interrupted (so recorded),
// and the units' answers to the requests they still had are not taken as
// the next run's: a blank check of the half-programmed chips finds them not
// blank. A job cannot be replaced while a run goes on.
TEST_F(Service, StoppedRunEndsInterruptedAndTheNextRunIsClean) {
    startPacedUnits(2, 150);
    serve();
    const int id = startedRun(R"({"operation":"program"})");
    ASSERT_GT(id, 0);
    usleep(300000);  // some blocks in
    EXPECT_EQ(putJob("?chip=SC32F5232JV1G&file=other.bin", image_)->status, 409);
    auto stopped = client_->Post(format("/api/v1/runs/%d/stop", id), bearer(token_), "", "application/json");
    ASSERT_TRUE(stopped);
    ASSERT_EQ(stopped->status, 200) << stopped->body;
    const json run = bodyOf(stopped);
    EXPECT_EQ(run["state"], "done");
    EXPECT_EQ(run["status"], 1);
    ASSERT_EQ(run["results"].size(), 2u) << run.dump();
    for (const json& r : run["results"]) EXPECT_EQ(r["outcome"], "interrupted") << r.dump();
    EXPECT_EQ(client_->Post(format("/api/v1/runs/%d/stop", id), bearer(token_), "", "application/json")->status, 409);
    // The next run waits for the units' last answers.
    std::string location;
    for (int i = 0; i < 300 && location.empty(); ++i, usleep(10000)) {
        auto next = postRun(R"({"operation":"blank-check"})");
        ASSERT_TRUE(next);
        if (next->status == 202) location = next->get_header_value("Location");
        else EXPECT_NE(bodyOf(next).value("error", "").find("stopped run"), std::string::npos) << next->body;
    }
    ASSERT_FALSE(location.empty());
    for (int i = 0; i < 1000 && bodyOf(client_->Get(location))["state"] != "done"; ++i) usleep(20000);
    const json after = bodyOf(client_->Get(location));
    EXPECT_EQ(after["status"], 1) << after.dump();
    ASSERT_EQ(after["results"].size(), 2u) << after.dump();
    for (const json& r : after["results"]) EXPECT_EQ(r["outcome"], "failed") << r.dump();
    ASSERT_EQ(stopStation(), 0) << output_;
    std::multiset<std::string> kept;
    for (const json& r : records()) kept.insert(r["outcome"].get<std::string>());
    EXPECT_EQ(kept, (std::multiset<std::string>{"interrupted", "interrupted", "ng", "ng"}));
}

// Each run of a station that numbers its chips goes on from the number the
// run before left (a station's runs never give two chips one number).
TEST_F(Service, SerialNumbersGoOnFromRunToRun) {
    startUnits(1);
    serve({"--sn", "0x100", "--sn-address", "0x7F00", "--sn-advance"});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(runToEnd(R"({"operation":"erase"})")["status"], 0);
        EXPECT_EQ(runToEnd(R"({"operation":"auto"})")["status"], 0);
    }
    ASSERT_EQ(stopStation(), 0) << output_;
    std::vector<int64_t> numbers;
    for (const json& r : records())
        if (r["operation"] == "auto") numbers.push_back(r["snStart"].get<int64_t>());
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<int64_t>{0x100, 0x101, 0x102}));
}
