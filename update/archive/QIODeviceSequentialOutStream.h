#ifndef VELTORA_QIODEVICESEQUENTIALOUTSTREAM_H
#define VELTORA_QIODEVICESEQUENTIALOUTSTREAM_H

#include <QIODevice>
#include <QPointer>
#include <QString>

namespace Lib7z {

// Where the decoded bytes of one archive item go: a Qt device, opened write-only
// (which truncates a file) unless it is open already.
class QIODeviceSequentialOutStream
{
public:
    enum class Ownership { LeaveAlone, CloseAndDelete };

    QIODeviceSequentialOutStream(QIODevice *device, Ownership ownership);
    ~QIODeviceSequentialOutStream();
    QIODeviceSequentialOutStream(const QIODeviceSequentialOutStream &) = delete;
    QIODeviceSequentialOutStream &operator=(const QIODeviceSequentialOutStream &) = delete;

    // Writes once; returns the bytes written, or -1 with errorString() set.
    qint64 write(const char *data, qint64 size);
    QString errorString() const { return m_error; }
    // The descriptor of a file device, or -1.
    int handle() const;

private:
    Ownership m_ownership;
    QString m_error;
    QPointer<QIODevice> m_device;
};

} // namespace Lib7z

#endif
