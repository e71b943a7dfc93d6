#ifndef VELTORA_OPENARCHIVEINFO_H
#define VELTORA_OPENARCHIVEINFO_H

#include <QByteArray>
#include <QFileDevice>
#include <QObject>
#include <QPointer>

struct archive;

// Drops a device's cached archive state when the device is destroyed; lives in
// the device's thread so that its slot runs there.
class OpenArchiveInfoCleaner : public QObject
{
    Q_OBJECT

public slots:
    void deviceDestroyed(QObject *device);
};

// The open state of one archive device: the reader over the device and the
// input adapter that feeds it. One per device, cached until the device goes.
class OpenArchiveInfo
{
public:
    // The cached state for the device, opened on first use. Throws SevenZipException.
    static OpenArchiveInfo *value(QFileDevice *device);
    ~OpenArchiveInfo();

    // The reader positioned before the first item; reopened when an earlier
    // extraction has already walked it. Throws SevenZipException.
    struct archive *reader();
    void markConsumed() { m_consumed = true; }

    // Input adapter: the archive device read and positioned by the reader.
    QFileDevice *device() const { return m_device; }
    qint64 readBlock(const void **buffer);
    qint64 seek(qint64 offset, int whence);

private:
    explicit OpenArchiveInfo(QFileDevice *device);
    void open();
    void close();

    QPointer<QFileDevice> m_device;
    struct archive *m_archive = nullptr;
    QByteArray m_buffer;
    bool m_consumed = false;
    OpenArchiveInfoCleaner *m_cleaner = nullptr;
};

#endif
