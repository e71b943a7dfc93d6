#include "MessageCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex captureMutex;
QStringList captured;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&captureMutex);
    captured.append(message);
}
} // namespace

MessageCapture::MessageCapture()
{
    {
        QMutexLocker locker(&captureMutex);
        captured.clear();
    }
    m_previous = qInstallMessageHandler(capture);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList MessageCapture::messages() const
{
    QMutexLocker locker(&captureMutex);
    return captured;
}
