// The window's layout under the operator's eyes: on every page of the main
// window and in every dialog, for a chip of each vendor, no caption is cut
// and no two controls lie over each other. KORVEX_SCREENSHOTS=DIR also saves
// a picture of the main window and of each dialog there.
#include "app/chip_select_form.h"
#include "app/korvex_app.h"
#include "chip/catalogue.h"
#include "shell/scripted_prompts.h"
#include "ui/form_view.h"
#include "ui/gui_suites.h"
#include "ui/window_rig.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

#include <QAbstractButton>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

using namespace kvx;

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString sizeText(QSize s) { return QString("%1x%2").arg(s.width()).arg(s.height()); }
QString rectText(const QRect& r) {
    return QString("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// Slack for rounding in the styles' size hints.
constexpr int kTolerance = 1;

// Known offenders whose cause lies in a form's design, not in how the view
// builds it: the form class, the widget, the start of the problem, and why
// it is let through.
struct Allowed {
    const char* form;
    const char* widget;
    const char* problem;
};
const Allowed kAllowed[] = {
    // Labels drawn 2 pixels into the edit beside them: the labels' boxes are
    // wider than their texts, whose glyphs end well before the edit.
    {"TConfigSNForm", "Label6", "overlaps AddrEditSN"},
    {"TFormOfsAddr", "Label1", "overlaps EditOfsAddr"},
    {"TKorvexMGxPrg", "LabelMCU", "overlaps MCUNameEdit"},
    {"TKorvexMGxPrg", "LabelFlash", "overlaps lbFlashSize"},
    {"TKorvexMGxPrg", "LabelProduct", "overlaps ProductEdit"},
    // 3 pixels short: the last glyph is the full-width colon, whose right
    // half is blank.
    {"TKorvexMGxPrg", "LabelRTM", "text cut"},
    // The 92-pixel speed button is narrower than "写Option Byte" / "写NVM
    // Data" with its margins; the width is the button panel's design.
    {"TKorvexMGxPrg", "SpdBtnWrtOPB", "text cut"},
};

bool allowed(const std::string& form, const QString& widget, const QString& problem) {
    for (const Allowed& a : kAllowed)
        if (form == a.form && widget == a.widget && problem.startsWith(a.problem)) return true;
    return false;
}

// The title of a group box as its style places it.
QRect groupTitleRect(QGroupBox* g) {
    QStyleOptionGroupBox o;
    o.initFrom(g);
    o.text = g->title();
    o.lineWidth = 1;
    o.midLineWidth = 0;
    o.textAlignment = g->alignment();
    o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    o.features = g->isFlat() ? QStyleOptionFrame::Flat : QStyleOptionFrame::None;
    return g->style()->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
}

// Width the glyphs of a label need: blanks at the end take room but show nothing.
int labelWidthNeeded(QLabel* l) {
    QString t = l->text();
    int end = static_cast<int>(t.size());
    while (end > 0 && t[end - 1].isSpace()) --end;
    const QFontMetrics fm = l->fontMetrics();
    return l->sizeHint().width() - (fm.horizontalAdvance(t) - fm.horizontalAdvance(t.left(end)));
}

// The problems of the widgets FormView built for `form` on `root`, each as
// "FormClass/widget problem: details".
std::vector<QString> layoutProblems(FormView& view, Form& form, QWidget* root) {
    using K = ControlKind;
    // Containers of the form's controls; their children are the controls
    // themselves (radio items and status panels included).
    std::vector<QWidget*> containers{root};
    for (Control* c : form.controls())
        if (c->kind() == K::TabSheet || c->kind() == K::GroupBox || c->kind() == K::RadioGroup ||
            c->kind() == K::Panel || c->kind() == K::StatusBar)
            if (QWidget* w = view.widget(c->name())) containers.push_back(w);

    std::vector<QString> out;
    auto report = [&](QWidget* w, const QString& what) {
        if (!allowed(form.className(), w->objectName(), what))
            out.push_back(qs(form.className()) + "/" + w->objectName() + " " + what);
    };
    for (QWidget* parent : containers) {
        if (!parent->isVisible()) continue;
        std::vector<QWidget*> kids;
        for (QObject* o : parent->children())
            if (auto* w = qobject_cast<QWidget*>(o); w && !w->isWindow() && w->isVisible()) kids.push_back(w);
        for (QWidget* w : kids) {
            const QRect room = w->geometry() & parent->rect();
            QSize need;
            if (auto* l = qobject_cast<QLabel*>(w)) {
                need = QSize(labelWidthNeeded(l), l->sizeHint().height());
                if (l->wordWrap()) need = QSize(0, l->heightForWidth(room.width()));
            } else if (qobject_cast<QPushButton*>(w)) {
                // A push button's size hint is at least 80 pixels wide, whatever
                // its text; the text needs its own size, the margin and the frame.
                const QStyle* st = w->style();
                const int pad =
                    st->pixelMetric(QStyle::PM_ButtonMargin) + 2 * st->pixelMetric(QStyle::PM_DefaultFrameWidth);
                need = w->fontMetrics().size(Qt::TextShowMnemonic, static_cast<QPushButton*>(w)->text()) +
                       QSize(pad, pad);
            } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
                need = b->sizeHint();
            }
            if (need.isValid() &&
                (need.width() > room.width() + kTolerance || need.height() > room.height() + kTolerance))
                report(w, QString("text cut: \"%1\" needs %2, has %3")
                              .arg(qobject_cast<QLabel*>(w) ? static_cast<QLabel*>(w)->text()
                                                            : static_cast<QAbstractButton*>(w)->text())
                              .arg(sizeText(need), sizeText(room.size())));
            if (auto* g = qobject_cast<QGroupBox*>(w); g && !g->title().isEmpty()) {
                const QRect title = groupTitleRect(g);
                if (!g->rect().contains(title.adjusted(kTolerance, kTolerance, -kTolerance, -kTolerance)))
                    report(w, QString("title cut: \"%1\" at %2 in %3")
                                  .arg(g->title(), rectText(title), sizeText(g->size())));
                for (QObject* o : g->children())
                    if (auto* c = qobject_cast<QWidget*>(o); c && c->isVisible() && c->geometry().intersects(title))
                        report(c, QString("covers the title of %1: %2 and %3")
                                      .arg(g->objectName(), rectText(c->geometry()), rectText(title)));
            }
        }
        for (size_t i = 0; i < kids.size(); ++i)
            for (size_t j = i + 1; j < kids.size(); ++j)
                if (kids[i]->geometry().intersects(kids[j]->geometry()))
                    report(kids[i], QString("overlaps %1: %2 and %3")
                                        .arg(kids[j]->objectName(), rectText(kids[i]->geometry()),
                                             rectText(kids[j]->geometry())));
    }
    return out;
}

// Makes `page` the shown page of every tab widget it sits in.
void bringToFront(QWidget* page) {
    for (QWidget* w = page; w && w->parentWidget(); w = w->parentWidget())
        if (qobject_cast<QStackedWidget*>(w->parentWidget()))
            if (auto* tw = qobject_cast<QTabWidget*>(w->parentWidget()->parentWidget())) tw->setCurrentWidget(w);
}

// A form shown as the modal prompt shows it (a dialog of the form's client
// size with the form's view on it), without the prompt's nested loop.
struct ShownForm {
    ShownForm(Form& form, QWidget* parent) : dlg(parent) {
        dlg.setObjectName(qs(form.className()));
        dlg.setFixedSize(form.clientWidth(), form.clientHeight());
        form.resetClose();
        if (form.onShow) form.onShow();
        view = std::make_unique<FormView>(form, &dlg);
        dlg.setWindowTitle(qs(form.caption()));
        dlg.show();
    }
    QDialog dlg;
    std::unique_ptr<FormView> view;
};

using kvx::test::DialogCase;
using kvx::test::kDialogs;
using kvx::test::WindowRig;

struct VendorCase {
    const char* name;
    ChipVendor vendor;
    bool screenshots;  // the pictures show this vendor's window and dialogs (the first)
};
const VendorCase kVendors[] = {
    {"SC", ChipVendor::SC, true},
    {"LKS", ChipVendor::LKS, false},
    {"CPT", ChipVendor::CPT, false},
    {"FG", ChipVendor::FG, false},
};

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void noCaptionIsCutAndNoControlsOverlap();
    void radioItemsAreClickedAndFollowTheirGroup();
};

