#include "app/korvex_app.h"

namespace kvx {

KorvexApp::KorvexApp(EventLoop& l, Prompts& p, Clock& c, Random& r) : loop(l), prompts(p), clock(c), rng(r) {
    bindHandlers();
}

KorvexApp::~KorvexApp() = default;

void KorvexApp::bindHandlers() {
    ui["ClearInformation1"].onClick = [this] { ClearInformation1Click(); };
    ui["SpdBtnExit"].onClick = [this] { SpdBtnExitClick(); };
    ui["Exit1"].onClick = [this] { SpdBtnExitClick(); };
    ui["About1"].onClick = [this] { About1Click(); };
    ui["AutoSpdBtn"].onClick = [this] { AutoSpdBtnClick(); };
    ui["AutoProgram1"].onClick = [this] { AutoSpdBtnClick(); };
}

void KorvexApp::FormShow(const std::vector<std::string>& /*args*/) {
    ui["ViewPageCtrl"].setItemIndex(0);
    info.addLine("");
    AppendInfoLine("Hello Korvex200SC User! ------ " + shortDateText(clock.now()));
}

void KorvexApp::FormClose() {}

void KorvexApp::ClearInformation1Click() { log.clear(); }

void KorvexApp::CopytoCli1Click(const std::string& selection) { prompts.copyToClipboard(selection); }

void KorvexApp::SpdBtnExitClick() {
    if (onCloseWindow) onCloseWindow();
}

void KorvexApp::About1Click() { prompts.showModal(about); }

void KorvexApp::FormKeyPress(char key) {
    if (key == ' ' || key == '\r') AutoSpdBtnClick();
}

void KorvexApp::AutoSpdBtnClick() {
    info.addLine("");
    ui["PanelBtns"].setFocus();
    if (!chipChosen) {
        prompts.information("请选择并确认芯片型号！");
        return;
    }
    if (!fileLoaded) {
        prompts.information("请加载目标文件！");
        return;
    }
}

}  // namespace kvx
