#include "CameraCaptureForm.h"
#include "ui_CameraCaptureForm.h"

#include <ZelExternalMediaManager.h>
#include <ZelFrontCamera.h>

#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QLabel>
#include <QTimer>
#include <QTransform>

#include <vector>

namespace {

// Turning around the vertical axis through the centre of a w x h item.
template<typename T>
QTransform turnedAround(T w, T h, int degrees)
{
    QTransform transform;
    transform.translate(w / 2, h / 2);
    transform.rotate(degrees, Qt::YAxis);
    transform.translate(-(w / 2), -(h / 2));
    return transform;
}

} // namespace

CameraCaptureForm::CameraCaptureForm(QWidget *parent)
    : QStackedWidget(parent)
    , ui(new Ui::CameraCaptureForm)
{
    ui->setupUi(this);
    connect(ui->avatarSelectorWidget, &AvatarSelectorForm::avatarSelected, this, &CameraCaptureForm::avatarSelected);

    auto *scene = new QGraphicsScene(this);
    ui->graphicsView->setScene(scene);
    videoLabel = new QLabel;
    videoProxy = scene->addWidget(videoLabel);
    videoLabel->resize(416, 311);

    connect(ui->btnFlip, &QPushButton::toggled, this, &CameraCaptureForm::setMirrored);
    connect(ui->btnTakeImage, &QPushButton::clicked, this, &CameraCaptureForm::takeImage);
    connect(ui->btnRecapture, &QPushButton::clicked, this, &CameraCaptureForm::displayViewfinder);

    std::vector<ZelAVDeviceInfo> devices;
    ZelExternalMediaManager::instance()->listVideoDevices(devices);
    if (!devices.empty()) {
        camera = new ZelFrontCamera(devices.front().id.toUtf8().constData(), 640, 480);
        // Frames come from the camera's thread and are queued to this one.
        connect(camera, &ZelFrontCamera::imageReady, this, &CameraCaptureForm::drawImage, Qt::AutoConnection);
    }
    setCurrentIndex(0);
}

CameraCaptureForm::~CameraCaptureForm()
{
    delete camera;
    delete ui;
}

void CameraCaptureForm::drawImage(const QImage &image)
{
    if (flipAngle != 0 && flipAngle != 180)
        return;
    videoLabel->setPixmap(
        QPixmap::fromImage(image).scaled(videoLabel->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    frameReceived = true;
}

void CameraCaptureForm::takeImage()
{
    if (!frameReceived)
        return;
    QPixmap still = videoLabel->pixmap(Qt::ReturnByValue);
    if (mirrored)
        still = still.transformed(turnedAround(still.width(), still.height(), 180), Qt::FastTransformation);
    // The crop page is laid out before the still goes in: a selector that has never
    // been sized has no selection yet and would hand on the whole still.
    setCurrentIndex(1);
    ui->pageCope->layout()->activate();
    ui->avatarSelectorWidget->setPixmap(still);
}

void CameraCaptureForm::displayViewfinder()
{
    setCurrentIndex(0);
}

void CameraCaptureForm::setMirrored(bool on)
{
    mirrored = on;
    flipStep = on ? 9 : -9;
    // Only one timer chain may run, and it must head for the other rest angle:
    // otherwise the angle would pass both rest angles and never stop turning.
    const bool turning = flipAngle != 0 && flipAngle != 180;
    if (turning || flipAngle == (on ? 180 : 0))
        return;
    ui->btnFlip->setEnabled(false);
    flipAnimate();
}

void CameraCaptureForm::flipAnimate()
{
    flipAngle += flipStep;
    const QSizeF size = videoProxy->boundingRect().size();
    videoProxy->setTransform(turnedAround(size.width(), size.height(), flipAngle));
    if (flipAngle != 0 && flipAngle != 180) {
        QTimer::singleShot(10, this, &CameraCaptureForm::flipAnimate);
        return;
    }
    ui->btnFlip->setEnabled(true);
    videoProxy->scene()->setSceneRect(QRectF(QPointF(0, 0), videoProxy->size()));
}
