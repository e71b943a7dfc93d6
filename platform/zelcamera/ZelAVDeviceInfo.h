#ifndef ZELCAMERA_ZELAVDEVICEINFO_H
#define ZELCAMERA_ZELAVDEVICEINFO_H

#include <QString>

// One video device: a name for people and the identifier the camera opens it by.
struct ZelAVDeviceInfo
{
    QString name;
    QString id;
};

#endif
