#ifndef VISAGE_AVATARPREVIEWFRAME_H
#define VISAGE_AVATARPREVIEWFRAME_H

#include <QBitmap>
#include <QFrame>
#include <QPixmap>

namespace Ui {
class AvatarPreviewFrame;
}

// Shows the candidate avatar as it will look: its centred square under a circular
// mask, at three sizes.
class AvatarPreviewFrame : public QFrame
{
    Q_OBJECT

public:
    explicit AvatarPreviewFrame(QWidget *parent = nullptr);
    ~AvatarPreviewFrame() override;

    // The centred square of a picture (the picture itself when it is square).
    static QPixmap centredSquare(const QPixmap &picture);
    // A bitmap of `size` with the inscribed ellipse opaque and the rest transparent.
    static QBitmap createRoundMask(const QSize &size);

    QPixmap preview() const { return previewPixmap; }
    Ui::AvatarPreviewFrame *form() const { return ui; }

public slots:
    void setPreviewAvatar(const QPixmap &avatar);

private:
    void updatePreview();

    Ui::AvatarPreviewFrame *ui;
    QPixmap previewPixmap;
    QBitmap roundMask;
};

#endif
