#include "ZelGStreamer.h"

#include "ZelExternalMediaManager.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QtGlobal>

#include <map>

namespace {

QMutex devicesLock;

// Holds a reference to every device handed out, for the process's life.
std::map<QString, GstDevice *> &knownDevices()
{
    static std::map<QString, GstDevice *> devices;
    return devices;
}

QString deviceId(GstDevice *device, int index)
{
    QString id;
    if (GstStructure *properties = gst_device_get_properties(device)) {
        for (const char *key : {"device.path", "api.v4l2.path", "object.path"}) {
            if (const gchar *value = gst_structure_get_string(properties, key)) {
                id = QString::fromUtf8(value);
                break;
            }
        }
        gst_structure_free(properties);
    }
    if (id.isEmpty()) {
        gchar *name = gst_device_get_display_name(device);
        id = QStringLiteral("device:%1:%2").arg(index).arg(QString::fromUtf8(name));
        g_free(name);
    }
    return id;
}

} // namespace

namespace ZelGStreamer {

bool initialise()
{
    static const bool ok = [] {
        GError *error = nullptr;
        if (gst_init_check(nullptr, nullptr, &error))
            return true;
        qWarning("ZelCamera: GStreamer cannot start: %s", error ? error->message : "unknown error");
        g_clear_error(&error);
        return false;
    }();
    return ok;
}

void rememberDevice(const QString &id, GstDevice *device)
{
    QMutexLocker locker(&devicesLock);
    GstDevice *&slot = knownDevices()[id];
    if (slot)
        gst_object_unref(slot);
    slot = GST_DEVICE(gst_object_ref(device));
}

GstElement *createSourceFor(const QString &id)
{
    QMutexLocker locker(&devicesLock);
    const auto found = knownDevices().find(id);
    return found == knownDevices().end() ? nullptr : gst_device_create_element(found->second, nullptr);
}

} // namespace ZelGStreamer

ZelExternalMediaManager::ZelExternalMediaManager() = default;

ZelExternalMediaManager *ZelExternalMediaManager::instance()
{
    static ZelExternalMediaManager manager;
    return &manager;
}

const char *ZelExternalMediaManager::testPatternId()
{
    return "zelcamera:test-pattern";
}

void ZelExternalMediaManager::listVideoDevices(std::vector<ZelAVDeviceInfo> &devices)
{
    if (qgetenv("ZELCAMERA_TEST_PATTERN") == "1")
        devices.push_back({QStringLiteral("Test Pattern"), QString::fromLatin1(testPatternId())});
    if (!ZelGStreamer::initialise())
        return;

    GstDeviceMonitor *monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    if (!gst_device_monitor_start(monitor)) {
        qWarning("ZelCamera: the device monitor cannot start");
        gst_object_unref(monitor);
        return;
    }
    GList *found = gst_device_monitor_get_devices(monitor);
    int index = 0;
    for (GList *item = found; item; item = item->next, ++index) {
        GstDevice *device = GST_DEVICE(item->data);
        gchar *name = gst_device_get_display_name(device);
        const QString id = deviceId(device, index);
        ZelGStreamer::rememberDevice(id, device);
        devices.push_back({QString::fromUtf8(name), id});
        g_free(name);
    }
    g_list_free_full(found, gst_object_unref);
    gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);
}
