// A running emulator in a fresh folder for one test.
#pragma once

#include "sim/sim_server.h"
#include "sim_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdlib.h>

namespace simtest {

inline std::string freshDir() {
    char tmpl[] = "/tmp/kvxsimXXXXXX";
    char* d = mkdtemp(tmpl);
    return d ? d : "";
}

class SimFixture : public ::testing::Test {
protected:
    void TearDown() override {
        if (server) server->stop();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    // Starts `units` units; tune lets a test set options first.
    void startSim(int units, const std::function<void(kvx::SimOptions&)>& tune = {}) {
        dir = freshDir();
        kvx::SimOptions o;
        o.units = units;
        o.dir = dir;
        o.unit.assign(static_cast<size_t>(units), kvx::SimUnitOptions{});
        if (tune) tune(o);
        server = std::make_unique<kvx::SimServer>(o);
        server->start();
    }
    std::unique_ptr<TestPort> open(int slot = 0, bool exclusive = false) {
        return std::make_unique<TestPort>(server->portPath(slot), exclusive);
    }

    // The trace so far, for failure messages.
    std::string traceText() const {
        std::string t;
        if (server)
            for (const auto& e : server->trace().events()) t += e.toJson() + "\n";
        return t;
    }

    std::string dir;
    std::unique_ptr<kvx::SimServer> server;
};

}  // namespace simtest
