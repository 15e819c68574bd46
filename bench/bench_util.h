// Small measuring helpers shared by the benchmarks.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kvx::bench {

// CPU time (user + system) this process has used so far, in seconds.
inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The calling thread's time on a core and waiting for one, from the
// scheduler's statistics.
struct ThreadTimes {
    double ranMs = 0, waitedMs = 0;
};
inline ThreadTimes threadTimes() {
    ThreadTimes t;
    unsigned long long ran = 0, waited = 0;
    if (FILE* f = std::fopen("/proc/thread-self/schedstat", "r")) {
        if (std::fscanf(f, "%llu %llu", &ran, &waited) == 2) t = {ran / 1e6, waited / 1e6};
        std::fclose(f);
    }
    return t;
}

// Resident memory now, from /proc/self/statm.
inline double residentMB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A benchmark's command line: -h or --help prints `usage` and ends the
// program; options are "--name VALUE" pairs of `names`, then up to
// `maxOperands` operands. Anything else ends it with status 2: a mistyped
// option must not start an hour-long run with the defaults.
struct BenchArgs {
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
    int number(const std::string& name, int fallback) const {
        auto it = options.find(name);
        return it == options.end() ? fallback : std::atoi(it->second.c_str());
    }
    std::string text(const std::string& name, const std::string& fallback) const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

inline BenchArgs benchArgs(int argc, char** argv, const char* usage, const std::set<std::string>& names,
                           size_t maxOperands = 0) {
    BenchArgs a;
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "%s: %s\n%s", argv[0], why.c_str(), usage);
        std::exit(2);
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (arg.rfind("--", 0) == 0) {
            if (!names.count(arg)) fail("unknown option " + arg);
            if (i + 1 >= argc) fail(arg + " needs a value");
            a.options[arg] = argv[++i];
        } else if (a.operands.size() < maxOperands) {
            a.operands.push_back(arg);
        } else {
            fail("unexpected argument " + arg);
        }
    }
    return a;
}

}  // namespace kvx::bench
