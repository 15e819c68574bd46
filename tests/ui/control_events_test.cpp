// Every kind of control as the operator works it: real mouse and key events
// through the window system's path reach the control's handlers exactly once
// per action, and the model holds what the widget shows.
#include "ui/form_view.h"
#include "ui/gui_suites.h"
#include "ui/window_rig.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QWindow>

#include <functional>
#include <map>

using namespace kvx;

namespace {

using kvx::test::doubleClick;
void click(QWidget* w, QPoint at, Qt::MouseButton b = Qt::LeftButton) { kvx::test::windowClick(w, at, b); }

}  // namespace

class ControlEventsTest : public QObject {
    Q_OBJECT
private slots:
    void eachActionReachesTheModelOnce();
};

void ControlEventsTest::eachActionReachesTheModelOnce() {
    using K = ControlKind;
    Form form("TTestForm", "TestForm", 600, 400);
    form.add("Menu1", K::Menu, "", 0, 0, 0, 0, "File");
    form.add("Item1", K::MenuItem, "Menu1", 0, 0, 0, 0, "Open").setShortcut("Ctrl+O");
    form.add("Btn", K::Button, "", 10, 10, 80, 28, "Go");
    form.add("Spd", K::SpeedButton, "", 100, 10, 80, 28, "Run");
    form.add("Chk", K::CheckBox, "", 190, 10, 100, 22, "Check");
    form.add("Rb1", K::RadioButton, "", 300, 10, 80, 22, "One");
    Control& grp = form.add("Grp", K::RadioGroup, "", 10, 50, 280, 50, "Group");
    grp.setColumns(2);
    grp.setItems({"A", "B"});
    grp.setItemIndex(0);
    form.add("Edt", K::Edit, "", 300, 50, 120, 24);
    Control& spin = form.add("Spn", K::SpinEdit, "", 430, 50, 100, 24);
    spin.setRange(0, 100);
    spin.setIncrement(5);
    spin.setValue(10);
    form.add("Pnl", K::Panel, "", 10, 110, 80, 24, "Bit");
    form.add("PopP", K::PopupMenu, "Pnl", 0, 0, 0, 0);
    form.add("PopItem", K::MenuItem, "PopP", 0, 0, 0, 0, "Set");
    Control& combo = form.add("Cmb", K::ComboBox, "", 100, 110, 120, 24);
    combo.setItems({"x", "y", "z"});
    combo.setItemIndex(0);
    Control& list = form.add("Lst", K::ListBox, "", 230, 110, 150, 120);
    list.setItems({"l0", "l1", "l2"});
    form.add("Pages", K::PageControl, "", 10, 240, 400, 140);
    form.add("Page0", K::TabSheet, "Pages", 0, 0, 0, 0, "First");
    form.add("Page1", K::TabSheet, "Pages", 0, 0, 0, 0, "Second");
    form["Pages"].setItemIndex(0);

    // Every control counts its handlers' calls.
    std::map<std::string, int> clicks, changes;
    for (Control* c : form.controls()) {
        const std::string n = c->name();
        c->onClick = [&clicks, n] { ++clicks[n]; };
        c->onChange = [&changes, n] { ++changes[n]; };
    }

    QMainWindow win;
    auto* central = new QWidget(&win);
    win.setCentralWidget(central);
    FormView view(form, central, win.menuBar());
    win.resize(620, 440);
    win.show();
    win.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&win));
    auto w = [&](const char* name) { return view.widget(name); };
    auto center = [&](const char* name) { return w(name)->rect().center(); };
    auto radioItem = [&](int i) { return win.findChild<QRadioButton*>(QString("Grp_%1").arg(i)); };
    auto* lw = qobject_cast<QListWidget*>(w("Lst"));
    auto listRow = [&](int i) { return lw->visualItemRect(lw->item(i)).center(); };
    auto key = [&](const char* name, Qt::Key k) {
        w(name)->setFocus();
        QTest::keyClick(w(name), k);
    };

    struct Case {
        const char* what;
        std::function<void()> act;
        const char* control;
        int clicks, changes;
        std::function<bool()> holds;  // the model's state afterwards
    };
    const std::vector<Case> cases = {
        {"button click", [&] { click(w("Btn"), center("Btn")); }, "Btn", 1, 0, {}},
        {"button double click", [&] { doubleClick(w("Btn"), center("Btn")); }, "Btn", 2, 0, {}},
        {"button space", [&] { key("Btn", Qt::Key_Space); }, "Btn", 1, 0, {}},
        {"speed button click", [&] { click(w("Spd"), center("Spd")); }, "Spd", 1, 0, {}},
        {"speed button right click", [&] { click(w("Spd"), center("Spd"), Qt::RightButton); }, "Spd", 0, 0, {}},
        {"check box click", [&] { click(w("Chk"), QPoint(6, 11)); }, "Chk", 1, 0, [&] { return form["Chk"].checked(); }},
        {"check box space", [&] { key("Chk", Qt::Key_Space); }, "Chk", 1, 0, [&] { return !form["Chk"].checked(); }},
        {"check box double click", [&] { doubleClick(w("Chk"), QPoint(6, 11)); }, "Chk", 2, 0,
         [&] { return !form["Chk"].checked(); }},
        {"radio button click", [&] { click(w("Rb1"), QPoint(6, 11)); }, "Rb1", 1, 0, [&] { return form["Rb1"].checked(); }},
        {"radio item click", [&] { click(radioItem(1), QPoint(6, radioItem(1)->height() / 2)); }, "Grp", 1, 0,
         [&] { return form["Grp"].itemIndex() == 1; }},
        {"radio item click again", [&] { click(radioItem(1), QPoint(6, radioItem(1)->height() / 2)); }, "Grp", 1, 0,
         [&] { return form["Grp"].itemIndex() == 1; }},
        {"edit typing", [&] {
             w("Edt")->setFocus();
             QTest::keyClicks(w("Edt"), "ab");
         }, "Edt", 0, 2, [&] { return form["Edt"].text() == "ab"; }},
        {"edit backspace", [&] { key("Edt", Qt::Key_Backspace); }, "Edt", 0, 1, [&] { return form["Edt"].text() == "a"; }},
        {"spin up arrow", [&] { key("Spn", Qt::Key_Up); }, "Spn", 0, 1, [&] { return form["Spn"].value() == 15; }},
        {"spin typed and left", [&] {
             w("Spn")->setFocus();
             QTest::keyClick(w("Spn"), Qt::Key_A, Qt::ControlModifier);
             QTest::keyClicks(w("Spn"), "42");
             QTest::keyClick(w("Spn"), Qt::Key_Tab);
         }, "Spn", 0, 1, [&] { return form["Spn"].value() == 42; }},
        {"panel left press", [&] { click(w("Pnl"), center("Pnl")); }, "Pnl", 1, 0, {}},
        {"panel double click", [&] { doubleClick(w("Pnl"), center("Pnl")); }, "Pnl", 2, 0, {}},
        {"combo down key", [&] { key("Cmb", Qt::Key_Down); }, "Cmb", 0, 1,
         [&] { return form["Cmb"].itemIndex() == 1 && form["Cmb"].text() == "y"; }},
        {"list click", [&] { click(lw->viewport(), listRow(2)); }, "Lst", 0, 1, [&] { return form["Lst"].itemIndex() == 2; }},
        {"list double click", [&] { doubleClick(lw->viewport(), listRow(1)); }, "Lst", 1, 1,
         [&] { return form["Lst"].itemIndex() == 1; }},
        {"list down key", [&] { key("Lst", Qt::Key_Down); }, "Lst", 0, 1, [&] { return form["Lst"].itemIndex() == 2; }},
        {"page tab click", [&] {
             QTabBar* bar = static_cast<QTabWidget*>(w("Pages"))->tabBar();
             click(bar, bar->tabRect(1).center());
         }, "Pages", 0, 0, [&] { return form["Pages"].itemIndex() == 1; }},
        {"menu shortcut", [&] { QTest::keyClick(&win, Qt::Key_O, Qt::ControlModifier); }, "Item1", 1, 0, {}},
        {"pop-up item", [&] {
             QContextMenuEvent e(QContextMenuEvent::Mouse, center("Pnl"), w("Pnl")->mapToGlobal(center("Pnl")));
             QApplication::sendEvent(w("Pnl"), &e);
             auto* m = win.findChild<QMenu*>("PopP");
             QTRY_VERIFY(m && m->isVisible());
             QAction* a = m->actions().front();
             QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(a).center());
         }, "PopItem", 1, 0, {}},
    };
    for (const Case& c : cases) {
        clicks.clear();
        changes.clear();
        c.act();
        QCoreApplication::processEvents();
        const QString what = QString("%1: %2 clicks, %3 changes").arg(c.what).arg(clicks[c.control]).arg(changes[c.control]);
        QVERIFY2(clicks[c.control] == c.clicks && changes[c.control] == c.changes, qPrintable(what));
        int others = 0;
        for (auto& [n, k] : clicks) others += n != c.control ? k : 0;
        for (auto& [n, k] : changes) others += n != c.control ? k : 0;
        QVERIFY2(others == 0, qPrintable(QString("%1: another control's handler ran").arg(c.what)));
        if (c.holds) QVERIFY2(c.holds(), qPrintable(QString("%1: the model holds something else").arg(c.what)));
    }
}

KORVEX_GUI_SUITE(ControlEventsTest);
#include "control_events_test.moc"
