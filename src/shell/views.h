// Views as models: the state of every window control, the information log
// and the gauges live here as plain data with change notifications. The Qt
// window mirrors them; a user's action updates the model and then runs the
// handler bound to that control.
#pragma once

#include "shell/log_journal.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kvx {

enum class ControlKind {
    Button,       // push button or bit button
    SpeedButton,  // flat tool button on a button panel
    CheckBox,
    RadioButton,
    RadioGroup,   // titled group of exclusive items
    Edit,
    SpinEdit,
    Label,
    Panel,        // container or caption panel
    GroupBox,
    ComboBox,
    ListBox,
    Memo,         // the information log
    Gauge,
    Grid,         // hexadecimal string grid
    PageControl,
    TabSheet,
    StatusBar,
    Menu,         // a top-level menu of the menu bar
    MenuItem,
    PopupMenu,
    Table,        // text table: `columns()` columns, the rows from the row source (row 0: the header)
};

enum class Field { Caption, Text, Checked, ItemIndex, Value, Range, Visible, Enabled, Items, Geometry, Color, Focus };

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kRed{255, 0, 0};

class Form;

class Control {
public:
    Control(Form& owner, std::string name, ControlKind kind, std::string parent);

    const std::string& name() const { return name_; }
    ControlKind kind() const { return kind_; }
    const std::string& parent() const { return parent_; }
    Form& form() { return owner_; }

    // --- state -------------------------------------------------------------
    const std::string& caption() const { return caption_; }
    const std::string& text() const { return text_; }
    const std::string& hint() const { return hint_; }
    bool checked() const { return checked_; }
    int itemIndex() const { return itemIndex_; }
    int64_t value() const { return value_; }
    int64_t minValue() const { return min_; }
    int64_t maxValue() const { return max_; }
    int64_t increment() const { return increment_; }
    bool visible() const { return visible_; }
    bool enabled() const { return enabled_; }
    const std::vector<std::string>& items() const { return items_; }
    Rgb color() const { return color_; }
    int left() const { return left_; }
    int top() const { return top_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int maxLength() const { return maxLength_; }
    int columns() const { return columns_; }
    const std::string& shortcut() const { return shortcut_; }
    bool readOnly() const { return readOnly_; }
    bool sorted() const { return sorted_; }

    // --- setters: each notifies the view; those marked fire the control's
    // own handler when the state changes, as the window's controls do ------
    void setCaption(const std::string& s);
    void setText(const std::string& s);        // fires onChange when changed
    void setHint(const std::string& s) { hint_ = s; }
    // The pop-up menu (a PopupMenu of the form) a right click on this control
    // opens; "" for none. A pop-up may belong to several controls.
    const std::string& popupMenu() const { return popupMenu_; }
    void setPopupMenu(const std::string& name) { popupMenu_ = name; }
    void setChecked(bool c);                   // fires onClick when changed
    void setItemIndex(int i);                  // fires onClick when changed (radio groups)
    void setValue(int64_t v);                  // spin edits: held in min..max; gauges: progress rules
    void setRange(int64_t min, int64_t max);   // gauges: lowering max lowers the progress with it
    void setIncrement(int64_t s) { increment_ = s; }
    void setVisible(bool v);
    void setEnabled(bool e);
    void setColor(Rgb c);
    void setGeometry(int left, int top, int width, int height);
    void setTop(int top) { setGeometry(left_, top, width_, height_); }
    void setHeight(int h) { setGeometry(left_, top_, width_, h); }
    void setMaxLength(int n) { maxLength_ = n; }
    void setColumns(int n) { columns_ = n; }
    void setShortcut(const std::string& s) { shortcut_ = s; }
    void setReadOnly(bool r) { readOnly_ = r; }
    void setSorted(bool s) { sorted_ = s; }

    // Items (combo, list, radio group).
    void setItems(std::vector<std::string> items);
    void clearItems();
    // Adds an item; a sorted list inserts it in text order without regard to case.
    int addItem(const std::string& s);
    void deleteItem(int index);

    // Gauge progress (value) and maximum, with the gauge rules: progress is
    // held within min..max; lowering the maximum lowers the progress too.
    int64_t progress() const { return value_; }
    void setProgress(int64_t p) { setValue(p); }
    void setMaxValue(int64_t m) { setRange(min_, m); }
    void addProgress(int64_t d) { setValue(value_ + d); }

    // Asks the view to focus this control.
    void setFocus();

    // --- user actions, called by the view or by tests ----------------------
    void click();                       // buttons, menu items: runs onClick
    void userToggle();                  // check box or radio button click
    void userSetText(const std::string& s);
    void userSetItemIndex(int i);
    void userSetValue(int64_t v);

    std::function<void()> onClick;
    std::function<void()> onChange;

    // Hex grid rows (for grids): the view reads them through a row source.
    std::function<size_t()> rowCount;
    std::function<std::string(size_t row, int col)> cellText;
    void notifyRowsChanged();

private:
    void notify(Field f);
    Form& owner_;
    std::string name_;
    ControlKind kind_;
    std::string parent_;
    std::string caption_, text_, hint_, shortcut_, popupMenu_;
    bool checked_ = false, visible_ = true, enabled_ = true, readOnly_ = false, sorted_ = false;
    int itemIndex_ = -1;
    int64_t value_ = 0, min_ = 0, max_ = 100, increment_ = 1;
    std::vector<std::string> items_;
    Rgb color_{0, 0, 255};
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0, maxLength_ = 0, columns_ = 1;
};

// A window or dialog: its controls in creation order, a caption, a client
// size and, for modal dialogs, the result it closed with.
class Form {
public:
    enum ModalResult { None = 0, Ok = 1, Cancel = 2, No = 7 };

