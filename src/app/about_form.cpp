#include "app/about_form.h"

namespace kvx {

TAboutForm::TAboutForm() : Form("TAboutForm", "AboutForm", 383, 234) {
    setCaption("About");
    using K = ControlKind;
    add("ProgramIcon", K::Panel, "", 16, 16, 64, 64, "K200");
    add("ProductName", K::Label, "", 96, 20, 270, 22, "Korvex200FG Flash MCU Programmer");
    add("Version", K::Label, "", 96, 48, 270, 22, "Version V1.4");
    add("Copyright", K::Label, "", 96, 84, 270, 22, "Korvex200 gang programmer host for Linux");
    add("Comments", K::Label, "", 96, 108, 270, 40, "Up to eight programmer units in parallel.");
    Control& ok = add("OKButton", K::Button, "", 154, 190, 75, 28, "OK");
    ok.onClick = [this] { close(Ok); };
}

}  // namespace kvx
