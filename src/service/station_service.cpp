#include "service/station_service.h"

#include "app/job_answers.h"
#include "app/korvex_app.h"
#include "app/record_json.h"
#include "chip/catalogue.h"
#include "records/pg_record_store.h"
#include "engine/event_json.h"
#include "service/access.h"
#include "service/event_ring.h"
#include "service/metrics.h"
#include "service/station_page.h"
#include "shell/text.h"

#include <httplib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <stdexcept>
#include <thread>
#include <variant>

namespace kvx {

namespace {

// The exit statuses korvex-cli gives the same outcomes (a run's summary
// carries them).
constexpr int kStatusOk = 0, kStatusFailed = 1, kStatusRefused = 2;
constexpr size_t kRunsKept = 100;
constexpr size_t kStreamBatch = 64;  // events a stream writes at once

// What a request gets back: its status and a JSON body.
struct Reply {
    int status = 200;
    JsonObject body = JsonObject::object();
    std::string location;
};

Reply errorReply(int status, const std::string& message, JsonObject extra = JsonObject::object()) {
    Reply r{status, JsonObject{{"error", utf8Text(message)}}, {}};
    for (auto& [k, v] : extra.items()) r.body[k] = v;
    return r;
}

std::string dumped(const JsonObject& o) { return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

void send(httplib::Response& res, const Reply& r) {
    res.status = r.status;
    if (!r.location.empty()) res.set_header("Location", r.location);
    res.set_content(dumped(r.body) + "\n", "application/json");
}

// The operations the API starts: the launchers' but the flash read, whose
// image would have nowhere to go.
const char* const kApiOperations[] = {"auto",   "download",     "blank-check", "erase",  "program",
                                      "verify", "write-option", "read-option", "read-id"};

struct RunRequest {
    std::string operation;
    Operation op = Operation::Auto;
    uint8_t mask = Program::kAllChannels;
    bool channelsGiven = false;
};

// The body of POST /runs: {"operation": NAME, "channels": [N, ...]}, every
// key known and every value of its type; else the 400 saying what is wrong.
std::variant<RunRequest, Reply> parseRunRequest(const std::string& body) {
    JsonObject j;
    try {
        j = JsonObject::parse(body);
    } catch (const nlohmann::json::exception& e) {
        return errorReply(400, std::string("the body is not JSON: ") + e.what());
    }
    if (!j.is_object()) return errorReply(400, "the body is not a JSON object");
    for (auto& [key, value] : j.items())
        if (key != "operation" && key != "channels") return errorReply(400, "unknown key \"" + key + "\" (operation, channels)");
    std::string names;
    for (const char* n : kApiOperations) names += std::string(names.empty() ? "" : ", ") + n;
    if (!j.contains("operation") || !j["operation"].is_string())
        return errorReply(400, "\"operation\" is missing or not a string (" + names + ")");
    RunRequest r;
    r.operation = j["operation"].get<std::string>();
    bool known = false;
    for (const char* n : kApiOperations) known = known || r.operation == n;
    if (!known) return errorReply(400, "unknown operation \"" + r.operation + "\" (" + names + ")");
    r.op = *launchedOperation(r.operation);
    if (j.contains("channels")) {
        const JsonObject& c = j["channels"];
        if (!c.is_array() || c.empty()) return errorReply(400, "\"channels\" is not a list of channel numbers (1 to 8)");
        r.channelsGiven = true;
        r.mask = 0;
        for (const JsonObject& n : c) {
            if (!n.is_number_integer() || n.get<int64_t>() < 1 || n.get<int64_t>() > 8)
                return errorReply(400, "\"channels\" holds " + dumped(n) + ": a channel is 1 to 8");
            r.mask |= static_cast<uint8_t>(1u << (n.get<int>() - 1));
        }
    }
    return r;
}

// The query of GET /records: the filters of korvex-cli records (since,
// until, serial, uid, station, outcome, last); else the 400 saying which.
std::variant<RecordFilter, Reply> parseRecordQuery(const std::multimap<std::string, std::string>& params) {
    RecordFilter f;
    f.limit = 100;
    for (const auto& [key, value] : params) {
        auto bad = [&key = key, &value = value](const std::string& why) {
            return errorReply(400, key + "=" + value + ": " + why);
        };
        int64_t n = 0;
        if (key == "since" || key == "until") {
            const std::optional<int64_t> t = parseRecordTime(value);
            if (!t) return bad("a time is YYYY-MM-DD[THH:MM[:SS]] (local), with a final Z for UTC");
            (key == "since" ? f.sinceMs : f.untilMs) = *t;
        } else if (key == "serial") {
            if (!tryParseInt64(value, n) || n < 0 || n > 0xFFFFFFFF) return bad("a serial number is 0 to 0xFFFFFFFF");
            f.serialNumber = static_cast<uint32_t>(n);
        } else if (key == "uid") {
            if (value.size() != 24 || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return bad("a UID is 24 hexadecimal digits");
            f.chipUid = value;
        } else if (key == "station") {
            f.station = value;
        } else if (key == "outcome") {
            if (value != kOutcomeOk && value != kOutcomeNg && value != kOutcomeInterrupted)
                return bad("the outcome is ok, ng or interrupted");
            f.outcome = value;
        } else if (key == "last") {
            if (!tryParseInt64(value, n) || n < 1 || n > 10000) return bad("last takes 1 to 10000");
            f.limit = static_cast<int>(n);
        } else {
            return errorReply(400, "unknown parameter \"" + key + "\" (since, until, serial, uid, station, outcome, last)");
        }
    }
    return f;
}

// A job uploaded by PUT /api/v1/job: a project file (?project=NAME), or an
// object file for a chip (?chip=CHIP&file=NAME, with offset, allowOutside
// and skipBadLines as korvex-cli's --offset, --allow-outside and
// --skip-bad-lines). The body is written to a folder of its own under the
// name given (the file's name is the job's, its extension its format),
// which goes when the last holder lets go of it.
struct JobUpload {
    std::string project, chip, file;
    std::optional<int64_t> offset;
    bool allowOutside = false, skipBadLines = false;
    std::shared_ptr<std::filesystem::path> folder;
    std::string path() const { return (*folder / (project.empty() ? file : project)).string(); }
};

bool plainFileName(const std::string& n) {
    if (n.empty() || n.size() > 200 || n == "." || n == "..") return false;
    for (unsigned char c : n)
        if (c == '/' || c < 0x20 || c == 0x7F) return false;
    return true;
}

// A folder of its own for an upload, removed with what it holds when the
// last holder lets go.
std::shared_ptr<std::filesystem::path> madeUploadFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvex-job-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a folder in " + std::filesystem::temp_directory_path().string());
    return std::shared_ptr<std::filesystem::path>(new std::filesystem::path(tmpl), [](std::filesystem::path* p) {
        std::error_code ec;
        std::filesystem::remove_all(*p, ec);
        delete p;
    });
}

std::variant<JobUpload, Reply> parseJobUpload(const std::multimap<std::string, std::string>& params) {
    JobUpload u;
    auto flag = [](const std::string& v) -> std::optional<bool> {
        if (v == "1" || v == "true") return true;
        if (v == "0" || v == "false") return false;
        return std::nullopt;
    };
    for (const auto& [key, value] : params) {
        const std::string given = key + "=" + value;
        if (key == "project" || key == "file") {
            if (!plainFileName(value)) return errorReply(400, given + ": a file name, without a folder");
            (key == "project" ? u.project : u.file) = value;
        } else if (key == "chip") {
            u.chip = value;
        } else if (key == "offset") {
            int64_t n = 0;
            if (!tryParseInt64(value, n) || n < 0 || n > 0xFFFFFFFF) return errorReply(400, given + ": an address or offset, 0 to 0xFFFFFFFF");
            u.offset = n;
        } else if (key == "allowOutside" || key == "skipBadLines") {
            const std::optional<bool> b = flag(value);
            if (!b) return errorReply(400, given + ": true or false");
            (key == "allowOutside" ? u.allowOutside : u.skipBadLines) = *b;
        } else {
            return errorReply(400, "unknown parameter \"" + key + "\" (project; or chip, file, offset, allowOutside, skipBadLines)");
        }
    }
    const bool isProject = !u.project.empty(), isObject = !u.chip.empty() || !u.file.empty();
    if (isProject == isObject || (isObject && (u.chip.empty() || u.file.empty())))
        return errorReply(400, "give ?project=NAME.pmw with a project file, or ?chip=CHIP&file=NAME with an object file");
    if (!u.project.empty() && (u.offset || u.allowOutside || u.skipBadLines))
        return errorReply(400, "offset, allowOutside and skipBadLines go with an object file, not a project");
    return u;
}

std::string launchRefusalText(Program::LaunchRefusal why) {
    switch (why) {
    case Program::LaunchRefusal::NoChip: return "no chip chosen: load a job first (PUT /api/v1/job)";
    case Program::LaunchRefusal::NoFile:
        return "no object file loaded: load a job first (PUT /api/v1/job)";
    case Program::LaunchRefusal::None: break;
    }
    return "the operation was refused";
}

JsonObject hexOrNull(bool present, const char* f, uint32_t v) { return present ? JsonObject(format(f, v)) : JsonObject(); }

// The server's threads: a pool whose threads give way to the logic thread
// and the ports' threads (nice 19). Not the idle scheduling class: they
// share short locks with the logic thread (its loop's queue, a reply's
// promise), and one held off every core for long holding one would hold
// the logic thread up with it.
class ServerThreads : public httplib::TaskQueue {
public:
    explicit ServerThreads(size_t n) : pool_(n) {}
    void enqueue(std::function<void()> fn) override {
        pool_.enqueue([fn = std::move(fn)] {
            thread_local const bool lowered = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19) == 0;
            (void)lowered;
            fn();
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
};

}  // namespace

// A run started through the API: its channels and, as each ends, its
// result event.
struct StationRun {
    int id = 0;
    std::string operation;
    std::vector<std::pair<int, std::string>> ports;  // the channels it runs on, with their ports
    std::vector<int> started;                        // those that began it (empty while launching)
    std::map<int, JsonObject> results;               // by channel
    std::chrono::system_clock::time_point begin;
    int64_t beginMs = 0;  // the engine clock's monotonic time
    bool done = false;
    bool stopped = false;  // a controller stopped it
    int status = kStatusOk;
    double seconds = 0;
};

class StationService::Impl {
public:
    Impl(KorvexApp& a, ServiceOptions o)
        : app(a), engine(a.engine), opt(std::move(o)), ring(opt.eventsKept), project(opt.project) {}

    KorvexApp& app;
    Program& engine;
    ServiceOptions opt;
    EventRing ring;
    httplib::Server server;
    std::thread thread;
    std::string token;
    std::string recordsPath;  // the station's records database
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> streams{0};
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    // --- the logic thread's --------------------------------------------------
    ProgressEvents progress;
    StationMetrics metrics;
    std::map<int, StationRun> runs;
    int activeRun = 0, nextRun = 1;
    bool closing = false;
    std::string project;  // the project the job came from (start events name it)

    void onEvent(const EngineEvent& e);
    void publish(const JsonObject& o) { ring.push(dumped(o)); }
    Reply station() const;
    JsonObject jobJson() const;
    Reply startRun(const RunRequest& r);
    Reply stopRun(int id);
    Reply loadJob(const JobUpload& u);
    Reply runReply(int id) const;
    std::optional<Reply> busyReply() const;
    JsonObject runningJson() const;
    void checkRunEnd();
    void finishRun(StationRun& run);

    // --- the server's threads' ------------------------------------------------
    // Runs fn on the logic thread and gives its reply; a 503 when the
    // station stops or the logic thread does not answer in 10 s. fn holds
    // no reference to the request: it may run after the request was
    // answered.
    Reply onLogic(std::function<Reply()> fn);
    void routes();
    void serveEvents(const httplib::Request& req, httplib::Response& res);
};

StationService::StationService(KorvexApp& app, ServiceOptions options)
    : impl_(std::make_unique<Impl>(app, std::move(options))) {
    app.engine.listeners.push_back([impl = impl_.get(), alive = impl_->alive](const EngineEvent& e) {
        if (*alive) impl->onEvent(e);
    });
}

StationService::~StationService() {
    stop();
    *impl_->alive = false;
}

int StationService::port() const { return impl_->port; }

void StationService::start() {
    Impl& d = *impl_;
    d.token = loadOrMakeToken(d.opt.tokenFile.empty() ? d.app.programFolder + kApiTokenFileName : d.opt.tokenFile);
    d.recordsPath = d.app.recordsPath();
    d.routes();
    d.port = d.opt.port == 0 ? d.server.bind_to_any_port(d.opt.host) : d.server.bind_to_port(d.opt.host, d.opt.port) ? d.opt.port : -1;
    if (d.port <= 0)
        throw std::runtime_error(format("cannot listen on %s:%d (an address of this machine, a port not in use)",
                                        d.opt.host.c_str(), d.opt.port));
    d.thread = std::thread([&d] { d.server.listen_after_bind(); });
}

void StationService::stop() {
    Impl& d = *impl_;
    d.stopping = true;
    d.closing = true;
    d.ring.close();
    // The streams write what the ring still held for them, then end (a
    // second at most: a client that reads nothing does not hold the stop).
    for (int waited = 0; d.streams > 0 && waited < 1000; waited += 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (d.thread.joinable()) {
        d.server.stop();
        d.thread.join();
    }
}

// --- the logic thread ---------------------------------------------------------

void StationService::Impl::onEvent(const EngineEvent& e) {
    metrics.onEvent(e);
    if (const auto* p = std::get_if<ProgressMoved>(&e)) {
        // Off-line status frames move idle channels' gauges: progress is the runs'.
        if (p->running)
            if (std::optional<JsonObject> o = progress.next(*p)) publish(*o);
    } else if (std::optional<JsonObject> o = engineEventJson(e)) {
        publish(*o);
    }
    // A channel's result goes out as it ends (a page shows each socket as
    // its unit finishes), not when the whole run has.
    if (const auto* f = std::get_if<ChannelFinished>(&e); f && activeRun) {
        StationRun& run = runs.at(activeRun);
        // Another front end's channels (the window's operator) are not the run's.
        if (std::find(run.started.begin(), run.started.end(), f->channel) != run.started.end() ||
            (run.started.empty() && std::any_of(run.ports.begin(), run.ports.end(),
                                                [f](const auto& p) { return p.first == f->channel; }))) {
            JsonObject& result = run.results[f->channel];
            result = resultJson(finishedRow(*f, (closing || run.stopped) && f->interrupted));
            publish(result);
        }
    }
    if (activeRun) checkRunEnd();
}

std::optional<Reply> StationService::Impl::busyReply() const {
    if (activeRun) {
        const StationRun& r = runs.at(activeRun);
        std::string channels;
        for (auto& [c, port] : r.ports) channels += (channels.empty() ? "" : ", ") + std::to_string(c);
        return errorReply(409, format("run %d (%s on channel(s) %s) is going on", r.id, r.operation.c_str(), channels.c_str()),
                          {{"running", runningJson()}});
    }
    for (int s = 0; s < 8; ++s) {
        const Program::ChannelState c = engine.channelState(s);
        if (c.busy)
            return errorReply(409, format("channel %d runs %s", s + 1, stepName(c.step)), {{"running", runningJson()}});
        if (c.settling)
            return errorReply(409, format("channel %d waits for its unit to answer the last request of a stopped run",
                                          s + 1),
                              {{"running", runningJson()}});
    }
    return std::nullopt;
}

JsonObject StationService::Impl::runningJson() const {
    if (activeRun) {
        const StationRun& r = runs.at(activeRun);
        JsonObject channels = JsonObject::array();
        for (auto& [c, port] : r.ports) channels.push_back(c);
        return {{"run", r.id}, {"operation", r.operation}, {"channels", channels}};
    }
    JsonObject busy = JsonObject::array();
    for (int s = 0; s < 8; ++s)
        if (const Program::ChannelState c = engine.channelState(s); c.busy)
            busy.push_back({{"channel", s + 1}, {"step", stepName(c.step)}});
    return busy.empty() ? JsonObject() : JsonObject{{"run", nullptr}, {"channels", busy}};
}

Reply StationService::Impl::station() const {
    JsonObject units = JsonObject::array();
    int connected = 0;
    for (int s = 0; s < engine.channelsInUse(); ++s) {
        const Program::ChannelState c = engine.channelState(s);
        const Program::ChannelCounts n = engine.channelCounts(s);
        JsonObject u{{"channel", s + 1}, {"port", utf8Text(c.port)}, {"connected", c.connected}, {"busy", c.busy},
                     {"step", stepName(c.step)}};
        JsonObject unit = JsonObject::object();
        putUnit(unit, c.unit);
        u["unit"] = c.connected ? unit : JsonObject();
        u["offlineOk"] = n.ok;
        u["offlineNg"] = n.ng;
        units.push_back(u);
        connected += c.connected;
    }
    Reply r;
    r.body["station"] = utf8Text(app.stationName.empty() ? defaultStationName() : app.stationName);
    r.body["version"] = KORVEX_VERSION;
    r.body["unitsConnected"] = connected;
    r.body["units"] = units;
    r.body["chip"] = engine.chip.chipChosen ? JsonObject(utf8Text(engine.chip.chipName)) : JsonObject();
    r.body["job"] = jobJson();
    const StationMetrics::Day today = metrics.today(app.clock.epochMs());
    r.body["counters"] = {{"offlineOk", engine.offlineOk()},
                          {"offlineNg", engine.offlineNg()},
                          {"runs", nextRun - 1},
                          {"today", {{"date", today.date}, {"ok", today.ok}, {"ng", today.ng}}}};
    r.body["running"] = runningJson();
    return r;
}

JsonObject StationService::Impl::jobJson() const {
    const ImageState& img = *engine.image;
    const bool file = engine.fileLoaded;
    return {{"project", utf8Text(project)},
            {"file", file ? JsonObject(utf8Text(img.objectFileName)) : JsonObject()},
            {"fileChecksum", hexOrNull(file, "0x%0.8x", img.fileChecksum)},
            {"flashCrc", hexOrNull(file, "0x%0.4x", img.flashCrc)},
            {"flashAcc", hexOrNull(file, "0x%0.4x", img.flashAcc)}};
}

Reply StationService::Impl::startRun(const RunRequest& req) {
    if (std::optional<Reply> busy = busyReply()) return *busy;
    const bool channelOne = readsChannelOne(req.op);
    if (channelOne && req.channelsGiven && req.mask != 1)
        return errorReply(400, req.operation + " reads the chip on channel 1: give \"channels\": [1] or none");
    const uint8_t mask = channelOne ? 1 : req.mask;
    StationRun run;
    for (int s = 0; s < 8; ++s) {
        if (!(mask >> s & 1)) continue;
        const Program::ChannelState c = engine.channelState(s);
        if (s < engine.channelsInUse() && c.connected) run.ports.emplace_back(s + 1, c.port);
        else if (req.channelsGiven || channelOne) return errorReply(422, format("channel %d has no programmer unit", s + 1));
    }
    if (run.ports.empty()) return errorReply(422, "no programmer unit is connected");
    // Refused here, not by the launch: that would tell the window's operator in a box.
    if (const Program::LaunchRefusal why = engine.refusalFor(req.op); why != Program::LaunchRefusal::None)
        return errorReply(422, launchRefusalText(why));
    std::variant<JobSettings, std::string> settings = opt.jobSettings ? opt.jobSettings() : opt.settings;
    if (const auto* why = std::get_if<std::string>(&settings)) return errorReply(422, *why);
    run.id = nextRun++;
    run.operation = req.operation;
    run.begin = std::chrono::system_clock::now();
    run.beginMs = app.clock.monotonicMs();
    RunStart start = runStartOf(engine, req.operation, project);
    start.ports = run.ports;
    // The start event goes first: the launch sends the first requests at once.
    publish(startJson(start, run.begin));
    const int id = run.id;
    runs[id] = std::move(run);
    activeRun = id;
    StationRun& r = runs[id];
    std::string refused;
    if (!engine.prepare(req.op) || !engine.start(req.op, std::get<JobSettings>(settings), mask))
        refused = launchRefusalText(engine.lastRefusal());
    for (auto& [c, port] : r.ports)
        if (engine.channelState(c - 1).busy || r.results.count(c)) r.started.push_back(c);
    if (refused.empty() && r.started.empty()) refused = "no channel ran the operation";
    if (!refused.empty()) {
        // A refused run's stream ends as korvex-cli's does: the error, then the summary.
        JsonObject e = eventObject("error");
        e["message"] = utf8Text(refused);
        publish(e);
        publish(summaryJson(kStatusRefused, {}, std::nullopt, 0));
        runs.erase(id);
        activeRun = 0;
        return errorReply(422, refused);
    }
    while (runs.size() > kRunsKept && runs.begin()->first != activeRun) runs.erase(runs.begin());
    Reply reply = runReply(id);
    reply.status = 202;
    reply.location = format("/api/v1/runs/%d", id);
    checkRunEnd();
    return reply;
}

void StationService::Impl::checkRunEnd() {
    StationRun& run = runs.at(activeRun);
    if (run.started.empty()) return;  // still launching
    for (int c : run.started)
        if (engine.channelState(c - 1).busy) return;
    finishRun(run);
}

void StationService::Impl::finishRun(StationRun& run) {
    run.seconds = static_cast<double>(app.clock.monotonicMs() - run.beginMs) / 1000.0;
    RunCounts counts;
    bool interrupted = false;
    for (int c : run.started) {
        JsonObject& result = run.results[c];
        if (result.is_null()) {
            // It stopped without an end of its own: as a channel the program's close cut short.
            ResultRow row{c, engine.channelState(c - 1).port, true, "interrupted", std::nullopt, "idle", "interrupted",
                          run.seconds, engine.channelState(c - 1).unit, ""};
            result = resultJson(row);
            publish(result);
        }
        const std::string outcome = result["outcome"].get<std::string>();
        counts.ok += outcome == "ok";
        counts.failed += outcome != "ok";
        interrupted = interrupted || outcome == "interrupted" || result["reason"] == "interrupted";
    }
    run.status = counts.failed ? kStatusFailed : kStatusOk;
    publish(summaryJson(run.status, counts, std::nullopt, run.seconds));
    metrics.runEnded(interrupted ? "interrupted" : counts.failed ? "failed" : "ok", run.seconds);
    run.done = true;
    activeRun = 0;
    progress.clear();
}

Reply StationService::Impl::stopRun(int id) {
    auto it = runs.find(id);
    if (it == runs.end()) return errorReply(404, format("there is no run %d (the last %zu are kept)", id, kRunsKept));
    StationRun& run = it->second;
    if (run.done) return errorReply(409, format("run %d has ended", id), {{"run", runReply(id).body}});
    uint8_t mask = 0;
    for (int c : run.started) mask |= static_cast<uint8_t>(1u << (c - 1));
    run.stopped = true;
    // Each channel ends at once, as interrupted; the run ends with the last.
    engine.interruptRunning("stopped through the station's API", mask);
    return runReply(id);
}

Reply StationService::Impl::loadJob(const JobUpload& u) {
    if (std::optional<Reply> busy = busyReply()) return *busy;
    const std::string path = u.path();
    if (!u.project.empty()) {
        // Loaded as a command line's project: no box for the operator.
        const bool wasCommandLine = app.CommandLineProject;
        app.CommandLineProject = true;
        const bool loaded = app.loadProject(path);
        app.CommandLineProject = wasCommandLine;
        if (!loaded)
            return errorReply(422, "the project " + u.project + " was not loaded" +
                                       (app.lastProjectProblem.empty() ? "" : ": " + app.lastProjectProblem),
                              {{"job", jobJson()}});
        project = u.project;
    } else {
        const std::optional<std::pair<ChipVendor, int>> chip = findChipByName(u.chip);
        if (!chip) return errorReply(422, unknownChip(u.chip));
        // The load's questions are answered from the request, never in a box.
        auto offsetQ = std::move(app.askBinOffset);
        auto cutQ = std::move(app.askImageCut);
        auto lineQ = std::move(app.askLineError);
        const LoadOptionNames names{"offset", "allowOutside=true"};
        app.askBinOffset = [&u, names](const KorvexApp::BinOffsetQuestion& q) {
            return binOffsetAnswer(u.offset, u.allowOutside, q, names);
        };
        app.askImageCut = [&u, names](const KorvexApp::ImageCutQuestion& q) { return imageCutAnswer(u.allowOutside, q, names); };
        app.askLineError = [&u](const std::string&, int, int) { return u.skipBadLines; };
        // Another chip takes its defaults and drops the image it had; the
        // same chip keeps the job as it is until the file has loaded.
        if (!engine.chip.chipChosen || engine.chip.vendor != chip->first ||
            upperCase(trimmedChipName(engine.chip.chipName)) != upperCase(trimmedChipName(catalogueName(chip->first, chip->second)))) {
            app.chooseChip(chip->first, chip->second);
            engine.fileLoaded = false;
        }
        const bool loaded = app.openObjectFile(path);
        app.askBinOffset = std::move(offsetQ);
        app.askImageCut = std::move(cutQ);
        app.askLineError = std::move(lineQ);
        if (!engine.fileLoaded) project.clear();
        if (!loaded) {
            std::string why = app.lastLoadRefusal;
            if (why.rfind("reading was aborted", 0) == 0) why += " (skipBadLines=true loads the file without its bad lines)";
            return errorReply(422, u.file + " was not loaded: " + why +
                                       (engine.fileLoaded ? "; the job is as it was"
                                                          : "; the station's chip is now " +
                                                                trimmedChipName(engine.chip.chipName) + ", with no file"),
                              {{"job", jobJson()}});
        }
        project.clear();
    }
    Reply r;
    r.body["chip"] = utf8Text(trimmedChipName(engine.chip.chipName));
    r.body["job"] = jobJson();
    return r;
}

Reply StationService::Impl::runReply(int id) const {
    auto it = runs.find(id);
    if (it == runs.end()) return errorReply(404, format("there is no run %d (the last %zu are kept)", id, kRunsKept));
    const StationRun& r = it->second;
    JsonObject channels = JsonObject::array(), results = JsonObject::array();
    for (auto& [c, port] : r.ports) channels.push_back(c);
    for (auto& [c, result] : r.results) results.push_back(result);
    Reply reply;
    reply.body = {{"id", r.id},
                  {"operation", r.operation},
                  {"state", r.done ? "done" : "running"},
                  {"channels", channels},
                  {"started", isoTimeMs(r.begin)},
                  {"seconds", r.done ? JsonObject(std::round(r.seconds * 1000) / 1000) : JsonObject()},
                  {"status", r.done ? JsonObject(r.status) : JsonObject()},
                  {"results", results}};
    return reply;
}

// --- the server's threads ---------------------------------------------------------

Reply StationService::Impl::onLogic(std::function<Reply()> fn) {
    auto promise = std::make_shared<std::promise<Reply>>();
    std::future<Reply> answer = promise->get_future();
    app.loop.post([promise, fn = std::move(fn), alive = alive] {
        if (!*alive) return;
        try {
            promise->set_value(fn());
        } catch (const std::exception& e) {
            promise->set_value(errorReply(500, e.what()));
        }
    });
    for (int waited = 0; waited < 10000; waited += 50) {
        if (answer.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) return answer.get();
        if (stopping) break;
    }
    return errorReply(503, stopping ? "the station is stopping" : "the station's logic thread did not answer");
}

void StationService::Impl::routes() {
    using httplib::Request;
    using httplib::Response;
    // An SSE client holds a thread for as long as it listens.
    server.new_task_queue = [n = opt.maxStreams] { return new ServerThreads(static_cast<size_t>(16 + n)); };
    server.set_payload_max_length(std::max(opt.maxBody, opt.maxUpload));
    server.set_keep_alive_timeout(2);
    server.set_pre_routing_handler([this](const Request& req, Response& res) {
        const bool reading = req.method == "GET" || req.method == "HEAD";
        if ((reading && isLoopback(req.remote_addr)) || bearerMatches(req.get_header_value("Authorization"), token))
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer realm=\"korvex200\"");
        send(res, errorReply(401, req.has_header("Authorization")
                                      ? "the bearer token is wrong"
                                      : "this request needs \"Authorization: Bearer TOKEN\" (the token is in api.token "
                                        "in the station's configuration folder)"));
        return httplib::Server::HandlerResponse::Handled;
    });
    // Every error has a JSON body: the library's own (404, 413, ...) get one here.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string why = res.status == 404   ? "no such resource: " + req.method + " " + req.path
                                : res.status == 413 ? "the body is larger than the station takes"
                                                    : format("the request was refused (HTTP status %d)", res.status);
        send(res, errorReply(res.status, why));
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const Request&, Response& res, std::exception_ptr ep) {
        std::string why = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            why += std::string(": ") + e.what();
        } catch (...) {
        }
        send(res, errorReply(500, why));
    });
    server.Get("/", [](const Request&, Response& res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_content(kStationPage, "text/html; charset=utf-8");
    });
    server.Get("/api/v1/station", [this](const Request&, Response& res) { send(res, onLogic([this] { return station(); })); });
    server.Post("/api/v1/runs", [this](const Request& req, Response& res) {
        if (req.body.size() > opt.maxBody) return send(res, errorReply(413, "the body is larger than the station takes"));
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
            return send(res, errorReply(415, "the body must be JSON (Content-Type: application/json)"));
        auto parsed = parseRunRequest(req.body);
        if (auto* bad = std::get_if<Reply>(&parsed)) return send(res, *bad);
        send(res, onLogic([this, r = std::get<RunRequest>(parsed)] { return startRun(r); }));
    });
    server.Post(R"(/api/v1/runs/(\d{1,9})/stop)", [this](const Request& req, Response& res) {
        if (req.body.size() > opt.maxBody) return send(res, errorReply(413, "the body is larger than the station takes"));
        const int id = std::stoi(req.matches[1]);
        send(res, onLogic([this, id] { return stopRun(id); }));
    });
    server.Put("/api/v1/job", [this](const Request& req, Response& res) {
        if (req.get_header_value("Content-Type").rfind("application/octet-stream", 0) != 0)
            return send(res, errorReply(415, "the body is the file itself (Content-Type: application/octet-stream)"));
        auto parsed = parseJobUpload(req.params);
        if (auto* bad = std::get_if<Reply>(&parsed)) return send(res, *bad);
        if (req.body.empty()) return send(res, errorReply(400, "the body is empty: it is the file to load"));
        JobUpload u = std::get<JobUpload>(parsed);
        try {
            u.folder = madeUploadFolder();
            std::ofstream out(u.path(), std::ios::binary);
            out.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
            out.close();
            if (!out) throw std::runtime_error("cannot write " + u.path());
        } catch (const std::exception& e) {
            return send(res, errorReply(503, std::string("the upload could not be kept: ") + e.what()));
        }
        send(res, onLogic([this, u] { return loadJob(u); }));
    });
    server.Get(R"(/api/v1/runs/(\d{1,9}))", [this](const Request& req, Response& res) {
        const int id = std::stoi(req.matches[1]);
        send(res, onLogic([this, id] { return runReply(id); }));
    });
    server.Get("/api/v1/events", [this](const Request& req, Response& res) { serveEvents(req, res); });
    // Read on the server's thread through a connection of its own: the
    // logic thread and the records' writer are not held up.
    server.Get("/api/v1/records", [this](const Request& req, Response& res) {
        auto parsed = parseRecordQuery(req.params);
        if (auto* bad = std::get_if<Reply>(&parsed)) return send(res, *bad);
        Reply r;
        r.body = JsonObject::array();
        struct stat st {};
        if (::stat(recordsPath.c_str(), &st) != 0 && errno == ENOENT) return send(res, r);  // none kept yet
        try {
            for (const ProductionRecord& rec : openRecordSource(recordsPath)->query(std::get<RecordFilter>(parsed)))
                r.body.push_back(recordJson(rec));
        } catch (const std::exception& e) {
            r = errorReply(503, std::string("the production records cannot be read: ") + e.what());
        }
        send(res, r);
    });
    server.Get("/metrics", [this](const Request&, Response& res) {
        const Reply r = onLogic([this] {
            int connected = 0, busy = 0;
            for (int s = 0; s < 8; ++s) {
                connected += engine.channelState(s).connected;
                busy += engine.channelState(s).busy;
            }
            StationMetrics::Records records;
            if (app.recordWriter) {
                records.waiting = app.recordWriter->waiting();
                records.dropped = app.recordWriter->dropped();
            }
            records.problems = app.recordsFailures;
            records.forwarding = app.recordForwarder != nullptr;
            if (app.recordForwarder) records.forwarded = app.recordForwarder->forwarded();
            return Reply{200, JsonObject(metrics.text(connected, busy, records)), {}};
        });
        if (r.status != 200) return send(res, r);
        res.set_content(r.body.get<std::string>(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

void StationService::Impl::serveEvents(const httplib::Request& req, httplib::Response& res) {
    // Without Last-Event-ID the stream begins with the next event; with it,
    // after that event (all that is kept, when the number is of an earlier
    // start of the station).
    uint64_t after = ring.lastId();
    if (req.has_header("Last-Event-ID")) {
        int64_t id = -1;
        if (!tryParseInt64(req.get_header_value("Last-Event-ID"), id) || id < 0)
            return send(res, errorReply(400, "Last-Event-ID is not an event number"));
        after = static_cast<uint64_t>(id) > after ? 0 : static_cast<uint64_t>(id);
    }
    if (streams.fetch_add(1) >= opt.maxStreams) {
        streams.fetch_sub(1);
        return send(res, errorReply(503, format("the station serves %d event streams at once", opt.maxStreams)));
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider("text/event-stream", [this, after, first = true](size_t, httplib::DataSink& sink) mutable {
        // The first write sends the headers at once, with the client's retry time.
        std::string text = first ? "retry: 1000\n\n" : "";
        // A stream behind catches up in writes of kStreamBatch events: each
        // is made in the memory of one of the allocator's arenas, which
        // keeps its largest (a hundred streams writing 500 events at a time
        // grew the station by 7 MB over a minute of production).
        const EventRing::Batch b = ring.after(after, std::chrono::milliseconds(first ? 0 : 1000), kStreamBatch);
        text.reserve(text.size() + b.events.size() * 400);
        first = false;
        if (b.gap) text += ": some events had left the ring already\n\n";
        for (const auto& [id, json] : b.events) {
            text += "id: " + std::to_string(id) + "\ndata: " + *json + "\n\n";
            after = id;
        }
        if (b.closed && b.events.empty()) {
            sink.done();
            return true;
        }
        // A comment now and then finds a client that went away.
        if (text.empty()) text = ": keep-alive\n\n";
        return sink.write(text.data(), text.size());
    }, [this](bool) { streams.fetch_sub(1); });
}

}  // namespace kvx
