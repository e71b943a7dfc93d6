#ifndef ZELCAMERA_ZELGSTREAMER_H
#define ZELCAMERA_ZELGSTREAMER_H

#include <gst/gst.h>

#include <QString>

// Shared between the device list and the camera: GStreamer set-up and the
// devices last listed, kept so a camera can open the very device by its id.
namespace ZelGStreamer {

bool initialise();
void rememberDevice(const QString &id, GstDevice *device);
// A new source element for a listed device (nullptr when unknown); the caller owns it.
GstElement *createSourceFor(const QString &id);

} // namespace ZelGStreamer

#endif
