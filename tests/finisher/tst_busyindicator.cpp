#include "BusyIndicator.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

namespace {

// Renders the indicator on white and tells whether a pixel was painted.
QImage render(BusyIndicator &indicator)
{
    QImage image(indicator.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    indicator.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

bool painted(const QImage &image, int x, int y)
{
    return QColor(image.pixel(x, y)).lightness() < 128;
}

} // namespace

class TestBusyIndicator : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void paintsTheCapsules();
    void stoppedPaintsNothingUnlessAsked();
    void animationDelay();
    void twelveStepsATurn();
    void sizing();
};

void TestBusyIndicator::geometry_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<int>>("expected"); // outer, inner, height, width, radius
    QTest::newRow("80") << 80 << QList<int>{39, 15, 24, 5, 2};
    QTest::newRow("30") << 30 << QList<int>{14, 5, 9, 3, 1};
    QTest::newRow("33 uses 0.23") << 33 << QList<int>{16, 6, 10, 2, 1};
    QTest::newRow("32 uses 0.35") << 32 << QList<int>{15, 5, 10, 3, 1};
}

void TestBusyIndicator::geometry()
{
    QFETCH(int, width);
    QFETCH(QList<int>, expected);
    const BusyIndicator::Geometry g = BusyIndicator::geometryFor(width);
    QCOMPARE((QList<int>{g.outerRadius, g.innerRadius, g.capsuleHeight, g.capsuleWidth, g.capsuleRadius}), expected);
}

void TestBusyIndicator::paintsTheCapsules()
{
    BusyIndicator indicator;
    indicator.resize(80, 80);
    indicator.startAnimation();
    const QImage image = render(indicator);
    // The first capsule points up from the centre (39, 39): rows 0 to 23, a few pixels wide.
    QVERIFY(painted(image, 39, 5));
    QVERIFY(painted(image, 39, 20));
    QVERIFY(!painted(image, 39, 30)); // inside the inner radius
    QVERIFY(!painted(image, 39, 39));
    QVERIFY(!painted(image, 45, 5));  // beside the narrow capsule
    // The last capsule (30 degrees on) is nearly transparent.
    QVERIFY(QColor(image.pixel(39 + 10, 39 - 30)).lightness() > 200);
}

void TestBusyIndicator::stoppedPaintsNothingUnlessAsked()
{
    BusyIndicator indicator;
    indicator.resize(80, 80);
    QVERIFY(!indicator.isAnimated());
    QImage image = render(indicator);
    QCOMPARE(image.pixel(39, 5), QColor(Qt::white).rgb());
    indicator.setDisplayedWhenStopped(true);
    QVERIFY(painted(render(indicator), 39, 5));
}

void TestBusyIndicator::animationDelay()
{
    BusyIndicator indicator;
    QCOMPARE(indicator.animationDelay(), 40);
    indicator.setAnimationDelay(100); // stopped: only stored
    QVERIFY(!indicator.isAnimated());
    QCOMPARE(indicator.animationDelay(), 100);
    indicator.startAnimation();
    QVERIFY(indicator.isAnimated());
    indicator.setAnimationDelay(10); // running: restarted at the new interval
    QVERIFY(indicator.isAnimated());
    QCOMPARE(indicator.animationDelay(), 10);
    QTRY_VERIFY(indicator.currentAngle() != 0);
    indicator.stopAnimation();
    QVERIFY(!indicator.isAnimated());
    const int frozen = indicator.currentAngle();
    QTest::qWait(50);
    QCOMPARE(indicator.currentAngle(), frozen);
}

void TestBusyIndicator::twelveStepsATurn()
{
    BusyIndicator indicator;
    indicator.startAnimation();
    QVERIFY(indicator.isAnimated());
    QList<int> angles;
    for (int i = 0; i < 12; ++i) {
        QTimerEvent tick(0);
        QCoreApplication::sendEvent(&indicator, &tick);
        angles << indicator.currentAngle();
    }
    QCOMPARE(angles, (QList<int>{30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330, 0}));
    indicator.startAnimation(); // while running: only the angle is reset
    QCOMPARE(indicator.currentAngle(), 0);
}

void TestBusyIndicator::sizing()
{
    BusyIndicator indicator;
    QCOMPARE(indicator.sizeHint(), QSize(80, 80));
    QCOMPARE(indicator.heightForWidth(33), 33);
    QCOMPARE(indicator.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(indicator.focusPolicy(), Qt::NoFocus);
    indicator.setColor(Qt::white);
    QCOMPARE(indicator.color(), QColor(Qt::white));
}

QTEST_MAIN(TestBusyIndicator)
#include "tst_busyindicator.moc"
