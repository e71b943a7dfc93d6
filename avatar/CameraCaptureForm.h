#ifndef VISAGE_CAMERACAPTUREFORM_H
#define VISAGE_CAMERACAPTUREFORM_H

#include <QImage>
#include <QPixmap>
#include <QStackedWidget>

class QGraphicsProxyWidget;
class QLabel;
class ZelFrontCamera;

namespace Ui {
class CameraCaptureForm;
}

// The camera tab: a live viewfinder that can be turned into its mirror image,
// and a crop page holding the captured still. Crops are passed on as this
// page's own signal.
class CameraCaptureForm : public QStackedWidget
{
    Q_OBJECT

public:
    explicit CameraCaptureForm(QWidget *parent = nullptr);
    ~CameraCaptureForm() override;

    Ui::CameraCaptureForm *form() const { return ui; }
    QLabel *viewfinder() const { return videoLabel; }
    QGraphicsProxyWidget *viewfinderItem() const { return videoProxy; }
    ZelFrontCamera *openCamera() const { return camera; }
    bool isMirrored() const { return mirrored; }
    int currentFlipAngle() const { return flipAngle; }
    bool hasFrame() const { return frameReceived; }

signals:
    void avatarSelected(QPixmap avatar);

public slots:
    void drawImage(const QImage &image);
    void takeImage();
    void displayViewfinder();
    void setMirrored(bool on);
    void flipAnimate();

private:
    Ui::CameraCaptureForm *ui;
    ZelFrontCamera *camera = nullptr;
    QLabel *videoLabel = nullptr;
    QGraphicsProxyWidget *videoProxy = nullptr;
    bool mirrored = false;
    int flipAngle = 0;
    int flipStep = 0;
    bool frameReceived = false;
};

#endif
