#include "AvatarModifyWidget.h"
#include "ui_AvatarModifyWidget.h"

#include <QFileDialog>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>

AvatarModifyWidget::AvatarModifyWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::AvatarModifyWidget)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);

    ui->btnConfirm->setEnabled(false);

    connect(ui->btnClose, &QToolButton::clicked, this, &QWidget::close);
    connect(ui->btnMin, &QToolButton::clicked, this, &QWidget::showMinimized);
    connect(ui->btnLoadImage, &QPushButton::clicked, this, &AvatarModifyWidget::loadImageFile);
    connect(ui->fileAvatarSelector, &AvatarSelectorForm::avatarSelected, this,
            &AvatarModifyWidget::setCandidateAvatar);
    connect(ui->btnConfirm, &QPushButton::clicked, this, &AvatarModifyWidget::confirmSelection);
    connect(ui->cameraWidget, &CameraCaptureForm::avatarSelected, this, &AvatarModifyWidget::setCandidateAvatar);

    // The margins of the layout leave room for this shadow around the translucent window.
    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, 80));
    shadow->setOffset(1, 1);
    shadow->setBlurRadius(20);
    setGraphicsEffect(shadow);
}

AvatarModifyWidget::~AvatarModifyWidget()
{
    delete ui;
}

void AvatarModifyWidget::loadImageFile()
{
    auto *dialog = new QFileDialog(this, tr("Open Image"), QString(),
                                   tr("Image files (*.jpg *.png *.xpm *.jpeg *.bmp)"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->open(this, SLOT(openImageConfirmed(QString)));
}

void AvatarModifyWidget::openImageConfirmed(const QString &path)
{
    // A file that is not a picture loads as a null picture, which the selector ignores.
    ui->fileAvatarSelector->setPixmap(QPixmap(path));
}

void AvatarModifyWidget::setCandidateAvatar(const QPixmap &avatar)
{
    ui->previewFrame->setPreviewAvatar(avatar);
    ui->btnConfirm->setEnabled(true);
    candidateAvatar = avatar;
}

void AvatarModifyWidget::confirmSelection()
{
    if (candidateAvatar.isNull())
        return;
    emit avatarSelected(candidateAvatar.scaled(120, 120, Qt::IgnoreAspectRatio, Qt::FastTransformation));
}

void AvatarModifyWidget::mousePressEvent(QMouseEvent *event)
{
    if (ui->titleWidget->geometry().contains(event->pos())) {
        dragPosition = event->pos();
        dragging = true;
    }
    QWidget::mousePressEvent(event);
}

void AvatarModifyWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging)
        move(pos() + event->pos() - dragPosition);
    QWidget::mouseMoveEvent(event);
}

void AvatarModifyWidget::mouseReleaseEvent(QMouseEvent *event)
{
    dragging = false;
    QWidget::mouseReleaseEvent(event);
}
