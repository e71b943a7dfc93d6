#include "BsdiffControl.h"
#include "bsdiff.h"
#include "bspatch.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <bzlib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Triple
{
    qint64 x;
    qint64 y;
    qint64 z;
};

// 8-byte sign-magnitude integer.
QByteArray encodeMagnitude(quint64 magnitude, bool negative = false)
{
    QByteArray bytes(8, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[i] = char((magnitude >> (8 * i)) & 0xff);
    if (negative)
        bytes[7] = char(bytes[7] | 0x80);
    return bytes;
}

QByteArray encode(qint64 value)
{
    return value < 0 ? encodeMagnitude(quint64(0) - quint64(value), true) : encodeMagnitude(quint64(value));
}

QByteArray bzip2(const QByteArray &data)
{
    QByteArray out(data.size() + data.size() / 100 + 1024, '\0');
    unsigned int length = unsigned(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char *>(data.constData()), unsigned(data.size()), 9, 0, 0) != BZ_OK)
        return QByteArray();
    out.truncate(int(length));
    return out;
}

// `count` zero bytes compressed, without ever holding them all.
QByteArray bzip2Zeros(qint64 count)
{
    const QByteArray chunk(1 << 20, '\0');
    QByteArray out;
    char buffer[1 << 16];
    bz_stream stream{};
    if (BZ2_bzCompressInit(&stream, 9, 0, 0) != BZ_OK)
        return QByteArray();
    int status = BZ_RUN_OK;
    for (qint64 left = count; status == BZ_RUN_OK || status == BZ_FINISH_OK;) {
        if (stream.avail_in == 0 && left > 0) {
            const int take = int(qMin<qint64>(chunk.size(), left));
            stream.next_in = const_cast<char *>(chunk.constData());
            stream.avail_in = unsigned(take);
            left -= take;
        }
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        status = BZ2_bzCompress(&stream, left > 0 || stream.avail_in > 0 ? BZ_RUN : BZ_FINISH);
        out.append(buffer, int(sizeof buffer - stream.avail_out));
    }
    BZ2_bzCompressEnd(&stream);
    return status == BZ_STREAM_END ? out : QByteArray();
}

QByteArray controlBytes(const QList<Triple> &triples)
{
    QByteArray control;
    for (const Triple &t : triples)
        control += encode(t.x) + encode(t.y) + encode(t.z);
    return control;
}

// A patch laid out by hand; header fields can be overridden with raw bytes.
QByteArray patchOf(const QByteArray &control, const QByteArray &diff, const QByteArray &extra, const QByteArray &newLength)
{
    const QByteArray c = bzip2(control);
    const QByteArray d = bzip2(diff);
    return QByteArray("BSDIFF40") + encode(qint64(c.size())) + encode(qint64(d.size())) + newLength + c + d + bzip2(extra);
}

QByteArray patchOf(const QList<Triple> &triples, const QByteArray &diff, const QByteArray &extra, qint64 newLength)
{
    return patchOf(controlBytes(triples), diff, extra, encode(newLength));
}

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// Captures what is written to standard error while it lives.
class StderrCapture
{
public:
    StderrCapture() : m_file(QDir::tempPath() + QStringLiteral("/bspatch-stderr-XXXXXX"))
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(2);
        ::dup2(m_file.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

} // namespace

class TestBspatch : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void appliesHandBuiltPatch();
    void zeroNewLengthReadsNoControl();
    void negativeZMovesBackwards();
    void negativeZeroIsZero();
    void corruptPatches_data();
    void corruptPatches();
    void wrongMagicInEveryByte();
    void lyingHeaderAllocatesNothingBig();
    void systemErrorsNameTheFile();

