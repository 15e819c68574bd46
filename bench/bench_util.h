// Small measuring helpers shared by the benchmarks.
#pragma once

#include <sys/resource.h>

namespace kvx::bench {

// CPU time (user + system) this process has used so far, in seconds.
inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace kvx::bench