void LayoutTest::noCaptionIsCutAndNoControlsOverlap() {
    const char* shotsEnv = std::getenv("KORVEX_SCREENSHOTS");
    const QString shots = shotsEnv ? QString::fromLocal8Bit(shotsEnv) : QString();
    if (!shots.isEmpty()) QDir().mkpath(shots);

    WindowRig r;
    r.win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.win));
    FormView& mainView = r.win.view();

    // Each problem with the vendors it was seen with.
    std::map<QString, QStringList> offenders;
    auto collect = [&](const std::vector<QString>& found, const QString& seen) {
        for (const QString& what : found)
            if (!offenders[what].contains(seen)) offenders[what] << seen;
    };

    // Every page of the main window that is on show.
    auto checkPages = [&](const QString& seen) {
        for (Control* c : r.app.ui.controls()) {
            if (c->kind() != ControlKind::TabSheet || !c->visible()) continue;
            bringToFront(mainView.widget(c->name()));
            QCoreApplication::processEvents();
            collect(layoutProblems(mainView, r.app.ui, mainView.widget("ViewPageCtrl")->parentWidget()), seen);
        }
    };
    checkPages("no chip");

    for (const VendorCase& v : kVendors) {
        // The operator chooses the vendor's first chip in the chip dialog.
        r.app.engine.chip.vendor = v.vendor;
        r.prompts.modalScript = [](Form& f) {
            if (f.className() != "TChipSelForm") return;
            f["ListBoxCP"].setItemIndex(0);
            f["BitBtnOK"].click();
        };
        r.app.ui["DevButton"].click();
        QVERIFY(r.app.engine.chip.vendor == v.vendor);
        QVERIFY(r.app.ui["MCUNameEdit"].text() == chipNames(v.vendor).front());
        r.app.showNvmView();
        checkPages(v.name);
        mainView.flushLog();
        bringToFront(mainView.widget("TabSheetPrg"));
        QCoreApplication::processEvents();
        if (v.screenshots && !shots.isEmpty()) QVERIFY(r.win.grab().save(shots + "/TKorvexMGxPrg.png"));

        for (const DialogCase& d : kDialogs) {
            std::unique_ptr<Form> made;
            Form& form = d.form(r.app, r.prompts, made);
            ShownForm shown(form, &r.win);
            QVERIFY(QTest::qWaitForWindowExposed(&shown.dlg));
            collect(layoutProblems(*shown.view, form, &shown.dlg), v.name);
            if (v.screenshots && !shots.isEmpty()) QVERIFY(shown.dlg.grab().save(shots + "/" + d.name + ".png"));
        }
    }
    for (auto& [what, seen] : offenders) qWarning("%s [%s]", qPrintable(what), qPrintable(seen.join(", ")));
    QVERIFY2(offenders.empty(), qPrintable(QString("%1 layout problems (listed above)").arg(offenders.size())));
}

