// Program entry: the application, the main window and the long-lived dialogs,
// then the event loop until the main window closes (Exit, the window's close
// button, or SIGTERM, SIGHUP or SIGINT).
#include "app/korvex_app.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/qt_prompts.h"
#include "ui/shutdown_signals.h"
#include "ui/window_station.h"
#include "shell/text.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QTimer>

#include <CLI/CLI.hpp>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {
// The window's command line: an optional project file, and the picture
// options for the documentation. Parsed before the window system is touched,
// so --help and --version work without a display.
struct WindowOptions {
    std::vector<std::string> projects;  // the first is loaded, the others ignored
    std::string shot;
    int quitAfter = 0;
    // --listen: the station on the network, served over the window's engine.
    bool listen = false;
    std::string listenHost = "127.0.0.1";
    int listenPort = 8200;
};

int parseWindowOptions(int argc, char** argv, WindowOptions& w) {
    CLI::App cli("Usage: korvex200 [OPTIONS] [PROJECT.pmw]\n\n"
                 "The window of the Korvex200 gang programmer. PROJECT.pmw is a project file to load at start-up;\n"
                 "further arguments are ignored. After --, every argument is a file name.",
                 "korvex200");
    struct Layout : CLI::Formatter {
        std::string make_usage(const CLI::App*, std::string) const override { return "\n"; }
    };
    cli.formatter(std::make_shared<Layout>());
    cli.get_formatter()->column_width(30);
    cli.set_help_flag("-h,--help", "show this help and exit");
    bool version = false;
    cli.add_flag("-V,--version", version, "show the version and exit");
    // Every argument that is no option of the window (a name beginning with
    // '-' included, as the window has always taken it) is a project name.
    cli.allow_extras();
    cli.add_option("--screenshot", w.shot, "save a picture of the window to FILE, then quit")->type_name("FILE");
    cli.add_option("--quit-after", w.quitAfter, "quit after MS milliseconds (with --screenshot: take it then)")
        ->type_name("MS");
    std::string listen;
    CLI::Option* listenOption =
        cli.add_option("--listen", listen,
                       "serve the station's HTTP API and web page, by default on 127.0.0.1:8200\n"
                       "(--listen=ADDR:PORT elsewhere); a remote run is refused while\nthe operator runs one")
            ->type_name("[ADDR:PORT]")
            ->expected(0, 1);
    cli.footer("The configuration (ZirIvoD.cfg, ports.map) and the logs are kept beside the program when it runs\n"
               "from a writable folder, else in $XDG_CONFIG_HOME/korvex200 and $XDG_STATE_HOME/korvex200.");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(cli.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "korvex200: %s\nTry korvex200 --help.\n", e.what());
        return 2;
    }
    w.projects = cli.remaining();
    if (listenOption->count() > 0) {
        w.listen = true;
        std::string why;
        if (!listen.empty() && !kvx::parseListenAddress(listen, w.listenHost, w.listenPort, why)) {
            std::fprintf(stderr, "korvex200: --listen %s: %s\nTry korvex200 --help.\n", listen.c_str(), why.c_str());
            return 2;
        }
    }
    // "--" ends the options: it is no name itself.
    if (auto dd = std::find(w.projects.begin(), w.projects.end(), "--"); dd != w.projects.end()) w.projects.erase(dd);
    if (w.quitAfter < 0) {
        std::fprintf(stderr, "korvex200: --quit-after takes 0 or more milliseconds\nTry korvex200 --help.\n");
        return 2;
    }
    if (version) {
        std::printf("korvex200 %s (Korvex200 host for Linux)\n", KORVEX_VERSION);
        return 0;
    }
    return -1;
}
}  // namespace

int main(int argc, char** argv) {
    WindowOptions options;
    if (int status = parseWindowOptions(argc, argv, options); status >= 0) return status;
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

    // --screenshot FILE [--quit-after MS]: saves a picture of the window (for
    // the documentation and for checks without a display) and quits.
    const std::string shot = options.shot;
    const int quitAfter = options.quitAfter;
    std::vector<std::string> rest;
    rest = options.projects;

    kvx::TKorvexMGxPrg win(app, rest);
    prompts.setParent(&win);
    // Served once start-up has found the units; ended before the program is.
    std::unique_ptr<kvx::StationService> station;
    if (options.listen)
        win.onStartedUp = [&] {
            const std::string where = kvx::format(options.listenHost.find(':') != std::string::npos ? "http://[%s]:%d/" : "http://%s:%d/",
                                                  options.listenHost.c_str(), options.listenPort);
            try {
                station = kvx::startWindowStation(app, options.listenHost, options.listenPort,
                                                  rest.empty() ? std::string() : std::filesystem::path(rest[0]).filename().string());
                app.AppendInfoLine("Station served on " + where);
            } catch (const std::exception& e) {
                app.AppendInfoLine(e.what());
                std::fprintf(stderr, "korvex200: %s\n", e.what());
                prompts.warning(e.what());
            }
        };
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
            app.quit(false);
        });
        t->start();
    }
    // A signal to end closes the window as the Exit button does, without
    // asking: a shut-down of the system has nobody to answer.
    kvx::ShutdownSignals shutdown([&app] { app.quit(false); }, kvx::ShutdownSignals::Afterwards::Ignore);
    win.show();
    const int status = QApplication::exec();
    station.reset();
    return status;
}
