#include "KeyStatement.h"
#include "ReleaseFreshness.h"
#include "ReleaseTrust.h"
#include "TestHome.h"
#include "TestReleaseKey.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "TestFiles.h"

namespace {

QDateTime at(const char *text)
{
    return ReleaseFreshness::parseTime(QString::fromLatin1(text));
}

ReleaseFreshness release(const char *signedAt, const char *validUntil, qint64 sequence)
{
    ReleaseFreshness fresh;
    fresh.releaseVersion = QStringLiteral("2.0");
    fresh.signedAt = at(signedAt);
    fresh.validUntil = at(validUntil);
    fresh.sequence = sequence;
    return fresh;
}

ReleaseKey keyOf(const TestReleaseKey &pair, int number)
{
    ReleaseKey key;
    QString error;
    ReleaseKey::fromText(pair.publicText(), &key, &error);
    key.setNumber(number);
    return key;
}

} // namespace

Q_DECLARE_METATYPE(ReleaseFreshness)

class TestReleaseTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manifestFields_data();
    void manifestFields();
    void freshness_data();
    void freshness();
    void keyChain_data();
    void keyChain();
    void keyLine_data();
    void keyLine();
    void record();

private:
    // keys[0] is key 1, keys[1] key 2, ...
    std::vector<std::unique_ptr<TestReleaseKey>> m_keys;
    std::vector<std::unique_ptr<ReleaseSigner>> m_signers;
    TestHome m_home;
};

void TestReleaseTrust::initTestCase()
{
    for (int i = 0; i < 4; ++i) {
        m_keys.push_back(std::make_unique<TestReleaseKey>());
        QVERIFY(m_keys.back()->isValid());
        m_signers.push_back(std::make_unique<ReleaseSigner>());
        QString error;
        QVERIFY(m_signers.back()->load(m_keys.back()->secretKeyPath(), &error));
    }
}

void TestReleaseTrust::manifestFields_data()
{
    QTest::addColumn<QJsonObject>("fields");
    QTest::addColumn<QString>("reason"); // empty: read
    const QJsonObject complete{{"releaseVersion", "2.0"}, {"signedAt", "2026-12-01T09:00:00Z"},
                               {"validUntil", "2026-12-15T09:00:00Z"}, {"sequence", 7}, {"signingKey", 2}};
    const auto with = [&complete](const QString &key, const QJsonValue &value) {
        QJsonObject fields = complete;
        if (value.isUndefined())
            fields.remove(key);
        else
            fields.insert(key, value);
        return fields;
    };
    QTest::newRow("complete") << complete << QString();
    QTest::newRow("no signing key: key 1") << with("signingKey", QJsonValue::Undefined) << QString();
    QTest::newRow("no signing time") << with("signedAt", QJsonValue::Undefined) << "no usable \"signedAt\"";
    QTest::newRow("no validity") << with("validUntil", QJsonValue::Undefined) << "no usable \"validUntil\"";
    QTest::newRow("local time") << with("validUntil", "2026-12-15T09:00:00+01:00") << "no usable \"validUntil\"";
    QTest::newRow("impossible date") << with("validUntil", "2026-02-30T09:00:00Z") << "no usable \"validUntil\"";
    QTest::newRow("no sequence") << with("sequence", QJsonValue::Undefined) << "no usable \"sequence\"";
    QTest::newRow("sequence 0") << with("sequence", 0) << "no usable \"sequence\"";
    QTest::newRow("fractional sequence") << with("sequence", 7.5) << "no usable \"sequence\"";
    QTest::newRow("sequence as text") << with("sequence", "7") << "no usable \"sequence\"";
    QTest::newRow("key 0") << with("signingKey", 0) << "\"signingKey\" is not a key number";
    QTest::newRow("validity ends before it begins") << with("validUntil", "2026-11-30T09:00:00Z") << "ends before it begins";
}

// The fields of a verified manifest; nothing wrong in them reads as "no limit".
void TestReleaseTrust::manifestFields()
{
    QFETCH(QJsonObject, fields);
    QFETCH(QString, reason);
    ReleaseFreshness fresh;
    QString error;
    QCOMPARE(ReleaseFreshness::read(QJsonDocument(QJsonObject{{"mac", fields}}).toJson(), "mac", &fresh, &error), reason.isEmpty());
    QVERIFY2(error.contains(reason), qPrintable(error));
    if (reason.isEmpty()) {
        QCOMPARE(fresh.describe(), QStringLiteral("signed at 2026-12-01T09:00:00Z, valid until 2026-12-15T09:00:00Z, sequence 7, key %1")
                                       .arg(fields.contains("signingKey") ? 2 : 1));
    }
}

