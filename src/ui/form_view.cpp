#include "ui/form_view.h"

#include "ui/gauge_widget.h"
#include "ui/log_view.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <QMouseEvent>

#include <algorithm>
#include <limits>
#include <memory>

namespace kvx {

namespace {
QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string ss(const QString& s) { return s.toUtf8().toStdString(); }
QColor qc(Rgb c) { return QColor(c.r, c.g, c.b); }

// The grid's rows come from the control's row source; row 0 is the header.
// A hex grid has its 18 columns (address, 16 bytes, text); a table has the
// control's column count.
class GridModel : public QAbstractTableModel {
public:
    explicit GridModel(Control& c, QObject* parent) : QAbstractTableModel(parent), c_(c) {}
    int rowCount(const QModelIndex& p = {}) const override {
        if (p.isValid() || !c_.rowCount) return 0;
        size_t n = c_.rowCount();
        return n > 0 ? static_cast<int>(n - 1) : 0;
    }
    int columnCount(const QModelIndex& p = {}) const override {
        if (p.isValid()) return 0;
        return c_.kind() == ControlKind::Table ? std::max(1, c_.columns()) : 18;
    }
    QVariant data(const QModelIndex& i, int role) const override {
        if (role != Qt::DisplayRole || !c_.cellText) return {};
        return qs(c_.cellText(static_cast<size_t>(i.row()) + 1, i.column()));
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (role != Qt::DisplayRole || o != Qt::Horizontal || !c_.cellText) return {};
        return qs(c_.cellText(0, section));
    }
    void reset() {
        beginResetModel();
        endResetModel();
    }

private:
    Control& c_;
};

// A radio group laid out as the classic control does: the items fill the
// columns one after another, top to bottom, and share the room below the
// caption evenly, each row its part of the height and each column its part of
// the width. The buttons are placed, not laid out, so no layout's margins or
// minimum sizes can squash them; they follow the group when it is resized.
class RadioGroupBox : public QGroupBox {
public:
    RadioGroupBox(const Control& c, QWidget* parent) : QGroupBox(parent), c_(c) {}
    QList<QRadioButton*> items() const { return findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly); }
    void arrange() {
        const QList<QRadioButton*> buttons = items();
        if (buttons.isEmpty()) return;
        const int n = static_cast<int>(buttons.size());
        const int cols = std::max(1, c_.columns());
        const int rows = (n + cols - 1) / cols;
        // The caption takes one text line (as tall as the style draws it).
        QStyleOptionGroupBox o;
        initStyleOption(&o);
        const QRect title = style()->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, this);
        const int caption = std::max(fontMetrics().height(), title.bottom()) + 1;
        const int room = std::max(0, height() - caption - 4);
        const int rowHeight = room / rows;
        const int top = caption + (room % rows) / 2;
        // Columns start 8 pixels in from the frame, fewer (down to 4) when the
        // widest text needs the room.
        int widest = 0;
        for (QRadioButton* b : buttons) widest = std::max(widest, b->sizeHint().width());
        const int left = std::clamp(width() - 2 - widest * cols, 4, 8);
        const int colWidth = std::max(0, (width() - left - 2) / cols);
        for (int i = 0; i < n; ++i)
            buttons[i]->setGeometry(left + (i / rows) * colWidth, top + (i % rows) * rowHeight, colWidth, rowHeight);
    }

protected:
    void resizeEvent(QResizeEvent* e) override {
        QGroupBox::resizeEvent(e);
        arrange();
    }
    void changeEvent(QEvent* e) override {
        QGroupBox::changeEvent(e);
        if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) arrange();
    }

private:
    const Control& c_;
};

QKeySequence keyFor(const std::string& s) { return QKeySequence(qs(s)); }

// A panel: a framed caption that reports a press with any mouse button (the
// right one then opens its pop-up menu, if it has one).
class PanelLabel : public QLabel {
public:
    PanelLabel(QWidget* parent, std::function<void()> onPress) : QLabel(parent), onPress_(std::move(onPress)) {}

protected:
    void mousePressEvent(QMouseEvent* e) override {
        if (onPress_) onPress_();
        QLabel::mousePressEvent(e);
    }

private:
    std::function<void()> onPress_;
};

