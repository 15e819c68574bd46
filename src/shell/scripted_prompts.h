// Prompts answered from a script: every prompt is recorded with its kind and
// text, and answered by the next queued answer or by a default. Used by the
// tests, and with fixed policies by the command line front end.
#pragma once

#include "shell/seams.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kvx {

class ScriptedPrompts : public Prompts {
public:
    enum class Kind {
        Information,
        Warning,
        ErrorOkAbort,
        DifferenceYesAbort,
        QuestionYesNo,
        Message,
        Beep,
        OpenFile,
        SaveFile,
        Modal,
        Clipboard
    };
    struct Record {
        Kind kind;
        std::string text;
    };

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

    // Answers, taken in order; when a queue is empty the default applies.
    std::deque<bool> okAbortAnswers;   // true = OK
    std::deque<bool> yesAbortAnswers;  // true = Yes
    bool defaultOk = true;
    bool defaultYes = true;
    std::deque<bool> yesNoAnswers;  // true = Yes; none left: No
    std::deque<std::optional<FileChoice>> openAnswers;
    std::deque<std::optional<FileChoice>> saveAnswers;
    // A modal dialog is handed to this script, which sets its controls and
    // clicks its buttons (or closes it); without one the dialog is shown and
    // closed with OK after its onShow.
    std::function<void(Form&)> modalScript;

    std::vector<Record> records;
    std::vector<FileDialogSpec> fileDialogs;
    std::string clipboard;
    int beeps = 0;

    // Texts of the records of one kind, in order.
    std::vector<std::string> texts(Kind k) const;
    size_t count(Kind k) const;
    // Called for every record as it happens (the command line prints them).
    std::function<void(const Record&)> onRecord;

private:
    void note(Kind k, const std::string& text);
};

}  // namespace kvx
