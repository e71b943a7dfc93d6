#include "AvatarPreviewFrame.h"

#include "ui_AvatarPreviewFrame.h"

#include <QPainter>

AvatarPreviewFrame::AvatarPreviewFrame(QWidget *parent) : QFrame(parent), ui(new Ui::AvatarPreviewFrame)
{
    ui->setupUi(this);
    setPreviewAvatar(QPixmap(QStringLiteral(":/Avatar/images/avatar-hint.png")));
}

AvatarPreviewFrame::~AvatarPreviewFrame()
{
    delete ui;
}

QPixmap AvatarPreviewFrame::centredSquare(const QPixmap &picture)
{
    if (picture.width() == picture.height())
        return picture;
    const int side = qMin(picture.width(), picture.height());
    // Along the shorter side the offset is 0: centring an even side by (n - 1) / 2 - n / 2
    // would start one pixel before the picture and cut the square short.
    const int left = qMax(0, (picture.width() - 1) / 2 - side / 2);
    const int top = qMax(0, (picture.height() - 1) / 2 - side / 2);
    return picture.copy(left, top, side, side);
}

QBitmap AvatarPreviewFrame::createRoundMask(const QSize &size)
{
    QBitmap mask(size);
    mask.clear();
    QPainter painter(&mask);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(Qt::color1, Qt::SolidPattern));
    painter.drawEllipse(QRect(QPoint(0, 0), size));
    return mask;
}

void AvatarPreviewFrame::setPreviewAvatar(const QPixmap &avatar)
{
    previewPixmap = centredSquare(avatar);
    roundMask = createRoundMask(previewPixmap.size());
    updatePreview();
}

void AvatarPreviewFrame::updatePreview()
{
    previewPixmap.setMask(roundMask);
    ui->labelAvatarBig->setPixmap(previewPixmap.scaled(ui->labelAvatarBig->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    ui->labelAvatarMid->setPixmap(previewPixmap);
    ui->labelAvatarSmall->setPixmap(previewPixmap);
}
