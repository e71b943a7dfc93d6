#include "ThrowawayPostgres.h"

#include "Unprivileged.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>

ThrowawayPostgres::~ThrowawayPostgres()
{
    if (m_running)
        Unprivileged::run(m_bin + QStringLiteral("/pg_ctl"),
                          {QStringLiteral("-D"), m_dir.path() + QStringLiteral("/data"), QStringLiteral("-m"),
                           QStringLiteral("immediate"), QStringLiteral("stop")});
}

bool ThrowawayPostgres::start(QString *why)
{
    QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : qAsConst(versions)) {
        if (QFileInfo::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/initdb").arg(version))) {
            m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
            break;
        }
    }
    if (m_bin.isEmpty()) {
        *why = QStringLiteral("no initdb under /usr/lib/postgresql (Debian's postgresql package)");
        return false;
    }
    if (!m_dir.isValid() || !Unprivileged::openFolder(m_dir.path())) {
        *why = QStringLiteral("no temporary folder");
        return false;
    }
    Unprivileged::giveAway(m_dir.path());
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost)) {
            *why = QStringLiteral("no free port");
            return false;
        }
        m_port = probe.serverPort();
    }
    const QString data = m_dir.path() + QStringLiteral("/data");
    // No sync while the cluster is made; the server itself syncs every commit.
    Unprivileged::run(m_bin + QStringLiteral("/initdb"),
                      {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("veltora"), QStringLiteral("-A"),
                       QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                       QStringLiteral("--no-sync")},
                      120000);
    if (!QFileInfo::exists(data + QStringLiteral("/PG_VERSION"))) {
        *why = QStringLiteral("initdb failed");
        return false;
    }
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c max_connections=100")
                                .arg(m_port)
                                .arg(m_dir.path());
    Unprivileged::run(m_bin + QStringLiteral("/pg_ctl"),
                      {QStringLiteral("-D"), data, QStringLiteral("-l"), m_dir.path() + QStringLiteral("/server.log"),
                       QStringLiteral("-o"), options, QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                       QStringLiteral("start")},
                      90000);
    m_running = QFileInfo::exists(data + QStringLiteral("/postmaster.pid"));
    if (!m_running)
        *why = QStringLiteral("the server did not start, see %1/server.log").arg(m_dir.path());
    return m_running;
}

QString ThrowawayPostgres::storeFor(bool postgres, const QTemporaryDir &dir, QString *why)
{
    if (!postgres)
        return dir.filePath(QStringLiteral("logs.sqlite"));
    return start(why) ? connection() : QString();
}

QString ThrowawayPostgres::connection() const
{
    return QStringLiteral("postgresql://veltora@127.0.0.1:%1/postgres").arg(m_port);
}
