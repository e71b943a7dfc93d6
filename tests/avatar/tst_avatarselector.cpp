#include "AvatarSelectorForm.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

namespace {

// A picture whose every pixel tells where it is: red = x / 4, green = y / 4.
QPixmap coordinates(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x / 4 % 256, y / 4 % 256, 0));
    return QPixmap::fromImage(image);
}

void mouse(QWidget *widget, QEvent::Type type, const QPoint &position)
{
    QMouseEvent event(type, position, widget->mapToGlobal(position), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton), Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void hover(QWidget *widget, const QPoint &position)
{
    QMouseEvent event(QEvent::MouseMove, position, widget->mapToGlobal(position), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Hovers a handle, presses, moves to `to` and releases.
void drag(AvatarSelectorForm &form, const QPoint &from, const QPoint &to)
{
    hover(&form, from);
    mouse(&form, QEvent::MouseButtonPress, from);
    mouse(&form, QEvent::MouseMove, to);
    mouse(&form, QEvent::MouseButtonRelease, to);
}

} // namespace

class TestAvatarSelector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(avatar); }
    void initialSelection();
    void fitting_data();
    void fitting();
    void setPixmapEmitsTheSelection();
    void nullPictureIgnored();
    void moveIsClampedToThePicture();
    void topHandleStopsAtThePicture();
    void bottomHandleFlipsAndNormalises();
    void everyHandleKeepsToThePicture_data();
    void everyHandleKeepsToThePicture();
    void cutAtEachAxisScale_data();
    void cutAtEachAxisScale();
    void pressOutsideStartsNothing();
    void handleOrderDecidesTies();
};

void TestAvatarSelector::initialSelection()
{
    AvatarSelectorForm form;
    QCOMPARE(form.size(), QSize(563, 383));
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.selection(), QRect(QPoint(221, 131), QPoint(340, 250)));
    QCOMPARE(form.pixmapRectangle(), QRect(0, 0, 563, 383));
    QVERIFY(form.hasMouseTracking());
}

void TestAvatarSelector::fitting_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("wide picture") << QSize(563, 383) << QSize(1000, 500) << QRect(QPoint(0, 50), QPoint(562, 331));
    QTest::newRow("tall picture") << QSize(563, 383) << QSize(500, 1000) << QRect(QPoint(185, 0), QPoint(376, 382));
    QTest::newRow("same ratio") << QSize(400, 200) << QSize(800, 400) << QRect(QPoint(0, 0), QPoint(399, 199));
}

void TestAvatarSelector::fitting()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, picture);
    QFETCH(QRect, expected);
    QCOMPARE(AvatarSelectorForm::fitRect(widget, picture), expected);
}

void TestAvatarSelector::setPixmapEmitsTheSelection()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    form.setPixmap(coordinates(1000, 500));
    QCOMPARE(selected.count(), 1);
    // Scale 1000 / 563 both ways; the selection (221,131)-(340,250) over the picture at (0,50).
    const QImage cut = selected.first().first().value<QPixmap>().toImage();
    const double scale = 1000.0 / 563;
    QCOMPARE(cut.width(), int(120 * scale));
    const int left = int(221 * scale);
    const int top = int((131 - 50) * (500.0 / 282));
    QCOMPARE(QColor(cut.pixel(0, 0)), QColor(left / 4 % 256, top / 4 % 256, 0));
}

void TestAvatarSelector::nullPictureIgnored()
{
    AvatarSelectorForm form;
    form.show();
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    form.setPixmap(QPixmap());
    QCOMPARE(selected.count(), 0);
    form.setPixmap(coordinates(100, 100));
    form.setPixmap(QPixmap());
    QCOMPARE(selected.count(), 1);
    QCOMPARE(form.pixmapRectangle(), AvatarSelectorForm::fitRect(form.size(), QSize(100, 100)));
}

void TestAvatarSelector::moveIsClampedToThePicture()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.setPixmap(coordinates(1000, 500)); // drawn at (0,50)-(562,331)
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    drag(form, QPoint(280, 190), QPoint(280, -500)); // far above the letterbox edge
    QCOMPARE(form.selection().top(), 50);
    drag(form, QPoint(280, 100), QPoint(5000, 5000));
    QCOMPARE(form.selection().bottomRight(), QPoint(562, 331));
    QCOMPARE(selected.count(), 2);
}

