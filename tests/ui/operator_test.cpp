// The window as an operator meets it: real mouse and key events sent to the
// real widgets (so Qt's event filters and propagation run), the real message
// boxes and dialogs of the Qt layer, emulated units where a run is needed.
#include "app/chip_select_form.h"
#include "app/korvex_app.h"
#include "chip/catalogue.h"
#include "shell/scripted_prompts.h"
#include "shell/text.h"
#include "ui/form_view.h"
#include "ui/log_view.h"
#include "ui/gui_suites.h"
#include "image/object_files.h"
#include "records/record_store.h"
#include "sim/sim_server.h"
#include "ui/window_rig.h"
#include "ui/window_station.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"
#include "ui/qt_prompts.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QLabel>
#include <QListView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <future>

#include <filesystem>


using namespace kvx;
using kvx::test::onNextModal;
using kvx::test::QtRig;
using kvx::test::doubleClick;
using kvx::test::kDialogs;

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

template <typename T = QWidget>
T* child(QWidget* w, const char* name) {
    return w->findChild<T*>(name);
}

void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }

// A right press as the window system delivers it: the press, then the
// request for the context menu at the same point.
void rightClick(QWidget* w, QPoint at) {
    QTest::mousePress(w, Qt::RightButton, {}, at);
    QContextMenuEvent e(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &e);
    QTest::mouseRelease(w, Qt::RightButton, {}, at);
}

QMenu* openMenu(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<QMenu*>(w); m && m->isVisible() && m->objectName() == name) return m;
    return nullptr;
}

void pick(QMenu* m, const char* actionName) {
    for (QAction* a : m->actions())
        if (a->objectName() == actionName) {
            QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(a).center());
            return;
        }
    QFAIL(qPrintable(QString("no item %1").arg(actionName)));
}


// Two emulated units where the window's search finds them, each taking
// programMs for a 4 KB block (0: at once).
struct TwoUnits {
    QTemporaryDir dir;
    std::unique_ptr<SimServer> sim;
    explicit TwoUnits(int programMs = 0) {
        SimOptions o;
        o.units = 2;
        o.dir = folder() + "ports";
        o.unit.resize(2);
        for (auto& u : o.unit) u.programMs = programMs;
        sim = std::make_unique<SimServer>(o);
        sim->start();
        setenv("KORVEX_SERIAL_DIR", o.dir.c_str(), 1);
    }
    ~TwoUnits() {
        unsetenv("KORVEX_SERIAL_DIR");
        sim->stop();
    }
    std::string folder() const { return dir.path().toStdString() + "/"; }
};

// The window shown over the units, its search done, the first SC chip
// chosen and `bytes` of 0x5A loaded from the chip's first flash address.
bool showWithJob(QtRig& r, const TwoUnits& units, size_t bytes) {
    r.app.programFolder = units.folder();
    if (!r.show() || !QTest::qWaitFor([&] { return r.app.engine.devicesFound() == 2; }, 20000)) return false;
    chooseChip(r.app.engine.chip, ChipVendor::SC, 0);
    r.app.applyChipDefaults();
    std::vector<uint8_t> image(bytes, 0x5A);
    const std::string hex = units.folder() + "image.hex";
    const uint32_t first = r.app.engine.chip.flashFirst;
    writeHexFile(hex, image.data(), first, first, first + static_cast<uint32_t>(bytes) - 1);
    return r.app.loadObjectFile(hex, true);
}

}  // namespace

class OperatorTest : public QObject {
    Q_OBJECT
private slots:
    void oneKeyPressIsOneLaunch();
    void spinEditsTakeTypedNumbersAtTheirLimits();
    void optionEditorBitPanelsAndPopup();
    void popupsOpenAtThePointer();
    void logSelectionIsWhatTheOperatorDragged();
    void captionsAreExactlyTheForms();
    void everyDialogClosesAsTheOperatorCloses();
    void verifyAbortEndsThatChannelAtOnce();
    void dataOutsideTheChipIsAskedAbout();
    void closingDuringARunAsksOnce();
    void remoteControllerSharesTheOperatorsStation();
};

