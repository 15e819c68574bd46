// Operator prompts on Qt: message boxes, file dialogs and the modal dialogs
// of the core's forms. While one is open the event loop is held, so no serial
// data and no timer tick reaches the core.
#pragma once

#include "shell/seams.h"

class QWidget;
#include <QMessageBox>
#include <QStringList>

namespace kvx {

class QtEventLoop;

class QtPrompts : public Prompts {
public:
    QtPrompts(QtEventLoop& loop, QWidget* parent) : loop_(loop), parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    // The title of the message boxes: the program's application title. It is
    // kept here, not as Qt's application display name, which window systems
    // would append to every window's caption.
    void setBoxTitle(const std::string& title) { boxTitle_ = title; }
    const std::string& boxTitle() const { return boxTitle_; }

    void information(const std::string& text) override;
    void warning(const std::string& text) override;
    bool errorOkAbort(const std::string& text) override;
    bool differenceYesAbort(const std::string& text) override;
    bool questionYesNo(const std::string& text) override;
    void message(const std::string& text) override;
    void beep() override;
    std::optional<FileChoice> openFile(const FileDialogSpec& spec) override;
    std::optional<FileChoice> saveFile(const FileDialogSpec& spec) override;
    bool showModal(Form& form) override;
    void copyToClipboard(const std::string& text) override;

    // Converts a filter string "Name|*.a;*.b|Other|*.c" to Qt's name filters.
    static QStringList qtFilters(const std::string& filter);

private:
    std::optional<FileChoice> fileDialog(const FileDialogSpec& spec, bool save);
    // Shows a message box, held as modal; the button the operator chose.
    QMessageBox::StandardButton ask(QMessageBox::Icon icon, const std::string& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    QtEventLoop& loop_;
    QWidget* parent_;
    std::string boxTitle_;
};

}  // namespace kvx
