#include "UploadLoad.h"

#include "UploadKey.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QRandomGenerator>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

UploadLoad::UploadLoad(quint16 port, const QString &namePrefix, const QByteArray &log)
    : m_port(port)
    , m_prefix(namePrefix)
    , m_log(log)
{
}

UploadLoad::~UploadLoad()
{
    stop();
}

QByteArray UploadLoad::body(quint32 unixTime, const QByteArray &name, const QByteArray &log, QByteArray *contentType)
{
    const QByteArray boundary = "boundary_.oOo._" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    *contentType = "multipart/form-data; boundary=\"" + boundary + '"';
    QByteArray body;
    const auto part = [&](const QByteArray &disposition, const QByteArray &content) {
        body += "--" + boundary + "\r\nContent-Disposition: " + disposition + "\r\n\r\n" + content + "\r\n";
    };
    part("form-data; name=\"key\"", UploadKey::keyFor(unixTime));
    part("form-data; name=\"timestamp\"", QByteArray::number(unixTime));
    part("form-data; name=\"save_name\"", name);
    part("form-data; name=\"save_data\";filename=\"text.txt\"", log);
    body += "--" + boundary + "--\r\n";
    return body;
}

int UploadLoad::halfSentFrom(const char *address, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const char start[] = "POST /api/file.api.php?action=putFailedData HTTP/1.1\r\nHost: x\r\n";
    ::send(fd, start, sizeof start - 1, MSG_NOSIGNAL);
    return fd;
}

void UploadLoad::start(int clients)
{
    m_running = true;
    m_startMs = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < clients; ++i)
        m_threads.emplace_back([this, i] { client(i); });
}

void UploadLoad::stop()
{
    if (!m_running.exchange(false))
        return;
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    m_stopMs = QDateTime::currentMSecsSinceEpoch();
}

void UploadLoad::client(int index)
{
    for (int sequence = 0; m_running; ++sequence) {
        httplib::Client http("127.0.0.1", m_port.load());
        http.set_connection_timeout(2);
        http.set_read_timeout(10);
        const QString name = QStringLiteral("%1_%2_%3.log").arg(m_prefix).arg(index).arg(sequence);
        QByteArray type;
        const QByteArray data = body(quint32(QDateTime::currentSecsSinceEpoch()), name.toLatin1(), m_log, &type);
        QElapsedTimer timer;
        timer.start();
        const httplib::Result answer = http.Post("/api/file.api.php?action=putFailedData", data.constData(),
                                                 size_t(data.size()), type.constData());
        const double ms = timer.nsecsElapsed() / 1e6;
        if (answer && answer->status == 200 && answer->body == "ok") {
            QMutexLocker lock(&m_lock);
            m_okNames.append(name);
            m_latenciesMs.append(ms);
            ++m_ok;
        } else {
            {
                QMutexLocker lock(&m_lock);
                ++m_failures[answer ? answer->status : 0];
            }
            ++m_failed;
            // The service is away (killed, restarting): try again a little later.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

QMap<int, int> UploadLoad::failures() const
{
    QMutexLocker lock(&m_lock);
    return m_failures;
}

double UploadLoad::uploadsPerSecond() const
{
    const qint64 ms = qMax<qint64>(1, m_stopMs - m_startMs);
    return m_okNames.size() * 1000.0 / ms;
}

double UploadLoad::percentileMs(double fraction) const
{
    if (m_latenciesMs.isEmpty())
        return 0;
    QVector<double> sorted = m_latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    const int at = qBound(0, int(fraction * sorted.size() + 0.999999) - 1, sorted.size() - 1);
    return sorted.at(at);
}
