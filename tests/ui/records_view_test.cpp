// The production records dialog in the window, as the operator uses it: the
// Setting menu's last item opens it over the station's database, Refresh
// shows what was written since, Close closes it.
#include "records/record_store.h"
#include "ui/gui_suites.h"
#include "ui/window_rig.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace kvx;

namespace {

ProductionRecord record(int64_t endedMs, const char* message, bool ok) {
    ProductionRecord r;
    r.recordId = newRecordId();
    r.station = "S1";
    r.startedMs = endedMs - 500;
    r.endedMs = endedMs;
    r.channel = 2;
    r.port = "ttyUSB1";
    r.chip = "SC32F5232";
    r.operation = "program";
    r.imageFile = "/jobs/a.hex";
    r.message = message;
    r.ok = ok;
    return r;
}

QString cell(QTableView* t, int row, int col) { return t->model()->index(row, col).data().toString(); }
// The rows and columns the view shows (its headers follow the model's
// signals, not its current size).
int shownRows(QTableView* t) { return t->verticalHeader()->count(); }
int shownColumns(QTableView* t) { return t->horizontalHeader()->count(); }

void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }

}  // namespace

class RecordsViewTest : public QObject {
    Q_OBJECT
private slots:
    void settingMenuOpensTheRecords();
};

void RecordsViewTest::settingMenuOpensTheRecords() {
    QTemporaryDir dir;
    test::QtRig r;
    r.app.programFolder = dir.path().toStdString() + "/";
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    RecordStore store(r.app.recordsPath());
    // All at this moment, so that today's yield holds them (the list goes by
    // the order they were written in).
    store.insert({record(now, "first", true), record(now, "second", false)});
    QVERIFY(r.show());

    QMenuBar* bar = r.win.menuBar();
    auto* setting = r.win.findChild<QMenu*>("Setting1");
    QVERIFY(setting);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(setting->menuAction()).center());
    QTRY_VERIFY(setting->isVisible());
    QAction* item = setting->actions().isEmpty() ? nullptr : setting->actions().last();
    QVERIFY(item && item->objectName() == "ProductionRecords1");
    QCOMPARE(item->text(), QString("Production Records"));

    QStringList shown, refreshed, yieldTotal;
    bool statusShown = true, closedByButton = false;
    test::onNextModal([&](QWidget* dlg) {
        auto* records = dlg->findChild<QTableView*>("GridRecords");
        auto* yield = dlg->findChild<QTableView*>("GridYield");
        if (!records || !yield) return;
        statusShown = dlg->findChild<QWidget*>("LabelStatus")->isVisible();
        for (int row = 0; row < shownRows(records); ++row)
            shown << cell(records, row, 9) + " " + cell(records, row, 8);
        const int total = shownRows(yield) - 1;
        for (int col = 0; col < shownColumns(yield); ++col) yieldTotal << cell(yield, total, col);
        // Written while the dialog is open: shown after Refresh.
        store.insert({record(now, "third", true)});
        click(dlg->findChild<QPushButton*>("ButtonRefresh"));
        for (int row = 0; row < shownRows(records); ++row) refreshed << cell(records, row, 9);
        click(dlg->findChild<QPushButton*>("ButtonClose"));
        closedByButton = !dlg->isVisible();
    });
    QTest::mouseClick(setting, Qt::LeftButton, {}, setting->actionGeometry(item).center());
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);

    QVERIFY(!statusShown);
    QCOMPARE(shown, (QStringList{"second NG", "first OK"}));
    QCOMPARE(yieldTotal, (QStringList{"Total", "", "1", "1", "50.00%"}));
    QCOMPARE(refreshed, (QStringList{"third", "second", "first"}));
    QVERIFY(closedByButton);
    QCOMPARE(r.app.recordsForm.modalResult, int(Form::Cancel));
}

KORVEX_GUI_SUITE(RecordsViewTest);

#include "records_view_test.moc"