void TestReleaseTrust::freshness_data()
{
    QTest::addColumn<qint64>("acceptedSequence"); // 0: nothing accepted yet
    QTest::addColumn<QString>("acceptedSignedAt");
    QTest::addColumn<QString>("clock");
    QTest::addColumn<ReleaseFreshness>("manifest");
    QTest::addColumn<QString>("reason"); // empty: taken
    QTest::addColumn<QString>("note");
    const ReleaseFreshness current = release("2026-12-01T09:00:00Z", "2026-12-15T09:00:00Z", 7);
    QTest::newRow("within its validity") << qint64(0) << "" << "2026-12-10T00:00:00Z" << current << "" << "";
    QTest::newRow("stale mirror")
        << qint64(0) << "" << "2026-12-21T09:00:00Z" << current
        << "expired 6 days ago, clock ahead of signing time by 20 days (release 2.0, signed at 2026-12-01T09:00:00Z, valid until "
           "2026-12-15T09:00:00Z, sequence 7, key 1; clock 2026-12-21T09:00:00Z)"
        << "";
    QTest::newRow("clock a year ahead") << qint64(0) << "" << "2027-12-10T00:00:00Z" << current
                                        << "expired 359 days ago, clock ahead of signing time by 373 days" << "";
    QTest::newRow("clock set back does not reopen an expired release")
        << qint64(9) << "2026-12-20T09:00:00Z" << "2025-12-10T00:00:00Z" << release("2026-12-01T09:00:00Z", "2026-12-15T09:00:00Z", 9)
        << "expired: this installation already accepted a release signed at 2026-12-20T09:00:00Z, after the validity of this one "
           "ended; the clock is behind that by 375 days"
        << "";
    QTest::newRow("replayed after a newer one")
        << qint64(8) << "2026-12-05T09:00:00Z" << "2026-12-10T00:00:00Z" << current
        << "replayed release: sequence 7 below accepted 8 (release 2.0, signed at" << "";
    QTest::newRow("the accepted one again") << qint64(7) << "2026-12-01T09:00:00Z" << "2026-12-10T00:00:00Z" << current << "" << "";
    QTest::newRow("clock behind the signing time")
        << qint64(0) << "" << "2026-11-20T09:00:00Z" << current << ""
        << "the clock 2026-11-20T09:00:00Z is behind the signing time 2026-12-01T09:00:00Z by 11 days; judged by the signing time";
}

// Each refusal names its own reason, the manifest's dates and the clock.
void TestReleaseTrust::freshness()
{
    QFETCH(qint64, acceptedSequence);
    QFETCH(QString, acceptedSignedAt);
    QFETCH(QString, clock);
    QFETCH(ReleaseFreshness, manifest);
    QFETCH(QString, reason);
    QFETCH(QString, note);
    ReleaseTrust trust;
    if (acceptedSequence > 0)
        trust.accept(release(qPrintable(acceptedSignedAt), "2027-12-31T00:00:00Z", acceptedSequence), ReleaseKey());
    QString error;
    QString told = "untouched";
    QCOMPARE(trust.check(manifest, ReleaseFreshness::parseTime(clock), &error, &told), reason.isEmpty());
    QVERIFY2(reason.isEmpty() ? error.isEmpty() : error.startsWith(reason), qPrintable(error));
    if (reason.isEmpty())
        QCOMPARE(told, note);
}

void TestReleaseTrust::keyChain_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("target");
    // Statements as "N:P>K" = statement N naming previous key P and key K, signed by
    // the keys after "/" (default: P and K); keys are 1-based indexes into m_keys.
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<QString>("reason"); // empty: key `target` reached
    QTest::newRow("already there") << 3 << 3 << QStringList() << "";
    QTest::newRow("1 to 2 to 3") << 1 << 3 << QStringList{"2:1>2", "3:2>3"} << "";
    QTest::newRow("signed by the new key alone") << 1 << 2 << QStringList{"2:1>2/2,2"} << "key statement 2 is not signed by key 1";
    QTest::newRow("signed by the old key alone") << 1 << 2 << QStringList{"2:1>2/1,1"}
                                                 << "key statement 2 is not signed by the new key itself";
    QTest::newRow("skipped number") << 1 << 3 << QStringList{"3:1>3"} << "key statement 2 names key 3";
    QTest::newRow("from another key") << 1 << 2 << QStringList{"2:4>2/4,2"}
                                      << "key statement 2 hands over from another key than this installation's key 1";
    QTest::newRow("lower key than held") << 3 << 1 << QStringList() << "the manifest is signed by key 1, but this installation has moved on to key 3";
    QTest::newRow("longer than the cap") << 1 << 34 << QStringList() << "the manifest is signed by key 34, more than 32 hand-overs";
    QTest::newRow("statement missing") << 1 << 3 << QStringList{"2:1>2"} << "key statement 3 is missing";
    QTest::newRow("malformed") << 1 << 2 << QStringList{"garbage\n"} << "the key statement is malformed: 1 lines instead of 5";
}