// A spin edit takes any whole number the operator types; the control's
// limits apply when the number is taken (on leaving the edit, Enter, or
// before an action), so a number outside them becomes the nearest limit, as
// the program's spin edits always did. The arrows stay within the limits.
class ClampingSpinBox : public QSpinBox {
public:
    explicit ClampingSpinBox(QWidget* parent) : QSpinBox(parent) {
        QSpinBox::setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    }
    void setLimits(int lo, int hi) {
        lo_ = lo;
        hi_ = std::max(lo, hi);
    }
    int clamp(int v) const { return std::clamp(v, lo_, hi_); }

protected:
    QValidator::State validate(QString& text, int&) const override {
        QString t = text.trimmed();
        if (t.isEmpty() || t == "-" || t == "+") return QValidator::Intermediate;
        bool ok = false;
        t.toInt(&ok);
        return ok ? QValidator::Acceptable : QValidator::Invalid;
    }
    void stepBy(int steps) override {
        int64_t v = static_cast<int64_t>(value()) + static_cast<int64_t>(steps) * singleStep();
        setValue(static_cast<int>(std::clamp<int64_t>(v, lo_, hi_)));
    }
    StepEnabled stepEnabled() const override {
        StepEnabled s = StepNone;
        if (value() > lo_) s |= StepDownEnabled;
        if (value() < hi_) s |= StepUpEnabled;
        return s;
    }

private:
    int lo_ = 0, hi_ = 100;
};

// Opens a pop-up menu at a point of the widget that asked for it: a scroll
// area reports its point in its viewport, below the header.
void popupAt(QMenu* m, QWidget* owner, const QPoint& p) {
    auto* area = qobject_cast<QAbstractScrollArea*>(owner);
    m->popup(area ? area->viewport()->mapToGlobal(p) : owner->mapToGlobal(p));
}
}  // namespace

FormView::FormView(Form& form, QWidget* root, QMenuBar* menuBar) : form_(form), root_(root), menuBar_(menuBar) {
    build();
    form_.onChanged = [this](Control& c, Field f) { refresh(c, f); };
}

FormView::~FormView() {
    form_.onChanged = nullptr;
    for (auto& [name, b] : logs_)
        if (b.log) {
            b.log->onAppended.clear();
            b.log->onCleared.clear();
        }
}

QWidget* FormView::widget(const std::string& name) const {
    auto it = widgets_.find(name);
    return it == widgets_.end() ? nullptr : it->second.data();
}

QObject* FormView::action(const std::string& name) const {
    auto it = actions_.find(name);
    return it == actions_.end() ? nullptr : it->second;
}

QWidget* FormView::containerFor(const std::string& parentName) const {
    if (parentName.empty()) return root_;
    QWidget* w = widget(parentName);
    return w ? w : root_;
}

void FormView::build() {
    for (Control* c : form_.controls()) {
        if (c->kind() == ControlKind::Menu || c->kind() == ControlKind::MenuItem || c->kind() == ControlKind::PopupMenu) {
            create(*c, nullptr);
            continue;
        }
        QWidget* parent = containerFor(c->parent());
        QWidget* w = create(*c, parent);
        if (w) {
            widgets_[c->name()] = w;
            refreshAll(*c);
        }
    }
    // Controls whose pop-up menu is named (one pop-up may serve many).
    for (Control* c : form_.controls()) {
        if (c->popupMenu().empty()) continue;
        auto m = menus_.find(c->popupMenu());
        if (QWidget* w = widget(c->name()); w && m != menus_.end()) attachPopup(m->second, w);
    }
}

void FormView::attachPopup(QMenu* m, QWidget* owner) {
    owner->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(owner, &QWidget::customContextMenuRequested, m, [m, owner](const QPoint& p) { popupAt(m, owner, p); });
}

