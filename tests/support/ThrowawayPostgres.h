#ifndef VELTORA_THROWAWAYPOSTGRES_H
#define VELTORA_THROWAWAYPOSTGRES_H

#include <QString>
#include <QTemporaryDir>

// A PostgreSQL cluster of Debian's postgresql package in a temporary folder, on a free
// port of 127.0.0.1, with trust for its one user. PostgreSQL refuses to run as root,
// so under root it belongs to the unprivileged user. Removed with the object.
class ThrowawayPostgres
{
public:
    ThrowawayPostgres() = default;
    ~ThrowawayPostgres();

    // False with the reason when the package is missing or the server does not start.
    bool start(QString *why);
    // For QtSql's QPSQL driver, as veltora-logs --db takes it.
    QString connection() const;
    // The store a test row runs on: a SQLite file in `dir`, or this server's database
    // (started here). Empty with the reason when PostgreSQL cannot be had.
    QString storeFor(bool postgres, const QTemporaryDir &dir, QString *why);

private:
    QTemporaryDir m_dir;
    QString m_bin;
    quint16 m_port = 0;
    bool m_running = false;
};

#endif
