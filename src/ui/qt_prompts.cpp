#include "ui/qt_prompts.h"

#include "shell/views.h"
#include "ui/form_view.h"
#include "ui/qt_event_loop.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>

namespace kvx {

namespace {
QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
}  // namespace

// A message box as wide as its title needs: Qt sizes a box by its text
// and buttons only, and the window manager then cuts a long title
// ("Korv…00SC"). The title bar's buttons and margins take about 120 px.
QMessageBox::StandardButton QtPrompts::ask(QMessageBox::Icon icon, const std::string& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) {
    LoopHold hold(loop_);
    QMessageBox box(icon, qs(boxTitle_), qs(text), buttons, parent_);
    if (defaultButton != QMessageBox::NoButton) box.setDefaultButton(defaultButton);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int wide = box.fontMetrics().horizontalAdvance(qs(boxTitle_)) + 120;
        grid->addItem(new QSpacerItem(wide, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    const int answer = box.exec();
    return box.clickedButton() ? box.standardButton(box.clickedButton()) : static_cast<QMessageBox::StandardButton>(answer);
}

void QtPrompts::information(const std::string& text) { ask(QMessageBox::Information, text, QMessageBox::Ok); }

void QtPrompts::warning(const std::string& text) { ask(QMessageBox::Warning, text, QMessageBox::Ok); }

bool QtPrompts::errorOkAbort(const std::string& text) {
    return ask(QMessageBox::Critical, text, QMessageBox::Ok | QMessageBox::Abort, QMessageBox::Ok) == QMessageBox::Ok;
}

bool QtPrompts::differenceYesAbort(const std::string& text) {
    return ask(QMessageBox::Critical, text, QMessageBox::Yes | QMessageBox::Abort, QMessageBox::Yes) == QMessageBox::Yes;
}

bool QtPrompts::questionYesNo(const std::string& text) {
    return ask(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void QtPrompts::message(const std::string& text) { ask(QMessageBox::NoIcon, text, QMessageBox::Ok); }

void QtPrompts::beep() { QApplication::beep(); }

QStringList QtPrompts::qtFilters(const std::string& filter) {
    QStringList parts = qs(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList pats;
        for (QString p : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            p = p.trimmed();
            if (p == "*.*") {
                pats << "*";
                continue;
            }
            // Linux names are case-sensitive: offer the pattern in the usual cases.
            pats << p;
            if (p.toLower() != p) pats << p.toLower();
            if (p.toUpper() != p) pats << p.toUpper();
        }
        pats.removeDuplicates();
        out << parts[i] + " (" + pats.join(' ') + ")";
    }
    return out;
}

std::optional<FileChoice> QtPrompts::fileDialog(const FileDialogSpec& spec, bool save) {
    LoopHold hold(loop_);
    QFileDialog dlg(parent_, qs(spec.title));
    QStringList filters = qtFilters(spec.filter);
    dlg.setNameFilters(filters);
    if (spec.filterIndex >= 1 && spec.filterIndex <= filters.size()) dlg.selectNameFilter(filters[spec.filterIndex - 1]);
    QString ext = qs(spec.defaultExt);
    ext.remove("*.");
    dlg.setDefaultSuffix(ext);
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dlg.setOption(QFileDialog::DontUseNativeDialog, true);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    FileChoice c;
    c.path = dlg.selectedFiles().first().toUtf8().toStdString();
    c.filterIndex = static_cast<int>(filters.indexOf(dlg.selectedNameFilter())) + 1;
    return c;
}

std::optional<FileChoice> QtPrompts::openFile(const FileDialogSpec& spec) { return fileDialog(spec, false); }
std::optional<FileChoice> QtPrompts::saveFile(const FileDialogSpec& spec) { return fileDialog(spec, true); }

bool QtPrompts::showModal(Form& form) {
    LoopHold hold(loop_);
    QDialog dlg(parent_);
    dlg.setObjectName(qs(form.className()));
    dlg.setFixedSize(form.clientWidth(), form.clientHeight());
    form.resetClose();
    if (form.onShow) form.onShow();
    FormView view(form, &dlg);
    dlg.setWindowTitle(qs(form.caption()));
    form.onCaptionChanged = [&dlg](Form& f) { dlg.setWindowTitle(qs(f.caption())); };
    form.onCloseRequested = [&dlg](Form& f) { dlg.done(f.modalResult); };
    int r = dlg.exec();
    if (!form.closeRequested()) form.close(r == QDialog::Accepted ? Form::Ok : Form::Cancel);
    form.onCloseRequested = nullptr;
    form.onCaptionChanged = nullptr;
    return form.modalResult == Form::Ok;
}

void QtPrompts::copyToClipboard(const std::string& text) { QApplication::clipboard()->setText(qs(text)); }

}  // namespace kvx