QWidget* FormView::create(Control& c, QWidget* parent) {
    using K = ControlKind;
    Control* cp = &c;
    switch (c.kind()) {
    case K::Menu: {
        if (!menuBar_) return nullptr;
        QMenu* m = menuBar_->addMenu(qs(c.caption()));
        m->setObjectName(qs(c.name()));
        menus_[c.name()] = m;
        return nullptr;
    }
    case K::PopupMenu: {
        QWidget* owner = widget(c.parent());
        auto* m = new QMenu(owner ? owner : root_);
        m->setObjectName(qs(c.name()));
        menus_[c.name()] = m;
        if (owner) attachPopup(m, owner);
        return nullptr;
    }
    case K::MenuItem: {
        auto it = menus_.find(c.parent());
        if (it == menus_.end()) return nullptr;
        QAction* a = it->second->addAction(qs(c.caption()));
        a->setObjectName(qs(c.name()));
        if (!c.shortcut().empty()) {
            a->setShortcut(keyFor(c.shortcut()));
            a->setShortcutContext(Qt::WindowShortcut);
        }
        a->setVisible(c.visible());
        a->setEnabled(c.enabled());
        QObject::connect(a, &QAction::triggered, this, [cp] { cp->click(); });
        actions_[c.name()] = a;
        return nullptr;
    }
    default:
        break;
    }

    QWidget* w = nullptr;
    switch (c.kind()) {
    case K::Button: {
        auto* b = new QPushButton(parent);
        QObject::connect(b, &QPushButton::clicked, this, [cp] { cp->click(); });
        w = b;
        break;
    }
    case K::SpeedButton: {
        auto* b = new QToolButton(parent);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setFocusPolicy(Qt::StrongFocus);
        QObject::connect(b, &QToolButton::clicked, this, [cp] { cp->click(); });
        w = b;
        break;
    }
    case K::CheckBox: {
        auto* b = new QCheckBox(parent);
        QObject::connect(b, &QCheckBox::clicked, this, [this, cp, b] {
            if (updating_) return;
            cp->userToggle();
            b->setChecked(cp->checked());
        });
        w = b;
        break;
    }
    case K::RadioButton: {
        auto* b = new QRadioButton(parent);
        b->setAutoExclusive(false);
        QObject::connect(b, &QRadioButton::clicked, this, [this, cp, b] {
            if (updating_) return;
            cp->userToggle();
            b->setChecked(cp->checked());
        });
        w = b;
        break;
    }
    case K::RadioGroup: {
        w = new RadioGroupBox(c, parent);
        break;
    }
    case K::Edit: {
        auto* e = new QLineEdit(parent);
        QObject::connect(e, &QLineEdit::textEdited, this, [this, cp](const QString& t) {
            if (!updating_) cp->userSetText(ss(t));
        });
        w = e;
        break;
    }
    case K::SpinEdit: {
        auto* s = new ClampingSpinBox(parent);
        s->setKeyboardTracking(false);
        QObject::connect(s, &QSpinBox::valueChanged, this, [this, cp, s](int v) {
            if (updating_) return;
            cp->userSetValue(v);
            // The model keeps the number within its limits; show what it kept.
            if (s->value() != cp->value()) {
                updating_ = true;
                s->setValue(static_cast<int>(cp->value()));
                updating_ = false;
            }
        });
        w = s;
        break;
    }
    case K::Label: {
        w = new QLabel(parent);
        break;
    }
    case K::Panel: {
        auto* l = new PanelLabel(parent, [cp] { cp->click(); });
        l->setAlignment(Qt::AlignCenter);
        l->setFrameShape(QFrame::Panel);
        l->setFrameShadow(QFrame::Raised);
        w = l;
        break;
    }
    case K::GroupBox: {
        w = new QGroupBox(parent);
        break;
    }
    case K::ComboBox: {
        auto* cb = new QComboBox(parent);
        cb->setEditable(true);
        cb->lineEdit()->setReadOnly(true);
        cb->setInsertPolicy(QComboBox::NoInsert);
        QObject::connect(cb, &QComboBox::activated, this, [this, cp](int i) {
            if (!updating_) cp->userSetItemIndex(i);
        });
        w = cb;
        break;
    }
    case K::ListBox: {
        auto* lb = new QListWidget(parent);
        QObject::connect(lb, &QListWidget::currentRowChanged, this, [this, cp](int i) {
            if (!updating_) cp->userSetItemIndex(i);
        });
        QObject::connect(lb, &QListWidget::itemDoubleClicked, this, [cp](QListWidgetItem*) {
            if (cp->onClick) cp->onClick();
        });
        w = lb;
        break;
    }
    case K::Memo: {
        auto* m = new LogView(parent);
        m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QFont f = m->font();
        f.setPixelSize(12);
        m->setFont(f);
        QPalette pal = m->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::Button));
        pal.setColor(QPalette::Text, qc(c.color()));
        m->setPalette(pal);
        w = m;
        break;
    }
    case K::Gauge: {
        w = new GaugeWidget(parent);
        break;
    }
    case K::Grid: {
        auto* t = new QTableView(parent);
        auto* model = new GridModel(c, t);
        t->setModel(model);
        t->verticalHeader()->setVisible(false);
        t->verticalHeader()->setDefaultSectionSize(20);
        t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        t->horizontalHeader()->setDefaultSectionSize(25);
        t->horizontalHeader()->setMinimumSectionSize(10);
        t->setColumnWidth(0, 70);
        t->setColumnWidth(17, 130);
        t->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        QPalette pal = t->palette();
        pal.setColor(QPalette::Text, qc(c.color()));
        t->setPalette(pal);
        // A compact fixed-pitch font, so the address fits the 70-pixel column.
        QFont f("Monospace");
        f.setStyleHint(QFont::TypeWriter);
        f.setPixelSize(10);
        t->setFont(f);
        w = t;
        break;
    }
    case K::Table: {
        auto* t = new QTableView(parent);
        t->setModel(new GridModel(c, t));
        t->verticalHeader()->setVisible(false);
        t->verticalHeader()->setDefaultSectionSize(20);
        t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        t->horizontalHeader()->setStretchLastSection(true);
        t->setSelectionBehavior(QAbstractItemView::SelectRows);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        t->setAlternatingRowColors(true);
        w = t;
        break;
    }
    case K::PageControl: {
        w = new QTabWidget(parent);
        QObject::connect(static_cast<QTabWidget*>(w), &QTabWidget::currentChanged, this, [this, cp, w](int i) {
            if (updating_) return;
            // Map the visible tab to the page's index in the model.
            auto* tw = static_cast<QTabWidget*>(w);
            QWidget* page = tw->widget(i);
            int idx = 0;
            for (Control* o : form_.controls())
                if (o->kind() == ControlKind::TabSheet && o->parent() == cp->name()) {
                    if (widget(o->name()) == page) {
                        updating_ = true;
                        cp->setItemIndex(idx);
                        updating_ = false;
                        return;
                    }
                    ++idx;
                }
        });
        break;
    }
    case K::TabSheet: {
        auto* tw = qobject_cast<QTabWidget*>(parent);
        auto* page = new QWidget();
        if (tw) tw->addTab(page, qs(c.caption()));
        w = page;
        widgets_[c.name()] = w;
        return w;
    }
    case K::StatusBar: {
        auto* bar = new QWidget(parent);
        int x = 0;
        const int widths[] = {160, 140, 420};
        for (int i = 0; i < 3; ++i) {
            auto* l = new QLabel(bar);
            l->setObjectName(QString("panel%1").arg(i));
            l->setFrameShape(QFrame::Panel);
            l->setFrameShadow(QFrame::Sunken);
            l->setGeometry(x, 0, widths[i], c.height());
            x += widths[i] + 2;
        }
        w = bar;
        break;
    }
    default:
        return nullptr;
    }
    w->setObjectName(qs(c.name()));
    return w;
}

