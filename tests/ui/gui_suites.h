// The window's test suites: each file registers its Qt Test class, and one
// main runs them all in one application.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace kvx::test {

using GuiSuiteFactory = std::function<std::unique_ptr<QObject>()>;

inline std::vector<GuiSuiteFactory>& guiSuites() {
    static std::vector<GuiSuiteFactory> suites;
    return suites;
}

struct GuiSuiteRegistration {
    explicit GuiSuiteRegistration(GuiSuiteFactory f) { guiSuites().push_back(std::move(f)); }
};

}  // namespace kvx::test

#define KORVEX_GUI_SUITE(Class) \
    static const kvx::test::GuiSuiteRegistration Class##Registration([] { return std::unique_ptr<QObject>(new Class); })
