// The information log's view: shows the newest lines of an InfoLog without
// copying them, painting only the rows on screen. Appending a line costs the
// view nothing until the next repaint, however fast lines come, so a week of
// production keeps the window light. The operator scrolls, selects text with
// the mouse (or Ctrl+A) and copies it (Ctrl+C, or the log's pop-up menu).
#pragma once

#include "shell/views.h"

#include <QAbstractScrollArea>
#include <QStaticText>

#include <cstddef>
#include <unordered_map>

namespace kvx {

class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);

    // Shows log's newest `keep` lines (nullptr: nothing).
    void setLog(const InfoLog* log, size_t keep);
    // Takes in the lines appended or the log cleared since the last call:
    // the view follows the newest line while it is scrolled to the bottom and
    // otherwise stays on the line the operator is reading.
    void refresh();

    // The log's lines the view holds: first() to end() - 1.
    size_t first() const { return first_; }
    size_t end() const { return end_; }
    size_t topLine() const { return top_; }
    QString selectedText() const;
    void selectAll();

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Pos {
        size_t line = 0;
        int col = 0;
        bool operator<(const Pos& o) const { return line < o.line || (line == o.line && col < o.col); }
        bool operator==(const Pos&) const = default;
    };
    QString text(size_t line) const;
    int lineHeight() const;
    int rows() const;  // rows that fit in full
    Pos posAt(QPoint viewportPoint) const;
    qreal xOf(const QString& t, int col) const;
    void updateScrollBars();
    const QStaticText& staticText(size_t line);

    const InfoLog* log_ = nullptr;
    size_t keep_ = 0;
    size_t first_ = 0, end_ = 0, top_ = 0;
    Pos anchor_, cursor_;  // the selection, empty when equal
    int widest_ = 0;       // the widest line painted, for the horizontal range
    bool settingBars_ = false;
    std::unordered_map<size_t, QStaticText> painted_;  // the rows last painted
};

}  // namespace kvx