// The radio items are placed by hand: a click on one still chooses it and
// runs the group's handler, the items fill the columns top to bottom, and new
// items or a new size of the group are laid out again.
void LayoutTest::radioItemsAreClickedAndFollowTheirGroup() {
    WindowRig r;
    ShownForm shown(r.app.logForm, &r.win);
    QVERIFY(QTest::qWaitForWindowExposed(&shown.dlg));
    FormView& view = *shown.view;
    auto item = [&](const char* group, int i) {
        auto* b = shown.dlg.findChild<QRadioButton*>(QString("%1_%2").arg(group).arg(i));
        if (!b) qFatal("no radio item %s_%d", group, i);
        return b;
    };

    QRadioButton* user = item("RadioGrpCreat", 1);
    QTest::mouseClick(user, Qt::LeftButton, {}, QPoint(8, user->height() / 2));
    QCOMPARE(r.app.logForm["RadioGrpCreat"].itemIndex(), 1);
    QVERIFY(user->isChecked() && !item("RadioGrpCreat", 0)->isChecked());
    QVERIFY(view.widget("RadioGrpMod")->isEnabled());

    // Three items in two columns: two in the first, one in the second.
    QCOMPARE(item("RadioGrpMod", 1)->x(), item("RadioGrpMod", 0)->x());
    QVERIFY(item("RadioGrpMod", 1)->y() > item("RadioGrpMod", 0)->y());
    QCOMPARE(item("RadioGrpMod", 2)->y(), item("RadioGrpMod", 0)->y());
    QVERIFY(item("RadioGrpMod", 2)->x() > item("RadioGrpMod", 0)->x());

    Control& mod = r.app.logForm["RadioGrpMod"];
    mod.setItems({"A", "B", "C", "D", "E", "F"});
    mod.setGeometry(mod.left(), mod.top(), mod.width(), 110);
    mod.setItemIndex(4);
    QWidget* group = view.widget("RadioGrpMod");
    QCOMPARE(group->findChildren<QRadioButton*>().size(), 6);
    for (int i = 0; i < 6; ++i) {
        QRadioButton* b = item("RadioGrpMod", i);
        QVERIFY2(b && b->isVisible(), qPrintable(QString("item %1").arg(i)));
        QVERIFY(group->rect().contains(b->geometry()));
        QVERIFY(b->height() >= b->sizeHint().height());
        QCOMPARE(b->isChecked(), i == 4);
    }
    QCOMPARE(item("RadioGrpMod", 5)->geometry().bottom(), item("RadioGrpMod", 2)->geometry().bottom());
}

KORVEX_GUI_SUITE(LayoutTest);
#include "layout_test.moc"