    void controlEmptyList();
    void controlAppliesAndDeletesPatches();
    void controlSkipsDoneEntries();
    void controlFailures_data();
    void controlFailures();
    void controlStopsInAscendingOrder();

private:
    QString path(const QString &name) const { return m_dir->path() + QLatin1Char('/') + name; }
    void write(const QString &name, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(path(name)).absolutePath());
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(data);
    }
    QByteArray read(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    int apply(const QString &oldName, const QString &newName, const QString &patchName)
    {
        return bspatch(QFile::encodeName(path(oldName)).constData(), QFile::encodeName(path(newName)).constData(),
                       QFile::encodeName(path(patchName)).constData());
    }
    QByteArray realPatch(const QByteArray &oldData, const QByteArray &newData)
    {
        const std::vector<uint8_t> p = Bsdiff::makePatch(reinterpret_cast<const uint8_t *>(oldData.constData()), size_t(oldData.size()),
                                                         reinterpret_cast<const uint8_t *>(newData.constData()), size_t(newData.size()));
        return QByteArray(reinterpret_cast<const char *>(p.data()), int(p.size()));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    const QByteArray m_program = QCoreApplication::applicationName().toLocal8Bit();
};

void TestBspatch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestBspatch::appliesHandBuiltPatch()
{
    write("old", "abcdef");
    const QByteArray diff("\0\0\x15\0\0\0", 6); // 'c' + 0x15 = 'x'
    write("p", patchOf({{6, 2, 0}}, diff, "gh", 8));
    const mode_t mask = ::umask(027);
    const int rc = apply("old", "new", "p");
    ::umask(mask);
    QCOMPARE(rc, 0);
    QCOMPARE(read("new"), QByteArray("abxdefgh"));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path("new")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0640));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 3); // no temporary left behind
}

void TestBspatch::zeroNewLengthReadsNoControl()
{
    write("old", "whatever");
    write("p", QByteArray("BSDIFF40") + encode(qint64(4)) + encode(qint64(4)) + encode(qint64(0)) + "junkjunkjunk");
    write("new", "previous content");
    QCOMPARE(apply("old", "new", "p"), 0);
    QCOMPARE(read("new"), QByteArray());
}

void TestBspatch::negativeZMovesBackwards()
{
    write("old", "ABCDEFGH");
    // Copy ABCD, jump back by 6 to position -2, then 4 bytes of which two lie before the old file.
    const QByteArray diff = QByteArray(4, '\0') + QByteArray("\x0a\x14\0\x01", 4);
    write("p", patchOf({{4, 0, -6}, {4, 0, 0}}, diff, QByteArray(), 8));
    QCOMPARE(apply("old", "new", "p"), 0);
    QCOMPARE(read("new"), QByteArray("ABCD\x0a\x14" "AC"));
}

void TestBspatch::negativeZeroIsZero()
{
    write("old", "abc");
    const QByteArray control = encode(qint64(3)) + encodeMagnitude(0, true) + encodeMagnitude(0, true);
    write("p", patchOf(control, QByteArray(3, '\0'), QByteArray(), encode(qint64(3))));
    QCOMPARE(apply("old", "new", "p"), 0);
    QCOMPARE(read("new"), QByteArray("abc"));

    write("p0", patchOf(QByteArray(), QByteArray(), QByteArray(), encodeMagnitude(0, true)));
    QCOMPARE(apply("old", "new0", "p0"), 0);
    QCOMPARE(read("new0"), QByteArray());
}

