#include "Rollout.h"
#include "TestFiles.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray manifest(const QString &release, const QJsonValue &share)
{
    QJsonObject mac{{"releaseVersion", release}};
    if (!share.isUndefined())
        mac.insert("rolloutShare", share);
    return QJsonDocument(QJsonObject{{"mac", mac}}).toJson();
}

} // namespace

class TestRollout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shareOfInstallations_data();
    void shareOfInstallations();
    void wideningKeepsEveryoneIn_data();
    void wideningKeepsEveryoneIn();
    void releasesDrawApart();
    void shareAsGiven_data();
    void shareAsGiven();
    void identifierDrawnOnceAndKept_data();
    void identifierDrawnOnceAndKept();

private:
    // Which of the generated installations release `release` at `share` is offered to.
    QVector<bool> offeredTo(const QString &release, double share) const;
    QVector<QByteArray> m_ids;
    QByteArray m_earliest; // the identifier whose place in release 2.0 is the lowest
};

void TestRollout::initTestCase()
{
    for (int i = 0; i < 10000; ++i)
        m_ids << QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha256).toHex();
    double lowest = 1;
    for (const QByteArray &id : qAsConst(m_ids)) {
        if (Rollout::placeOf(id, "2.0") < lowest) {
            lowest = Rollout::placeOf(id, "2.0");
            m_earliest = id;
        }
    }
}

QVector<bool> TestRollout::offeredTo(const QString &release, double share) const
{
    const Rollout::Share parsed = Rollout::shareOf(QJsonObject{{"rolloutShare", share}});
    QVector<bool> offered;
    for (const QByteArray &id : m_ids)
        offered << Rollout::isOffered(Rollout::placeOf(id, release), parsed);
    return offered;
}

void TestRollout::shareOfInstallations_data()
{
    QTest::addColumn<double>("share");
    QTest::addColumn<double>("tolerance"); // percentage points
    QTest::newRow("0 is nobody") << 0.0 << 0.0;
    QTest::newRow("1 offers 1%") << 1.0 << 1.0;
    QTest::newRow("5 offers 5%") << 5.0 << 1.0;
    QTest::newRow("20 offers 20%") << 20.0 << 1.0;
    QTest::newRow("50 offers 50%") << 50.0 << 1.0;
    QTest::newRow("99 offers 99%") << 99.0 << 1.0;
    QTest::newRow("100 is everybody") << 100.0 << 0.0;
}

void TestRollout::shareOfInstallations()
{
    QFETCH(double, share);
    QFETCH(double, tolerance);
    const double percent = offeredTo("2.0", share).count(true) * 100.0 / m_ids.size();
    QVERIFY2(qAbs(percent - share) <= tolerance, qPrintable(QString::number(percent)));
}

void TestRollout::wideningKeepsEveryoneIn_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::newRow("20 to 50") << 20.0 << 50.0;
    QTest::newRow("5 to 20") << 5.0 << 20.0;
    QTest::newRow("12.5 to 12.6") << 12.5 << 12.6;
    QTest::newRow("99 to 100") << 99.0 << 100.0;
}

void TestRollout::wideningKeepsEveryoneIn()
{
    QFETCH(double, from);
    QFETCH(double, to);
    const QVector<bool> before = offeredTo("2.0", from), after = offeredTo("2.0", to);
    for (int i = 0; i < m_ids.size(); ++i)
        QVERIFY2(!before.at(i) || after.at(i), qPrintable(QString::number(i)));
}

// A machine early in one release is not always early in the next.
void TestRollout::releasesDrawApart()
{
    const QVector<bool> first = offeredTo("2.0", 50), second = offeredTo("2.1", 50);
    int both = 0;
    for (int i = 0; i < m_ids.size(); ++i)
        both += first.at(i) && second.at(i);
    QVERIFY2(qAbs(both * 100.0 / m_ids.size() - 25) <= 2, qPrintable(QString::number(both)));
}

void TestRollout::shareAsGiven_data()
{
    QTest::addColumn<QJsonValue>("share");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("offered"); // to an installation at place 0, the earliest there is
    QTest::newRow("absent means everybody") << QJsonValue(QJsonValue::Undefined) << "100" << true;
    QTest::newRow("whole number") << QJsonValue(20) << "20" << true;
    QTest::newRow("decimals") << QJsonValue(12.5) << "12.5" << true;
    QTest::newRow("0 halts") << QJsonValue(0) << "0" << false;
    QTest::newRow("negative holds back") << QJsonValue(-5) << "-5" << false;
    QTest::newRow("above 100 holds back") << QJsonValue(100.5) << "100.5" << false;
    QTest::newRow("text holds back") << QJsonValue("50") << "\"50\"" << false;
    QTest::newRow("null holds back") << QJsonValue(QJsonValue::Null) << "null" << false;
}

void TestRollout::shareAsGiven()
{
    QFETCH(QJsonValue, share);
    QFETCH(QString, text);
    QFETCH(bool, offered);
    const Rollout::Decision decision = Rollout::decide(manifest("2.0", share), "mac", m_earliest);
    QCOMPARE(decision.offered, offered);
    QCOMPARE(Rollout::targetReleaseLine(decision), "targetRelease: 2.0, rolloutShare: " + text);
}

void TestRollout::identifierDrawnOnceAndKept_data()
{
    QTest::addColumn<QByteArray>("content"); // what lies in its place before
    QTest::addColumn<bool>("link");          // the file is a link to a file of that content elsewhere
    QTest::newRow("missing") << QByteArray("<missing>") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("cut short") << QByteArray(63, 'a') << false;
    QTest::newRow("not hexadecimal") << QByteArray(64, 'g') << false;
    QTest::newRow("a link in its place") << QByteArray(64, 'a') << true;
}

void TestRollout::identifierDrawnOnceAndKept()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, link);
    QTemporaryDir home;
    const QString data = home.path() + "/Veltora", file = data + "/installation-id", elsewhere = home.path() + "/elsewhere";
    if (content != "<missing>")
        QVERIFY(TestFiles::writeFile(link ? elsewhere : file, content));
    QVERIFY(!link || (QDir().mkpath(data) && QFile::link(elsewhere, file)));
    QByteArray first, second;
    QString error;
    QVERIFY2(Rollout::installationIdentifier(data, &first, &error), qPrintable(error));
    QVERIFY(Rollout::installationIdentifier(data, &second, &error));
    QVERIFY(Rollout::isIdentifier(first) && first != content);
    QCOMPARE(second, first);
    QCOMPARE(TestFiles::readFile(file), first + '\n');
    QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"installation-id"});
    QCOMPARE(TestFiles::readFile(elsewhere), link ? content : QByteArray("<missing>"));
}

QTEST_GUILESS_MAIN(TestRollout)
#include "tst_rollout.moc"