void TestAvatarSelector::topHandleStopsAtThePicture()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.setPixmap(coordinates(1000, 500)); // (0,50)-(562,331)
    const QRect before = form.selection();  // (221,131)-(340,250), cx 280
    drag(form, AvatarSelectorForm::handleCentre(before, AvatarSelectorForm::Top), QPoint(280, -400));
    // The top edge stops at the picture's top: side 250 - 50 = 200, well inside the sides.
    QCOMPARE(form.selection(), QRect(QPoint(180, 50), QPoint(380, 250)));

    // Narrow the picture so that the sides stop the square first.
    AvatarSelectorForm narrow;
    narrow.resize(200, 400);
    narrow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&narrow));
    narrow.setPixmap(coordinates(200, 400));     // fills (0,0)-(199,399)
    const QRect s = narrow.selection();          // (39,139)-(158,258), cx 98
    drag(narrow, AvatarSelectorForm::handleCentre(s, AvatarSelectorForm::Top), QPoint(98, -400));
    // Candidates 258 (to the top), 202 (right side), 196 (left side): the left side wins.
    QCOMPARE(narrow.maximumLength(), 2 * (98 - 0));
    QCOMPARE(narrow.selection(), QRect(QPoint(0, 62), QPoint(196, 258)));
}

void TestAvatarSelector::everyHandleKeepsToThePicture_data()
{
    QTest::addColumn<int>("handle");
    QTest::addColumn<QPoint>("outward");
    QTest::addColumn<int>("longest");
    QTest::addColumn<int>("shortest");
    // Picture at (0,50)-(562,331), selection (221,131)-(340,250), centre (280,190).
    using H = AvatarSelectorForm;
    QTest::newRow("top") << int(H::Top) << QPoint(280, -2000) << 200 << -81;
    QTest::newRow("bottom") << int(H::Bottom) << QPoint(280, 2000) << 200 << -81;
    QTest::newRow("left") << int(H::Left) << QPoint(-2000, 190) << 280 << -222;
    QTest::newRow("right") << int(H::Right) << QPoint(2000, 190) << 280 << -221;
    QTest::newRow("top-left") << int(H::TopLeft) << QPoint(-2000, 0) << 200 << -81;
    QTest::newRow("bottom-left") << int(H::BottomLeft) << QPoint(-2000, 0) << 200 << -81;
    QTest::newRow("top-right") << int(H::TopRight) << QPoint(2000, 0) << 200 << -81;
    QTest::newRow("bottom-right") << int(H::BottomRight) << QPoint(2000, 0) << 200 << -81;
}

// Dragged far out, a handle stops at the longest side that fits; dragged far
// across the opposite edge, at the shortest (flipped) one. Either way the square
// stays on the picture.
void TestAvatarSelector::everyHandleKeepsToThePicture()
{
    QFETCH(int, handle);
    QFETCH(QPoint, outward);
    QFETCH(int, longest);
    QFETCH(int, shortest);
    const auto direction = AvatarSelectorForm::HandleDirection(handle);
    const bool horizontal = direction == AvatarSelectorForm::Left || direction == AvatarSelectorForm::Right;
    const QPoint centre(280, 190);
    for (const int sign : {1, -1}) {
        AvatarSelectorForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.setPixmap(coordinates(1000, 500));
        const QPoint grip = AvatarSelectorForm::handleCentre(form.selection(), direction);
        drag(form, grip, centre + (outward - centre) * sign);
        QCOMPARE(form.maximumLength(), longest);
        QCOMPARE(form.minimumLength(), shortest);
        const QRect square = form.selection();
        QCOMPARE((horizontal ? square.width() : square.height()) - 1, sign > 0 ? longest : -shortest);
        QVERIFY2(form.pixmapRectangle().contains(square), qPrintable(QStringLiteral("%1,%2 %3x%4")
            .arg(square.x()).arg(square.y()).arg(square.width()).arg(square.height())));
    }
}

void TestAvatarSelector::bottomHandleFlipsAndNormalises()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.setPixmap(coordinates(563, 383));
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    const QRect before = form.selection(); // (221,131)-(340,250)
    drag(form, AvatarSelectorForm::handleCentre(before, AvatarSelectorForm::Bottom), QPoint(280, 71));
    // L = 71 - 131 = -60: the square flips above the fixed top edge.
    QCOMPARE(form.selection(), QRect(QPoint(250, 71), QPoint(310, 131)));
    QCOMPARE(selected.count(), 1);
    QCOMPARE(selected.first().first().value<QPixmap>().size(), QSize(61, 61));
}

