#include "AvatarModifyWidget.h"
#include "CameraCaptureForm.h"
#include "ui_AvatarModifyWidget.h"
#include "ui_CameraCaptureForm.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

QImage filled(int w, int h, const QColor &colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

void mouse(QWidget *widget, QEvent::Type type, const QPoint &position)
{
    QMouseEvent event(type, position, widget->mapToGlobal(position), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton),
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// The share of pixels in `area` of `image` within 8 of `colour` in each channel.
double share(const QImage &image, const QRect &area, const QColor &colour)
{
    int near = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            near += qAbs(qRed(p) - colour.red()) <= 8 && qAbs(qGreen(p) - colour.green()) <= 8
                && qAbs(qBlue(p) - colour.blue()) <= 8;
        }
    return double(near) / (area.width() * area.height());
}

} // namespace

class TestAvatarModify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openingState();
    void notAPictureChangesNothing();
    void changeImageOpensTheChooser();
    void lastCropWinsAt120();
    void dragOnlyFromTitleBar();
    void screenshot();
    void chineseCatalogue();
    void deletesItselfOnClose();

private:
    QTemporaryDir dir;
};

void TestAvatarModify::initTestCase()
{
    Q_INIT_RESOURCE(avatar);
    qunsetenv("ZELCAMERA_TEST_PATTERN");
    QVERIFY(dir.isValid());
}

void TestAvatarModify::openingState()
{
    AvatarModifyWidget dialog(nullptr);
    Ui::AvatarModifyWidget *ui = dialog.form();
    QCOMPARE(dialog.size(), QSize(650, 530));
    QCOMPARE(dialog.windowFlags() & ~Qt::Window, Qt::FramelessWindowHint);
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(dialog.testAttribute(Qt::WA_DeleteOnClose));
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);   // lives on the stack here
    QCOMPARE(ui->tabWidget->currentWidget(), ui->tabCamera);
    QCOMPARE(ui->tabWidget->tabText(2), QStringLiteral("Used Image"));
    QVERIFY(!ui->btnConfirm->isEnabled());
    QVERIFY(ui->btnMin->icon().pixmap(20, QIcon::Active).toImage() != ui->btnMin->icon().pixmap(20).toImage());
    const QImage hint(QStringLiteral(":/Avatar/images/avatar-hint.png"));
    QCOMPARE(ui->previewFrame->preview().size(), hint.size());
    QCOMPARE(ui->previewFrame->preview().toImage().pixel(36, 20), hint.pixel(36, 20));

    QSignalSpy selected(&dialog, &AvatarModifyWidget::avatarSelected);
    dialog.confirmSelection();
    QCOMPARE(selected.count(), 0);
}

void TestAvatarModify::notAPictureChangesNothing()
{
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    const QString text = dir.filePath(QStringLiteral("notes.png"));
    QFile file(text);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    const QRect before = dialog.form()->fileAvatarSelector->pixmapRectangle();
    dialog.openImageConfirmed(text);
    dialog.openImageConfirmed(dir.filePath(QStringLiteral("missing.png")));
    QVERIFY(dialog.candidate().isNull());
    QVERIFY(!dialog.form()->btnConfirm->isEnabled());
    QCOMPARE(dialog.form()->fileAvatarSelector->pixmapRectangle(), before);
}

void TestAvatarModify::changeImageOpensTheChooser()
{
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QString picture = dir.filePath(QStringLiteral("green.png"));
    QVERIFY(filled(300, 200, Qt::green).save(picture));

    dialog.form()->btnLoadImage->click();
    auto *chooser = dialog.findChild<QFileDialog *>();
    QVERIFY(chooser);
    QCOMPARE(chooser->windowTitle(), QStringLiteral("Open Image"));
    QCOMPARE(chooser->nameFilters(), QStringList{QStringLiteral("Image files (*.jpg *.png *.xpm *.jpeg *.bmp)")});
    QCOMPARE(chooser->windowModality(), Qt::WindowModal);
    QVERIFY(chooser->testAttribute(Qt::WA_DeleteOnClose));
    QPointer<QFileDialog> alive(chooser);
    chooser->setDirectory(dir.path());
    chooser->selectFile(picture);
    QMetaObject::invokeMethod(chooser, "accept");   // as the Open button does
    QCOMPARE(dialog.candidate().toImage().pixel(0, 0), qRgb(0, 255, 0));
    QVERIFY(dialog.form()->btnConfirm->isEnabled());
    QTRY_VERIFY(alive.isNull());
}