void TestBspatch::corruptPatches_data()
{
    QTest::addColumn<QByteArray>("patch");
    const QByteArray good = patchOf({{3, 1, 0}}, QByteArray(3, '\0'), "d", 4);

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("short header") << good.left(31);
    QTest::newRow("negative x") << patchOf({{-1, 0, 0}}, QByteArray(), QByteArray(), 4);
    QTest::newRow("negative y") << patchOf({{0, -1, 0}}, QByteArray(), QByteArray(), 4);
    QTest::newRow("hugely negative x") << patchOf(encodeMagnitude(~quint64(0) >> 1, true) + encode(qint64(0)) + encode(qint64(0)), QByteArray(), QByteArray(), encode(qint64(4)));
    QTest::newRow("x past the new length") << patchOf({{5, 0, 0}}, QByteArray(5, '\0'), QByteArray(), 4);
    QTest::newRow("y past the new length") << patchOf({{3, 2, 0}}, QByteArray(3, '\0'), "de", 4);
    QTest::newRow("control ends early") << patchOf({{2, 0, 0}}, QByteArray(2, '\0'), QByteArray(), 4);
    QTest::newRow("control triple cut") << patchOf(controlBytes({{3, 1, 0}}).left(20), QByteArray(3, '\0'), "d", encode(qint64(4)));
    QTest::newRow("diff block short") << patchOf({{3, 1, 0}}, QByteArray(2, '\0'), "d", 4);
    QTest::newRow("extra block short") << patchOf({{3, 1, 0}}, QByteArray(3, '\0'), QByteArray(), 4);
    QTest::newRow("negative control length") << QByteArray("BSDIFF40") + encode(qint64(-1)) + good.mid(16);
    QTest::newRow("negative new length") << good.left(24) + encode(qint64(-4)) + good.mid(32);
    QTest::newRow("control length near 2^63") << QByteArray("BSDIFF40") + encodeMagnitude(~quint64(0) >> 1) + good.mid(16);
    QTest::newRow("diff length near 2^63") << good.left(16) + encodeMagnitude(~quint64(0) >> 1) + good.mid(24);
    QTest::newRow("z overflowing") << patchOf({{1, 0, std::numeric_limits<qint64>::max()}, {1, 0, std::numeric_limits<qint64>::max()}, {2, 0, 0}}, QByteArray(4, '\0'), QByteArray(), 4);
    QTest::newRow("blocks not bzip2") << QByteArray("BSDIFF40") + encode(qint64(4)) + encode(qint64(4)) + encode(qint64(4)) + "xxxxyyyyzzzz";
}

void TestBspatch::corruptPatches()
{
    QFETCH(QByteArray, patch);
    write("old", "abc");
    write("p", patch);
    StderrCapture err;
    QVERIFY(apply("old", "new", "p") != 0);
    QCOMPARE(err.text(), m_program + ": Corrupt patch\n\n");
    QVERIFY(!QFileInfo::exists(path("new")));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 2);
}

void TestBspatch::wrongMagicInEveryByte()
{
    write("old", "abc");
    const QByteArray good = patchOf({{3, 0, 0}}, QByteArray(3, '\0'), QByteArray(), 3);
    write("p", good);
    QCOMPARE(apply("old", "new", "p"), 0);
    for (int i = 0; i < 8; ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0x20);
        write("p", bad);
        StderrCapture err;
        QVERIFY(apply("old", "bad", "p") != 0);
        QCOMPARE(err.text(), m_program + ": Corrupt patch\n\n");
    }
}

void TestBspatch::lyingHeaderAllocatesNothingBig()
{
    // A tiny patch that claims a new file of 2^62 bytes, and one whose blocks
    // really deliver 64 MB of output: memory must not follow the claim.
    write("old", "abc");
    write("p", patchOf({{0, 1, 0}}, QByteArray(), "d", qint64(1) << 62));
    struct rusage before;
    ::getrusage(RUSAGE_SELF, &before);
    StderrCapture err;
    QVERIFY(apply("old", "new", "p") != 0);
    QCOMPARE(err.text(), m_program + ": Corrupt patch\n\n");
    struct rusage after;
    ::getrusage(RUSAGE_SELF, &after);
    QVERIFY2(after.ru_maxrss - before.ru_maxrss < 64 * 1024, qPrintable(QString::number(after.ru_maxrss - before.ru_maxrss)));
    QVERIFY(!QFileInfo::exists(path("new")));

    // 64 MB of zeros added to "abc": a patch of a few hundred bytes, written out as decoded.
    const qint64 size = qint64(64) << 20;
    const QByteArray control = bzip2(controlBytes({{size, 0, 0}}));
    const QByteArray diff = bzip2Zeros(size);
    QVERIFY(!diff.isEmpty());
    write("big", QByteArray("BSDIFF40") + encode(qint64(control.size())) + encode(qint64(diff.size())) + encode(size)
                     + control + diff + bzip2(QByteArray()));
    ::getrusage(RUSAGE_SELF, &before);
    QCOMPARE(apply("old", "new", "big"), 0);
    ::getrusage(RUSAGE_SELF, &after);
    QCOMPARE(QFileInfo(path("new")).size(), size);
    QVERIFY2(after.ru_maxrss - before.ru_maxrss < 16 * 1024, qPrintable(QString::number(after.ru_maxrss - before.ru_maxrss)));
}

