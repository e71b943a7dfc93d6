#include "QIODeviceSequentialOutStream.h"

#include <QCoreApplication>
#include <QFileDevice>

namespace Lib7z {

QIODeviceSequentialOutStream::QIODeviceSequentialOutStream(QIODevice *device, Ownership ownership)
    : m_ownership(ownership), m_device(device)
{
    if (m_device && !m_device->isOpen() && !m_device->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        m_error = m_device->errorString();
}

QIODeviceSequentialOutStream::~QIODeviceSequentialOutStream()
{
    if (m_ownership == Ownership::CloseAndDelete && m_device) {
        m_device->close();
        delete m_device.data();
    }
}

qint64 QIODeviceSequentialOutStream::write(const char *data, qint64 size)
{
    if (!m_device) {
        m_error = QCoreApplication::translate("QIODeviceSequentialOutStream", "No device set for output stream");
        return -1;
    }
    if (!m_device->isOpen() && !m_device->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_error = m_device->errorString();
        return -1;
    }
    const qint64 written = m_device->write(data, size);
    if (written < 0) {
        m_error = m_device->errorString();
        return -1;
    }
    m_error.clear();
    return written;
}

int QIODeviceSequentialOutStream::handle() const
{
    const auto *file = qobject_cast<QFileDevice *>(m_device.data());
    return file ? file->handle() : -1;
}

} // namespace Lib7z
