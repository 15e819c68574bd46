// The main window over the program, for the window's tests: with scripted
// prompts (boxes answered from a script) or with the Qt layer's own prompts
// (real boxes and dialogs), and the table of the program's dialogs.
#pragma once

#include "app/chip_select_form.h"
#include "app/korvex_app.h"
#include "shell/scripted_prompts.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/qt_prompts.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>

namespace kvx::test {

struct WindowRig {
    QtEventLoop loop;
    ScriptedPrompts prompts;
    SystemClock clock;
    SeededRandom rng{1};
    KorvexApp app{loop, prompts, clock, rng};
    TKorvexMGxPrg win{app, {}};
};

// Mouse actions sent to the window the widget lies in, as the window system
// sends them: Qt then makes the press, release and double-click events and
// delivers them through its filters and propagation.
inline QPoint inWindow(QWidget* w, QPoint at) { return w->window()->windowHandle()->mapFromGlobal(w->mapToGlobal(at)); }
inline void windowClick(QWidget* w, QPoint at, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mouseClick(w->window()->windowHandle(), b, {}, inWindow(w, at));
}
inline void doubleClick(QWidget* w, QPoint at) {
    QTest::mouseDClick(w->window()->windowHandle(), Qt::LeftButton, {}, inWindow(w, at));
}

// Runs fn on the next modal window other than `besides` once it is open and
// active, as an operator meets it, from inside its own event loop (the caller
// then opens it). A window the step left open (a check inside it failed) is
// closed, so a failure never leaves the test waiting in the window's own loop.
inline void onNextModal(std::function<void(QWidget*)> fn, QWidget* besides = nullptr) {
    auto* t = new QTimer;
    t->setInterval(10);
    QPointer<QWidget> skip(besides);
    auto waited = std::make_shared<int>(0);
    QObject::connect(t, &QTimer::timeout, [t, fn, skip, besides, waited] {
        QWidget* m = QApplication::activeModalWidget();
        if (!m || !m->isVisible() || (besides && m == skip)) return;
        // Keys typed into a window not yet active reach its widgets without
        // the focus changes an operator's click brings (a busy machine
        // activates it late); a window that never becomes active is used
        // after a second all the same.
        if (!m->isActiveWindow() && ++*waited < 100) return;
        t->stop();
        t->deleteLater();
        QPointer<QWidget> open(m);
        fn(m);
        if (open && open->isVisible() && QApplication::activeModalWidget() == open) open->close();
    });
    t->start();
}

// The window with the Qt layer's own prompts: boxes and dialogs are real.
struct QtRig {
    QtEventLoop loop;
    QtPrompts prompts{loop, nullptr};
    SystemClock clock;
    SeededRandom rng{1};
    KorvexApp app{loop, prompts, clock, rng};
    TKorvexMGxPrg win{app, {}};
    QtRig() {
        prompts.setParent(&win);
        bindApplicationTitle(app, prompts);
    }
    // Shows the window; its start-up says the firmware file is missing, in a
    // box the operator closes.
    bool show() {
        bool closed = false;
        onNextModal([&](QWidget* box) {
            box->close();
            closed = true;
        });
        win.show();
        if (!QTest::qWaitFor([&] { return closed; }, 20000)) return false;
        win.activateWindow();
        return QTest::qWaitForWindowActive(&win);
    }
};

// Every dialog of the program, made as its command makes it.
struct DialogCase {
    const char* name;
    std::function<Form&(KorvexApp&, Prompts&, std::unique_ptr<Form>& made)> form;
};
inline const DialogCase kDialogs[] = {
    {"TChipSelForm",
     [](KorvexApp& app, Prompts&, std::unique_ptr<Form>& made) -> Form& {
         made = std::make_unique<TChipSelForm>(app.engine.chip);
         return *made;
     }},
    {"TSetAddressForm",
     [](KorvexApp& app, Prompts& prompts, std::unique_ptr<Form>& made) -> Form& {
         static uint32_t address = 0;
         static uint16_t length = 0;
         address = app.engine.lastReadAddress();
         length = app.engine.lastReadLength();
         made = std::make_unique<TSetAddressForm>(prompts, address, length);
         return *made;
     }},
    {"TFormOfsAddr", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.ofsAddrForm; }},
    {"TConfigSNForm", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.snForm; }},
    {"TLogCfgForm", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.logForm; }},
    {"TCfgCPTxOptForm", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.optionForm; }},
    {"TAboutForm", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.about; }},
    {"TRecordsForm", [](KorvexApp& app, Prompts&, std::unique_ptr<Form>&) -> Form& { return app.recordsForm; }},
};

}  // namespace kvx::test