// Enter (and Space, on widgets where it is not the widget's own click) on
// every focusable widget of the main window runs "自动" once: with no chip
// chosen that is exactly one "请选择并确认芯片型号！".
void OperatorTest::oneKeyPressIsOneLaunch() {
    test::WindowRig r;
    ScriptedPrompts& prompts = r.prompts;
    TKorvexMGxPrg& win = r.win;
    win.show();
    win.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&win));
    auto boxes = [&] { return prompts.count(ScriptedPrompts::Kind::Information); };
    int checked = 0;
    for (QWidget* w : win.findChildren<QWidget*>()) {
        if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisible() || !w->isEnabled() || w->focusProxy()) continue;
        if (qobject_cast<QLineEdit*>(w) && qobject_cast<QAbstractSpinBox*>(w->parentWidget())) continue;  // the spin box is the focus
        w->setFocus();
        if (QApplication::focusWidget() != w) continue;
        // A button takes these keys as its own click (the key reaches the
        // control, as it should); the others pass them on to their parents.
        if (qobject_cast<QPushButton*>(w) || qobject_cast<QToolButton*>(w)) continue;
        std::vector<Qt::Key> keys = {Qt::Key_Return, Qt::Key_Enter};
        if (!qobject_cast<QComboBox*>(w) && !qobject_cast<QAbstractButton*>(w)) keys.push_back(Qt::Key_Space);
        for (Qt::Key k : keys) {
            size_t before = boxes();
            QTest::keyClick(QApplication::focusWidget(), k);
            QVERIFY2(boxes() == before + 1, qPrintable(QString("%1 key %2: %3 launches")
                                                           .arg(w->objectName())
                                                           .arg(k)
                                                           .arg(boxes() - before)));
            QCOMPARE(prompts.texts(ScriptedPrompts::Kind::Information).back(), std::string("请选择并确认芯片型号！"));
            // The launcher leaves the focus where it puts it; the next press
            // starts from the widget again.
            w->setFocus();
        }
        ++checked;
    }
    QVERIFY(checked > 10);
    // Where the launcher puts the focus (a panel that ignores keys), the next
    // presses count once each too.
    QWidget* panel = win.view().widget("PanelBtns");
    for (int i = 0; i < 3; ++i) {
        size_t before = boxes();
        panel->setFocus();
        QWidget* at = QApplication::focusWidget() ? QApplication::focusWidget() : &win;
        QTest::keyClick(at, Qt::Key_Return);
        QVERIFY2(boxes() == before + 1, qPrintable(QString("on %1: %2 launches").arg(at->objectName()).arg(boxes() - before)));
    }
    // A held key (a foot switch): its repeats, flagged or not (on X11 most
    // are not), start nothing; the next press after the release does.
    for (Qt::Key k : {Qt::Key_Space, Qt::Key_Return}) {
        panel->setFocus();
        QWidget* at = QApplication::focusWidget() ? QApplication::focusWidget() : &win;
        const size_t before = boxes();
        for (int i = 0; i < 30; ++i) QTest::keyPress(at, k);
        QTest::keyRelease(at, k);
        QCOMPARE(boxes(), before + 1);
        QTest::keyClick(at, k);
        QCOMPARE(boxes(), before + 2);
    }
}

