// The main window TKorvexMGxPrg: lays out the core's controls, binds them and
// forwards the window's events (show, close, key presses) to the program.
#pragma once

#include <functional>
#include <map>
#include <set>

#include <QMainWindow>

#include <memory>
#include <string>
#include <vector>

namespace kvx {

class KorvexApp;
class FormView;
class QtPrompts;

// The program's application title ("Korvex200SC") titles the message boxes;
// it follows the chip's vendor. Window captions stay exactly the forms'.
void bindApplicationTitle(KorvexApp& app, QtPrompts& prompts);

class TKorvexMGxPrg : public QMainWindow {
    Q_OBJECT
public:
    TKorvexMGxPrg(KorvexApp& app, std::vector<std::string> args);
    ~TKorvexMGxPrg() override;
    FormView& view() { return *view_; }
    // Runs once start-up (FormShow) has run.
    std::function<void()> onStartedUp;

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* obj, QEvent* e) override;

private:
    KorvexApp& app_;
    std::unique_ptr<FormView> view_;
    std::vector<std::string> args_;
    bool shown_ = false;
    bool closed_ = false;
    // Space and Enter as the keyboard holds them: a key that is down already
    // starts nothing, whatever its event says about repeating (on X11 most
    // repeats are not flagged as such). Pressed in a modal box, a key counts
    // as down here too, so that a box closed by it does not launch again.
    std::set<int> keysDown_;
    std::map<int, unsigned long> releasedAt_;  // the key's last release (event time)
    // True when this press of Space or Enter is a new press of the key.
    bool newPress(const QKeyEvent* k);
};

}  // namespace kvx