// An installation walks from its key to the manifest's, one verified statement at a time.
void TestReleaseTrust::keyChain()
{
    QFETCH(int, held);
    QFETCH(int, target);
    QFETCH(QStringList, statements);
    QFETCH(QString, reason);
    QList<QByteArray> texts;
    for (const QString &line : statements) {
        const QRegularExpressionMatch m = QRegularExpression("^(\\d+):(\\d)>(\\d)(?:/(\\d),(\\d))?$").match(line);
        if (!m.hasMatch()) {
            texts << line.toLatin1();
            continue;
        }
        const int number = m.captured(1).toInt();
        const int previous = m.captured(2).toInt();
        const int next = m.captured(3).toInt();
        const int signPrevious = m.captured(4).isEmpty() ? previous : m.captured(4).toInt();
        const int signNext = m.captured(5).isEmpty() ? next : m.captured(5).toInt();
        QByteArray text = KeyStatement::make(*m_signers[previous - 1], keyOf(*m_keys[previous - 1], number - 1),
                                             *m_signers[next - 1]);
        KeyStatement::Parsed parsed;
        QString error;
        QVERIFY(KeyStatement::parse(text, &parsed, &error));
        text = parsed.signedPart + "signature-previous " + m_keys[signPrevious - 1]->sign(parsed.signedPart).trimmed()
            + "\nsignature-key " + m_keys[signNext - 1]->sign(parsed.signedPart).trimmed() + "\n";
        texts << text;
    }
    ReleaseKey reached;
    QString error;
    QCOMPARE(KeyStatement::walk(keyOf(*m_keys[held - 1], held), target, texts, &reached, &error), reason.isEmpty());
    QVERIFY2(reason.isEmpty() ? error.isEmpty() : error.startsWith(reason), qPrintable(error));
    if (reason.isEmpty())
        QCOMPARE(reached, keyOf(*m_keys[target - 1], target));
}

void TestReleaseTrust::keyLine_data()
{
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<int>("number"); // 0: refused
    QTest::newRow("no number: key 1") << QByteArray("\n") << 1;
    QTest::newRow("numbered") << QByteArray(" 3\n") << 3;
    QTest::newRow("number 0") << QByteArray(" 0") << 0;
    QTest::newRow("leading zero") << QByteArray(" 03") << 0;
    QTest::newRow("sign") << QByteArray(" +3") << 0;
    QTest::newRow("two numbers") << QByteArray(" 3 4") << 0;
}

// A bundle that carries a later key starts there; a broken number never means key 1.
void TestReleaseTrust::keyLine()
{
    QFETCH(QByteArray, suffix);
    QFETCH(int, number);
    ReleaseKey key;
    QString error;
    QCOMPARE(ReleaseKey::fromText(m_keys[0]->publicText() + suffix, &key, &error), number > 0);
    if (number > 0) {
        QCOMPARE(key.number(), number);
        QCOMPARE(key.toLine(), number == 1 ? m_keys[0]->publicText() : m_keys[0]->publicText() + suffix.trimmed().prepend(' '));
    }
}

// What an installation keeps survives a restart, only grows, and lifts its key above the bundle's.
void TestReleaseTrust::record()
{
    const QString path = m_home.path() + "/release-trust.json";
    ReleaseTrust trust;
    QString error;
    QVERIFY(trust.load(path, &error));
    QCOMPARE(trust.currentKey(keyOf(*m_keys[0], 1)), keyOf(*m_keys[0], 1));
    trust.accept(release("2026-12-01T09:00:00Z", "2026-12-15T09:00:00Z", 7), keyOf(*m_keys[2], 3));
    trust.accept(release("2026-11-01T09:00:00Z", "2026-11-15T09:00:00Z", 5), keyOf(*m_keys[1], 2));
    QVERIFY2(trust.save(path, &error), qPrintable(error));

    ReleaseTrust again;
    QVERIFY2(again.load(path, &error), qPrintable(error));
    QCOMPARE(again.sequence(), qint64(7));
    QCOMPARE(again.newestSignedAt(), at("2026-12-01T09:00:00Z"));
    QCOMPARE(again.currentKey(keyOf(*m_keys[0], 1)), keyOf(*m_keys[2], 3));
    // A bundle that starts at a later key than the one remembered wins; no key stays no key.
    QCOMPARE(again.currentKey(keyOf(*m_keys[3], 4)), keyOf(*m_keys[3], 4));
    QVERIFY(again.currentKey(ReleaseKey()).isNull());

    QVERIFY(TestFiles::writeFile(path, "{\"sequence\": \"many\"}"));
    QVERIFY(!again.load(path, &error));
    QVERIFY(error.endsWith("release-trust.json is damaged"));
    QCOMPARE(again.sequence(), qint64(0));
}

QTEST_GUILESS_MAIN(TestReleaseTrust)
#include "tst_releasetrust.moc"
