// korvex-sim: emulated Korvex200 programmer units on pseudo-terminals.
#include "sim/sim_options.h"
#include "sim/sim_server.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kvx::SimCommandLine cl = kvx::parseSimCommandLine(args);
    if (cl.help) {
        std::fputs(kvx::simHelpText().c_str(), stdout);
        return 0;
    }
    if (cl.version) {
        std::fputs(kvx::simVersionText().c_str(), stdout);
        return 0;
    }
    if (!cl.error.empty()) {
        std::fprintf(stderr, "korvex-sim: %s\nTry korvex-sim --help.\n", cl.error.c_str());
        return 2;
    }

    // The signals are taken by sigwait below; the unit threads inherit the
    // blocked mask so none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // A long-running emulator keeps no trace in memory (it would grow with
    // every frame); --trace writes it to a file.
    cl.options.traceInMemory = false;
    kvx::SimServer server(cl.options);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvex-sim: %s\n", e.what());
        return 1;
    }
    for (int i = 0; i < server.units(); ++i)
        std::printf("%s -> %s\n", server.portPath(i).c_str(), server.devicePath(i).c_str());
    if (server.lineRate() > 0)
        std::printf("paced at %.0f bytes/s per unit\n", server.lineRate());
    std::printf("ready\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.stop();
    std::printf("stopped (signal %d)\n", sig);
    return 0;
}
