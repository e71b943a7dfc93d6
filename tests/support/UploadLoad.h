#ifndef VELTORA_UPLOADLOAD_H
#define VELTORA_UPLOADLOAD_H

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <thread>
#include <vector>

// Parallel clients that upload failure logs to the log service as the programs do,
// each a new upload with a name of its own, until stopped; it keeps which uploads
// were answered "ok" and how long each took.
class UploadLoad
{
public:
    UploadLoad(quint16 port, const QString &namePrefix, const QByteArray &log);
    ~UploadLoad();

    void start(int clients);
    void stop();

    // The service's port, when it comes back on another one.
    void setPort(quint16 port) { m_port = port; }
    int answeredOk() const { return m_ok.load(); }
    int failed() const { return m_failed.load(); }
    // Answers other than "ok" by HTTP status; 0 for no answer (refused or cut connection).
    QMap<int, int> failures() const;
    // After stop():
    QStringList okNames() const { return m_okNames; }
    double uploadsPerSecond() const;
    double percentileMs(double fraction) const;

    // The programs' multipart body and its content type, for a given time and name.
    static QByteArray body(quint32 unixTime, const QByteArray &name, const QByteArray &log, QByteArray *contentType);
    // A connection from another loopback address (another machine, to the service) that sends
    // the start of an upload and nothing more. Returns the socket, -1 when it cannot.
    static int halfSentFrom(const char *address, quint16 port);

private:
    void client(int index);

    std::atomic<quint16> m_port;
    const QString m_prefix;
    const QByteArray m_log;
    std::atomic<bool> m_running{false};
    std::atomic<int> m_ok{0};
    std::atomic<int> m_failed{0};
    std::vector<std::thread> m_threads;
    mutable QMutex m_lock;
    QMap<int, int> m_failures;
    QStringList m_okNames;
    QVector<double> m_latenciesMs;
    qint64 m_startMs = 0;
    qint64 m_stopMs = 0;
};

#endif
