// A production record as korvex-cli records --json and the station's
// /api/v1/records give it: one JSON object, with the record's English reason.
#pragma once

#include "records/record.h"
#include "shell/json_lines.h"

namespace kvx {

// The stable English word for how a record's operation ended.
const char* recordReason(const ProductionRecord& r);

JsonObject recordJson(const ProductionRecord& r);

}  // namespace kvx
