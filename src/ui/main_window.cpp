#include "ui/main_window.h"

#include "app/korvex_app.h"
#include "ui/form_view.h"
#include "ui/qt_prompts.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>

namespace kvx {

namespace {
QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
}  // namespace

void bindApplicationTitle(KorvexApp& app, QtPrompts& prompts) {
    app.onTitleChanged = [&prompts](const std::string& t) { prompts.setBoxTitle(t); };
    prompts.setBoxTitle(app.applicationTitle);
}

TKorvexMGxPrg::TKorvexMGxPrg(KorvexApp& app, std::vector<std::string> args) : app_(app), args_(std::move(args)) {
    setObjectName("KorvexMGxPrg");
    auto* central = new QWidget(this);
    central->setObjectName("ClientArea");
    setCentralWidget(central);
    view_ = std::make_unique<FormView>(app_.ui, central, menuBar());
    view_->bindLog("InfoMemo", app_.log);
    setWindowTitle(qs(app_.ui.caption()));
    app_.ui.onCaptionChanged = [this](Form& f) { setWindowTitle(qs(f.caption())); };
    app_.onCloseWindow = [this] { close(); };
    if (auto* copy = qobject_cast<QAction*>(view_->action("CopytoCli1")))
        QObject::connect(copy, &QAction::triggered, this, [this] { app_.CopytoCli1Click(view_->memoSelection("InfoMemo")); });
    // A fixed, non-resizable window of the design's client size, centred.
    central->setFixedSize(app_.ui.clientWidth(), app_.ui.clientHeight());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    adjustSize();
    setFixedSize(sizeHint());
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
    qApp->installEventFilter(this);
}

TKorvexMGxPrg::~TKorvexMGxPrg() {
    qApp->removeEventFilter(this);
    app_.ui.onCaptionChanged = nullptr;
    app_.onCloseWindow = nullptr;
}

void TKorvexMGxPrg::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (shown_) return;
    shown_ = true;
    // Start-up runs once the window is on the screen, so the boxes it may show
    // (the missing firmware file) appear over the window.
    // A window closed before then (a signal to end) starts nothing.
    QTimer::singleShot(0, this, [this] {
        if (closed_) return;
        app_.FormShow(args_);
        if (onStartedUp) onStartedUp();
    });
}

void TKorvexMGxPrg::closeEvent(QCloseEvent* e) {
    // The close box while channels run asks first (Exit has asked already).
    if (!closed_ && !app_.confirmQuit()) {
        e->ignore();
        return;
    }
    if (!closed_) {
        closed_ = true;
        app_.FormClose();
    }
    e->accept();
}

bool TKorvexMGxPrg::newPress(const QKeyEvent* k) {
    const int key = k->key() == Qt::Key_Enter ? Qt::Key_Return : k->key();
    if (k->isAutoRepeat() || keysDown_.count(key)) return false;
    // A repeat sent as a release and a press at the same moment.
    const auto released = releasedAt_.find(key);
    if (released != releasedAt_.end() && released->second == k->timestamp() && k->timestamp() != 0) return false;
    keysDown_.insert(key);
    return true;
}

// Space or Enter anywhere in the main window starts the automatic operation,
// once per press of the key, however long it is held; the key still reaches
// the focused control afterwards. Qt hands a key the focused widget ignores
// on to its parents, and the application's filter sees every one of those
// deliveries: only the first (to the focused widget, or to the window when
// nothing has focus) is the operator's press.
bool TKorvexMGxPrg::eventFilter(QObject* obj, QEvent* e) {
    const bool press = e->type() == QEvent::KeyPress, release = e->type() == QEvent::KeyRelease;
    if (press || release) {
        auto* w = qobject_cast<QWidget*>(obj);
        auto* k = static_cast<QKeyEvent*>(e);
        QWidget* focus = QApplication::focusWidget();
        bool first = w && (w == focus || (focus == nullptr && w == this) || (focus == nullptr && w->isWindow()));
        bool autoKey = k->key() == Qt::Key_Space || k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
        const int key = k->key() == Qt::Key_Enter ? Qt::Key_Return : k->key();
        // A release ends the press wherever it is delivered (the focus may
        // have moved meanwhile).
        if (autoKey && release && !k->isAutoRepeat()) {
            keysDown_.erase(key);
            releasedAt_[key] = k->timestamp();
        }
        // Every first delivery of a press counts, a modal box's too.
        const bool fresh = first && autoKey && press && newPress(k);
        if (fresh && w->window() == this && QApplication::activeModalWidget() == nullptr) {
            // A number being typed into a spin edit is taken first, so the
            // run uses what the operator sees.
            for (QWidget* p = w; p; p = p->parentWidget())
                if (auto* spin = qobject_cast<QAbstractSpinBox*>(p)) {
                    spin->interpretText();
                    break;
                }
            app_.FormKeyPress(k->key() == Qt::Key_Space ? ' ' : '\r');
        }
    } else if (e->type() == QEvent::ApplicationDeactivate) {
        // Releases are not seen while another program has the keyboard.
        keysDown_.clear();
    }
    return QMainWindow::eventFilter(obj, e);
}

}  // namespace kvx
