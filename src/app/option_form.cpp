#include "app/option_form.h"

#include "shell/text.h"

#include <cstring>

namespace kvx {

const char* const TCfgCPTxOptForm::kRowPrefix[6] = {"PnlD0", "PnlD1", "PnlP0", "PnlP1", "PnlP2", "PnlP3"};

namespace {
const char* const kValuePanel[6] = {"GD32xOptD0", "GD32xOptD1", "GD32xOptWP0", "GD32xOptWP1", "GD32xOptWP2", "GD32xOptWP3"};
const char* const kRowLabel[6] = {"Data 0", "Data 1", "WRP0", "WRP1", "WPR2", "WPR3"};
}  // namespace

TCfgCPTxOptForm::TCfgCPTxOptForm(uint8_t* options, std::function<std::string()> chipName)
    : Form("TCfgCPTxOptForm", "CfgCPTxOptForm", 560, 330), opt_(options), chipName_(std::move(chipName)) {
    setCaption("Config Option Byte Wizard");
    using K = ControlKind;
    // Visible rows: WRP0..WRP3; Data 0 and Data 1 exist but stay hidden.
    const int rowOrder[6] = {2, 3, 4, 5, 0, 1};
    for (int r = 0; r < 6; ++r) {
        int s = rowOrder[r];
        bool shown = s >= 2;
        int top = 20 + 40 * r;
        std::string row = std::string("Row") + kRowPrefix[s];
        Control& rowPanel = add(row, K::GroupBox, "", 8, top, 544, 36);
        rowPanel.setVisible(shown);
        add(std::string(kRowPrefix[s]) + "Label", K::Label, row, 6, 8, 60, 22, kRowLabel[s]);
        for (int b = 7; b >= 0; --b) {
            Control& p = add(format("%sB%d", kRowPrefix[s], b), K::Panel, row, 70 + (7 - b) * 52, 6, 50, 24,
                             format("Bit%d=1", b));
            p.setHint("用鼠标右键进行设定");
            p.setPopupMenu("PopupBits");
            // A press with any button (the right one then opens the pop-up).
            p.onClick = [this, s, b] { pressBit(s, b); };
        }
        add(kValuePanel[s], K::Panel, row, 490, 6, 48, 24, "0xFF");
    }
    // One pop-up for every bit panel: "0" and "1" set the bit last pressed.
    add("PopupBits", K::PopupMenu, "", 0, 0, 0, 0);
    add("N03", K::MenuItem, "PopupBits", 0, 0, 0, 0, "0").onClick = [this] { N03Click(); };
    add("N110", K::MenuItem, "PopupBits", 0, 0, 0, 0, "1").onClick = [this] { N110Click(); };
    // Hidden rows: read-out protection and the USER byte.
    add("RowRDP", K::GroupBox, "", 8, 260, 544, 36, "RDP").setVisible(false);
    add("GD32xDROP", K::RadioButton, "RowRDP", 6, 8, 200, 22, "Disable Read Out Protection").setChecked(true);
    (*this)["GD32xDROP"].onClick = [this] { GD32xDROPClick(); };
    add("GD32xEROP", K::RadioButton, "RowRDP", 210, 8, 200, 22, "Enable Read Out Protection").onClick = [this] {
        GD32xEROPClick();
    };
    add("PanelGD32xROP", K::Panel, "RowRDP", 490, 6, 48, 24, "0xA5");
    add("RowUSER", K::GroupBox, "", 8, 260, 544, 36, "WDG_SW").setVisible(false);
    struct UserButton {
        const char* name;
        const char* caption;
        int bit;
        bool set;
    };
    const UserButton ub[] = {{"RadBtnIWGHW", "0 : Hardware watchdog.", 0, false},
                             {"RadBtnIWGSW", "1 : Software watcchdog.", 0, true},
                             {"RadBtnRstStp", "0 : Reset generated when Entering Stop.", 1, false},
                             {"RadBtnNtRstStp", "1 : No reset generated.", 1, true},
                             {"RadBtnRstStb", "0 : Reset generated when Entering Standby.", 2, false},
                             {"RadBtnNtRstStb", "1 : No reset generated.", 2, true}};
    for (auto& u : ub) {
        Control& c = add(u.name, K::Button, "RowUSER", 0, 0, 10, 10, u.caption);
        int bit = u.bit;
        bool set = u.set;
        c.onClick = [this, bit, set] { setUserBit(bit, set); };
    }
    add("GD32xOptUSER", K::Panel, "RowUSER", 490, 6, 48, 24, "0xFF");

    add("ButtonA0", K::Button, "", 20, 284, 110, 30, "Clear All to 0").onClick = [this] { ButtonA0Click(); };
    add("ButtonA1", K::Button, "", 140, 284, 110, 30, "Set All to 1 ").onClick = [this] { ButtonA1Click(); };
    add("BitBtnOK", K::Button, "", 330, 284, 90, 30, "OK").onClick = [this] { BitBtnOKClick(); };
    add("BitBtnNG", K::Button, "", 440, 284, 90, 30, "Cancel").onClick = [this] { BitBtnNGClick(); };
    onShow = [this] {
        setCaption((chipName_ ? chipName_() : std::string()) + " Option Byte Setup");
        std::memcpy(backup_.data(), opt_, backup_.size());
        bitSelector = {};
        refresh();
    };
    onClose = [this] {
        // Closing without OK (the close box) restores, as Cancel does.
        if (modalResult != Ok) std::memcpy(opt_, backup_.data(), backup_.size());
    };
}

void TCfgCPTxOptForm::pressBit(int selector, int bit) {
    bitSelector.selector = selector;
    bitSelector.mask = static_cast<uint8_t>(1u << bit);
}

void TCfgCPTxOptForm::showByte(int s) { (*this)[kValuePanel[s]].setCaption(format("0x%0.2x", opt_[kOffset[s]])); }

void TCfgCPTxOptForm::setBit(bool one) {
    int s = bitSelector.selector;
    uint8_t mask = bitSelector.mask;
    if (mask == 0) return;
    uint8_t& b = opt_[kOffset[s]];
    b = one ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
    opt_[kComplement[s]] = static_cast<uint8_t>(~b);
    showByte(s);
    for (int n = 0; n < 8; ++n)
        if (mask == (1u << n)) (*this)[format("%sB%d", kRowPrefix[s], n)].setCaption(format("Bit%d=%d", n, one ? 1 : 0));
}

void TCfgCPTxOptForm::N03Click() { setBit(false); }
void TCfgCPTxOptForm::N110Click() { setBit(true); }

void TCfgCPTxOptForm::refresh() {
    for (int s = 2; s < 6; ++s) {
        showByte(s);
        for (int n = 0; n < 8; ++n)
            (*this)[format("%sB%d", kRowPrefix[s], n)].setCaption(format("Bit%d=%d", n, (opt_[kOffset[s]] >> n) & 1));
    }
}

void TCfgCPTxOptForm::ButtonA0Click() {
    for (int s = 2; s < 6; ++s) {
        opt_[kOffset[s]] = 0x00;
        opt_[kComplement[s]] = 0xFF;
    }
    refresh();
}

void TCfgCPTxOptForm::ButtonA1Click() {
    for (int s = 2; s < 6; ++s) {
        opt_[kOffset[s]] = 0xFF;
        opt_[kComplement[s]] = 0x00;
    }
    refresh();
}

void TCfgCPTxOptForm::BitBtnOKClick() {
    for (int s = 2; s < 6; ++s) opt_[kComplement[s]] = static_cast<uint8_t>(~opt_[kOffset[s]]);
    close(Ok);
}

void TCfgCPTxOptForm::BitBtnNGClick() { close(Cancel); }

void TCfgCPTxOptForm::GD32xDROPClick() {
    opt_[0] = 0xA5;
    opt_[1] = 0x5A;
    (*this)["PanelGD32xROP"].setCaption("0xA5");
}

void TCfgCPTxOptForm::GD32xEROPClick() {
    opt_[0] = 0x00;
    opt_[1] = 0xFF;
    (*this)["PanelGD32xROP"].setCaption("0x00");
}

void TCfgCPTxOptForm::setUserBit(int bit, bool set) {
    uint8_t& u = opt_[2];
    u = set ? static_cast<uint8_t>(u | (1u << bit)) : static_cast<uint8_t>(u & ~(1u << bit));
    opt_[3] = static_cast<uint8_t>(~u);
    (*this)["GD32xOptUSER"].setCaption(format("0x%0.2x", u));
}

}  // namespace kvx
