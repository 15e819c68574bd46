#include "ui/gauge_widget.h"

#include <QPainter>

namespace kvx {

GaugeWidget::GaugeWidget(QWidget* parent) : QWidget(parent) {}

void GaugeWidget::setState(qint64 minValue, qint64 maxValue, qint64 progress, QColor color) {
    if (min_ == minValue && max_ == maxValue && progress_ == progress && color_ == color) return;
    min_ = minValue;
    max_ = maxValue;
    progress_ = progress;
    color_ = color;
    update();
}

int GaugeWidget::percent() const {
    if (max_ <= min_) return 0;
    return static_cast<int>((progress_ - min_) * 100 / (max_ - min_));
}

void GaugeWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect r = rect().adjusted(0, 0, -1, -1);
    p.fillRect(r, isEnabled() ? palette().base() : palette().window());
    int pct = percent();
    int w = static_cast<int>(static_cast<qint64>(r.width()) * pct / 100);
    QRect filled(r.left(), r.top(), w, r.height());
    p.fillRect(filled, color_);
    p.setPen(palette().dark().color());
    p.drawRect(r);
    QString text = QString::number(pct) + "%";
    // The text is drawn in black over the empty part and white over the bar.
    p.setPen(Qt::black);
    p.drawText(r, Qt::AlignCenter, text);
    p.save();
    p.setClipRect(filled);
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, text);
    p.restore();
}

}  // namespace kvx
