#include "Logging.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <vector>

// Installs the log handler for one test and restores the test framework's afterwards.
class HandlerScope
{
public:
    HandlerScope(const QString &dir, const QString &tag)
    {
        updateAppdataPath = dir;
        logFileName = QStringLiteral("test.log");
        setLogProgramTag(tag);
        m_previous = qInstallMessageHandler(outputMessage);
    }
    ~HandlerScope() { qInstallMessageHandler(m_previous); }

private:
    QtMessageHandler m_previous;
};

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); QFile::remove(logPath()); }

    void lineFormat_data();
    void lineFormat();
    void warningsDropped();
    void linesOfManyThreadsNeverInterleave();
    void unopenableFileLosesMessageSilently();
    void removeSpFlag_data();
    void removeSpFlag();

private:
    QString logPath() const { return m_dir.path() + QStringLiteral("/test.log"); }
    QByteArray readLog() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
};

static const char timePattern[] = R"(\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\))";

void TestLogging::lineFormat_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("expected");

    QTest::newRow("update debug") << "##update##" << int(QtDebugMsg) << "##update##Debug: %T start patch";
    QTest::newRow("finisher debug") << "##finisher##" << int(QtDebugMsg) << "##finisher##Debug: %T start patch";
    QTest::newRow("critical") << "##update##" << int(QtCriticalMsg) << "##update##Critical: %T start patch";
    QTest::newRow("info has no level text") << "##update##" << int(QtInfoMsg) << "##update## %T start patch";
}

void TestLogging::lineFormat()
{
    QFETCH(QString, tag);
    QFETCH(int, level);
    QFETCH(QString, expected);
    {
        HandlerScope scope(m_dir.path(), tag);
        switch (level) {
        case QtDebugMsg: qDebug() << "start patch"; break;
        case QtCriticalMsg: qCritical() << "start patch"; break;
        case QtInfoMsg: qInfo() << "start patch"; break;
        }
    }
    const QStringList around = expected.split(QStringLiteral("%T"));
    const QString pattern = QLatin1Char('^') + QRegularExpression::escape(around.at(0)) + QLatin1String(timePattern)
        + QRegularExpression::escape(around.at(1)) + QStringLiteral("\r\n$");
    const QString log = QString::fromUtf8(readLog());
    QVERIFY2(QRegularExpression(pattern).match(log).hasMatch(), qPrintable(log));
}

void TestLogging::warningsDropped()
{
    {
        HandlerScope scope(m_dir.path(), QStringLiteral("##update##"));
        qWarning() << "not for the log";
        qDebug() << "installPath" << QStringLiteral("/Applications/Veltora 2.app") << "%1 %2";
        qDebug() << QStringLiteral("中文路径");
    }
    const QByteArray log = readLog();
    QVERIFY(!log.contains("not for the log"));
    const QList<QByteArray> lines = log.split('\n');
    QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last "\r\n"
    // Placeholders in a message stay as they are, and the file is UTF-8.
    QVERIFY(lines.at(0).endsWith(") installPath \"/Applications/Veltora 2.app\" %1 %2\r"));
    QVERIFY(lines.at(1).endsWith(QStringLiteral(") \"中文路径\"\r").toUtf8()));
}

class LoggingThread : public QThread
{
public:
    explicit LoggingThread(int id) : m_id(id) {}
    void run() override
    {
        for (int i = 0; i < 200; ++i)
            qDebug().noquote() << QStringLiteral("thread %1 message %2 %3").arg(m_id).arg(i).arg(QString(100, QLatin1Char('x')));
    }

private:
    int m_id;
};

void TestLogging::linesOfManyThreadsNeverInterleave()
{
    {
        HandlerScope scope(m_dir.path(), QStringLiteral("##update##"));
        std::vector<std::unique_ptr<LoggingThread>> threads;
        for (int id = 0; id < 8; ++id) {
            threads.push_back(std::make_unique<LoggingThread>(id));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(60000));
    }
    const QStringList lines = QString::fromUtf8(readLog()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 8 * 200);
    const QRegularExpression line(QStringLiteral("^##update##Debug: %1 thread (\\d) message (\\d+) x{100}$").arg(QLatin1String(timePattern)));
    QVector<int> next(8, 0);
    for (const QString &text : lines) {
        const auto match = line.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text));
        const int id = match.captured(1).toInt();
        // Each thread's own lines keep their order.
        QCOMPARE(match.captured(2).toInt(), next[id]++);
    }
}

void TestLogging::unopenableFileLosesMessageSilently()
{
    {
        HandlerScope scope(m_dir.path() + QStringLiteral("/missing/folder"), QStringLiteral("##update##"));
        qDebug() << "lost";
    }
    QVERIFY(!QFile::exists(m_dir.path() + QStringLiteral("/missing")));

    // A directory standing where the log file should be.
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("test.log")));
    {
        HandlerScope scope(m_dir.path(), QStringLiteral("##update##"));
        qDebug() << "lost too";
    }
    QVERIFY(QFileInfo(logPath()).isDir());
    QVERIFY(QDir(m_dir.path()).rmdir(QStringLiteral("test.log")));
}

void TestLogging::removeSpFlag_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("wrapped") << "*/Applications/Veltora.app*" << "/Applications/Veltora.app";
    QTest::newRow("wrapped with blanks") << "*/Applications/My Veltora.app*" << "/Applications/My Veltora.app";
    QTest::newRow("plain") << "/Applications/Veltora.app" << "/Applications/Veltora.app";
    QTest::newRow("second piece of three") << "a*b*c" << "b";
    QTest::newRow("lone asterisk") << "*" << "";
    QTest::newRow("only opening asterisk") << "*/x" << "/x";
    QTest::newRow("empty") << "" << "";
}

void TestLogging::removeSpFlag()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(::removeSpFlag(input), expected);
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
