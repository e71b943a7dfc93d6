#include "LogsService.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

LogsService::LogsService(const QString &program)
    : m_program(program)
{
}

LogsService::~LogsService()
{
    kill();
}

bool LogsService::start(const QStringList &arguments, quint16 port)
{
    kill();
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_process.start(m_program, QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:%1").arg(port)}
                                   + arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(log());
        if (match.hasMatch()) {
            m_port = quint16(match.captured(1).toUInt());
            return true;
        }
        if (m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(200);
    }
    return false;
}

void LogsService::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
    log();
}

QString LogsService::log()
{
    m_log += m_process.readAllStandardError();
    return QString::fromUtf8(m_log);
}