// A number typed into a spin edit is what the program uses, a number beyond
// the limits the nearest limit: in the main window when the edit is left, in
// the read-address dialog when OK is clicked or Enter pressed.
void OperatorTest::spinEditsTakeTypedNumbersAtTheirLimits() {
    QtRig r;
    QVERIFY(r.show());
    chooseChip(r.app.engine.chip, ChipVendor::SC, 0);
    r.app.applyChipDefaults();
    auto type = [](QAbstractSpinBox* s, const QString& text) {
        s->setFocus();
        QTest::keyClick(s, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(s, text);
    };
    int spins = 0;
    for (Control* c : r.app.ui.controls()) {
        if (c->kind() != ControlKind::SpinEdit) continue;
        auto* s = r.win.view().widgetAs<QAbstractSpinBox>(c->name());
        QVERIFY(s);
        // The operator turns to its page first.
        for (QWidget* page = s; page && page->parentWidget(); page = page->parentWidget())
            if (auto* tabs = qobject_cast<QTabWidget*>(page->parentWidget()->parentWidget());
                tabs && tabs->indexOf(page) >= 0)
                tabs->setCurrentWidget(page);
        if (!s->isVisible() || !s->isEnabled()) continue;
        const int64_t lo = c->minValue(), hi = c->maxValue(), mid = (lo + hi) / 2;
        for (auto [typed, kept] : {std::pair{lo - 1, lo}, std::pair{hi + 1, hi}, std::pair{hi * 10 + 5, hi},
                                   std::pair{mid, mid}}) {
            type(s, QString::number(typed));
            QTest::keyClick(s, Qt::Key_Tab);
            QVERIFY2(c->value() == kept, qPrintable(QString("%1: typed %2, holds %3").arg(qs(c->name())).arg(typed).arg(c->value())));
            QCOMPARE(s->text(), QString::number(kept));
        }
        ++spins;
    }
    QVERIFY(spins >= 3);

    // The read-address dialog: OK by mouse, and Enter in the edit.
    struct Case {
        const char* typed;
        uint16_t length;
        bool enter;
    };
    for (const Case& c : {Case{"8", 16, false}, Case{"5000", 4096, false}, Case{"100", 100, false}, Case{"9", 16, true}}) {
        uint32_t address = 0;
        uint16_t length = 40;
        TSetAddressForm form(r.prompts, address, length);
        onNextModal([&](QWidget* dlg) {
            auto* s = child<QAbstractSpinBox>(dlg, "SpinEditRD");
            type(s, c.typed);
            if (c.enter) QTest::keyClick(s, Qt::Key_Return);
            else click(child(dlg, "BitBtnOK"));
        });
        QVERIFY(r.prompts.showModal(form));
        QCOMPARE(length, c.length);
    }
}

// A press with either button on a bit panel chooses the bit; the right one
// opens the pop-up at the pointer, whose "0" and "1" set it.
void OperatorTest::optionEditorBitPanelsAndPopup() {
    QtRig r;
    uint8_t* opt = r.app.engine.image->OptionBytesBuffer();
    std::fill(opt, opt + 16, 0xFF);
    struct Step {
        const char* panel;
        Qt::MouseButton press;  // chooses the bit (a left press before the right click)
        const char* item;
        const char* value;   // the row's value panel afterwards
        const char* caption;  // the bit panel's caption afterwards
    };
    const std::vector<Step> steps = {
        {"PnlP0B3", Qt::RightButton, "N03", "0xF7", "Bit3=0"},
        {"PnlP1B0", Qt::LeftButton, "N03", "0xFE", "Bit0=0"},
        {"PnlP0B3", Qt::LeftButton, "N110", "0xFF", "Bit3=1"},
        {"PnlP3B7", Qt::RightButton, "N03", "0x7F", "Bit7=0"},
    };
    const char* valuePanel[] = {"GD32xOptWP0", "GD32xOptWP1", "GD32xOptWP2", "GD32xOptWP3"};
    onNextModal([&](QWidget* dlg) {
        for (const Step& s : steps) {
            auto* panel = child<QLabel>(dlg, s.panel);
            QVERIFY(panel);
            const QPoint at = panel->rect().center();
            if (s.press == Qt::LeftButton) QTest::mouseClick(panel, Qt::LeftButton, {}, at);
            rightClick(panel, at);
            QMenu* m = openMenu("PopupBits");
            QVERIFY(m);
            QVERIFY((m->pos() - panel->mapToGlobal(at)).manhattanLength() <= 2);
            pick(m, s.item);
            int row = s.panel[4] - '0';
            QCOMPARE(child<QLabel>(dlg, valuePanel[row])->text(), QString(s.value));
            QCOMPARE(panel->text(), QString(s.caption));
        }
        click(child(dlg, "BitBtnOK"));
    });
    QVERIFY(r.prompts.showModal(r.app.optionForm));
    QCOMPARE(int(opt[8]), 0xFF);
    QCOMPARE(int(opt[9]), 0xFE);
    QCOMPARE(int(opt[13]), 0x7F);
    QCOMPARE(int(opt[15]), 0x80);  // its complement
}

// The pop-ups of the log and of the NVM/option grid open where the pointer is.
void OperatorTest::popupsOpenAtThePointer() {
    QtRig r;
    QVERIFY(r.show());
    r.app.ui["TabSheetEEP"].setVisible(true);
    struct Case {
        const char* owner;
        const char* menu;
        int page;
    };
    for (const Case& c : {Case{"InfoMemo", "PopupMenu2", 0}, Case{"EEPDataView", "PopupMenuOTP", 2}}) {
        r.app.ui["ViewPageCtrl"].setItemIndex(c.page);
        auto* area = r.win.view().widgetAs<QAbstractScrollArea>(c.owner);
        QVERIFY(area && area->isVisible());
        const QPoint at(40, 30);
        QContextMenuEvent e(QContextMenuEvent::Mouse, at, area->viewport()->mapToGlobal(at));
        QApplication::sendEvent(area->viewport(), &e);
        QMenu* m = openMenu(c.menu);
        QVERIFY2(m, c.menu);
        QVERIFY2((m->pos() - area->viewport()->mapToGlobal(at)).manhattanLength() <= 2, c.menu);
        m->close();
    }
}

// The log view under the mouse and keys while lines keep coming: a drag
// selects from the press to the release, "Copy Information" and Ctrl+C copy
// exactly that, new lines neither move the selection nor (once the operator
// has scrolled up) the lines being read, and "Clear Information" empties it.
void OperatorTest::logSelectionIsWhatTheOperatorDragged() {
    QtRig r;
    QVERIFY(r.show());
    auto* view = r.win.view().widgetAs<LogView>("InfoMemo");
    QVERIFY(view);
    for (int i = 0; i < 300; ++i) r.app.AppendInfoLine(kvx::format("Channel %d: line %03d", i % 8 + 1, i));
    r.win.view().flushLog();
    QCoreApplication::processEvents();
    const size_t top = view->topLine();
    QCOMPARE(view->end(), r.app.log.size());  // following the newest line
    QVERIFY(top > 0);

    // Press left of the second row, drag to the right end of the fourth.
    QWidget* vp = view->viewport();
    QWindow* w = r.win.windowHandle();
    const int lh = view->fontMetrics().lineSpacing();
    QTest::mousePress(w, Qt::LeftButton, {}, test::inWindow(vp, {1, lh + lh / 2}));
    QTest::mouseMove(w, test::inWindow(vp, {vp->width() / 2, 2 * lh + lh / 2}));
    QTest::mouseMove(w, test::inWindow(vp, {vp->width() - 2, 3 * lh + lh / 2}));
    QTest::mouseRelease(w, Qt::LeftButton, {}, test::inWindow(vp, {vp->width() - 2, 3 * lh + lh / 2}));
    const QString dragged = qs(r.app.log.line(top + 1) + "\n" + r.app.log.line(top + 2) + "\n" + r.app.log.line(top + 3));
    QCOMPARE(view->selectedText(), dragged);

    auto copyInformation = [&] {
        QApplication::clipboard()->clear();
        const QPoint at(30, 30);
        QContextMenuEvent e(QContextMenuEvent::Mouse, at, vp->mapToGlobal(at));
        QApplication::sendEvent(vp, &e);
        QMenu* m = openMenu("PopupMenu2");
        if (m) pick(m, "CopytoCli1");
        return QApplication::clipboard()->text();
    };
    QCOMPARE(copyInformation(), dragged);

    // More lines: the view follows them, the selection stays on its lines.
    for (int i = 0; i < 50; ++i) r.app.AppendInfoLine("Channel 1: later");
    r.win.view().flushLog();
    QCOMPARE(view->topLine(), top + 50);
    QCOMPARE(copyInformation(), dragged);

    // Scrolled up a page, the operator keeps the lines in view.
    QTest::keyClick(view, Qt::Key_PageUp);
    const size_t reading = view->topLine();
    QVERIFY(reading < top + 50);
    for (int i = 0; i < 50; ++i) r.app.AppendInfoLine("Channel 1: later still");
    r.win.view().flushLog();
    QCOMPARE(view->topLine(), reading);

    // Shift+click extends the selection from its anchor (the press above)
    // to the clicked point; Ctrl+A and Ctrl+C take every line in view.
    QTest::mouseClick(w, Qt::LeftButton, Qt::ShiftModifier, test::inWindow(vp, {vp->width() - 2, 2 * lh + lh / 2}));
    QString extended = qs(r.app.log.line(top + 1));
    for (size_t i = top + 2; i <= reading + 2; ++i) extended += "\n" + qs(r.app.log.line(i));
    QCOMPARE(view->selectedText(), extended);
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QStringList all;
    for (size_t i = 0; i < r.app.log.size(); ++i) all << qs(r.app.log.line(i));
    QCOMPARE(QApplication::clipboard()->text(), all.join('\n'));

    r.app.ClearInformation1Click();
    QCOMPARE(view->end(), size_t(0));
    QCOMPARE(copyInformation(), QString());
    // Ctrl+C with nothing selected leaves the clipboard alone.
    QApplication::clipboard()->setText("kept");
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QString("kept"));
}

