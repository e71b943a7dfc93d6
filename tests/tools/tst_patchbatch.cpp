#include "PatchBatch.h"
#include "ReleaseBuilder.h"
#include "ReleaseProgress.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "UpdateManifest.h"
#include "bspatch.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

using TestFiles::randomBytes;

namespace {

// A changed copy: a few bytes flipped and some inserted in the middle.
QByteArray edited(QByteArray data)
{
    for (int i = 0; i < data.size(); i += 997)
        data[i] = char(data[i] ^ 0x5a);
    data.insert(data.size() / 2, "inserted");
    return data;
}

// Everything a FILE received, for the progress output.
class Capture
{
public:
    Capture() : m_file(std::tmpfile()) {}
    ~Capture() { std::fclose(m_file); }
    std::FILE *file() const { return m_file; }
    QByteArray text() const
    {
        std::fflush(m_file);
        std::rewind(m_file);
        QByteArray out;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            out.append(buffer, int(n));
        return out;
    }

private:
    std::FILE *m_file;
};

} // namespace

class TestPatchBatch : public QObject
{
    Q_OBJECT

private slots:
    void sizeLimit_data();
    void sizeLimit();
    void memoryBudget_data();
    void memoryBudget();
    void progressSteps_data();
    void progressSteps();
    void progressModes();
    void releaseShipsLargeFilesWhole();

private:
    TestHome home;
};

// Files at or beyond the limit (the suffix array's range, lowered here) are not
// diffed; just below it they are.
void TestPatchBatch::sizeLimit_data()
{
    QTest::addColumn<int>("oldSize");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<bool>("patched");
    const int limit = 20000;
    QTest::newRow("old below the limit") << limit - 9 << limit - 1 << true;
    QTest::newRow("old at the limit") << limit << limit - 1 << false;
    QTest::newRow("new at the limit") << limit - 9 << limit << false;
    QTest::newRow("both beyond") << limit + 1 << limit + 9 << false;
}

void TestPatchBatch::sizeLimit()
{
    QFETCH(int, oldSize);
    QFETCH(int, newSize);
    QFETCH(bool, patched);
    QTemporaryDir dir;
    const QByteArray old = randomBytes(oldSize, 1);
    QByteArray now = edited(old);
    now.resize(newSize);
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("old")), old));
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("new")), now));
    PatchBatch batch(2, qint64(1) << 30, 20000);
    QVector<PatchBatch::Result> results;
    QString error;
    QVERIFY2(batch.run({{dir.filePath(QStringLiteral("old")), dir.filePath(QStringLiteral("new")), oldSize, newSize}}, dir.path(), 0.5,
                       &results, {}, &error),
             qPrintable(error));
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.first().tooLarge, !patched);
    QCOMPARE(results.first().patchFile.isEmpty(), !patched);
    if (patched) {
        const QByteArray out = dir.filePath(QStringLiteral("out")).toLocal8Bit();
        QCOMPARE(bspatch(dir.filePath(QStringLiteral("old")).toLocal8Bit().constData(), out.constData(),
                         results.first().patchFile.toLocal8Bit().constData()),
                 0);
        QCOMPARE(TestFiles::readFile(QString::fromLocal8Bit(out)), now);
    }
}

// The files in work never cost more than the budget together, except one file
// alone that is larger than the whole budget; every file gets its patch either way.
void TestPatchBatch::memoryBudget_data()
{
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("expectedPeak");
    const qint64 one = PatchBatch::cost(100000, 100008);
    QTest::newRow("room for all four") << 4 * one << 4 * one;   // four threads, four files
    QTest::newRow("room for two") << 2 * one + 1 << 2 * one;
    QTest::newRow("room for one") << one << one;
    QTest::newRow("less than one file: still one at a time") << one / 2 << one;
}

void TestPatchBatch::memoryBudget()
{
    QFETCH(qint64, budget);
    QFETCH(qint64, expectedPeak);
    QTemporaryDir dir;
    QVector<PatchBatch::Job> jobs;
    for (int i = 0; i < 4; ++i) {
        const QByteArray old = randomBytes(100000, quint32(i));
        const QString o = dir.filePath(QStringLiteral("o%1").arg(i));
        const QString n = dir.filePath(QStringLiteral("n%1").arg(i));
        QVERIFY(TestFiles::writeFile(o, old));
        QVERIFY(TestFiles::writeFile(n, edited(old)));
        jobs.append({o, n, 100000, 100008});
    }
    PatchBatch batch(4, budget);
    QVector<PatchBatch::Result> results;
    QString error;
    int lastDone = -1;
    QVERIFY2(batch.run(jobs, dir.path(), 0.5, &results, [&](int done, qint64) { lastDone = done; }, &error), qPrintable(error));
    QCOMPARE(lastDone, 4);
    QVERIFY(batch.peakCost() <= expectedPeak);
    if (expectedPeak == PatchBatch::cost(100000, 100008))
        QCOMPARE(batch.peakCost(), expectedPeak);
    for (const PatchBatch::Result &result : qAsConst(results))
        QVERIFY(!result.patchFile.isEmpty());
}

