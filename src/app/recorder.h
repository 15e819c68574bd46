// Turns the engine's events into production records: one per channel
// operation (begun at its first step, ended by its result, with the UID
// met on the way) and one per chip off-line production counts.
// The window and the command line both record through it. It knows only the
// events: every fact of a record comes from what the engine reported.
#pragma once

#include "engine/events.h"
#include "records/record.h"

#include <array>
#include <functional>
#include <optional>
#include <string>

namespace kvx {

class Recorder {
public:
    using Sink = std::function<void(ProductionRecord)>;
    // station: the station's name for each record.
    Recorder(std::string station, Sink sink);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void onEvent(const EngineEvent& e);

private:
    ProductionRecord& open(const EventHeader& at, const std::string& operation);
    std::string station_;
    Sink sink_;
    std::array<std::optional<ProductionRecord>, 8> open_;
    std::array<int64_t, 8> lastOffline_{};
};

// The station's name: $KORVEX_STATION, else the host name.
std::string defaultStationName();

}  // namespace kvx
