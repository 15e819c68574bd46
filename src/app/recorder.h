// Turns the engine's events into production records: one per channel
// operation (begun at its first step, ended by its result, with the UID and
// serial number met on the way) and one per chip off-line production counts.
// The window and the command line both record through it.
#pragma once

#include "engine/program.h"
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
    Recorder(Program& engine, std::string station, Sink sink);
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    static int64_t nowMs();

private:
    void onEvent(const EngineEvent& e);
    ProductionRecord& open(int slot, uint8_t step);
    Program& engine_;
    std::string station_;
    Sink sink_;
    std::array<std::optional<ProductionRecord>, 8> open_;
    std::array<int64_t, 8> lastOffline_{};
};

// The operation a channel's first step belongs to, as the command line
// names it ("program", "blank-check", ...).
const char* operationName(uint8_t firstStep, bool autoSequence);

// The station's name: $KORVEX_STATION, else the host name.
std::string defaultStationName();

}  // namespace kvx