void TestPatchBatch::progressSteps_data()
{
    QTest::addColumn<qint64>("printed");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("prints");
    QTest::newRow("first report") << qint64(-1) << qint64(0) << qint64(100) << true;
    QTest::newRow("within the same tenth") << qint64(10) << qint64(19) << qint64(100) << false;
    QTest::newRow("next tenth reached") << qint64(19) << qint64(20) << qint64(100) << true;
    QTest::newRow("end") << qint64(95) << qint64(100) << qint64(100) << true;
    QTest::newRow("end already printed") << qint64(100) << qint64(100) << qint64(100) << false;
    QTest::newRow("phase without steps, first report") << qint64(-1) << qint64(0) << qint64(0) << true;
    QTest::newRow("phase without steps, again") << qint64(0) << qint64(0) << qint64(0) << false;
}

void TestPatchBatch::progressSteps()
{
    QFETCH(qint64, printed);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(bool, prints);
    QCOMPARE(ReleaseProgress::printsAt(printed, done, total), prints);
}

// Plain lines: about one per tenth; on a terminal one line rewritten in place;
// quiet: nothing but notes.
void TestPatchBatch::progressModes()
{
    for (const ReleaseProgress::Mode mode : {ReleaseProgress::Lines, ReleaseProgress::Terminal, ReleaseProgress::Quiet}) {
        Capture capture;
        {
            ReleaseProgress progress(mode, capture.file());
            progress.begin(QStringLiteral("packing x.pkt"), 1000);
            for (int i = 0; i <= 1000; ++i)
                progress.update(i, QStringLiteral("%1/1000").arg(i));
            progress.note(QStringLiteral("a note"));
        }
        const QByteArray text = capture.text();
        QVERIFY(text.endsWith("veltora-release: a note\n"));
        if (mode == ReleaseProgress::Lines) {
            QCOMPARE(text.count('\n'), 12);
            QVERIFY(text.startsWith("packing x.pkt: 0/1000\npacking x.pkt: 100/1000\n"));
            QVERIFY(!text.contains('\r'));
        } else if (mode == ReleaseProgress::Terminal) {
            QCOMPARE(text.count('\n'), 2);
            QVERIFY(text.contains("\rpacking x.pkt: 1000/1000\x1b[K\n"));
        } else {
            QCOMPARE(text, QByteArray("veltora-release: a note\n"));
        }
    }
}

// A changed file beyond the (lowered) limit goes whole into the partial packet,
// with a line saying so; a smaller one gets its patch.
void TestPatchBatch::releaseShipsLargeFilesWhole()
{
    QTemporaryDir dir;
    const QByteArray big = randomBytes(30000, 5);
    const QByteArray small = randomBytes(5000, 6);
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("old/Contents/Resources/big.bin")), big));
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("old/Contents/Resources/small.bin")), small));
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("new/Contents/Resources/big.bin")), edited(big)));
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("new/Contents/Resources/small.bin")), edited(small)));
    QVERIFY(TestFiles::writeFile(dir.filePath(QStringLiteral("i.dmg")), "image"));
    ReleaseOptions options;
    options.newBundle = dir.filePath(QStringLiteral("new"));
    options.fixBundle = options.newBundle;
    options.oldBundles = {{QStringLiteral("1.0"), dir.filePath(QStringLiteral("old"))}};
    options.baseUrl = QStringLiteral("http://127.0.0.1/mac");
    options.outDir = dir.filePath(QStringLiteral("out"));
    options.releaseVersion = QStringLiteral("2.0");
    options.installer = dir.filePath(QStringLiteral("i.dmg"));
    options.patchSizeLimit = 20000;
    Capture capture;
    ReleaseProgress progress(ReleaseProgress::Quiet, capture.file());
    ReleaseBuilder builder(options, &progress);
    QString error;
    QVERIFY2(builder.build(&error), qPrintable(error));
    QCOMPARE(capture.text(),
             QByteArray("veltora-release: Contents/Resources/big.bin goes whole into partial-1.0.pkt: at 30008 bytes it is "
                        "beyond the patch writer's limit of 20000 bytes\n"));
    QJsonObject patches = QJsonDocument::fromJson(TestFiles::readFile(builder.manifestPath())).object();
    for (const char *key : {"mac", "partialPacket", "1.0", "modify", "patch"})
        patches = patches.value(QLatin1String(key)).toObject();
    QCOMPARE(patches.keys(), QStringList{QStringLiteral("Contents/Resources/small.bin")});
}

QTEST_GUILESS_MAIN(TestPatchBatch)
#include "tst_patchbatch.moc"