// The main window's caption is exactly the form's (nothing appended by the
// window system), dialogs' likewise; the application title names the boxes.
void OperatorTest::captionsAreExactlyTheForms() {
    QtRig r;
    QTemporaryDir folder;  // the log dialog keeps its settings in the program folder
    r.app.programFolder = folder.path().toStdString() + "/";
    const QString displayName = QGuiApplication::applicationDisplayName();
    r.app.resetChipSelection();
    QCOMPARE(QGuiApplication::applicationDisplayName(), displayName);  // never set: nothing appended
    QCOMPARE(r.win.windowTitle(), qs(r.app.ui.caption()));
    QCOMPARE(r.win.windowTitle(), QString("Korvex200SC Programmer Wizard"));
    QCOMPARE(r.prompts.boxTitle(), std::string("Korvex200SC"));
    r.app.setApplicationTitle("Korvex200SC");
    QString boxTitle, dialogTitle;
    onNextModal([&](QWidget* box) {
        boxTitle = box->windowTitle();
        static_cast<QMessageBox*>(box)->accept();
    });
    r.prompts.information("x");
    QCOMPARE(boxTitle, QString("Korvex200SC"));
    onNextModal([&](QWidget* dlg) {
        dialogTitle = dlg->windowTitle();
        dlg->close();
    });
    r.prompts.showModal(r.app.logForm);
    QCOMPARE(dialogTitle, qs(r.app.logForm.caption()));
}

