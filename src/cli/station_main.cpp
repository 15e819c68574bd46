// korvex-station: korvex-cli with the station service behind `serve`. It is
// a program of its own so that the HTTP library, and the TLS and compression
// libraries it is built with, are loaded only by the runs that serve.
#include "cli/cli.h"
#include "service/station_service.h"

#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    kvx::cli::setStationStarter([](kvx::KorvexApp& app, const kvx::ServiceOptions& options) {
        auto station = std::make_shared<kvx::StationService>(app, options);
        station->start();
        return kvx::cli::StationHandle{station->port(), [station] { station->stop(); }};
    });
    std::vector<std::string> args(argv + 1, argv + argc);
    return kvx::cli::run(args, std::cout, std::cerr);
}
