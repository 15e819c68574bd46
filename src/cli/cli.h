// korvex-cli: the same program without a window, for scripts, line
// controllers and terminals. It drives the core exactly as the window does
// (same handlers, texts, log lines, log and project files) through the plain
// event loop and prompts that answer by fixed rules.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace kvx {
class KorvexApp;
struct ServiceOptions;
}  // namespace kvx

namespace kvx::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitChannelFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoUnits = 3;         // no programmer unit answered the search
// Ctrl+C, SIGTERM or SIGHUP, or standard output's reader went away (after
// the ports were closed and the records and logs written). Not 141: that is
// what a shell shows for a program SIGPIPE killed, records and logs lost.
constexpr int kExitInterrupted = 130;

// Runs the front end with the given arguments (without the program name);
// writes to out and err. Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The station behind `serve` (src/service). Only korvex-station links it,
// with the HTTP library and the TLS libraries under it; korvex-cli hands
// `serve` over to that program, so that no other start loads them. The
// starter serves or throws std::runtime_error saying why not; the handle
// gives the port and stops the station.
struct StationHandle {
    int port = 0;
    std::function<void()> stop;
};
using StationStarter = std::function<StationHandle(KorvexApp& app, const ServiceOptions& options)>;
void setStationStarter(StationStarter starter);

std::string helpText();
std::string versionText();

}  // namespace kvx::cli