// OK, Cancel/No, Escape, the close box and a double click in the chip list
// close each dialog with the answer the operator meant; an OK the dialog
// refuses shows its box and leaves the dialog open.
void OperatorTest::everyDialogClosesAsTheOperatorCloses() {
    QtRig r;
    QTemporaryDir folder;  // the log dialog keeps its settings in the program folder
    r.app.programFolder = folder.path().toStdString() + "/";
    chooseChip(r.app.engine.chip, ChipVendor::SC, 0);
    struct Case {
        const char* dialog;
        const char* action;  // a button's name, "Escape", "close box", or "double click"
        bool accepted;
        const char* edit = nullptr;  // typed into first
        const char* typed = nullptr;
        const char* refusal = nullptr;  // the box an OK is refused with
    };
    std::vector<Case> cases = {
        {"TChipSelForm", "BitBtnOK", true},
        {"TChipSelForm", "BitBtnNO", false},
        {"TChipSelForm", "double click", true},
        {"TSetAddressForm", "BitBtnOK", true},
        {"TFormOfsAddr", "BitBtn1", true},
        {"TFormOfsAddr", "BitBtn1", false, "EditOfsAddr", "0xZZ", "'0xZZ' is not a valid integer value"},
        {"TConfigSNForm", "BitBtnOK", true, "EditDataSN", "ab 12"},
        {"TConfigSNForm", "BitBtnOK", false, "EditDataSN", "", "请输入有效的序列号数据!"},
        {"TConfigSNForm", "BitBtnCancel", false},
        {"TLogCfgForm", "OK", true},
        {"TCfgCPTxOptForm", "BitBtnOK", true},
        {"TCfgCPTxOptForm", "BitBtnNG", false},
        {"TAboutForm", "OKButton", true},
    };
    for (const auto& d : kDialogs)
        for (const char* how : {"Escape", "close box"}) cases.push_back({d.name, how, false});

    for (const Case& c : cases) {
        const QString what = QString("%1 %2%3").arg(c.dialog, c.action, c.refusal ? " (refused)" : "");
        const kvx::test::DialogCase* d = nullptr;
        for (const auto& k : kDialogs)
            if (std::string(k.name) == c.dialog) d = &k;
        QVERIFY2(d, qPrintable(what));
        std::unique_ptr<Form> made;
        Form& form = d->form(r.app, r.prompts, made);
        QString refusedWith;
        bool stillOpen = false;
        onNextModal([&](QWidget* dlg) {
            if (c.edit) {
                auto* e = child<QLineEdit>(dlg, c.edit);
                e->setFocus();
                QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClick(e, Qt::Key_Delete);
                QTest::keyClicks(e, c.typed);
            }
            if (c.refusal)
                onNextModal(
                    [&](QWidget* box) {
                        refusedWith = static_cast<QMessageBox*>(box)->text();
                        QTest::keyClick(box, Qt::Key_Return);
                    },
                    dlg);
            const QString how = c.action;
            if (how == "Escape") {
                QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dlg, Qt::Key_Escape);
            } else if (how == "close box") {
                QCloseEvent e;  // what the window manager's close box sends
                QApplication::sendEvent(dlg->windowHandle(), &e);
            } else if (how == "double click") {
                auto* list = child<QListView>(dlg, "ListBoxCP");
                const QRect item = list->visualRect(list->model()->index(2, 0));
                doubleClick(list->viewport(), item.center());
            } else {
                click(child(dlg, c.action));
            }
            if (c.refusal) {
                QTest::qWait(20);
                stillOpen = dlg->isVisible();
                QTest::keyClick(dlg, Qt::Key_Escape);
            }
        });
        const bool accepted = r.prompts.showModal(form);
        QVERIFY2(accepted == c.accepted, qPrintable(what));
        if (c.refusal) {
            QCOMPARE(refusedWith, QString::fromUtf8(c.refusal));
            QVERIFY2(stillOpen, qPrintable(what));
        }
        if (QString(c.action) == "double click") QCOMPARE(r.app.engine.chip.chipName, chipNames(ChipVendor::SC)[2]);
    }
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

