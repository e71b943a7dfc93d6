#include "BusyIndicator.h"

#include <QPainter>

BusyIndicator::BusyIndicator(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
}

BusyIndicator::Geometry BusyIndicator::geometryFor(int width)
{
    Geometry g;
    g.outerRadius = int((width - 1) * 0.5);
    g.innerRadius = int((width - 1) * 0.5 * 0.38);
    g.capsuleHeight = g.outerRadius - g.innerRadius;
    g.capsuleWidth = width > 32 ? int(g.capsuleHeight * 0.23) : int(g.capsuleHeight * 0.35);
    g.capsuleRadius = g.capsuleWidth / 2;
    return g;
}

QSize BusyIndicator::sizeHint() const
{
    return QSize(80, 80);
}

int BusyIndicator::heightForWidth(int w) const
{
    return w;
}

void BusyIndicator::startAnimation()
{
    angle = 0;
    if (timerId == -1)
        timerId = startTimer(delay, Qt::CoarseTimer);
}

void BusyIndicator::stopAnimation()
{
    if (timerId != -1)
        killTimer(timerId);
    timerId = -1;
    update();
}

void BusyIndicator::setAnimationDelay(int newDelay)
{
    if (timerId != -1) {
        killTimer(timerId);
        delay = newDelay;
        timerId = startTimer(delay, Qt::CoarseTimer);
    } else {
        delay = newDelay;
    }
}

void BusyIndicator::setDisplayedWhenStopped(bool state)
{
    displayedWhenStopped = state;
    update();
}

void BusyIndicator::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void BusyIndicator::timerEvent(QTimerEvent *)
{
    angle = (angle + 30) % 360;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    if (!displayedWhenStopped && !isAnimated())
        return;
    const Geometry g = geometryFor(qMin(width(), height()));
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 12; ++i) {
        QColor capsule = m_color;
        capsule.setAlphaF(1.0 - (i / 12.0));
        p.setPen(Qt::NoPen);
        p.setBrush(capsule);
        p.save();
        p.translate(rect().center());
        p.rotate(angle - i * 30.0);
        p.drawRoundedRect(int(-g.capsuleWidth * 0.5), -g.outerRadius, g.capsuleWidth, g.capsuleHeight, g.capsuleRadius,
                          g.capsuleRadius, Qt::AbsoluteSize);
        p.restore();
    }
}