    Form(std::string className, std::string name, int clientWidth, int clientHeight);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const std::string& className() const { return className_; }
    const std::string& name() const { return name_; }
    const std::string& caption() const { return caption_; }
    void setCaption(const std::string& c);
    int clientWidth() const { return clientWidth_; }
    int clientHeight() const { return clientHeight_; }

    Control& add(const std::string& name, ControlKind kind, const std::string& parent, int left, int top, int width,
                 int height, const std::string& caption = "");
    Control& operator[](const std::string& name);
    Control* find(const std::string& name);
    const std::vector<Control*>& controls() const { return order_; }

    // Modal dialogs: what the form closed with, set by close() or a button.
    int modalResult = None;
    void close(int result);
    bool closeRequested() const { return closeRequested_; }
    void resetClose() { closeRequested_ = false; modalResult = None; }

    // Runs when the form is shown (modal dialogs: before it appears).
    std::function<void()> onShow;
    // Runs when the form closes (every closing, OK or the close box).
    std::function<void()> onClose;

    // The view's listener: called after every change of a control's state.
    std::function<void(Control&, Field)> onChanged;
    std::function<void(Form&)> onCaptionChanged;
    std::function<void(Form&)> onCloseRequested;

private:
    friend class Control;
    std::string className_, name_, caption_;
    int clientWidth_, clientHeight_;
    std::map<std::string, std::unique_ptr<Control>> byName_;
    std::vector<Control*> order_;
    bool closeRequested_ = false;
};

// The information log: lines that only grow, except when cleared. Only the
// newest lines stay in memory (the window and the command line show them);
// every line also goes to the journal, from which the log files are written,
// so a week of production costs no more memory than an hour.
class InfoLog {
public:
    static constexpr size_t kMemoryLines = 50000;
    void append(std::string line);
    void clear();
    // Lines since the log was last cleared; line(i) holds for i from
    // firstKept() to size() - 1.
    size_t size() const { return base_ + lines_.size(); }
    size_t firstKept() const { return base_; }
    const std::string& line(size_t i) const { return lines_[i - base_]; }
    const std::deque<std::string>& lines() const { return lines_; }
    void setMemoryLines(size_t n);
    LogJournal& journal() { return journal_; }
    // Listeners: a line was appended at index i; the log was cleared.
    std::vector<std::function<void(size_t)>> onAppended;
    std::vector<std::function<void()>> onCleared;

private:
    std::deque<std::string> lines_;
    size_t base_ = 0;
    size_t memoryLines_ = kMemoryLines;
    LogJournal journal_;
};

}  // namespace kvx
