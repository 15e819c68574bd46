// Program entry: the application, the main window and the long-lived dialogs,
// then the event loop until the main window closes.
#include "app/korvex_app.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/qt_prompts.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName("korvex200");
    // Prefer a font with Simplified Chinese glyphs.
    for (const char* family : {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC"}) {
        if (QFontDatabase::families().contains(family)) {
            QFont f(family);
            f.setPixelSize(12);
            QApplication::setFont(f);
            break;
        }
    }

    kvx::QtEventLoop loop;
    kvx::QtPrompts prompts(loop, nullptr);
    kvx::SystemClock clock;
    kvx::SystemRandom rng;
    kvx::KorvexApp app(loop, prompts, clock, rng);

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    // --screenshot FILE [--quit-after MS]: saves a picture of the window (for
    // the documentation and for checks without a display) and quits.
    std::string shot;
    int quitAfter = 0;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--screenshot" && i + 1 < args.size()) shot = args[++i];
        else if (args[i] == "--quit-after" && i + 1 < args.size()) quitAfter = std::atoi(args[++i].c_str());
        else rest.push_back(args[i]);
    }

    kvx::TKorvexMGxPrg win(app, rest);
    prompts.setParent(&win);
    kvx::bindApplicationTitle(app, prompts);
    if (!shot.empty() || quitAfter > 0) {
        // A message box open at that moment (the missing firmware file at
        // start-up) is answered first, so the picture shows the window.
        QTimer* t = new QTimer(&win);
        t->setInterval(100);
        QObject::connect(t, &QTimer::timeout, &win, [&, t, started = std::chrono::steady_clock::now()] {
            if (QWidget* m = QApplication::activeModalWidget()) {
                m->close();
                return;
            }
            if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(quitAfter > 0 ? quitAfter : 1500))
                return;
            t->stop();
            if (!shot.empty()) win.grab().save(QString::fromStdString(shot));
            win.close();
        });
        t->start();
    }
    win.show();
    return QApplication::exec();
}