void TestAvatarModify::lastCropWinsAt120()
{
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy selected(&dialog, &AvatarModifyWidget::avatarSelected);

    const QString picture = dir.filePath(QStringLiteral("red.png"));
    QVERIFY(filled(800, 600, Qt::red).save(picture));
    dialog.openImageConfirmed(picture);
    QVERIFY(dialog.form()->btnConfirm->isEnabled());
    QCOMPARE(dialog.candidate().toImage().pixel(0, 0), qRgb(255, 0, 0));

    CameraCaptureForm *camera = dialog.form()->cameraWidget;
    camera->drawImage(filled(640, 480, Qt::blue));
    camera->form()->btnTakeImage->click();
    const QPixmap crop = dialog.candidate();
    QCOMPARE(crop.toImage().pixel(0, 0), qRgb(0, 0, 255));
    QCOMPARE(crop.width(), crop.height());
    QVERIFY(crop.width() != 120);
    QCOMPARE(dialog.form()->previewFrame->preview().toImage().pixel(crop.width() / 2, crop.width() / 2), qRgb(0, 0, 255));

    dialog.form()->btnConfirm->click();
    QCOMPARE(selected.count(), 1);
    const QImage avatar = selected.at(0).at(0).value<QPixmap>().toImage();
    QCOMPARE(avatar.size(), QSize(120, 120));
    QCOMPARE(avatar.pixel(60, 60), qRgb(0, 0, 255));
    QVERIFY(dialog.isVisible());   // closing is the host's business
}

void TestAvatarModify::dragOnlyFromTitleBar()
{
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.move(100, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();

    const QPoint body = dialog.form()->widget->geometry().center();
    mouse(&dialog, QEvent::MouseButtonPress, body);
    mouse(&dialog, QEvent::MouseMove, body + QPoint(30, 20));
    mouse(&dialog, QEvent::MouseButtonRelease, body + QPoint(30, 20));
    QCOMPARE(dialog.pos(), start);

    const QPoint title = dialog.form()->titleWidget->geometry().center();
    mouse(&dialog, QEvent::MouseButtonPress, title);
    mouse(&dialog, QEvent::MouseMove, title + QPoint(30, 20));
    QCOMPARE(dialog.pos(), start + QPoint(30, 20));
    mouse(&dialog, QEvent::MouseButtonRelease, title + QPoint(30, 20));
    mouse(&dialog, QEvent::MouseMove, title + QPoint(60, 60));
    QCOMPARE(dialog.pos(), start + QPoint(30, 20));
}

void TestAvatarModify::screenshot()
{
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.form()->cameraWidget->drawImage(filled(640, 480, QColor(200, 120, 40)));
    QTest::qWait(50);
    const QImage shot = dialog.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    QVERIFY(shot.save(QStringLiteral(SCREENSHOT_DIR "/avatar-dialog.png")));
    const qreal scale = shot.width() / qreal(dialog.width());
    auto area = [&](QWidget *widget) {
        const QRect r(widget->mapTo(&dialog, QPoint(0, 0)), widget->size());
        return QRect(r.topLeft() * scale, r.size() * scale);
    };

    Ui::AvatarModifyWidget *ui = dialog.form();
    QVERIFY(share(shot, area(ui->titleWidget).adjusted(30 * scale, 10, -200 * scale, -10), QColor(52, 53, 58)) > 0.5);
    const QRect tabBar = area(ui->tabWidget).adjusted(0, 0, 0, -(ui->tabWidget->height() - 40) * scale);
    QVERIFY(share(shot, tabBar, QColor(55, 175, 98)) > 0.01);        // the selected tab's underline
    QVERIFY(share(shot, area(ui->previewFrame), QColor(226, 230, 235)) > 0.01);   // the hint picture
    QVERIFY(share(shot, area(ui->tabWidget), QColor(200, 120, 40)) > 0.1);    // the viewfinder
    QVERIFY(qAlpha(shot.pixel(0, shot.height() / 2)) < 32);   // only a faint shadow outside
}

void TestAvatarModify::chineseCatalogue()
{
    QTranslator chinese;
    QVERIFY(chinese.load(QStringLiteral(":/en_ch.qm")));
    QCoreApplication::installTranslator(&chinese);
    AvatarModifyWidget dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    QCoreApplication::removeTranslator(&chinese);
    QCOMPARE(dialog.form()->btnConfirm->text(), QStringLiteral("确定"));
    QCOMPARE(dialog.form()->tabWidget->tabText(1), QStringLiteral("拍照"));
    QCOMPARE(dialog.form()->cameraWidget->form()->btnRecapture->text(), QStringLiteral("重新拍照"));
    QCOMPARE(dialog.form()->previewFrame->findChild<QLabel *>(QStringLiteral("label"))->text(), QStringLiteral("预览"));
}

void TestAvatarModify::deletesItselfOnClose()
{
    QPointer<AvatarModifyWidget> dialog = new AvatarModifyWidget(nullptr);
    dialog->show();
    dialog->form()->btnClose->click();
    QTRY_VERIFY(dialog.isNull());
}

QTEST_MAIN(TestAvatarModify)
#include "tst_avatarmodify.moc"
