// The progress gauge: a filled bar in the gauge's colour with the percentage
// as text ("%d%%").
#pragma once

#include <QColor>
#include <QWidget>

namespace kvx {

class GaugeWidget : public QWidget {
    Q_OBJECT
public:
    explicit GaugeWidget(QWidget* parent = nullptr);
    void setState(qint64 minValue, qint64 maxValue, qint64 progress, QColor color);
    int percent() const;
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    qint64 min_ = 0, max_ = 100, progress_ = 0;
    QColor color_{0, 0, 255};
};

}  // namespace kvx