// Verify on two emulated units whose chips differ from the image: "Abort" on
// the first difference box ends that channel there and then (red gauge, its
// line) while the other channel's box is shown.
void OperatorTest::verifyAbortEndsThatChannelAtOnce() {
    TwoUnits units;
    {
        QtRig r;
        QVERIFY(showWithJob(r, units, 4096));

        auto red = [&] {
            std::vector<int> out;
            for (int g = 1; g <= 2; ++g)
                if (r.app.ui.gauge(g).color() == kRed) out.push_back(g);
            return out;
        };
        std::vector<int> redAtSecond;
        bool busyAtSecond = false, lineAtSecond = false;
        int boxes = 0;
        onNextModal([&](QWidget* first) {
            ++boxes;
            onNextModal(
                [&](QWidget* second) {
                    ++boxes;
                    redAtSecond = red();
                    if (redAtSecond.size() == 1) {
                        const int g = redAtSecond[0];
                        busyAtSecond = r.app.engine.channelState(2 - g).busy;
                        const std::string line = "Channel " + std::to_string(g) + ": 数据校验错误！";
                        for (const auto& l : r.app.log.lines()) lineAtSecond |= l.find(line) != std::string::npos;
                    }
                    click(static_cast<QMessageBox*>(second)->button(QMessageBox::Abort));
                },
                first);
            click(static_cast<QMessageBox*>(first)->button(QMessageBox::Abort));
        });
        r.app.ui["SpdBtnVerify"].click();
        QTRY_VERIFY_WITH_TIMEOUT(!r.app.engine.channelState(0).busy && !r.app.engine.channelState(1).busy, 10000);
        QCOMPARE(boxes, 2);
        QCOMPARE(int(redAtSecond.size()), 1);
        QVERIFY(busyAtSecond);
        QVERIFY(lineAtSecond);
        QCOMPARE(int(red().size()), 2);
        r.win.close();
    }
}

