// korvex200 --listen: the station service over the window's own engine, so
// that the window's operator and remote clients see one station. A run is
// refused to a remote controller while the operator's runs, and the
// operator's controls give the job's settings of every remote run.
#pragma once

#include "service/station_service.h"

#include <memory>
#include <string>

namespace kvx {

// Starts serving on host:port (0: any free port); throws
// std::runtime_error saying why it could not. Made after the window's
// start-up, on the window's thread.
std::unique_ptr<StationService> startWindowStation(KorvexApp& app, const std::string& host, int port,
                                                   const std::string& project = {});

}  // namespace kvx
