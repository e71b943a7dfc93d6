#ifndef VELTORA_SEVENZIPEXCEPTION_H
#define VELTORA_SEVENZIPEXCEPTION_H

#include <QByteArray>
#include <QString>

#include <exception>

namespace Lib7z {

// A failure of the archive facade that happens outside a single item's handling.
class SevenZipException : public std::exception
{
public:
    explicit SevenZipException(const QString &message) : m_message(message.toUtf8()) {}
    const char *what() const noexcept override { return m_message.constData(); }
    QString message() const { return QString::fromUtf8(m_message); }

private:
    QByteArray m_message;
};

} // namespace Lib7z

#endif