void TestAvatarSelector::cutAtEachAxisScale_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<qreal>("pixelRatio");
    QTest::addColumn<int>("handle");
    QTest::addColumn<QPoint>("releasedAt");
    QTest::addColumn<QSize>("cutSize");
    QTest::addColumn<int>("transparentRows"); // above and below the picture
    using H = AvatarSelectorForm;
    // Selection (221,131)-(340,250) in the 563 x 383 widget.
    // Drawn at (0,50)-(562,331): 120 * 1000/563 wide, 120 * 500/282 high.
    QTest::newRow("each side at its own scale") << QSize(1000, 500) << 1.0 << int(H::NoHandle) << QPoint() << QSize(213, 212) << 0;
    QTest::newRow("picture at pixel ratio 2 cut in its pixels") << QSize(1000, 500) << 2.0 << int(H::NoHandle) << QPoint() << QSize(213, 212) << 0;
    // Drawn at (0,163)-(562,219): the selection reaches 32 widget pixels above the picture.
    QTest::newRow("panorama lower than the selection is padded") << QSize(1000, 100) << 1.0 << int(H::NoHandle) << QPoint() << QSize(213, 210) << 56;
    // Bottom edge one pixel above the top edge: a selection of height 0.
    QTest::newRow("bottom released at top - 1") << QSize(563, 383) << 1.0 << int(H::Bottom) << QPoint(280, 130) << QSize(1, 1) << 0;
    // Side 2 in widget pixels on a picture drawn 19 times enlarged.
    QTest::newRow("side under one picture pixel") << QSize(20, 20) << 1.0 << int(H::BottomRight) << QPoint(222, 0) << QSize(1, 1) << 0;
}

// The emitted cut has at least one pixel each way at the picture's own
// resolution; where the selection leaves the picture the cut is padded.
void TestAvatarSelector::cutAtEachAxisScale()
{
    QFETCH(QSize, picture);
    QFETCH(qreal, pixelRatio);
    QFETCH(int, handle);
    QFETCH(QPoint, releasedAt);
    QFETCH(QSize, cutSize);
    QFETCH(int, transparentRows);
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    QPixmap pixmap = coordinates(picture.width(), picture.height());
    pixmap.setDevicePixelRatio(pixelRatio);
    form.setPixmap(pixmap);
    const auto direction = AvatarSelectorForm::HandleDirection(handle);
    if (direction != AvatarSelectorForm::NoHandle)
        drag(form, AvatarSelectorForm::handleCentre(form.selection(), direction), releasedAt);
    QCOMPARE(selected.count(), direction == AvatarSelectorForm::NoHandle ? 1 : 2);
    const QImage cut = selected.last().first().value<QPixmap>().toImage();
    QCOMPARE(cut.size(), cutSize);
    const QPoint corner(cutSize.width() - 1, cutSize.height() - 1);
    if (transparentRows > 0) {
        QCOMPARE(qAlpha(cut.pixel(0, transparentRows - 1)), 0);
        QCOMPARE(qAlpha(cut.pixel(0, transparentRows)), 255);
        QCOMPARE(qAlpha(cut.pixel(corner)), 0);
    } else {
        QCOMPARE(qAlpha(cut.pixel(corner)), 255);
    }
}

void TestAvatarSelector::pressOutsideStartsNothing()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.setPixmap(coordinates(563, 383));
    QSignalSpy selected(&form, &AvatarSelectorForm::avatarSelected);
    hover(&form, QPoint(10, 10));
    QCOMPARE(form.currentHandle(), AvatarSelectorForm::NoHandle);
    mouse(&form, QEvent::MouseButtonPress, QPoint(10, 10));
    QVERIFY(!form.isMoving() && !form.isResizing());
    mouse(&form, QEvent::MouseButtonRelease, QPoint(10, 10));
    QCOMPARE(selected.count(), 0);
}

void TestAvatarSelector::handleOrderDecidesTies()
{
    AvatarSelectorForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.setPixmap(coordinates(563, 383));
    // Shrink the square to a side of 2: its handles then overlap.
    const QRect s = form.selection();
    drag(form, AvatarSelectorForm::handleCentre(s, AvatarSelectorForm::BottomRight), QPoint(s.left() + 2, 0));
    const QRect tiny = form.selection();
    QCOMPARE(tiny.width(), 3);
    const QPoint top = AvatarSelectorForm::handleCentre(tiny, AvatarSelectorForm::Top);
    const QPoint corner = AvatarSelectorForm::handleCentre(tiny, AvatarSelectorForm::TopLeft);
    QVERIFY(QRect(corner - QPoint(2, 2), QSize(5, 5)).contains(top)); // both handles cover the spot
    hover(&form, top);
    QCOMPARE(form.currentHandle(), AvatarSelectorForm::Top);
    QCOMPARE(form.cursor().shape(), Qt::SizeVerCursor);
}

QTEST_MAIN(TestAvatarSelector)
#include "tst_avatarselector.moc"
