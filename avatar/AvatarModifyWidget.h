#ifndef VISAGE_AVATARMODIFYWIDGET_H
#define VISAGE_AVATARMODIFYWIDGET_H

#include "visage_export.h"

#include <QPixmap>
#include <QPoint>
#include <QWidget>

namespace Ui {
class AvatarModifyWidget;
}

// The avatar editor: a frameless dialog where a picture from a file or the
// camera is cropped, previewed and confirmed as a 120 x 120 avatar. It deletes
// itself when closed.
class VISAGE_EXPORT AvatarModifyWidget : public QWidget
{
    Q_OBJECT

public:
    explicit AvatarModifyWidget(QWidget *parent = nullptr);
    ~AvatarModifyWidget() override;

    Ui::AvatarModifyWidget *form() const { return ui; }
    QPixmap candidate() const { return candidateAvatar; }

signals:
    void avatarSelected(const QPixmap &avatar);

public slots:
    void loadImageFile();
    void openImageConfirmed(const QString &path);
    void setCandidateAvatar(const QPixmap &avatar);
    void confirmSelection();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    Ui::AvatarModifyWidget *ui;
    QPoint dragPosition;
    bool dragging = false;
    QPixmap candidateAvatar;
};

#endif
