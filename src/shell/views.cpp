#include "shell/views.h"

#include <algorithm>
#include <stdexcept>

namespace kvx {

namespace {
int compareTextNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
}  // namespace

Control::Control(Form& owner, std::string name, ControlKind kind, std::string parent)
    : owner_(owner), name_(std::move(name)), kind_(kind), parent_(std::move(parent)) {}

void Control::notify(Field f) {
    if (owner_.onChanged) owner_.onChanged(*this, f);
}

void Control::setCaption(const std::string& s) {
    if (caption_ == s) return;
    caption_ = s;
    notify(Field::Caption);
}

void Control::setText(const std::string& s) {
    std::string t = s;
    if (maxLength_ > 0 && kind_ == ControlKind::Edit) {
        // The edit holds at most maxLength characters (UTF-8 aware).
        size_t chars = 0, i = 0;
        while (i < t.size() && chars < static_cast<size_t>(maxLength_)) {
            unsigned char c = static_cast<unsigned char>(t[i]);
            i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            ++chars;
        }
        if (i < t.size()) t.resize(i);
    }
    if (text_ == t) return;
    text_ = t;
    notify(Field::Text);
    if (onChange) onChange();
}

void Control::setChecked(bool c) {
    if (checked_ == c) return;
    checked_ = c;
    notify(Field::Checked);
    if (kind_ == ControlKind::RadioButton && c) {
        // Radio buttons in the same parent are exclusive.
        for (Control* o : owner_.controls())
            if (o != this && o->kind_ == ControlKind::RadioButton && o->parent_ == parent_ && o->checked_) {
                o->checked_ = false;
                o->notify(Field::Checked);
            }
    }
    if (onClick) onClick();
}

void Control::setItemIndex(int i) {
    // A page control's items are its pages (tab sheets parented to it).
    int count = static_cast<int>(items_.size());
    if (kind_ == ControlKind::PageControl) {
        count = 0;
        for (Control* c : owner_.controls()) count += c->kind_ == ControlKind::TabSheet && c->parent_ == name_;
    }
    if (i < -1 || i >= count) i = -1;
    if (itemIndex_ == i) return;
    itemIndex_ = i;
    notify(Field::ItemIndex);
    if (kind_ == ControlKind::ComboBox && i >= 0) {
        text_ = items_[static_cast<size_t>(i)];
        notify(Field::Text);
    }
    if (kind_ == ControlKind::RadioGroup && onClick) onClick();
}

void Control::setValue(int64_t v) {
    if (kind_ == ControlKind::SpinEdit || kind_ == ControlKind::Gauge) {
        if (v < min_) v = min_;
        if (v > max_) v = max_;
    }
    if (value_ == v) return;
    value_ = v;
    notify(Field::Value);
    if (kind_ == ControlKind::SpinEdit && onChange) onChange();
}

void Control::setRange(int64_t mn, int64_t mx) {
    if (min_ == mn && max_ == mx) return;
    min_ = mn;
    max_ = mx;
    notify(Field::Range);
    if (kind_ == ControlKind::Gauge || kind_ == ControlKind::SpinEdit) {
        int64_t v = std::clamp(value_, min_, std::max(min_, max_));
        if (v != value_) {
            value_ = v;
            notify(Field::Value);
        }
    }
}

void Control::setVisible(bool v) {
    if (visible_ == v) return;
    visible_ = v;
    notify(Field::Visible);
}

void Control::setEnabled(bool e) {
    if (enabled_ == e) return;
    enabled_ = e;
    notify(Field::Enabled);
}

void Control::setColor(Rgb c) {
    if (color_ == c) return;
    color_ = c;
    notify(Field::Color);
}

void Control::setGeometry(int l, int t, int w, int h) {
    if (l == left_ && t == top_ && w == width_ && h == height_) return;
    left_ = l;
    top_ = t;
    width_ = w;
    height_ = h;
    notify(Field::Geometry);
}

void Control::setItems(std::vector<std::string> items) {
    items_ = std::move(items);
    itemIndex_ = -1;
    notify(Field::Items);
}

void Control::clearItems() {
    items_.clear();
    itemIndex_ = -1;
    notify(Field::Items);
}

int Control::addItem(const std::string& s) {
    size_t pos = items_.size();
    if (sorted_) {
        pos = 0;
        while (pos < items_.size() && compareTextNoCase(items_[pos], s) <= 0) ++pos;
    }
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(pos), s);
    if (itemIndex_ >= static_cast<int>(pos)) ++itemIndex_;
    notify(Field::Items);
    return static_cast<int>(pos);
}

