// avatar-demo [--auto [--picture DIALOG.png]] OUTPUT.png
// Opens the avatar editor; on "Confirm" the 120 x 120 avatar is written to
// OUTPUT.png, its path printed, and the program ends.
// With --auto nobody needs to click: the first camera still is captured and
// confirmed as soon as the camera delivers (for unattended checks); without a
// picture after 20 seconds the program gives up. --picture also saves a picture
// of the dialog with that still cropped, just before the confirmation (for the
// README's pictures).
#include "AvatarModifyWidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QPixmap>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

namespace {

// Presses "Capture" until a crop has enabled "Confirm", then presses that.
void captureAndConfirm(AvatarModifyWidget *dialog, const QString &picture, int *status)
{
    auto *capture = dialog->findChild<QAbstractButton *>(QStringLiteral("btnTakeImage"));
    auto *confirm = dialog->findChild<QAbstractButton *>(QStringLiteral("btnConfirm"));
    auto *timer = new QTimer(dialog);
    auto *waited = new QElapsedTimer;
    waited->start();
    QObject::connect(timer, &QTimer::timeout, dialog, [=] {
        if (confirm->isEnabled()) {
            timer->stop();
            delete waited;
            if (!picture.isEmpty() && !dialog->grab().save(picture, "PNG"))
                QTextStream(stderr) << "avatar-demo: cannot write " << picture << Qt::endl;
            confirm->click();
        } else if (waited->elapsed() > 20000) {
            timer->stop();
            delete waited;
            QTextStream(stderr) << "avatar-demo: the camera delivered no picture" << Qt::endl;
            *status = 3;
            dialog->close();
        } else {
            capture->click();
        }
    });
    timer->start(200);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool unattended = arguments.removeAll(QStringLiteral("--auto")) > 0;
    QString picture;
    const int pictureOption = arguments.indexOf(QStringLiteral("--picture"));
    if (unattended && pictureOption >= 0 && pictureOption + 1 < arguments.size()) {
        picture = arguments.takeAt(pictureOption + 1);
        arguments.removeAt(pictureOption);
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: avatar-demo [--auto [--picture DIALOG.png]] OUTPUT.png\n");
        return 2;
    }
    const QString output = QFileInfo(arguments.at(0)).absoluteFilePath();
    QTranslator chinese;
    if (QLocale::system().language() == QLocale::Chinese && chinese.load(QStringLiteral(":/en_ch.qm")))
        QApplication::installTranslator(&chinese);

    auto *dialog = new AvatarModifyWidget(nullptr);
    int status = 1;
    QObject::connect(dialog, &AvatarModifyWidget::avatarSelected, dialog, [&](const QPixmap &avatar) {
        if (avatar.save(output, "PNG")) {
            QTextStream(stdout) << output << Qt::endl;
            status = 0;
        } else {
            QTextStream(stderr) << "avatar-demo: cannot write " << output << Qt::endl;
        }
        dialog->close();
    });
    dialog->show();
    if (unattended)
        captureAndConfirm(dialog, picture, &status);
    app.exec();
    return status;
}
