#include "LogStore.h"

#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

namespace {

const qint64 msPerDay = 24 * 3600 * 1000;

// QPSQL binds a null text as SQL NULL, which NOT NULL refuses.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

// Every stored column, once: the schema, the insert and the reads are made from this list.
// `since` is the schema version that added the column; older stores get it from open(),
// with `fill` (an SQL expression) as the value of the rows they already hold.
struct Column
{
    const char *name;
    const char *type;
    int since;
    const char *fill;
    QVariant (*get)(const StoredLog &);
    void (*set)(StoredLog &, const QVariant &);
};

#define VELTORA_TEXT_COLUMN(name, member, since)                                                                       \
    Column                                                                                                             \
    {                                                                                                                  \
        name, "TEXT NOT NULL DEFAULT ''", since, "''", [](const StoredLog &r) { return text(r.member); },             \
            [](StoredLog &r, const QVariant &v) { r.member = v.toString(); }                                          \
    }

const Column columns[] = {
    {"digest", "CHAR(64) PRIMARY KEY", 0, nullptr, [](const StoredLog &r) { return QVariant(QString::fromLatin1(r.digest)); },
     [](StoredLog &r, const QVariant &v) { r.digest = v.toString().toLatin1(); }},
    {"received_at", "BIGINT NOT NULL", 0, nullptr, [](const StoredLog &r) { return QVariant(r.receivedAtMs); },
     [](StoredLog &r, const QVariant &v) { r.receivedAtMs = v.toLongLong(); }},
    VELTORA_TEXT_COLUMN("address", address, 0),
    VELTORA_TEXT_COLUMN("file_name", fileName, 0),
    VELTORA_TEXT_COLUMN("installed_version", fields.installedVersion, 0),
    VELTORA_TEXT_COLUMN("platform", fields.platform, 0),
    VELTORA_TEXT_COLUMN("manifest_url", fields.manifestUrl, 0),
    VELTORA_TEXT_COLUMN("road", fields.road, 0),
    VELTORA_TEXT_COLUMN("last_error", fields.lastError, 0),
    VELTORA_TEXT_COLUMN("final_message", fields.finalMessage, 0),
    VELTORA_TEXT_COLUMN("reason", fields.reason, 0),
    VELTORA_TEXT_COLUMN("target_release", fields.targetRelease, 1),
    VELTORA_TEXT_COLUMN("rollout_share", fields.rolloutShare, 1),
    {"clock_skew", "BIGINT NOT NULL DEFAULT 0", 1, "0", [](const StoredLog &r) { return QVariant(r.clockSkewSeconds); },
     [](StoredLog &r, const QVariant &v) { r.clockSkewSeconds = v.toLongLong(); }},
    {"log_bytes", "BIGINT NOT NULL DEFAULT 0", 1, "LENGTH(log)", [](const StoredLog &r) { return QVariant(qint64(r.log.size())); },
     [](StoredLog &r, const QVariant &v) { r.logBytes = v.toLongLong(); }},
    // Last in a new table, so that reading the other columns does not walk past the log.
    {"log", "BYTEA NOT NULL", 0, nullptr, [](const StoredLog &r) { return QVariant(r.log.isNull() ? QByteArray("") : r.log); },
     [](StoredLog &r, const QVariant &v) { r.log = v.toByteArray(); }},
};
#undef VELTORA_TEXT_COLUMN

bool isLog(const Column &c)
{
    return qstrcmp(c.name, "log") == 0;
}

QString columnNames(bool withLog)
{
    QStringList names;
    for (const Column &c : columns) {
        if (withLog || !isLog(c))
            names.append(QLatin1String(c.name));
    }
    return names.join(QStringLiteral(", "));
}

// Fills a row from a query that selected columnNames(), by name.
StoredLog rowOf(const QSqlQuery &query)
{
    StoredLog row;
    const QSqlRecord record = query.record();
    for (const Column &c : columns) {
        const int at = record.indexOf(QLatin1String(c.name));
        if (at >= 0)
            c.set(row, query.value(at));
    }
    return row;
}

const char table[] = "failure_logs";
const char createIndex[] = "CREATE INDEX IF NOT EXISTS failure_logs_received ON failure_logs (received_at)";
// PostgreSQL has no user_version: a table of one row holds it.
const char versionTable[] = "failure_logs_schema";

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
        QSqlQuery pragma(db);
        if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
            fail(pragma.lastError(), error);
            db.close();
            return QSqlDatabase();
        }
    }
    return db;
}

