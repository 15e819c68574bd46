// The station on the network: an HTTP/1.1 API over the same engine the
// window and korvex-cli drive (docs/api.md). The server runs on threads of
// its own; every look at the engine and every start of a run is posted to
// the logic thread and answered back through a future, and the engine's
// events reach the event stream through a ring the logic thread fills.
#pragma once

#include "link/records.h"

#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace kvx {

class KorvexApp;

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8200;  // 0: any free port (port() tells which)
    // The bearer token's file; empty: api.token in the configuration folder.
    std::string tokenFile;
    // The job the runs start with, and the project it came from (for the
    // start events).
    JobSettings settings;
    std::string project;
    // The job's settings for a run about to start, or why there are none:
    // the front end's (korvex-cli's options over the job; the window's
    // controls). Unset: `settings`.
    std::function<std::variant<JobSettings, std::string>()> jobSettings;
    size_t eventsKept = 10000;
    size_t maxBody = 64 * 1024;      // of a request's JSON body
    size_t maxUpload = 32u << 20;    // of a job uploaded by PUT /api/v1/job
    int maxStreams = 128;            // event-stream clients served at once
};

class StationService {
public:
    // Made on the logic thread, after the app's start-up: it listens to the
    // engine's events from now on.
    StationService(KorvexApp& app, ServiceOptions options);
    ~StationService();
    StationService(const StationService&) = delete;
    StationService& operator=(const StationService&) = delete;

    // Reads or makes the token, opens the socket and starts serving; throws
    // std::runtime_error saying why it could not.
    void start();
    // The port it listens on.
    int port() const;
    // Ends the event streams and the server's threads; the channels a run
    // still holds end as interrupted when the program closes after it.
    void stop();

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kvx