void Control::deleteItem(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    items_.erase(items_.begin() + index);
    if (itemIndex_ == index) itemIndex_ = -1;
    else if (itemIndex_ > index) --itemIndex_;
    notify(Field::Items);
}

void Control::setFocus() { notify(Field::Focus); }

void Control::notifyRowsChanged() { notify(Field::Items); }

void Control::click() {
    if (!enabled_) return;
    if (kind_ == ControlKind::CheckBox || kind_ == ControlKind::RadioButton) {
        userToggle();
        return;
    }
    if (onClick) onClick();
}

void Control::userToggle() {
    if (!enabled_) return;
    if (kind_ == ControlKind::RadioButton) {
        if (!checked_) setChecked(true);
        else if (onClick) onClick();
    } else {
        setChecked(!checked_);
    }
}

void Control::userSetText(const std::string& s) {
    if (readOnly_) return;
    setText(s);
}

void Control::userSetItemIndex(int i) {
    if (itemIndex_ == i) {
        if (kind_ == ControlKind::RadioGroup && onClick) onClick();
        return;
    }
    setItemIndex(i);
    if (kind_ != ControlKind::RadioGroup && onChange) onChange();
}

void Control::userSetValue(int64_t v) { setValue(v); }

// ---------------------------------------------------------------------------

Form::Form(std::string className, std::string name, int clientWidth, int clientHeight)
    : className_(std::move(className)), name_(std::move(name)), clientWidth_(clientWidth), clientHeight_(clientHeight) {}

Form::~Form() = default;

void Form::setCaption(const std::string& c) {
    if (caption_ == c) return;
    caption_ = c;
    if (onCaptionChanged) onCaptionChanged(*this);
}

Control& Form::add(const std::string& name, ControlKind kind, const std::string& parent, int left, int top, int width,
                   int height, const std::string& caption) {
    auto c = std::make_unique<Control>(*this, name, kind, parent);
    Control& ref = *c;
    ref.setGeometry(left, top, width, height);
    ref.setCaption(caption);
    if (kind == ControlKind::Gauge) ref.setRange(0, 100);
    auto [it, inserted] = byName_.emplace(name, std::move(c));
    if (!inserted) throw std::logic_error("duplicate control name " + name);
    order_.push_back(&ref);
    return ref;
}

Control& Form::operator[](const std::string& name) {
    auto it = byName_.find(name);
    if (it == byName_.end()) throw std::logic_error("no control named " + name + " on " + name_);
    return *it->second;
}

Control* Form::find(const std::string& name) {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second.get();
}

void Form::close(int result) {
    modalResult = result;
    closeRequested_ = true;
    if (onClose) onClose();
    if (onCloseRequested) onCloseRequested(*this);
}

// ---------------------------------------------------------------------------

void InfoLog::append(std::string line) {
    journal_.append(line);
    lines_.push_back(std::move(line));
    while (lines_.size() > memoryLines_) {
        lines_.pop_front();
        ++base_;
    }
    size_t i = size() - 1;
    for (auto& f : onAppended) f(i);
}

void InfoLog::clear() {
    lines_.clear();
    lines_.shrink_to_fit();
    base_ = 0;
    journal_.clear();
    for (auto& f : onCleared) f();
}

void InfoLog::setMemoryLines(size_t n) {
    memoryLines_ = std::max<size_t>(1, n);
    while (lines_.size() > memoryLines_) {
        lines_.pop_front();
        ++base_;
    }
}

}  // namespace kvx