void TestBspatch::systemErrorsNameTheFile()
{
    write("old", "abc");
    write("p", patchOf({{3, 0, 0}}, QByteArray(3, '\0'), QByteArray(), 3));
    {
        StderrCapture err;
        QVERIFY(apply("old", "new", "missing-patch") != 0);
        QCOMPARE(err.text(), m_program + ": fopen(" + QFile::encodeName(path("missing-patch")) + "): No such file or directory\n");
    }
    {
        StderrCapture err;
        QVERIFY(apply("missing-old", "new", "p") != 0);
        QCOMPARE(err.text(), m_program + ": " + QFile::encodeName(path("missing-old")) + ": No such file or directory\n");
    }
    {
        StderrCapture err;
        QVERIFY(apply("old", "no-dir/new", "p") != 0);
        QCOMPARE(err.text(), m_program + ": " + QFile::encodeName(path("no-dir/new")) + ": No such file or directory\n");
    }
}

void TestBspatch::controlEmptyList()
{
    BsdiffControl control;
    QSignalSpy success(&control, &BsdiffControl::bsdiffSuccessSignal);
    QSignalSpy failure(&control, &BsdiffControl::bsdiffFailSignal);
    control.bspatchControl();
    QCOMPARE(success.count(), 1);
    QCOMPARE(failure.count(), 0);
}

void TestBspatch::controlAppliesAndDeletesPatches()
{
    const QByteArray oldApp = QByteArray(5000, 'a') + "version 1" + QByteArray(5000, 'b');
    const QByteArray newApp = QByteArray(5000, 'a') + "version 2!" + QByteArray(5000, 'b');
    const QByteArray oldLib("library one");
    const QByteArray newLib("library two, longer");
    write("installed/Contents/MacOS/Veltora", oldApp);
    write("installed/Contents/Frameworks/L.framework/Versions/5/L", oldLib);
    write("packet/Veltora.patch", realPatch(oldApp, newApp));
    write("packet/L.patch", realPatch(oldLib, newLib));
    QDir().mkpath(path("packet/Contents/MacOS"));
    QDir().mkpath(path("packet/Contents/Frameworks/L.framework/Versions/5"));

    BsdiffControl control;
    control.sourceDirectory = path("installed");
    control.patchDirectory = path("packet");
    control.outputDirectory = path("packet");
    control.patchList.insert("Contents/MacOS/Veltora", {md5(oldApp), md5(newApp), "Veltora.patch"});
    control.patchList.insert("Contents/Frameworks/L.framework/Versions/5/L", {md5(oldLib), md5(newLib), "L.patch"});
    QSignalSpy success(&control, &BsdiffControl::bsdiffSuccessSignal);
    QSignalSpy failure(&control, &BsdiffControl::bsdiffFailSignal);
    control.bspatchControl();
    QCOMPARE(failure.count(), 0);
    QCOMPARE(success.count(), 1);
    QCOMPARE(read("packet/Contents/MacOS/Veltora"), newApp);
    QCOMPARE(read("packet/Contents/Frameworks/L.framework/Versions/5/L"), newLib);
    QVERIFY(!QFileInfo::exists(path("packet/Veltora.patch")));
    QVERIFY(!QFileInfo::exists(path("packet/L.patch")));
    QCOMPARE(read("installed/Contents/MacOS/Veltora"), oldApp);
}

