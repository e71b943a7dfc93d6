#ifndef ZELCAMERA_ZELEXTERNALMEDIAMANAGER_H
#define ZELCAMERA_ZELEXTERNALMEDIAMANAGER_H

#include "ZelAVDeviceInfo.h"

#include <vector>

// The process-wide list of capture devices.
//
// Setting ZELCAMERA_TEST_PATTERN=1 in the environment puts a synthetic device
// that shows a moving test pattern at the front of the list, so that camera
// pages can be used and tested on machines without a camera.
class ZelExternalMediaManager
{
public:
    static ZelExternalMediaManager *instance();

    // Appends the video sources found now to `devices`.
    void listVideoDevices(std::vector<ZelAVDeviceInfo> &devices);

    // The identifier of the synthetic device.
    static const char *testPatternId();

private:
    ZelExternalMediaManager();
};

#endif