int LogStore::storedSchemaVersion(QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    if (m_driver == QLatin1String("QSQLITE")) {
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
            return fail(query.lastError(), error), -1;
        return query.value(0).toInt();
    }
    if (!db.tables().contains(QLatin1String(versionTable)))
        return 0;
    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM %1").arg(QLatin1String(versionTable))) || !query.next())
        return fail(query.lastError(), error), -1;
    return query.value(0).toInt();
}

bool LogStore::open(QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return false;
    const bool sqlite = m_driver == QLatin1String("QSQLITE");
    QSqlQuery query(db);
    // One upgrader at a time: SQLite takes its write lock at once, PostgreSQL holds the
    // version table's lock (its schema changes are transactional).
    if (!query.exec(sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")))
        return fail(query.lastError(), error);
    const auto abandon = [&](const QSqlError &why) {
        fail(why, error);
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!sqlite
        && (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (version INTEGER NOT NULL)").arg(QLatin1String(versionTable)))
            || !query.exec(QStringLiteral("LOCK TABLE %1 IN EXCLUSIVE MODE").arg(QLatin1String(versionTable)))))
        return abandon(query.lastError());
    const bool exists = db.tables().contains(QLatin1String(table));
    int version = storedSchemaVersion(error);
    if (version < 0)
        return abandon(query.lastError());
    if (version > schemaVersion) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        if (error)
            *error = QStringLiteral("the store has schema %1, newer than this program's %2").arg(version).arg(schemaVersion);
        return false;
    }
    if (!exists) {
        QStringList definitions;
        for (const Column &c : columns)
            definitions.append(QStringLiteral("%1 %2").arg(QLatin1String(c.name), QLatin1String(c.type)));
        if (!query.exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(QLatin1String(table), definitions.join(QStringLiteral(", ")))))
            return abandon(query.lastError());
        version = schemaVersion;
    }
    // Columns of later versions, added to a store of an earlier one; its rows get `fill`.
    for (const Column &c : columns) {
        if (c.since <= version)
            continue;
        if (!query.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(QLatin1String(table), QLatin1String(c.name), QLatin1String(c.type)))
            || !query.exec(QStringLiteral("UPDATE %1 SET %2 = %3").arg(QLatin1String(table), QLatin1String(c.name), QLatin1String(c.fill))))
            return abandon(query.lastError());
    }
    if (!query.exec(QString::fromLatin1(createIndex)))
        return abandon(query.lastError());
    const bool recorded = sqlite ? query.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion))
                                 : query.exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(versionTable)))
            && query.exec(QStringLiteral("INSERT INTO %1 (version) VALUES (%2)").arg(QLatin1String(versionTable)).arg(schemaVersion));
    if (!recorded)
        return abandon(query.lastError());
    if (!query.exec(QStringLiteral("COMMIT")))
        return abandon(query.lastError());
    return true;
}

LogStore::Outcome LogStore::store(const StoredLog &log, QString *error)
{
    return storeAll({log}, error).value(0, Outcome::Failed);
}

