// Pictures of the screen for the demo:
//   veltora-screenshot OUT.png                     one picture
//   veltora-screenshot --watch DIR MS STOP-FILE    a picture every MS milliseconds, kept
//                                                  only when the screen changed, until
//                                                  STOP-FILE exists
//   veltora-screenshot --fit IN.png OUT.png WIDTH  IN cut to what differs from its bottom
//                                                  right pixel (the empty screen; windows
//                                                  open at the top left), scaled down to at
//                                                  most WIDTH pixels wide
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {

int fit(const QString &in, const QString &out, int width)
{
    const QImage shot(in);
    if (shot.isNull() || width <= 0)
        return 1;
    const QImage pixels = shot.convertToFormat(QImage::Format_ARGB32);
    const QRgb background = pixels.pixel(pixels.width() - 1, pixels.height() - 1);
    int left = pixels.width(), right = -1, top = pixels.height(), bottom = -1;
    for (int y = 0; y < pixels.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            if (line[x] != background) {
                left = qMin(left, x);
                right = qMax(right, x);
                top = qMin(top, y);
                bottom = qMax(bottom, y);
            }
        }
    }
    // A little of the background around the window, so that nothing ends at the edge.
    const int margin = 6;
    QImage picture = right < 0 ? pixels
                               : pixels.copy(QRect(QPoint(left - margin, top - margin), QPoint(right + margin, bottom + margin))
                                                 .intersected(pixels.rect()));
    if (picture.width() > width)
        picture = picture.scaledToWidth(width, Qt::SmoothTransformation);
    return picture.save(out, "PNG") ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], "--fit") == 0) {
        QCoreApplication app(argc, argv);
        return fit(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString::fromLatin1(argv[4]).toInt());
    }
    QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 1;
    if (argc == 2)
        return screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    if (argc != 5 || qstrcmp(argv[1], "--watch") != 0) {
        std::fprintf(stderr, "usage: veltora-screenshot OUT.png | --watch DIR MS STOP-FILE | --fit IN.png OUT.png WIDTH\n");
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
