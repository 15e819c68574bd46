// The main window TKorvexMGxPrg: lays out the core's controls, binds them and
// forwards the window's events (show, close, key presses) to the program.
#pragma once

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
};

}  // namespace kvx
