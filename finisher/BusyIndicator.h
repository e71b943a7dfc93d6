#ifndef VELTORA_BUSYINDICATOR_H
#define VELTORA_BUSYINDICATOR_H

#include <QColor>
#include <QWidget>

// A spinner: twelve rounded capsules around the centre with falling opacity,
// turned in 30-degree steps on a timer.
class BusyIndicator : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int delay READ animationDelay WRITE setAnimationDelay)
    Q_PROPERTY(bool displayedWhenStopped READ isDisplayedWhenStopped WRITE setDisplayedWhenStopped)
    Q_PROPERTY(QColor color READ color WRITE setColor)

public:
    explicit BusyIndicator(QWidget *parent = nullptr);

    // The capsules' measures for a widget whose shorter side is `width`.
    struct Geometry
    {
        int outerRadius;
        int innerRadius;
        int capsuleHeight;
        int capsuleWidth;
        int capsuleRadius;
    };
    static Geometry geometryFor(int width);

    int animationDelay() const { return delay; }
    bool isAnimated() const { return timerId != -1; }
    bool isDisplayedWhenStopped() const { return displayedWhenStopped; }
    const QColor &color() const { return m_color; }
    int currentAngle() const { return angle; }
    QSize sizeHint() const override;
    int heightForWidth(int w) const override;

public slots:
    void startAnimation();
    void stopAnimation();
    void setAnimationDelay(int delay);
    void setDisplayedWhenStopped(bool state);
    void setColor(const QColor &color);

protected:
    void timerEvent(QTimerEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    int angle = 0;
    int timerId = -1;
    int delay = 40;
    bool displayedWhenStopped = false;
    QColor m_color = Qt::black;
};

#endif
