// Runs every registered window test suite in one application; the exit
// status is non-zero when any suite failed.
#include "ui/gui_suites.h"

#include <QApplication>
#include <QTest>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    int failed = 0;
    for (auto& make : kvx::test::guiSuites()) {
        std::unique_ptr<QObject> suite = make();
        failed += QTest::qExec(suite.get(), argc, argv) != 0;
    }
    return failed;
}