void TestBspatch::controlSkipsDoneEntries()
{
    // Output already new: the patch is not touched (here it does not even exist).
    write("installed/a", "old a");
    write("out/a", "new a");
    // Installed file already new: nothing is written.
    write("installed/b", "new b");
    write("patches/b.patch", "not a patch at all");

    BsdiffControl control;
    control.sourceDirectory = path("installed");
    control.patchDirectory = path("patches");
    control.outputDirectory = path("out");
    control.patchList.insert("a", {md5("old a"), md5("new a"), "a.patch"});
    control.patchList.insert("b", {md5("old b"), md5("new b"), "b.patch"});
    QSignalSpy success(&control, &BsdiffControl::bsdiffSuccessSignal);
    control.bspatchControl();
    QCOMPARE(success.count(), 1);
    QVERIFY(!QFileInfo::exists(path("out/b")));
    QCOMPARE(read("patches/b.patch"), QByteArray("not a patch at all"));
}

void TestBspatch::controlFailures_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<bool>("patchIsValid");
    QTest::addColumn<QByteArray>("manifestOld");
    QTest::addColumn<QByteArray>("manifestNew");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("patchKept");

    const QByteArray oldData("the old file"), newData("the new file");
    QTest::newRow("missing installed file") << QByteArray() << true << md5(oldData) << md5(newData)
                                            << QStringLiteral("Missing %I") << true;
    QTest::newRow("installed digest matches neither") << QByteArray("changed by the user") << true << md5(oldData) << md5(newData)
                                                      << QString::fromLatin1("%I  md5 is not match,file md5 " + md5("changed by the user") + ",json md5 " + md5(oldData)) << true;
    QTest::newRow("corrupt patch") << oldData << false << md5(oldData) << md5(newData) << QStringLiteral("Faile to patch %I") << true;
    QTest::newRow("result digest differs") << oldData << true << md5(oldData) << md5("something else")
                                           << QString::fromLatin1("Patch ok,but out file(%O) md5 is not match,error md5 is " + md5(newData)) << true;
}

void TestBspatch::controlFailures()
{
    QFETCH(QByteArray, installed);
    QFETCH(bool, patchIsValid);
    QFETCH(QByteArray, manifestOld);
    QFETCH(QByteArray, manifestNew);
    QFETCH(QString, message);
    QFETCH(bool, patchKept);

    if (!installed.isEmpty())
        write("installed/f", installed);
    QDir().mkpath(path("out"));
    const QByteArray patch = patchIsValid ? realPatch("the old file", "the new file") : QByteArray("BSDIFF41");
    write("patches/f.patch", patch);

    BsdiffControl control;
    control.sourceDirectory = path("installed");
    control.patchDirectory = path("patches");
    control.outputDirectory = path("out");
    control.patchList.insert("f", {manifestOld, manifestNew, "f.patch"});
    QSignalSpy success(&control, &BsdiffControl::bsdiffSuccessSignal);
    QSignalSpy failure(&control, &BsdiffControl::bsdiffFailSignal);
    StderrCapture err;
    control.bspatchControl();
    QCOMPARE(success.count(), 0);
    QCOMPARE(failure.count(), 1);
    message.replace("%I", path("installed/f")).replace("%O", path("out/f"));
    QCOMPARE(failure.first().first().toString(), message);
    QCOMPARE(QFileInfo::exists(path("patches/f.patch")), patchKept);
    if (message.startsWith("Patch ok"))
        QCOMPARE(read("out/f"), QByteArray("the new file"));
}

void TestBspatch::controlStopsInAscendingOrder()
{
    write("installed/b", "old b");
    write("patches/b.patch", realPatch("old b", "new b"));
    BsdiffControl control;
    control.sourceDirectory = path("installed");
    control.patchDirectory = path("patches");
    control.outputDirectory = path("out");
    control.patchList.insert("b", {md5("old b"), md5("new b"), "b.patch"});
    control.patchList.insert("a", {md5("old a"), md5("new a"), "a.patch"});
    QSignalSpy failure(&control, &BsdiffControl::bsdiffFailSignal);
    control.bspatchControl();
    QCOMPARE(failure.count(), 1);
    QCOMPARE(failure.first().first().toString(), "Missing " + path("installed/a"));
    QVERIFY(!QFileInfo::exists(path("out/b")));
    QVERIFY(QFileInfo::exists(path("patches/b.patch")));
}

QTEST_GUILESS_MAIN(TestBspatch)
#include "tst_bspatch.moc"
