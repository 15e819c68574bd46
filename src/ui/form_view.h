// Builds Qt widgets for a core Form and keeps them in step with it: every
// change of a control's state shows at once, and a user's action updates the
// control's state and runs its handler. Positions and sizes are the form's.
#pragma once

#include "shell/views.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <string>

class QMenuBar;
class QMenu;

namespace kvx {

class QtEventLoop;
class LogView;

// Lines the information-log view keeps on screen (the newest ones; the log
// keeps more in memory, and its journal and files every line).
constexpr int kMemoViewLines = 20000;
static_assert(kMemoViewLines <= static_cast<int>(InfoLog::kMemoryLines));

class FormView : public QObject {
    Q_OBJECT
public:
    // Builds the widgets of `form` on `root`; menus go to `menuBar` when given.
    FormView(Form& form, QWidget* root, QMenuBar* menuBar = nullptr);
    ~FormView() override;

    // Binds the information log to the memo control of that name.
    void bindLog(const std::string& memoName, InfoLog& log);
    // The memo's selected text (lines joined with '\n').
    std::string memoSelection(const std::string& memoName) const;

    QWidget* widget(const std::string& name) const;
    template <typename T>
    T* widgetAs(const std::string& name) const {
        return qobject_cast<T*>(widget(name));
    }
    QObject* action(const std::string& name) const;
    Form& form() { return form_; }

    // Shows the lines appended to the memo that wait for the next repaint
    // batch (the window shows them a batch at a time).
    void flushLog();

private:
    void build();
    QWidget* create(Control& c, QWidget* parent);
    void refresh(Control& c, Field f);
    void refreshAll(Control& c);
    QWidget* containerFor(const std::string& parentName) const;
    // A right click on owner opens m at the pointer.
    void attachPopup(QMenu* m, QWidget* owner);

    Form& form_;
    QWidget* root_;
    QMenuBar* menuBar_;
    std::map<std::string, QPointer<QWidget>> widgets_;
    std::map<std::string, QObject*> actions_;  // menu items
    std::map<std::string, QMenu*> menus_;
    bool updating_ = false;  // echo guard while mirroring the model

    // A log view takes in new lines at most once a turn (every 15 ms).
    struct LogBinding {
        InfoLog* log = nullptr;
        LogView* view = nullptr;
        bool scheduled = false;
    };
    std::map<std::string, LogBinding> logs_;
    void scheduleFlush(const std::string& memoName);
};

}  // namespace kvx
