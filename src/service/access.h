// Who may use the station's API: reading is open to clients on this
// machine; control, and every request from elsewhere, needs the bearer
// token kept in the configuration folder (api.token, mode 0600).
#pragma once

#include <string>

namespace kvx {

constexpr const char* kApiTokenFileName = "api.token";

// The token in `path`, or, when there is no such file, a new one made of 32
// random bytes as 64 hexadecimal digits, written there with mode 0600.
// Throws std::runtime_error saying why when the file is empty, cannot be
// read or written, or others than its owner may read it.
std::string loadOrMakeToken(const std::string& path);

// The request's Authorization header gives the token as "Bearer TOKEN"
// (compared in time that does not depend on where they differ).
bool bearerMatches(const std::string& authorization, const std::string& token);

// The peer address is this machine's loopback (127.0.0.0/8, ::1, or an
// IPv4 loopback address mapped into IPv6).
bool isLoopback(const std::string& address);

}  // namespace kvx
