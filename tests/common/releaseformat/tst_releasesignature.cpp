#include "FileSha256.h"
#include "ReleaseKey.h"
#include "ReleaseVersion.h"
#include "SignedManifest.h"
#include "TestHome.h"
#include "TestReleaseKey.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::writeFile;

namespace {

const QByteArray manifest = R"({
    "mac": {
        "installerMd5": "c670894d1e54b37043389993178e07ef",
        "releaseVersion": "2.0"
    }
}
)";

QByteArray sha(char c)
{
    return QByteArray(64, c);
}

// A complete signed section: every MD5 with its SHA-256, release 2.0.
QJsonObject completeSection()
{
    return QJsonObject{
        {"releaseVersion", "2.0"},
        {"installerMd5", "x"},
        {"installerSha256", QString::fromLatin1(sha('a'))},
        {"fixUpdatePacket", QJsonObject{{"fixUpdatePacketMd5", "x"}, {"fixUpdatePacketSha256", QString::fromLatin1(sha('b'))}}},
        {"partialPacket", QJsonObject{{"1.0", QJsonObject{{"partialPacketMd5", "x"},
                                                          {"partialPacketSha256", QString::fromLatin1(sha('c'))},
                                                          {"replacePacketMd5", "x"},
                                                          {"replacePacketSha256", QString::fromLatin1(sha('d'))}}}}}};
}

QJsonObject withFixKey(const QString &key, const QJsonValue &value)
{
    QJsonObject section = completeSection();
    QJsonObject fix = section.value("fixUpdatePacket").toObject();
    fix.insert(key, value);
    section.insert("fixUpdatePacket", fix);
    return section;
}

QJsonObject withoutReplaceSha()
{
    QJsonObject section = completeSection();
    QJsonObject versions = section.value("partialPacket").toObject();
    QJsonObject entry = versions.value("1.0").toObject();
    entry.remove("replacePacketSha256");
    versions.insert("1.0", entry);
    section.insert("partialPacket", versions);
    return section;
}

} // namespace

class TestReleaseSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_key.isValid()); }

    void versionOrder_data();
    void versionOrder();
    void versionValidity_data();
    void versionValidity();
    void signatureOverTheExactBytes_data();
    void signatureOverTheExactBytes();
    void installedKey_data();
    void installedKey();
    void signedContent_data();
    void signedContent();
    void fileSha256();
    void signatureAddress();

private:
    TestReleaseKey m_key;
    TestReleaseKey m_otherKey;
    TestHome m_home;
};

void TestReleaseSignature::versionOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("equal") << "2.0" << "2.0" << 0;
    QTest::newRow("missing components are zero") << "2" << "2.0.0" << 0;
    QTest::newRow("leading zeros") << "2.01" << "2.1" << 0;
    QTest::newRow("numeric, not textual") << "1.10" << "1.9" << 1;
    QTest::newRow("longer number wins") << "10.0" << "9.99" << 1;
    QTest::newRow("minor older") << "1.2.3" << "1.3" << -1;
    QTest::newRow("extra component newer") << "1.0.1" << "1.0" << 1;
    QTest::newRow("beyond 64 bits") << "1.99999999999999999999999" << "1.99999999999999999999998" << 1;
}

void TestReleaseSignature::versionOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(ReleaseVersion::compare(a, b), order);
    QCOMPARE(ReleaseVersion::compare(b, a), -order);
}

void TestReleaseSignature::versionValidity_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("valid");
    QTest::newRow("dotted") << "10.4.12" << true;
    QTest::newRow("single") << "3" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("empty component") << "1..2" << false;
    QTest::newRow("trailing dot") << "1.2." << false;
    QTest::newRow("suffix") << "2.0-beta" << false;
    QTest::newRow("sign") << "-1.0" << false;
    QTest::newRow("non-ASCII digit") << QStringLiteral("1.\u0663") << false;
    QTest::newRow("too many components") << QString("1" + QString(".1").repeated(32)) << false;
}

void TestReleaseSignature::versionValidity()
{
    QFETCH(QString, version);
    QFETCH(bool, valid);
    QCOMPARE(ReleaseVersion::isValid(version), valid);
}

void TestReleaseSignature::signatureOverTheExactBytes_data()
{
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("reason");
    const QByteArray good = m_key.sign(manifest);
    QByteArray changed = manifest;
    changed[changed.indexOf("2.0")] = '3';
    QTest::newRow("exact bytes") << manifest << good << true << QString();
    QTest::newRow("signature without newline") << manifest << good.trimmed() << true << QString();
    QTest::newRow("a changed byte") << changed << good << false << "does not match";
    QTest::newRow("re-indented") << QJsonDocument::fromJson(manifest).toJson(QJsonDocument::Compact) << good << false << "does not match";
    QTest::newRow("CRLF line ends") << QByteArray(manifest).replace("\n", "\r\n") << good << false << "does not match";
    QTest::newRow("truncated signature") << manifest << good.left(40) << false << "not one base64 line";
    QTest::newRow("signature with garbage") << manifest << good.trimmed() + "!!" << false << "not one base64 line";
    QTest::newRow("another key") << manifest << m_otherKey.sign(manifest) << false << "does not match";
    QTest::newRow("empty manifest") << QByteArray() << good << false << "does not match";
    QTest::newRow("empty signature") << manifest << QByteArray() << false << "not one base64 line";
    QTest::newRow("oversized signature") << manifest << QByteArray(2000, 'A') << false << "larger than";
}