// A 64 KB file for a 32 KB chip: one question box, No the default. The
// operator's No (Enter) keeps the job as it was; a click on Yes loads the
// file without the data outside, and the log says so. Boxes are as wide as
// their title, and a box opened by Enter is closed by Enter once.
void OperatorTest::dataOutsideTheChipIsAskedAbout() {
    QTemporaryDir dir;
    QtRig r;
    r.app.programFolder = dir.path().toStdString() + "/";
    QVERIFY(r.show());
    // Enter with no chip chosen opens one box; Enter held on it closes it,
    // and the key's repeats and release reach the window without a second.
    int opened = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (QWidget* m = QApplication::activeModalWidget()) QTest::keyPress(m, ++opened == 1 ? Qt::Key_Return : Qt::Key_Escape);
    });
    answer.start(20);
    auto at = [&] { return QApplication::focusWidget() ? QApplication::focusWidget() : static_cast<QWidget*>(&r.win); };
    QTest::keyPress(at(), Qt::Key_Return);
    for (int i = 0; i < 5; ++i) QTest::keyPress(at(), Qt::Key_Return);
    QTest::keyRelease(at(), Qt::Key_Return);
    QTest::qWait(100);
    answer.stop();
    QCOMPARE(opened, 1);
    chooseChip(r.app.engine.chip, ChipVendor::SC, 0);
    r.app.applyChipDefaults();
    std::vector<uint8_t> image(64 * 1024, 0x5A);
    const std::string hex = dir.path().toStdString() + "/big.hex";
    writeHexFile(hex, image.data(), 0, 0, 64 * 1024 - 1);
    for (const bool yes : {false, true}) {
        QString text;
        onNextModal([&](QWidget* box) {
            auto* b = static_cast<QMessageBox*>(box);
            text = b->text();
            QCOMPARE(b->defaultButton(), b->button(QMessageBox::No));
            if (yes) click(b->button(QMessageBox::Yes));
            else QTest::keyClick(b, Qt::Key_Return);
        });
        QCOMPARE(r.app.loadObjectFile(hex, true), yes);
        QVERIFY2(text.contains("32768字节不在芯片Flash（0x00000000-0x00007FFF）内"), qPrintable(text));
        QCOMPARE(r.app.engine.fileLoaded, yes);
        QCOMPARE(r.app.engine.image->bytesCut, yes ? 32768u : 0u);
    }
    size_t told = 0;
    for (const auto& l : r.app.log.lines()) told += l.find("超出芯片Flash（0x00000000-0x00007FFF），已去掉") != std::string::npos;
    QCOMPARE(told, size_t(1));
    // A box with a short text is still as wide as its title.
    int width = 0, titleWidth = 0;
    onNextModal([&](QWidget* box) {
        width = box->width();
        titleWidth = box->fontMetrics().horizontalAdvance(box->windowTitle());
        click(static_cast<QMessageBox*>(box)->button(QMessageBox::Ok));
    });
    r.prompts.information("OK");
    QVERIFY2(titleWidth > 0 && width >= titleWidth + 100, qPrintable(QString("%1 %2").arg(width).arg(titleWidth)));
    r.win.close();
}

