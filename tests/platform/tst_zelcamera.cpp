#include <ZelExternalMediaManager.h>
#include <ZelFrontCamera.h>

#include <QAtomicInt>
#include <QImage>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

class TestZelCamera : public QObject
{
    Q_OBJECT

private slots:
    void testPatternListedFirst();
    void testPatternDeliversFramesFromItsThread();
    void deletionStopsFrames();
    void unknownDeviceYieldsNothing();
};

void TestZelCamera::testPatternListedFirst()
{
    qunsetenv("ZELCAMERA_TEST_PATTERN");
    std::vector<ZelAVDeviceInfo> without;
    ZelExternalMediaManager::instance()->listVideoDevices(without);
    for (const ZelAVDeviceInfo &device : without)
        QVERIFY(device.id != QLatin1String(ZelExternalMediaManager::testPatternId()));

    qputenv("ZELCAMERA_TEST_PATTERN", "1");
    std::vector<ZelAVDeviceInfo> with{{QStringLiteral("kept"), QStringLiteral("kept")}};
    ZelExternalMediaManager::instance()->listVideoDevices(with);
    QCOMPARE(with.size(), without.size() + 2);   // appended, never cleared
    QCOMPARE(with.at(1).id, QLatin1String(ZelExternalMediaManager::testPatternId()));
    QVERIFY(!with.at(1).name.isEmpty());
}

void TestZelCamera::testPatternDeliversFramesFromItsThread()
{
    ZelFrontCamera camera(ZelExternalMediaManager::testPatternId(), 640, 480);
    QVERIFY(camera.isRunning());
    QImage last;
    QAtomicInt fromOtherThread = 0;
    QObject receiver;   // drops frames still queued when the test ends
    QThread *gui = QThread::currentThread();
    connect(&camera, &ZelFrontCamera::imageReady, &receiver, [&](const QImage &) {
        if (QThread::currentThread() != gui)
            fromOtherThread.storeRelaxed(1);
    }, Qt::DirectConnection);
    connect(&camera, &ZelFrontCamera::imageReady, &receiver, [&](const QImage &image) { last = image; });
    QTRY_VERIFY_WITH_TIMEOUT(!last.isNull(), 10000);
    QCOMPARE(last.size(), QSize(640, 480));
    QVERIFY(fromOtherThread.loadRelaxed());
    // The default pattern is a set of coloured bars, so the frame is not one colour.
    QVERIFY(last.pixel(10, 10) != last.pixel(630, 10));
}

void TestZelCamera::deletionStopsFrames()
{
    auto camera = std::make_unique<ZelFrontCamera>(ZelExternalMediaManager::testPatternId(), 64, 48);
    QAtomicInt frames = 0;
    QObject receiver;
    connect(camera.get(), &ZelFrontCamera::imageReady, &receiver, [&] { frames.ref(); }, Qt::DirectConnection);
    QTRY_VERIFY_WITH_TIMEOUT(frames.loadRelaxed() > 0, 10000);
    camera.reset();
    const int atDeletion = frames.loadRelaxed();
    QTest::qWait(200);
    QCOMPARE(frames.loadRelaxed(), atDeletion);
}

void TestZelCamera::unknownDeviceYieldsNothing()
{
    QTest::ignoreMessage(QtWarningMsg, "ZelCamera: no video device \"no-such-device\"");
    ZelFrontCamera unknown("no-such-device", 640, 480);
    QVERIFY(!unknown.isRunning());
    QTest::ignoreMessage(QtWarningMsg, "ZelCamera: invalid frame size 0x480");
    ZelFrontCamera noSize(ZelExternalMediaManager::testPatternId(), 0, 480);
    QVERIFY(!noSize.isRunning());
    QSignalSpy frames(&unknown, &ZelFrontCamera::imageReady);
    QTest::qWait(100);
    QCOMPARE(frames.count(), 0);
}

QTEST_GUILESS_MAIN(TestZelCamera)
#include "tst_zelcamera.moc"
