// The window's test suites: each file registers its Qt Test class, and one
// main runs them all in one application.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace kvx::test {

using GuiSuiteFactory = std::function<std::unique_ptr<QObject>()>;

// A suite: its class (to list its test functions without making it) and a
// factory.
struct GuiSuite {
    const QMetaObject* meta;
    GuiSuiteFactory make;
};

inline std::vector<GuiSuite>& guiSuites() {
    static std::vector<GuiSuite> suites;
    return suites;
}

struct GuiSuiteRegistration {
    GuiSuiteRegistration(const QMetaObject* meta, GuiSuiteFactory f) { guiSuites().push_back({meta, std::move(f)}); }
};

}  // namespace kvx::test

#define KORVEX_GUI_SUITE(Class) \
    static const kvx::test::GuiSuiteRegistration Class##Registration(&Class::staticMetaObject, \
                                                                     [] { return std::unique_ptr<QObject>(new Class); })
