// The station's web page at "/": the eight sockets with their unit, step,
// progress and last result, live from the event stream; today's yield; the
// last results; a start button for a client with the token. English, or
// Chinese when the browser asks for it.
#pragma once

namespace kvx {

extern const char* const kStationPage;

}  // namespace kvx
