#include "AvatarPreviewFrame.h"
#include "ui_AvatarPreviewFrame.h"

#include <QImage>
#include <QtTest>

namespace {

// Column numbers written into the red channel, so a crop shows where it came from.
QPixmap columns(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x % 256, 100, 50));
    return QPixmap::fromImage(image);
}

// Whether the corners of a shown picture are transparent and its centre opaque.
bool circular(const QPixmap &shown)
{
    const QImage image = shown.toImage().convertToFormat(QImage::Format_ARGB32);
    const int last = image.width() - 1;
    return qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(last, 0)) == 0 && qAlpha(image.pixel(0, last)) == 0
        && qAlpha(image.pixel(last, last)) == 0 && qAlpha(image.pixel(last / 2, last / 2)) == 255;
}

} // namespace

class TestAvatarPreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(avatar); }
    void formLayout();
    void centredSquare();
    void squareUsedUnchanged();
    void maskedAtAllSizes();
    void hintAfterConstruction();
};

void TestAvatarPreview::formLayout()
{
    AvatarPreviewFrame frame;
    Ui::AvatarPreviewFrame *ui = frame.form();
    QCOMPARE(frame.size(), QSize(210, 388));
    QCOMPARE(ui->labelAvatarBig->minimumSize(), QSize(72, 72));
    QCOMPARE(ui->labelAvatarMid->maximumSize(), QSize(50, 50));
    QCOMPARE(ui->labelAvatarSmall->minimumSize(), QSize(40, 40));
    QVERIFY(ui->labelAvatarMid->hasScaledContents());
    QCOMPARE(ui->label_4->text(), QStringLiteral("Medium"));
    QCOMPARE(frame.frameShape(), QFrame::StyledPanel);
}

void TestAvatarPreview::centredSquare()
{
    const QImage square = AvatarPreviewFrame::centredSquare(columns(300, 200)).toImage();
    QCOMPARE(square.size(), QSize(200, 200));
    QCOMPARE(qRed(square.pixel(0, 0)), 49);   // (299 / 2) - 100
    QCOMPARE(qRed(square.pixel(199, 199)), 248); // a whole square, no row lost
    const QImage tall = AvatarPreviewFrame::centredSquare(columns(100, 301)).toImage();
    QCOMPARE(tall.size(), QSize(100, 100));
}

void TestAvatarPreview::squareUsedUnchanged()
{
    const QPixmap square = columns(64, 64);
    QCOMPARE(AvatarPreviewFrame::centredSquare(square).cacheKey(), square.cacheKey());
}

void TestAvatarPreview::maskedAtAllSizes()
{
    AvatarPreviewFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.setPreviewAvatar(columns(300, 200));
    Ui::AvatarPreviewFrame *ui = frame.form();
    QVERIFY(circular(ui->labelAvatarBig->pixmap(Qt::ReturnByValue)));
    QVERIFY(circular(ui->labelAvatarMid->pixmap(Qt::ReturnByValue)));
    QVERIFY(circular(ui->labelAvatarSmall->pixmap(Qt::ReturnByValue)));
    QCOMPARE(ui->labelAvatarBig->pixmap(Qt::ReturnByValue).size(), QSize(72, 72));
    // What is drawn on screen: the corner of the big image shows the frame, not the picture.
    const QImage shot = frame.grab().toImage();
    const QPoint corner = ui->labelAvatarBig->mapTo(&frame, QPoint(1, 1));
    const QPoint centre = ui->labelAvatarBig->mapTo(&frame, QPoint(36, 36));
    QVERIFY(qGreen(shot.pixel(corner)) != 100 || qBlue(shot.pixel(corner)) != 50);
    QCOMPARE(qGreen(shot.pixel(centre)), 100);
}

void TestAvatarPreview::hintAfterConstruction()
{
    AvatarPreviewFrame frame;
    QCOMPARE(frame.preview().size(), QSize(72, 72));
    QVERIFY(circular(frame.form()->labelAvatarSmall->pixmap(Qt::ReturnByValue)));
    QVERIFY(!frame.preview().mask().isNull());
}

QTEST_MAIN(TestAvatarPreview)
#include "tst_avatarpreview.moc"
