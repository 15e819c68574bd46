#include "ui/log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>

namespace kvx {

namespace {
constexpr int kMargin = 4;  // left of the text, as a text edit's document margin

// One line of text laid out in `font`, for finding columns and their x.
struct OneLine {
    QTextLayout layout;
    QTextLine line;
    OneLine(const QString& t, const QFont& font) : layout(t, font) {
        layout.beginLayout();
        line = layout.createLine();
        layout.endLayout();
    }
};
}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    viewport()->setCursor(Qt::IBeamCursor);
    horizontalScrollBar()->setSingleStep(20);
}

void LogView::setLog(const InfoLog* log, size_t keep) {
    log_ = log;
    keep_ = keep;
    first_ = end_ = top_ = 0;
    anchor_ = cursor_ = {};
    painted_.clear();
    refresh();
}

void LogView::refresh() {
    const size_t size = log_ ? log_->size() : 0;
    const bool following = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    if (size < end_) {  // cleared
        top_ = 0;
        anchor_ = cursor_ = {};
        widest_ = 0;
        painted_.clear();
    }
    end_ = size;
    first_ = log_ ? std::max(log_->firstKept(), size - std::min(size, keep_)) : 0;
    const size_t lastTop = std::max(first_, end_ - std::min(end_, size_t(rows())));
    top_ = following ? lastTop : std::clamp(top_, first_, lastTop);
    // A selection whose lines left the view keeps the part still shown.
    for (Pos* p : {&anchor_, &cursor_})
        if (p->line < first_) *p = {first_, 0};
    updateScrollBars();
    viewport()->update();
}

QString LogView::text(size_t line) const {
    return line >= first_ && line < end_ ? QString::fromStdString(log_->line(line)) : QString();
}

int LogView::lineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

int LogView::rows() const { return std::max(1, viewport()->height() / lineHeight()); }

void LogView::updateScrollBars() {
    settingBars_ = true;
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, static_cast<int>(std::max(first_, end_ - std::min(end_, size_t(rows()))) - first_));
    v->setPageStep(rows());
    v->setValue(static_cast<int>(top_ - first_));
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    h->setPageStep(viewport()->width());
    settingBars_ = false;
}

void LogView::scrollContentsBy(int, int) {
    if (!settingBars_) top_ = first_ + static_cast<size_t>(verticalScrollBar()->value());
    viewport()->update();
}

void LogView::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    refresh();
}

const QStaticText& LogView::staticText(size_t line) {
    auto it = painted_.find(line);
    if (it == painted_.end()) {
        QStaticText st(text(line));
        st.setTextFormat(Qt::PlainText);
        st.prepare(QTransform(), font());
        it = painted_.emplace(line, std::move(st)).first;
    }
    return it->second;
}

qreal LogView::xOf(const QString& t, int col) const { return OneLine(t, font()).line.cursorToX(col); }

void LogView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setFont(font());
    const int lh = lineHeight();
    const int x0 = kMargin - horizontalScrollBar()->value();
    const Pos lo = std::min(anchor_, cursor_), hi = std::max(anchor_, cursor_);
    const size_t last = std::min(end_, top_ + static_cast<size_t>(viewport()->height() / lh + 1));
    const int widest = widest_;
    for (size_t line = top_; line < last; ++line) {
        const QStaticText& st = staticText(line);
        const int y = static_cast<int>(line - top_) * lh;
        widest_ = std::max(widest_, static_cast<int>(st.size().width()));
        if (!(lo == hi) && line >= lo.line && line <= hi.line) {
            const QString t = st.text();
            const qreal a = x0 + (line == lo.line ? xOf(t, lo.col) : 0);
            // A selection that goes on past the line's end takes its line break.
            const qreal b = x0 + (line == hi.line ? xOf(t, hi.col) : st.size().width() + fontMetrics().averageCharWidth());
            const QRectF sel(a, y, b - a, lh);
            p.fillRect(sel, palette().brush(QPalette::Highlight));
            p.setPen(palette().color(QPalette::Text));
            p.drawStaticText(x0, y, st);
            p.save();
            p.setClipRect(sel);
            p.setPen(palette().color(QPalette::HighlightedText));
            p.drawStaticText(x0, y, st);
            p.restore();
            continue;
        }
        p.setPen(palette().color(QPalette::Text));
        p.drawStaticText(x0, y, st);
    }
    // Only the rows on screen keep their prepared text.
    std::erase_if(painted_, [&](const auto& kv) { return kv.first < top_ || kv.first >= last; });
    if (widest_ != widest) updateScrollBars();
}

LogView::Pos LogView::posAt(QPoint at) const {
    if (end_ == first_) return {first_, 0};
    const long row = at.y() < 0 ? -1 : at.y() / lineHeight();
    const long line = std::clamp(static_cast<long>(top_) + row, static_cast<long>(first_), static_cast<long>(end_ - 1));
    const QString t = text(static_cast<size_t>(line));
    const int col = OneLine(t, font()).line.xToCursor(at.x() + horizontalScrollBar()->value() - kMargin);
    return {static_cast<size_t>(line), std::clamp(col, 0, static_cast<int>(t.size()))};
}

void LogView::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(e);
    cursor_ = posAt(e->position().toPoint());
    if (!(e->modifiers() & Qt::ShiftModifier)) anchor_ = cursor_;
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* e) {
    if (!(e->buttons() & Qt::LeftButton)) return;
    // Dragging past the top or the bottom scrolls a line a move.
    QScrollBar* v = verticalScrollBar();
    if (e->position().y() < 0) v->setValue(v->value() - 1);
    else if (e->position().y() >= viewport()->height()) v->setValue(v->value() + 1);
    cursor_ = posAt(e->position().toPoint());
    viewport()->update();
}

void LogView::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    // A double click selects the word under the pointer.
    const Pos at = posAt(e->position().toPoint());
    const QString t = text(at.line);
    int a = at.col, b = at.col;
    while (a > 0 && !t[a - 1].isSpace()) --a;
    while (b < t.size() && !t[b].isSpace()) ++b;
    anchor_ = {at.line, a};
    cursor_ = {at.line, b};
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* e) {
    QScrollBar* v = verticalScrollBar();
    if (e == QKeySequence::SelectAll) {
        selectAll();
    } else if (e == QKeySequence::Copy) {
        // Nothing selected leaves the clipboard as it is.
        if (!(anchor_ == cursor_)) QApplication::clipboard()->setText(selectedText());
    } else if (e == QKeySequence::MoveToStartOfDocument) {
        v->setValue(v->minimum());
    } else if (e == QKeySequence::MoveToEndOfDocument) {
        v->setValue(v->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(e);
    }
}

void LogView::selectAll() {
    if (end_ == first_) return;
    anchor_ = {first_, 0};
    cursor_ = {end_ - 1, static_cast<int>(text(end_ - 1).size())};
    viewport()->update();
}

QString LogView::selectedText() const {
    const Pos lo = std::min(anchor_, cursor_), hi = std::max(anchor_, cursor_);
    QString out;
    for (size_t line = std::max(lo.line, first_); line <= hi.line && line < end_; ++line) {
        const QString t = text(line);
        const int a = line == lo.line ? lo.col : 0;
        const int b = line == hi.line ? hi.col : static_cast<int>(t.size());
        if (line > lo.line) out += QChar('\n');
        out += t.mid(a, std::max(0, b - a));
    }
    return out;
}

}  // namespace kvx
