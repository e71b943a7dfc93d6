#include "bsdiff.h"
#include "bspatch.h"
#include "QuickMode.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "TestFiles.h"

using TestFiles::randomBytes;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A text-like file: repeated words, so matches exist at many alignments.
QByteArray textLike(int size, quint32 seed)
{
    static const char *words[] = {"update ", "packet ", "bundle ", "Veltora ", "framework ", "\n", "version ", "5 "};
    QRandomGenerator generator(seed);
    QByteArray data;
    while (data.size() < size)
        data += words[generator.bounded(8)];
    data.truncate(size);
    return data;
}

} // namespace

class TestBsdiff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void roundTrip_data();
    void roundTrip();
    void smallChangesGiveSmallPatches();
    void patchFileErrors();

private:
    // Makes the patch, applies it with the updater's bspatch, returns the patch size.
    qint64 roundTrip(const QByteArray &oldData, const QByteArray &newData)
    {
        const QString oldPath = m_dir.filePath("old"), newPath = m_dir.filePath("new");
        const QString patchPath = m_dir.filePath("patch"), outPath = m_dir.filePath("out");
        for (const auto &[path, data] : {std::pair{oldPath, oldData}, std::pair{newPath, newData}}) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
                return -1;
        }
        std::string error;
        if (!Bsdiff::makePatchFile(QFile::encodeName(oldPath).toStdString(), QFile::encodeName(newPath).toStdString(),
                                   QFile::encodeName(patchPath).toStdString(), &error)) {
            qWarning("%s", error.c_str());
            return -1;
        }
        QFile::remove(outPath);
        if (bspatch(QFile::encodeName(oldPath).constData(), QFile::encodeName(outPath).constData(),
                    QFile::encodeName(patchPath).constData()) != 0)
            return -1;
        if (readAll(outPath) != newData)
            return -2;
        return QFileInfo(patchPath).size();
    }

    QTemporaryDir m_dir;
};

void TestBsdiff::roundTrip_data()
{
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<QByteArray>("newData");

    const QByteArray random = randomBytes(300000, 1);
    QByteArray shifted = random;
    shifted.insert(1000, "inserted text");
    shifted.remove(200000, 777);
    QByteArray moved = random.mid(150000) + random.left(150000);

    QTest::newRow("both empty") << QByteArray() << QByteArray();
    QTest::newRow("empty old") << QByteArray() << random.left(5000);
    QTest::newRow("empty new") << random.left(5000) << QByteArray();
    QTest::newRow("one byte each") << QByteArray("a") << QByteArray("b");
    QTest::newRow("identical") << random << random;
    QTest::newRow("unrelated random") << randomBytes(200000, 2) << randomBytes(250000, 3);
    QTest::newRow("old shorter") << random.left(100000) << random;
    QTest::newRow("old longer") << random << random.mid(50000, 100000);
    QTest::newRow("insertions and deletions") << random << shifted;
    QTest::newRow("blocks moved") << random << moved;
    QTest::newRow("text-like") << textLike(200000, 4) << textLike(210000, 5);
    QTest::newRow("all zeros of other lengths") << QByteArray(100000, '\0') << QByteArray(250000, '\0');
    QTest::newRow("two builds of a program") << readAll(FIXTURE_V1) << readAll(FIXTURE_V2);
    QTest::newRow("two different programs") << readAll(UPDATE_BINARY) << readAll(OTHER_BINARY);
}

void TestBsdiff::roundTrip()
{
    QFETCH(QByteArray, oldData);
    QFETCH(QByteArray, newData);
    QVERIFY(QTest::currentDataTag() == QByteArray("both empty") || !oldData.isEmpty() || !newData.isEmpty());
    const qint64 size = roundTrip(oldData, newData);
    QVERIFY2(size > 0, "patch failed or result differs");
    if (oldData == newData)
        QVERIFY(size < 200 + newData.size() / 1000);
}

void TestBsdiff::smallChangesGiveSmallPatches()
{
    VELTORA_SLOW_CASE();
    // 20 MB of binary-like data, 1% of its bytes changed in scattered places.
    QByteArray oldData = randomBytes(20 * 1024 * 1024, 6);
    for (int i = 0; i < oldData.size(); i += 64)
        oldData[i] = 0; // some structure, as in real binaries
    QByteArray newData = oldData;
    QRandomGenerator generator(7);
    for (int i = 0; i < newData.size() / 100; ++i) {
        const int at = int(generator.bounded(quint32(newData.size())));
        newData[at] = char(newData[at] + 1 + char(generator.bounded(250)));
    }
    QElapsedTimer timer;
    timer.start();
    const qint64 size = roundTrip(oldData, newData);
    QVERIFY(size > 0);
    qInfo("20 MB, 1%% changed: patch of %lld bytes (%.2f%% of the new file) in %lld ms", size,
          100.0 * double(size) / newData.size(), timer.elapsed());
    QVERIFY(size < newData.size() / 20);
}

void TestBsdiff::patchFileErrors()
{
    std::string error;
    QVERIFY(!Bsdiff::makePatchFile("/nonexistent/old", QFile::encodeName(m_dir.filePath("old")).toStdString(),
                                   QFile::encodeName(m_dir.filePath("p")).toStdString(), &error));
    QCOMPARE(QString::fromStdString(error), QStringLiteral("cannot read /nonexistent/old"));
    QFile(m_dir.filePath("x")).open(QIODevice::WriteOnly);
    QVERIFY(!Bsdiff::makePatchFile(QFile::encodeName(m_dir.filePath("x")).toStdString(),
                                   QFile::encodeName(m_dir.filePath("x")).toStdString(), "/nonexistent/p", &error));
    QCOMPARE(QString::fromStdString(error), QStringLiteral("cannot write /nonexistent/p"));
}

QTEST_GUILESS_MAIN(TestBsdiff)
#include "tst_bsdiff.moc"