QVector<LogStore::Outcome> LogStore::storeAll(const QVector<StoredLog> &logs, QString *error)
{
    QVector<Outcome> outcomes(logs.size(), Outcome::Failed);
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return outcomes;
    if (!db.transaction()) {
        fail(db.lastError(), error);
        return outcomes;
    }
    QStringList marks;
    for (const Column &c : columns) {
        Q_UNUSED(c)
        marks.append(QStringLiteral("?"));
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3) ON CONFLICT (digest) DO NOTHING")
                       .arg(QLatin1String(table), columnNames(true), marks.join(QStringLiteral(", "))));
    QVector<bool> inserted(logs.size(), false);
    for (int i = 0; i < logs.size(); ++i) {
        for (const Column &c : columns)
            insert.addBindValue(c.get(logs.at(i)));
        if (!insert.exec()) {
            fail(insert.lastError(), error);
            db.rollback();
            // A connection the server dropped is made again by the next call.
            db.close();
            return outcomes;
        }
        inserted[i] = insert.numRowsAffected() > 0;
    }
    if (!db.commit()) {
        fail(db.lastError(), error);
        db.rollback();
        db.close();
        return outcomes;
    }
    for (int i = 0; i < logs.size(); ++i)
        outcomes[i] = inserted.at(i) ? Outcome::Stored : Outcome::AlreadyStored;
    return outcomes;
}

qint64 LogStore::totalLogBytes(QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT COALESCE(SUM(log_bytes), 0) FROM %1").arg(QLatin1String(table))) || !query.next())
        return fail(query.lastError(), error), -1;
    return query.value(0).toLongLong();
}

qint64 LogStore::prune(qint64 beforeMs, qint64 maxLogBytes, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("DELETE FROM %1 WHERE received_at < ?").arg(QLatin1String(table)));
    query.addBindValue(beforeMs);
    if (!query.exec())
        return fail(query.lastError(), error), -1;
    qint64 removed = qMax(0, query.numRowsAffected());
    if (maxLogBytes <= 0)
        return removed;
    qint64 total = totalLogBytes(error);
    // The oldest first, a bounded batch per transaction, until the rest fits.
    while (total > maxLogBytes) {
        QSqlQuery oldest(db);
        if (!oldest.exec(QStringLiteral("SELECT digest, log_bytes FROM %1 ORDER BY received_at, digest LIMIT 256").arg(QLatin1String(table))))
            return fail(oldest.lastError(), error), -1;
        QVariantList digests;
        while (total > maxLogBytes && oldest.next()) {
            digests.append(oldest.value(0));
            total -= qMax<qint64>(0, oldest.value(1).toLongLong());
        }
        oldest.finish();
        if (digests.isEmpty())
            break;
        if (!db.transaction())
            return fail(db.lastError(), error), -1;
        QSqlQuery remove(db);
        remove.prepare(QStringLiteral("DELETE FROM %1 WHERE digest = ?").arg(QLatin1String(table)));
        for (const QVariant &digest : qAsConst(digests)) {
            remove.addBindValue(digest);
            if (!remove.exec()) {
                fail(remove.lastError(), error);
                db.rollback();
                return -1;
            }
            removed += qMax(0, remove.numRowsAffected());
        }
        if (!db.commit()) {
            fail(db.lastError(), error);
            db.rollback();
            return -1;
        }
    }
    return total < 0 ? -1 : removed;
}

QVector<GroupCount> LogStore::counts(const QString &groupColumns, qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    QVector<GroupCount> result;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return result;
    const bool two = groupColumns.contains(QLatin1Char(','));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, COUNT(*) FROM %2 WHERE received_at >= ? AND received_at < ?"
                                 " GROUP BY %1 ORDER BY COUNT(*) DESC, %1%3")
                      .arg(groupColumns, QLatin1String(table), limit > 0 ? QStringLiteral(" LIMIT %1").arg(limit) : QString()));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        fail(query.lastError(), error);
        return result;
    }
    while (query.next()) {
        if (two)
            result.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong()});
        else
            result.append({query.value(0).toString(), QString(), query.value(1).toLongLong()});
    }
    return result;
}

