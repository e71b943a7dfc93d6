#ifndef ZELCAMERA_ZELFRONTCAMERA_H
#define ZELCAMERA_ZELFRONTCAMERA_H

#include <QImage>
#include <QObject>

#include <memory>

// An open camera. Frames are converted to RGB at the requested size and
// emitted from the camera's own streaming thread; deleting the object stops
// the stream and releases the device. A device that cannot be opened is
// logged and simply yields no frames.
class ZelFrontCamera : public QObject
{
    Q_OBJECT

public:
    ZelFrontCamera(const char *id, int width, int height, QObject *parent = nullptr);
    ~ZelFrontCamera() override;

    bool isRunning() const;

signals:
    void imageReady(const QImage &image);

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> pipeline;
};

#endif
