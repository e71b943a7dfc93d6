// Pictures of the screen for the demo:
//   veltora-screenshot OUT.png                     one picture
//   veltora-screenshot --watch DIR MS STOP-FILE    a picture every MS milliseconds, kept
//                                                  only when the screen changed, until
//                                                  STOP-FILE exists
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1;
    if (argc == 2)
        return screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    if (argc != 5 || qstrcmp(argv[1], "--watch") != 0) {
        std::fprintf(stderr, "usage: veltora-screenshot OUT.png | --watch DIR MS STOP-FILE\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const int interval = QString::fromLatin1(argv[3]).toInt();
    const QString stop = QString::fromLocal8Bit(argv[4]);
    QDir().mkpath(dir);
    QImage last;
    int count = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &app, [&] {
        const QImage now = screen->grabWindow(0).toImage();
        if (now != last) {
            now.save(QStringLiteral("%1/shot-%2.png").arg(dir).arg(++count, 3, 10, QLatin1Char('0')), "PNG");
            last = now;
        }
        if (QFileInfo::exists(stop))
            app.quit();
    });
    timer.start(interval);
    return app.exec();
}