// The close box while two channels program: one question, No the default.
// Enter keeps the window and the runs; Yes quits, each run ended with a
// line and an interrupted record. Nothing running, the window just closes.
void OperatorTest::closingDuringARunAsksOnce() {
    TwoUnits units(300);
    std::string recordsPath;
    {
        QtRig r;
        QVERIFY(showWithJob(r, units, 32 * 1024));
        r.app.ui["AutoSpdBtn"].click();
        QTRY_VERIFY_WITH_TIMEOUT(r.app.engine.channelState(0).busy && r.app.engine.channelState(1).busy, 10000);
        int boxes = 0;
        onNextModal([&](QWidget* box) {
            ++boxes;
            QTest::keyClick(box, Qt::Key_Return);
        });
        r.win.close();
        QCOMPARE(boxes, 1);
        QVERIFY(r.win.isVisible());
        QVERIFY(r.app.engine.channelState(0).busy);
        onNextModal([&](QWidget* box) {
            ++boxes;
            click(static_cast<QMessageBox*>(box)->button(QMessageBox::Yes));
        });
        r.win.close();
        QCOMPARE(boxes, 2);
        QVERIFY(!r.win.isVisible());
        size_t lines = 0;
        for (const auto& l : r.app.log.lines()) lines += l.find("Interrupted: the program was closed") != std::string::npos;
        QCOMPARE(lines, size_t(2));
        recordsPath = r.app.recordsPath();
    }
    const auto recs = RecordStore(recordsPath, true).query({});
    QCOMPARE(int(recs.size()), 2);
    for (const ProductionRecord& rec : recs) QCOMPARE(QString::fromStdString(rec.outcome), QString("interrupted"));
}

// korvex200 --listen: a remote controller is refused while the operator's
// run goes on (the operator started it with the mouse), and a run it starts
// afterwards runs in the window's engine with the window's job: the
// window's log shows it.
void OperatorTest::remoteControllerSharesTheOperatorsStation() {
    TwoUnits units(100);
    {
        QtRig r;
        QVERIFY(showWithJob(r, units, 32 * 1024));
        std::unique_ptr<StationService> station = startWindowStation(r.app, "127.0.0.1", 0);
        std::string token;
        std::getline(std::ifstream(units.folder() + "api.token"), token);
        // The client waits on the window's thread: it asks from another
        // one while the window goes on.
        const auto ask = [&](const char* method, const std::string& path, const std::string& body = {}) {
            auto answer = std::async(std::launch::async, [&, method, path, body] {
                httplib::Client c("127.0.0.1", station->port());
                const httplib::Headers h{{"Authorization", "Bearer " + token}};
                auto res = std::string(method) == "GET" ? c.Get(path, h) : c.Post(path, h, body, "application/json");
                return res ? std::make_pair(res->status, nlohmann::json::parse(res->body)) : std::make_pair(0, nlohmann::json());
            });
            while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) QTest::qWait(5);
            return answer.get();
        };
        click(child(&r.win, "AutoSpdBtn"));
        QTRY_VERIFY_WITH_TIMEOUT(r.app.engine.channelState(0).busy && r.app.engine.channelState(1).busy, 10000);
        const auto refused = ask("POST", "/api/v1/runs", R"({"operation":"verify"})");
        QCOMPARE(refused.first, 409);
        QVERIFY2(refused.second["error"].get<std::string>().find("channel 1 runs") != std::string::npos,
                 refused.second.dump().c_str());
        QCOMPARE(ask("GET", "/api/v1/station").second["units"][0]["busy"].get<bool>(), true);
        QTRY_VERIFY_WITH_TIMEOUT(!r.app.engine.channelState(0).busy && !r.app.engine.channelState(1).busy, 20000);
        const size_t linesBefore = r.app.log.lines().size();
        const auto started = ask("POST", "/api/v1/runs", R"({"operation":"verify"})");
        QCOMPARE(started.first, 202);
        const std::string run = "/api/v1/runs/" + std::to_string(started.second["id"].get<int>());
        QTRY_VERIFY_WITH_TIMEOUT(ask("GET", run).second["state"] == "done", 20000);
        const nlohmann::json done = ask("GET", run).second;
        QCOMPARE(done["status"].get<int>(), 0);
        QCOMPARE(int(done["results"].size()), 2);
        int verified = 0;
        for (size_t i = linesBefore; i < r.app.log.lines().size(); ++i)
            verified += r.app.log.lines()[i].find("Main Flash数据校验成功！") != std::string::npos;
        QCOMPARE(verified, 2);
        station.reset();
        r.app.quit(false);
    }
}

KORVEX_GUI_SUITE(OperatorTest);
#include "operator_test.moc"
