#include "LogStore.h"

#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

namespace {

const char createTable[] =
    "CREATE TABLE IF NOT EXISTS failure_logs ("
    " digest CHAR(64) PRIMARY KEY,"
    " received_at BIGINT NOT NULL,"
    " address TEXT NOT NULL,"
    " file_name TEXT NOT NULL,"
    " installed_version TEXT NOT NULL,"
    " platform TEXT NOT NULL,"
    " manifest_url TEXT NOT NULL,"
    " road TEXT NOT NULL,"
    " last_error TEXT NOT NULL,"
    " final_message TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " log BYTEA NOT NULL)";
const char createIndex[] = "CREATE INDEX IF NOT EXISTS failure_logs_received ON failure_logs (received_at)";

const qint64 msPerDay = 24 * 3600 * 1000;

// QPSQL binds a null text as SQL NULL, which NOT NULL refuses.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

bool fail(const QSqlError &sqlError, QString *error)
{
    if (error)
        *error = sqlError.text();
    return false;
}

bool isPostgres(const QString &connection)
{
    return connection.startsWith(QLatin1String("postgresql://")) || connection.startsWith(QLatin1String("postgres://"));
}

} // namespace

LogStore::LogStore(const QString &connection)
    : m_driver(isPostgres(connection) ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"))
    , m_connection(connection)
{
    if (m_driver == QLatin1String("QSQLITE") && m_connection.startsWith(QLatin1String("sqlite:")))
        m_connection.remove(0, 7);
}

LogStore::~LogStore()
{
    // The connections of other threads are ended here, once those threads are done.
    QMutexLocker lock(&m_namesLock);
    for (const QString &name : qAsConst(m_names))
        QSqlDatabase::removeDatabase(name);
}

QSqlDatabase LogStore::connection(QString *error)
{
    const QString name = QStringLiteral("veltora-logs-%1-%2")
                             .arg(quintptr(this), 0, 16)
                             .arg(quintptr(QThread::currentThreadId()), 0, 16);
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (db.isValid() && db.isOpen())
        return db;
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(m_driver, name);
        QMutexLocker lock(&m_namesLock);
        m_names.append(name);
    }
    if (m_driver == QLatin1String("QPSQL")) {
        const QUrl url(m_connection);
        db.setHostName(url.host());
        db.setPort(url.port(5432));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        db.setDatabaseName(url.path().mid(1));
        // A host given as ?host=/run/postgresql selects a local socket folder.
        const QString socketFolder = QUrlQuery(url).queryItemValue(QStringLiteral("host"));
        if (!socketFolder.isEmpty())
            db.setHostName(socketFolder);
    } else {
        db.setDatabaseName(m_connection);
        // Writers of other threads wait for the lock instead of failing at once.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    }
    if (!db.open()) {
        fail(db.lastError(), error);
        return QSqlDatabase();
    }
    if (m_driver == QLatin1String("QSQLITE")) {
        // Answered uploads must survive a power cut: every commit reaches the disk.
        QSqlQuery pragma(db);
        if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
            fail(pragma.lastError(), error);
            db.close();
            return QSqlDatabase();
        }
    }
    return db;
}

bool LogStore::open(QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    if (!query.exec(QString::fromLatin1(createTable)) || !query.exec(QString::fromLatin1(createIndex)))
        return fail(query.lastError(), error);
    return true;
}