void TestReleaseSignature::signatureOverTheExactBytes()
{
    QFETCH(QByteArray, served);
    QFETCH(QByteArray, signature);
    QFETCH(bool, accepted);
    QFETCH(QString, reason);
    const QString path = m_home.path() + "/update.json";
    QVERIFY(writeFile(path, served));
    QVERIFY(writeFile(SignedManifest::signaturePathOf(path), signature));
    ReleaseKey key;
    QString error;
    QVERIFY(ReleaseKey::fromText(m_key.publicText(), &key, &error));
    QByteArray verified = "untouched";
    QCOMPARE(key.verifyManifest(path, &verified, &error), accepted);
    QCOMPARE(verified, accepted ? served : QByteArray("untouched"));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestReleaseSignature::installedKey_data()
{
    QTest::addColumn<QByteArray>("keyFile"); // "<none>": no file; "<loop>": Resources is a link loop
    QTest::addColumn<bool>("usable");
    QTest::addColumn<bool>("isNull");
    QTest::newRow("no key file: unsigned releases") << QByteArray("<none>") << true << true;
    QTest::newRow("key file") << m_key.publicText() + "\n" << true << false;
    QTest::newRow("empty key file") << QByteArray() << false << true;
    QTest::newRow("short key") << m_key.publicText().left(20) << false << true;
    QTest::newRow("secret key in its place") << QByteArray(88, 'A') << false << true;
    // Any failure of the lookup but "no such file" must keep signing on.
    QTest::newRow("link loop on the way: refused, not unsigned") << QByteArray("<loop>") << false << true;
}

void TestReleaseSignature::installedKey()
{
    QFETCH(QByteArray, keyFile);
    QFETCH(bool, usable);
    QFETCH(bool, isNull);
    const QString install = m_home.path() + "/" + QTest::currentDataTag() + ".app";
    if (keyFile == "<loop>") {
        QVERIFY(QDir().mkpath(install + "/Contents"));
        QVERIFY(QFile::link("Resources", install + "/Contents/Resources"));
    } else if (keyFile != "<none>") {
        QVERIFY(writeFile(ReleaseKey::bundleKeyPath(install), keyFile));
    }
    ReleaseKey key;
    QString error;
    QCOMPARE(ReleaseKey::installed(install, &key, &error), usable);
    QCOMPARE(key.isNull(), isNull);
}

void TestReleaseSignature::signedContent_data()
{
    QTest::addColumn<QJsonObject>("section");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("reason"); // empty: accepted
    QJsonObject upper = completeSection();
    upper.insert("installerSha256", QString::fromLatin1(sha('A')));
    QJsonObject noVersion = completeSection();
    noVersion.remove("releaseVersion");
    QJsonObject noInstallerSha = completeSection();
    noInstallerSha.remove("installerSha256");
    QTest::newRow("complete") << completeSection() << "1.0" << QString();
    QTest::newRow("same version again") << completeSection() << "2.0" << QString();
    QTest::newRow("rollback") << completeSection() << "2.1" << "older than the installed version 2.1";
    QTest::newRow("no release version") << noVersion << "1.0" << "no usable \"releaseVersion\"";
    QTest::newRow("installed version not numeric") << completeSection() << "1.0-beta" << "cannot be compared";
    QTest::newRow("no installer SHA-256") << noInstallerSha << "1.0" << "\"installerSha256\"";
    QTest::newRow("upper-case SHA-256") << upper << "1.0" << "\"installerSha256\"";
    QTest::newRow("no fix-update SHA-256") << withFixKey("fixUpdatePacketSha256", QJsonValue()) << "1.0" << "\"fixUpdatePacketSha256\"";
    QTest::newRow("no replace SHA-256") << withoutReplaceSha() << "1.0" << "\"replacePacketSha256\" for version 1.0";
}

void TestReleaseSignature::signedContent()
{
    QFETCH(QJsonObject, section);
    QFETCH(QString, installed);
    QFETCH(QString, reason);
    const QByteArray bytes = QJsonDocument(QJsonObject{{"mac", section}}).toJson();
    QString error;
    QCOMPARE(SignedManifest::checkContent(bytes, "mac", installed, &error), reason.isEmpty());
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestReleaseSignature::fileSha256()
{
    const QString path = m_home.path() + "/abc";
    QVERIFY(writeFile(path, "abc"));
    QCOMPARE(getLocalFileSha256Value(path), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    QCOMPARE(getLocalFileSha256Value(m_home.path() + "/missing"), QByteArray());
}

void TestReleaseSignature::signatureAddress()
{
    QCOMPARE(SignedManifest::signatureUrlOf("http://h:8/mac/update.json"), QStringLiteral("http://h:8/mac/update.json.sig"));
    QCOMPARE(SignedManifest::signatureUrlOf("http://h/a%20b/up%20date.json?x=1"), QStringLiteral("http://h/a%20b/up%20date.json.sig?x=1"));
}

QTEST_GUILESS_MAIN(TestReleaseSignature)
#include "tst_releasesignature.moc"
