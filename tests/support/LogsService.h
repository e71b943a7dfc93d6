#ifndef VELTORA_LOGSSERVICE_H
#define VELTORA_LOGSSERVICE_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The failure-log service (veltora-logs serve) as a child process on 127.0.0.1, with
// its log (standard error) written to a file for the caller to read: a pipe nobody reads
// while a load runs would fill up and stall the service.
class LogsService
{
public:
    explicit LogsService(const QString &program);
    ~LogsService();

    // Starts on `port` (0: a free one) and waits until it listens.
    bool start(const QStringList &arguments, quint16 port = 0);
    // SIGKILL, as a crash or a power cut would end it.
    void kill();
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    // Everything it has logged so far.
    QString log();

private:
    QString m_program;
    QProcess m_process;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
};

#endif
