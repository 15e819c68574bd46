// The program behind the main window TKorvexMGxPrg: owns the controls' state,
// the information log and every program-wide record, binds each control to its
// handler, and runs the start-up and shut-down sequences. The Qt window and the
// command line front end drive the same object through the seams.
#pragma once

#include "app/about_form.h"
#include "shell/info.h"
#include "shell/main_controls.h"
#include "shell/seams.h"

#include <string>
#include <vector>

namespace kvx {

class KorvexApp {
public:
    KorvexApp(EventLoop& loop, Prompts& prompts, Clock& clock, Random& rng);
    ~KorvexApp();
    KorvexApp(const KorvexApp&) = delete;
    KorvexApp& operator=(const KorvexApp&) = delete;

    // --- shell --------------------------------------------------------------
    void FormShow(const std::vector<std::string>& args);
    void FormClose();
    void AppendInfoLine(const std::string& text) { info.AppendInfoLine(text); }
    void ClearInformation1Click();
    // Copies the given selection of the information log to the clipboard.
    void CopytoCli1Click(const std::string& selection);
    void SpdBtnExitClick();
    void About1Click();
    // A key pressed anywhere in the main window: Space or Enter runs the
    // automatic operation. The key is not consumed (the caller passes it on).
    void FormKeyPress(char key);

    // --- launchers ------------------------------------------------------------
    void AutoSpdBtnClick();

    // The application title (the task bar text), set at start and per vendor.
    std::string applicationTitle = "Korvex200XXX";
    void setApplicationTitle(const std::string& t) {
        applicationTitle = t;
        if (onTitleChanged) onTitleChanged(t);
    }
    std::function<void(const std::string&)> onTitleChanged;
    // The view closes the main window when asked.
    std::function<void()> onCloseWindow;

    // --- seams and state -------------------------------------------------------
    EventLoop& loop;
    Prompts& prompts;
    Clock& clock;
    Random& rng;
    MainControls ui;
    InfoLog log;
    InfoWriter info{log, clock};
    TAboutForm about;

    std::string programFolder;
    bool chipChosen = false;
    bool fileLoaded = false;

private:
    void bindHandlers();
};

}  // namespace kvx
