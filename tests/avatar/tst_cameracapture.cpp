#include "CameraCaptureForm.h"
#include "ui_CameraCaptureForm.h"

#include <ZelExternalMediaManager.h>
#include <ZelFrontCamera.h>

#include <QElapsedTimer>
#include <QGraphicsProxyWidget>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <vector>

namespace {

// A frame whose columns can be told apart: red rises from 0 to 255 left to right.
QImage gradient(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 255 / (w - 1), y % 256, 80));
    return image;
}

} // namespace

class TestCameraCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void formLayout();
    void framesFromTheSyntheticDevice();
    void mirrorTurnDropsFrames();
    void mirroredCaptureAndRecapture();
    void repeatedMirrorCallsStillStop();
    void noDeviceCaptureDoesNothing();
};

void TestCameraCapture::initTestCase()
{
    Q_INIT_RESOURCE(avatar);
    qputenv("ZELCAMERA_TEST_PATTERN", "1");
}

void TestCameraCapture::formLayout()
{
    CameraCaptureForm page;
    Ui::CameraCaptureForm *ui = page.form();
    QCOMPARE(page.size(), QSize(707, 495));
    QCOMPARE(page.currentIndex(), 0);
    QCOMPARE(page.viewfinder()->size(), QSize(416, 311));
    QCOMPARE(page.viewfinderItem()->widget(), page.viewfinder());
    QCOMPARE(ui->graphicsView->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(ui->btnFlip->isCheckable());
    QVERIFY(ui->btnFlip->styleSheet().endsWith(QStringLiteral("QPushButton::checked {\n\tbackground-color: gray;\n}")));
    QCOMPARE(ui->btnRecapture->text(), QStringLiteral("Capture Again"));
    QCOMPARE(ui->btnTakeImage->minimumSize(), QSize(100, 23));
}

void TestCameraCapture::framesFromTheSyntheticDevice()
{
    CameraCaptureForm page;
    QVERIFY(page.openCamera());
    QVERIFY(page.openCamera()->isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(page.hasFrame(), 10000);
    QCOMPARE(page.viewfinder()->pixmap(Qt::ReturnByValue).size(), QSize(416, 311));
}

void TestCameraCapture::mirrorTurnDropsFrames()
{
    qunsetenv("ZELCAMERA_TEST_PATTERN");   // only frames the test sends
    CameraCaptureForm page;
    qputenv("ZELCAMERA_TEST_PATTERN", "1");
    page.drawImage(gradient(640, 480));
    const qint64 shown = page.viewfinder()->pixmap(Qt::ReturnByValue).cacheKey();

    QElapsedTimer turning;
    turning.start();
    page.form()->btnFlip->click();
    QVERIFY(page.isMirrored());
    QCOMPARE(page.currentFlipAngle(), 9);
    QVERIFY(!page.form()->btnFlip->isEnabled());
    page.drawImage(gradient(640, 480));
    QCOMPARE(page.viewfinder()->pixmap(Qt::ReturnByValue).cacheKey(), shown);

    QTRY_COMPARE_WITH_TIMEOUT(page.currentFlipAngle(), 180, 5000);
    QVERIFY(turning.elapsed() >= 19 * 10);   // 19 timed steps after the first
    QVERIFY(page.form()->btnFlip->isEnabled());
    QCOMPARE(page.viewfinderItem()->transform().m11(), -1.0);
    page.drawImage(gradient(640, 480));
    QVERIFY(page.viewfinder()->pixmap(Qt::ReturnByValue).cacheKey() != shown);

    page.form()->btnFlip->click();
    QCOMPARE(page.currentFlipAngle(), 171);
    QTRY_COMPARE_WITH_TIMEOUT(page.currentFlipAngle(), 0, 5000);
    QVERIFY(page.viewfinderItem()->transform().isIdentity());
}

void TestCameraCapture::mirroredCaptureAndRecapture()
{
    qunsetenv("ZELCAMERA_TEST_PATTERN");
    CameraCaptureForm page;
    qputenv("ZELCAMERA_TEST_PATTERN", "1");
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QSignalSpy selected(&page, &CameraCaptureForm::avatarSelected);
    page.drawImage(gradient(416, 311));
    page.form()->btnFlip->click();
    QTRY_COMPARE_WITH_TIMEOUT(page.currentFlipAngle(), 180, 5000);

    page.form()->btnTakeImage->click();
    QCOMPARE(page.currentIndex(), 1);
    QCOMPARE(selected.count(), 1);
    // The selector's first cut of a 416 x 311 still, taken from the mirrored frame.
    const QImage cut = selected.at(0).at(0).value<QPixmap>().toImage();
    const QRect square = page.form()->avatarSelectorWidget->selection();
    const QRect fitted = page.form()->avatarSelectorWidget->pixmapRectangle();
    QVERIFY(!cut.isNull());
    QCOMPARE(cut.width(), cut.height());   // a square cut, not the whole still
    const int firstColumn = (square.left() - fitted.left()) * 416 / fitted.width();
    QVERIFY(qAbs(qRed(cut.pixel(0, 0)) - (415 - firstColumn) * 255 / 415) <= 2);
    QVERIFY(qRed(cut.pixel(cut.width() - 1, 0)) < qRed(cut.pixel(0, 0)));

    page.form()->btnRecapture->click();
    QCOMPARE(page.currentIndex(), 0);
    QCOMPARE(selected.count(), 1);
}

void TestCameraCapture::repeatedMirrorCallsStillStop()
{
    qunsetenv("ZELCAMERA_TEST_PATTERN");
    CameraCaptureForm page;
    qputenv("ZELCAMERA_TEST_PATTERN", "1");
    page.setMirrored(true);
    page.setMirrored(true);     // during the turn: no second timer chain
    QTRY_COMPARE_WITH_TIMEOUT(page.currentFlipAngle(), 180, 5000);
    page.setMirrored(true);     // already there: no turn past 180
    QCOMPARE(page.currentFlipAngle(), 180);
    page.setMirrored(false);
    page.setMirrored(true);     // turns back mid-way
    QTRY_COMPARE_WITH_TIMEOUT(page.currentFlipAngle(), 180, 5000);
    QTest::qWait(50);
    QCOMPARE(page.currentFlipAngle(), 180);
    QVERIFY(page.form()->btnFlip->isEnabled());
}

void TestCameraCapture::noDeviceCaptureDoesNothing()
{
    qunsetenv("ZELCAMERA_TEST_PATTERN");
    std::vector<ZelAVDeviceInfo> devices;
    ZelExternalMediaManager::instance()->listVideoDevices(devices);
    if (!devices.empty())
        QSKIP("this machine has a camera");
    CameraCaptureForm page;
    QVERIFY(!page.openCamera());
    QSignalSpy selected(&page, &CameraCaptureForm::avatarSelected);
    page.form()->btnTakeImage->click();
    QCOMPARE(page.currentIndex(), 0);
    QCOMPARE(selected.count(), 0);
}

QTEST_MAIN(TestCameraCapture)
#include "tst_cameracapture.moc"