void FormView::refreshAll(Control& c) {
    for (Field f : {Field::Geometry, Field::Caption, Field::Text, Field::Items, Field::Checked, Field::ItemIndex,
                    Field::Range, Field::Value, Field::Visible, Field::Enabled, Field::Color})
        refresh(c, f);
}

void FormView::refresh(Control& c, Field f) {
    using K = ControlKind;
    if (c.kind() == K::MenuItem) {
        auto* a = qobject_cast<QAction*>(action(c.name()));
        if (!a) return;
        if (f == Field::Caption) a->setText(qs(c.caption()));
        if (f == Field::Visible) a->setVisible(c.visible());
        if (f == Field::Enabled) a->setEnabled(c.enabled());
        return;
    }
    QWidget* w = widget(c.name());
    if (!w) return;
    bool was = updating_;
    updating_ = true;
    switch (f) {
    case Field::Geometry:
        if (c.kind() != K::TabSheet && (c.width() > 0 || c.height() > 0))
            w->setGeometry(c.left(), c.top(), c.width(), c.height());
        break;
    case Field::Visible:
        if (c.kind() == K::TabSheet) {
            if (auto* tw = qobject_cast<QTabWidget*>(widget(c.parent()))) tw->setTabVisible(tw->indexOf(w), c.visible());
        } else {
            w->setVisible(c.visible());
        }
        break;
    case Field::Enabled:
        w->setEnabled(c.enabled());
        break;
    case Field::Focus:
        w->setFocus();
        break;
    case Field::Caption:
        if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(qs(c.caption()));
        else if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(qs(c.caption()));
        else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(qs(c.caption()));
        if (c.kind() == K::TabSheet)
            if (auto* tw = qobject_cast<QTabWidget*>(widget(c.parent()))) tw->setTabText(tw->indexOf(w), qs(c.caption()));
        if (!c.hint().empty()) w->setToolTip(qs(c.hint()));
        break;
    case Field::Text:
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            if (c.maxLength() > 0) e->setMaxLength(c.maxLength());
            e->setReadOnly(c.readOnly());
            if (e->text() != qs(c.text())) e->setText(qs(c.text()));
        } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
            cb->setEditText(qs(c.text()));
        }
        break;
    case Field::Checked:
        if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setChecked(c.checked());
        break;
    case Field::Items:
        if (c.kind() == K::RadioGroup) {
            auto* g = static_cast<RadioGroupBox*>(w);
            qDeleteAll(g->items());
            for (size_t i = 0; i < c.items().size(); ++i) {
                auto* rb = new QRadioButton(qs(c.items()[i]), g);
                rb->setAutoExclusive(false);
                rb->setObjectName(qs(c.name() + "_" + std::to_string(i)));
                rb->show();
                int idx = static_cast<int>(i);
                Control* cp = &c;
                QObject::connect(rb, &QRadioButton::clicked, this, [this, cp, idx] {
                    if (updating_) return;
                    cp->userSetItemIndex(idx);
                    refresh(*cp, Field::ItemIndex);
                });
            }
            g->arrange();
            refresh(c, Field::ItemIndex);
        } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
            cb->clear();
            for (auto& s : c.items()) cb->addItem(qs(s));
            cb->setEditText(qs(c.text()));
        } else if (auto* lb = qobject_cast<QListWidget*>(w)) {
            lb->clear();
            for (auto& s : c.items()) lb->addItem(qs(s));
            lb->setCurrentRow(c.itemIndex());
        } else if (c.kind() == K::StatusBar) {
            for (int i = 0; i < 3; ++i)
                if (auto* l = w->findChild<QLabel*>(QString("panel%1").arg(i)))
                    l->setText(i < static_cast<int>(c.items().size()) ? qs(c.items()[static_cast<size_t>(i)]) : QString());
        } else if (c.kind() == K::Table) {
            auto* t = static_cast<QTableView*>(w);
            static_cast<GridModel*>(t->model())->reset();
            t->resizeColumnsToContents();
        } else if (auto* t = qobject_cast<QTableView*>(w)) {
            static_cast<GridModel*>(t->model())->reset();
            t->setColumnWidth(0, 70);
            for (int col = 1; col <= 16; ++col) t->setColumnWidth(col, 25);
            t->setColumnWidth(17, 130);
        }
        break;
    case Field::ItemIndex:
        if (c.kind() == K::RadioGroup) {
            int i = 0;
            for (auto* rb : w->findChildren<QRadioButton*>()) rb->setChecked(i++ == c.itemIndex());
        } else if (auto* tw = qobject_cast<QTabWidget*>(w)) {
            int idx = 0;
            for (Control* o : form_.controls())
                if (o->kind() == K::TabSheet && o->parent() == c.name()) {
                    if (idx == c.itemIndex()) tw->setCurrentWidget(widget(o->name()));
                    ++idx;
                }
        } else if (auto* lb = qobject_cast<QListWidget*>(w)) {
            lb->setCurrentRow(c.itemIndex());
        }
        break;
    case Field::Range:
    case Field::Value:
    case Field::Color:
        if (auto* s = dynamic_cast<ClampingSpinBox*>(w)) {
            s->setLimits(static_cast<int>(c.minValue()), static_cast<int>(c.maxValue()));
            s->setSingleStep(static_cast<int>(c.increment()));
            s->setValue(static_cast<int>(c.value()));
        } else if (auto* g = qobject_cast<GaugeWidget*>(w)) {
            g->setState(c.minValue(), c.maxValue(), c.value(), qc(c.color()));
        } else if (c.kind() == K::Panel && f == Field::Color) {
            QPalette pal = w->palette();
            pal.setColor(QPalette::WindowText, qc(c.color()));
            w->setPalette(pal);
            QFont font = w->font();
            font.setBold(true);
            w->setFont(font);
        }
        break;
    }
    updating_ = was;
}

void FormView::bindLog(const std::string& memoName, InfoLog& log) {
    auto& b = logs_[memoName];
    b.log = &log;
    b.view = widgetAs<LogView>(memoName);
    if (b.view) b.view->setLog(&log, kMemoViewLines);
    log.onAppended.push_back([this, memoName](size_t) { scheduleFlush(memoName); });
    log.onCleared.push_back([this, memoName] {
        if (auto* v = logs_[memoName].view) v->refresh();
    });
}

void FormView::scheduleFlush(const std::string& memoName) {
    auto& b = logs_[memoName];
    if (b.scheduled) return;
    b.scheduled = true;
    // Lines are shown in batches: many lines in one event cost one repaint.
    QTimer::singleShot(15, this, [this] { flushLog(); });
}

void FormView::flushLog() {
    for (auto& [name, b] : logs_) {
        b.scheduled = false;
        if (b.view) b.view->refresh();
    }
}

std::string FormView::memoSelection(const std::string& memoName) const {
    auto* v = widgetAs<LogView>(memoName);
    return v ? ss(v->selectedText()) : std::string();
}

}  // namespace kvx
