#include "ZelGStreamer.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include "ZelExternalMediaManager.h"
#include "ZelFrontCamera.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace {

// The GStreamer layout that matches QImage::Format_RGB32 in memory.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
const char *const frameFormat = "BGRx";
#else
const char *const frameFormat = "xRGB";
#endif

GstElement *makeElement(const char *factory)
{
    GstElement *element = gst_element_factory_make(factory, nullptr);
    if (!element)
        qWarning("ZelCamera: the GStreamer element %s is not installed", factory);
    return element;
}

GstElement *makeSource(const QString &id)
{
    if (id == QLatin1String(ZelExternalMediaManager::testPatternId())) {
        GstElement *source = makeElement("videotestsrc");
        if (source)
            g_object_set(source, "is-live", TRUE, nullptr);
        return source;
    }
    if (GstElement *source = ZelGStreamer::createSourceFor(id))
        return source;
    // A device path not listed in this process: open it directly.
    if (id.startsWith(QLatin1String("/dev/video"))) {
        GstElement *source = makeElement("v4l2src");
        if (source)
            g_object_set(source, "device", id.toUtf8().constData(), nullptr);
        return source;
    }
    qWarning("ZelCamera: no video device \"%s\"", qUtf8Printable(id));
    return nullptr;
}

GstBusSyncReply logBusMessage(GstBus *, GstMessage *message, gpointer)
{
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError *error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        qWarning("ZelCamera: %s", error ? error->message : "stream error");
        g_clear_error(&error);
    }
    return GST_BUS_DROP;
}

} // namespace

struct ZelFrontCamera::Pipeline
{
    ZelFrontCamera *owner = nullptr;
    GstElement *bin = nullptr;
    bool running = false;

    static GstFlowReturn newSample(GstAppSink *sink, gpointer data)
    {
        GstSample *sample = gst_app_sink_pull_sample(sink);
        if (!sample)
            return GST_FLOW_EOS;
        GstVideoInfo info;
        GstVideoFrame frame;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample))
            && gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
            const QImage view(static_cast<const uchar *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                              GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                              GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), QImage::Format_RGB32);
            // The buffer goes back to GStreamer; receivers get their own copy.
            const QImage image = view.copy();
            gst_video_frame_unmap(&frame);
            emit static_cast<Pipeline *>(data)->owner->imageReady(image);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }

    bool build(const QString &id, int width, int height)
    {
        GstElement *source = makeSource(id);
        GstElement *convert = makeElement("videoconvert");
        GstElement *scale = makeElement("videoscale");
        GstElement *sink = makeElement("appsink");
        bin = gst_pipeline_new("zelcamera");
        if (!source || !convert || !scale || !sink) {
            for (GstElement *element : {source, convert, scale, sink})
                if (element)
                    gst_object_unref(gst_object_ref_sink(element));
            return false;
        }
        g_object_set(scale, "add-borders", FALSE, nullptr);
        GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, frameFormat, "width",
                                            G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(sink, "caps", caps, "max-buffers", 2, "drop", TRUE, "sync", FALSE, nullptr);
        gst_caps_unref(caps);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = &Pipeline::newSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);

        gst_bin_add_many(GST_BIN(bin), source, convert, scale, sink, nullptr);
        if (!gst_element_link_many(source, convert, scale, sink, nullptr)) {
            qWarning("ZelCamera: the device \"%s\" cannot deliver %dx%d frames", qUtf8Printable(id), width,
                     height);
            return false;
        }
        GstBus *bus = gst_pipeline_get_bus(GST_PIPELINE(bin));
        gst_bus_set_sync_handler(bus, &logBusMessage, nullptr, nullptr);
        gst_object_unref(bus);
        if (gst_element_set_state(bin, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            qWarning("ZelCamera: the device \"%s\" cannot be opened", qUtf8Printable(id));
            return false;
        }
        return true;
    }

    ~Pipeline()
    {
        if (bin) {
            // Joins the streaming thread, so no frame is emitted after this.
            gst_element_set_state(bin, GST_STATE_NULL);
            gst_object_unref(bin);
        }
    }
};

ZelFrontCamera::ZelFrontCamera(const char *id, int width, int height, QObject *parent)
    : QObject(parent)
    , pipeline(new Pipeline)
{
    pipeline->owner = this;
    const QString device = QString::fromUtf8(id ? id : "");
    if (width <= 0 || height <= 0) {
        qWarning("ZelCamera: invalid frame size %dx%d", width, height);
        return;
    }
    if (!ZelGStreamer::initialise())
        return;
    pipeline->running = pipeline->build(device, width, height);
}

ZelFrontCamera::~ZelFrontCamera() = default;

bool ZelFrontCamera::isRunning() const
{
    return pipeline->running;
}