LogStore::Outcome LogStore::store(const StoredLog &log, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return Outcome::Failed;
    if (!db.transaction()) {
        fail(db.lastError(), error);
        return Outcome::Failed;
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral(
        "INSERT INTO failure_logs (digest, received_at, address, file_name, installed_version, platform,"
        " manifest_url, road, last_error, final_message, reason, log)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (digest) DO NOTHING"));
    insert.addBindValue(QString::fromLatin1(log.digest));
    insert.addBindValue(log.receivedAtMs);
    insert.addBindValue(text(log.address));
    insert.addBindValue(text(log.fileName));
    insert.addBindValue(text(log.fields.installedVersion));
    insert.addBindValue(text(log.fields.platform));
    insert.addBindValue(text(log.fields.manifestUrl));
    insert.addBindValue(text(log.fields.road));
    insert.addBindValue(text(log.fields.lastError));
    insert.addBindValue(text(log.fields.finalMessage));
    insert.addBindValue(text(log.fields.reason));
    insert.addBindValue(log.log.isNull() ? QByteArray("") : log.log);
    if (!insert.exec()) {
        fail(insert.lastError(), error);
        db.rollback();
        // A connection the server dropped is made again by the next call.
        db.close();
        return Outcome::Failed;
    }
    const bool inserted = insert.numRowsAffected() > 0;
    if (!db.commit()) {
        fail(db.lastError(), error);
        db.rollback();
        db.close();
        return Outcome::Failed;
    }
    return inserted ? Outcome::Stored : Outcome::AlreadyStored;
}

QVector<FailureCount> LogStore::countsByVersionAndReason(qint64 fromMs, qint64 toMs, QString *error)
{
    QVector<FailureCount> counts;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return counts;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT installed_version, reason, COUNT(*) FROM failure_logs"
                                 " WHERE received_at >= ? AND received_at < ?"
                                 " GROUP BY installed_version, reason ORDER BY COUNT(*) DESC, installed_version, reason"));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        fail(query.lastError(), error);
        return counts;
    }
    while (query.next())
        counts.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong()});
    return counts;
}

QVector<DayCount> LogStore::countsByDayAndReason(qint64 fromMs, qint64 toMs, QString *error)
{
    QVector<DayCount> counts;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return counts;
    QSqlQuery query(db);
    // Integer division in both dialects; times before 1970 are not received.
    query.prepare(QStringLiteral("SELECT received_at / %1, reason, COUNT(*) FROM failure_logs"
                                 " WHERE received_at >= ? AND received_at < ?"
                                 " GROUP BY received_at / %1, reason ORDER BY 1, 2")
                      .arg(msPerDay));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        fail(query.lastError(), error);
        return counts;
    }
    while (query.next())
        counts.append({query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toLongLong()});
    return counts;
}

QVector<StoredLog> LogStore::latest(qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    QVector<StoredLog> rows;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return rows;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT digest, received_at, address, file_name, installed_version, platform,"
                                 " manifest_url, road, last_error, final_message, reason FROM failure_logs"
                                 " WHERE received_at >= ? AND received_at < ? ORDER BY received_at DESC, digest LIMIT %1")
                      .arg(qMax(0, limit)));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        fail(query.lastError(), error);
        return rows;
    }
    while (query.next()) {
        StoredLog row;
        row.digest = query.value(0).toString().toLatin1();
        row.receivedAtMs = query.value(1).toLongLong();
        row.address = query.value(2).toString();
        row.fileName = query.value(3).toString();
        row.fields.installedVersion = query.value(4).toString();
        row.fields.platform = query.value(5).toString();
        row.fields.manifestUrl = query.value(6).toString();
        row.fields.road = query.value(7).toString();
        row.fields.lastError = query.value(8).toString();
        row.fields.finalMessage = query.value(9).toString();
        row.fields.reason = query.value(10).toString();
        rows.append(row);
    }
    return rows;
}

bool LogStore::find(const QByteArray &digest, StoredLog *row, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT received_at, address, file_name, log FROM failure_logs WHERE digest = ?"));
    query.addBindValue(QString::fromLatin1(digest));
    if (!query.exec())
        return fail(query.lastError(), error);
    if (!query.next())
        return false;
    row->digest = digest;
    row->receivedAtMs = query.value(0).toLongLong();
    row->address = query.value(1).toString();
    row->fileName = query.value(2).toString();
    row->log = query.value(3).toByteArray();
    return true;
}
