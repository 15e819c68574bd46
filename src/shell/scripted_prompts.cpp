#include "shell/scripted_prompts.h"

#include "shell/views.h"

namespace kvx {

void ScriptedPrompts::note(Kind k, const std::string& text) {
    records.push_back({k, text});
    if (onRecord) onRecord(records.back());
}

void ScriptedPrompts::information(const std::string& text) { note(Kind::Information, text); }
void ScriptedPrompts::warning(const std::string& text) { note(Kind::Warning, text); }

bool ScriptedPrompts::errorOkAbort(const std::string& text) {
    note(Kind::ErrorOkAbort, text);
    if (okAbortAnswers.empty()) return defaultOk;
    bool a = okAbortAnswers.front();
    okAbortAnswers.pop_front();
    return a;
}

bool ScriptedPrompts::differenceYesAbort(const std::string& text) {
    note(Kind::DifferenceYesAbort, text);
    if (yesAbortAnswers.empty()) return defaultYes;
    bool a = yesAbortAnswers.front();
    yesAbortAnswers.pop_front();
    return a;
}

bool ScriptedPrompts::questionYesNo(const std::string& text) {
    note(Kind::QuestionYesNo, text);
    if (yesNoAnswers.empty()) return false;
    bool a = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return a;
}

void ScriptedPrompts::message(const std::string& text) { note(Kind::Message, text); }

void ScriptedPrompts::beep() {
    ++beeps;
    note(Kind::Beep, "");
}

std::optional<FileChoice> ScriptedPrompts::openFile(const FileDialogSpec& spec) {
    fileDialogs.push_back(spec);
    note(Kind::OpenFile, spec.title);
    if (openAnswers.empty()) return std::nullopt;
    auto a = openAnswers.front();
    openAnswers.pop_front();
    return a;
}

std::optional<FileChoice> ScriptedPrompts::saveFile(const FileDialogSpec& spec) {
    fileDialogs.push_back(spec);
    note(Kind::SaveFile, spec.title);
    if (saveAnswers.empty()) return std::nullopt;
    auto a = saveAnswers.front();
    saveAnswers.pop_front();
    return a;
}

bool ScriptedPrompts::showModal(Form& form) {
    note(Kind::Modal, form.className());
    form.resetClose();
    if (form.onShow) form.onShow();
    if (modalScript) modalScript(form);
    if (!form.closeRequested()) form.close(Form::Ok);
    return form.modalResult == Form::Ok;
}

void ScriptedPrompts::copyToClipboard(const std::string& text) {
    clipboard = text;
    note(Kind::Clipboard, text);
}

std::vector<std::string> ScriptedPrompts::texts(Kind k) const {
    std::vector<std::string> out;
    for (auto& r : records)
        if (r.kind == k) out.push_back(r.text);
    return out;
}

size_t ScriptedPrompts::count(Kind k) const {
    size_t n = 0;
    for (auto& r : records) n += r.kind == k;
    return n;
}

}  // namespace kvx
