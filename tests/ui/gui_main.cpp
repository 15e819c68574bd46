// Runs the registered window test suites in one application.
//   gui_tests                      every suite
//   gui_tests --list               each test function as Suite::function
//   gui_tests FUNCTION [ARGS...]   that function alone ("Suite::function", or
//                                  a bare name when one suite has it); ARGS
//                                  go to Qt Test
// The exit status is non-zero when a test failed or the function is unknown.
#include "ui/gui_suites.h"

#include <QApplication>
#include <QMetaMethod>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kvx::test::GuiSuite;

bool isTestFunction(const QMetaMethod& m) {
    if (m.methodType() != QMetaMethod::Slot || m.access() != QMetaMethod::Private || m.parameterCount() != 0)
        return false;
    const QByteArray name = m.name();
    return name != "initTestCase" && name != "cleanupTestCase" && name != "init" && name != "cleanup" &&
           !name.endsWith("_data");
}

std::vector<std::string> functionsOf(const GuiSuite& s) {
    std::vector<std::string> v;
    for (int i = s.meta->methodOffset(); i < s.meta->methodCount(); ++i)
        if (isTestFunction(s.meta->method(i))) v.push_back(s.meta->method(i).name().toStdString());
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const GuiSuite& s : kvx::test::guiSuites())
            for (const std::string& f : functionsOf(s)) std::printf("%s::%s\n", s.meta->className(), f.c_str());
        return 0;
    }
    // A first argument that names a function picks the suites that have it.
    std::string suiteName, function;
    if (argc >= 2 && argv[1][0] != '-') {
        function = argv[1];
        if (size_t at = function.find("::"); at != std::string::npos) {
            suiteName = function.substr(0, at);
            function = function.substr(at + 2);
        }
    }
    std::vector<const GuiSuite*> chosen;
    for (const GuiSuite& s : kvx::test::guiSuites()) {
        if (function.empty()) {
            chosen.push_back(&s);
            continue;
        }
        if (!suiteName.empty() && suiteName != s.meta->className()) continue;
        for (const std::string& f : functionsOf(s))
            if (f == function) chosen.push_back(&s);
    }
    if (!function.empty() && chosen.empty()) {
        std::fprintf(stderr, "gui_tests: no test function %s (gui_tests --list names them)\n", argv[1]);
        return 1;
    }
    // Qt Test gets the function's bare name in place of the first argument.
    std::string bare = function;
    std::vector<char*> args(argv, argv + argc);
    if (!function.empty()) args[1] = bare.data();
    int n = static_cast<int>(args.size());

    QApplication app(n, args.data());
    app.setAttribute(Qt::AA_Use96Dpi, true);
    int failed = 0;
    for (const GuiSuite* s : chosen) {
        std::unique_ptr<QObject> suite = s->make();
        failed += QTest::qExec(suite.get(), n, args.data()) != 0;
    }
    return failed;
}
