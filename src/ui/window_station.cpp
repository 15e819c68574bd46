#include "ui/window_station.h"

#include "app/korvex_app.h"
#include "shell/text.h"

namespace kvx {

std::unique_ptr<StationService> startWindowStation(KorvexApp& app, const std::string& host, int port,
                                                   const std::string& project) {
    ServiceOptions o;
    o.host = host;
    o.port = port;
    o.project = project;
    // The controls as they stand when the run starts, read as the window's
    // launch reads them, without a box: a value that cannot be read refuses
    // the run with why.
    o.jobSettings = [&app]() -> std::variant<JobSettings, std::string> {
        try {
            return jobSettingsOf(app.jobOptions(), app.engine.job, app.engine.chip.vendor);
        } catch (const ConvertError& e) {
            return std::string("the window's job settings cannot be read: ") + e.what();
        }
    };
    auto station = std::make_unique<StationService>(app, o);
    station->start();
    return station;
}

}  // namespace kvx