QVector<GroupCount> LogStore::countsByVersionAndReason(qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    return counts(QStringLiteral("installed_version, reason"), fromMs, toMs, limit, error);
}

QVector<GroupCount> LogStore::countsByReason(qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    return counts(QStringLiteral("reason"), fromMs, toMs, limit, error);
}

QVector<GroupCount> LogStore::countsByTargetRelease(qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    return counts(QStringLiteral("target_release"), fromMs, toMs, limit, error);
}

QVector<DayCount> LogStore::countsByDay(const char *column, qint64 fromMs, qint64 toMs, const QStringList &groups, QString *error)
{
    QVector<DayCount> result;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return result;
    // Integer division in both dialects; times before 1970 are not received. Each day's total
    // comes first (kind 0), then the groups' own counts (kind 1).
    QStringList marks;
    for (int i = 0; i < groups.size(); ++i)
        marks.append(QStringLiteral("?"));
    const QString day = QStringLiteral("received_at / %1").arg(msPerDay);
    const QString sql = QStringLiteral("SELECT %1, '', COUNT(*), 0 FROM %2 WHERE received_at >= ? AND received_at < ? GROUP BY %1"
                                       " UNION ALL SELECT %1, %3, COUNT(*), 1 FROM %2 WHERE received_at >= ? AND received_at < ?%4"
                                       " GROUP BY %1, %3 ORDER BY 1, 4, 2")
                            .arg(day, QLatin1String(table), QLatin1String(column),
                                 groups.isEmpty() ? QString() : QStringLiteral(" AND %1 IN (%2)").arg(QLatin1String(column), marks.join(QStringLiteral(", "))));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(sql);
    for (int i = 0; i < 2; ++i) {
        query.addBindValue(fromMs);
        query.addBindValue(toMs);
    }
    for (const QString &g : groups)
        query.addBindValue(text(g));
    if (!query.exec()) {
        fail(query.lastError(), error);
        return result;
    }
    while (query.next())
        result.append({query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toLongLong(), query.value(3).toInt() == 0});
    return result;
}

QVector<DayCount> LogStore::countsByDayAndReason(qint64 fromMs, qint64 toMs, const QStringList &reasons, QString *error)
{
    return countsByDay("reason", fromMs, toMs, reasons, error);
}

QVector<DayCount> LogStore::countsByDayAndTargetRelease(qint64 fromMs, qint64 toMs, const QStringList &releases, QString *error)
{
    return countsByDay("target_release", fromMs, toMs, releases, error);
}

qint64 LogStore::countSkewed(qint64 fromMs, qint64 toMs, qint64 skewSeconds, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return -1;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE received_at >= ? AND received_at < ? AND (clock_skew > ? OR clock_skew < ?)")
                      .arg(QLatin1String(table)));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    query.addBindValue(skewSeconds);
    query.addBindValue(-skewSeconds);
    if (!query.exec() || !query.next())
        return fail(query.lastError(), error), -1;
    return query.value(0).toLongLong();
}

QVector<StoredLog> LogStore::latest(qint64 fromMs, qint64 toMs, int limit, QString *error)
{
    QVector<StoredLog> rows;
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return rows;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE received_at >= ? AND received_at < ? ORDER BY received_at DESC, digest LIMIT %3")
                      .arg(columnNames(false), QLatin1String(table))
                      .arg(qMax(0, limit)));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        fail(query.lastError(), error);
        return rows;
    }
    while (query.next())
        rows.append(rowOf(query));
    return rows;
}

bool LogStore::find(const QByteArray &digest, StoredLog *row, QString *error)
{
    QSqlDatabase db = connection(error);
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT %1 FROM %2 WHERE digest = ?").arg(columnNames(true), QLatin1String(table)));
    query.addBindValue(QString::fromLatin1(digest));
    if (!query.exec())
        return fail(query.lastError(), error);
    if (!query.next())
        return false;
    *row = rowOf(query);
    return true;
}
