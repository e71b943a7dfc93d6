// Draws the programs' pictures at the sizes the windows expect:
//   veltora-imagegen OUTPUT-DIR            the programs' pictures
//   veltora-imagegen --avatar OUTPUT-DIR   the avatar library's pictures
// The committed pictures under resources/image were made with it.
#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

const QColor green(47, 186, 119);
const QColor mint(36, 227, 146);

QImage canvas(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage background()
{
    QImage image = canvas(560, 400);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 400);
    sky.setColorAt(0, QColor(29, 53, 87));
    sky.setColorAt(1, QColor(18, 31, 52));
    p.fillRect(image.rect(), sky);
    // Soft waves along the bottom, in the product's greens.
    for (int i = 0; i < 3; ++i) {
        QPainterPath wave;
        const int base = 250 + i * 30;
        wave.moveTo(0, base);
        wave.cubicTo(140, base - 40 + i * 10, 380, base + 40 - i * 10, 560, base - 10);
        wave.lineTo(560, 400);
        wave.lineTo(0, 400);
        wave.closeSubpath();
        QColor c = i == 0 ? mint : green;
        c.setAlpha(40 + i * 30);
        p.fillPath(wave, c);
    }
    // A faint halo behind the logo.
    QRadialGradient halo(280, 127, 180);
    halo.setColorAt(0, QColor(255, 255, 255, 40));
    halo.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(image.rect(), halo);
    return image;
}

QImage logo()
{
    QImage image = canvas(260, 74);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // A rounded mark: an upward arrow in a leaf-like badge.
    QPainterPath badge;
    badge.addRoundedRect(QRectF(6, 9, 56, 56), 16, 16);
    QLinearGradient fill(6, 9, 62, 65);
    fill.setColorAt(0, mint);
    fill.setColorAt(1, green);
    p.fillPath(badge, fill);
    QPainterPath arrow;
    arrow.moveTo(34, 19);
    arrow.lineTo(50, 37);
    arrow.lineTo(40, 37);
    arrow.lineTo(40, 55);
    arrow.lineTo(28, 55);
    arrow.lineTo(28, 37);
    arrow.lineTo(18, 37);
    arrow.closeSubpath();
    p.fillPath(arrow, Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(38);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(72, 0, 188, 74), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Veltora"));
    return image;
}

QImage minimise(bool hover)
{
    QImage image = canvas(10, 10);
    QPainter p(&image);
    p.fillRect(QRect(0, 4, 10, 2), hover ? mint : QColor(255, 255, 255, 220));
    return image;
}

QImage closeCross(bool hover)
{
    QImage image = canvas(11, 10);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(hover ? QColor(255, 90, 90) : QColor(255, 255, 255, 230), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(1, 0.5), QPointF(10, 9.5));
    p.drawLine(QPointF(10, 0.5), QPointF(1, 9.5));
    return image;
}

QImage roundIcon(int size, const QColor &color, const QString &glyph)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(color);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(size * 2 / 3);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(image.rect(), Qt::AlignCenter, glyph);
    return image;
}

// The crop selector's placeholder while it has no picture: a camera outline.
QImage noCamera()
{
    QImage image = canvas(80, 80);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(170, 174, 180), 3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(10, 24, 60, 40), 8, 8);
    p.drawEllipse(QPointF(40, 44), 11, 11);
    p.drawRect(QRectF(28, 16, 16, 8));
    p.drawLine(QPointF(12, 70), QPointF(68, 18));
    return image;
}

// The preview's picture before the first candidate: a head-and-shoulders outline.
QImage avatarHint()
{
    QImage image = canvas(72, 72);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(image.rect(), QColor(226, 230, 235));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(170, 178, 188));
    p.drawEllipse(QPointF(36, 28), 13, 13);
    p.drawEllipse(QRectF(12, 46, 48, 40));
    return image;
}

// The avatar dialog's title-bar buttons, 20 x 20, plain and hovered.
QImage titleButton(bool close, bool hover)
{
    QImage image = canvas(20, 20);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (hover) {
        p.setPen(Qt::NoPen);
        p.setBrush(close ? QColor(232, 72, 72) : QColor(255, 255, 255, 50));
        p.drawRoundedRect(QRectF(0, 0, 20, 20), 3, 3);
    }
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    if (close) {
        p.drawLine(QPointF(6, 6), QPointF(14, 14));
        p.drawLine(QPointF(14, 6), QPointF(6, 14));
    } else {
        p.drawLine(QPointF(5, 10), QPointF(15, 10));
    }
    return image;
}

bool save(const QImage &image, const QString &path)
{
    return image.save(path, "PNG");
}

// An icon container holding one 128 x 128 PNG picture.
bool saveIcns(const QImage &image, const QString &path)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::BigEndian);
    out.writeRawData("icns", 4);
    out << quint32(8 + 8 + png.size());
    out.writeRawData("ic07", 4);
    out << quint32(8 + png.size());
    out.writeRawData(png.constData(), png.size());
    return out.status() == QDataStream::Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--avatar") == 0) {
        const QString dir = QString::fromLocal8Bit(argv[2]) + QLatin1Char('/');
        return save(noCamera(), dir + "no-camera.png") && save(avatarHint(), dir + "avatar-hint.png")
                && save(titleButton(false, false), dir + "minimize.png")
                && save(titleButton(false, true), dir + "minimize_selected.png")
                && save(titleButton(true, false), dir + "close.png")
                && save(titleButton(true, true), dir + "close_selected.png")
            ? 0
            : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: veltora-imagegen OUTPUT-DIR | --avatar OUTPUT-DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]) + QLatin1Char('/');
    const bool ok = save(background(), dir + "bg.png") && save(logo(), dir + "veltora.png")
        && save(minimise(false), dir + "MinBtn.png") && save(minimise(true), dir + "MinBtn1.png")
        && save(closeCross(false), dir + "CloseBtn.png") && save(closeCross(true), dir + "CloseBtn1.png")
        && save(roundIcon(67, QColor(52, 152, 219), QStringLiteral("i")), dir + "info.png")
        && save(roundIcon(70, green, QStringLiteral("?")), dir + "question.png")
        && save(roundIcon(68, QColor(231, 76, 60), QStringLiteral("!")), dir + "error.png")
        && saveIcns(logo().copy(6, 9, 56, 56).scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation),
                    dir + "update48.icns");
    return ok ? 0 : 1;
}
