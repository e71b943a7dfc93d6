#include "Lib7z.h"
#include "Lzma2Decoder.h"
#include "SevenZipIndex.h"
#include "SevenZipPacketWriter.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using TestFiles::randomBytes;

namespace {

// Text that compresses well but not to nothing, so blocks have real LZMA chunks.
QByteArray text(int size, quint32 seed)
{
    const QByteArray noise = randomBytes(size / 16 + 16, seed).toHex();
    QByteArray out;
    out.reserve(size);
    for (int i = 0; out.size() < size; ++i)
        out += "line " + QByteArray::number(i % 977) + ' ' + noise.mid((i * 7) % (noise.size() - 8), 8) + '\n';
    out.truncate(size);
    return out;
}

struct Entry
{
    enum Kind { File, Link, Folder };
    Kind kind;
    QString name;
    QByteArray data;
    quint32 mode;
};
using Entries = QVector<Entry>;

// "name mode content-digest" for every entry below root, links as "name -> target".
QStringList listing(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = path.mid(root.size() + 1);
        const QFileInfo info(path);
        if (info.isSymLink())
            out << name + QStringLiteral(" -> ") + TestFiles::linkText(path);
        else if (info.isDir())
            out << name + QStringLiteral("/");
        else
            out << QStringLiteral("%1 %2 %3").arg(name).arg(TestFiles::modeOf(path), 0, 8)
                       .arg(QString::fromLatin1(QCryptographicHash::hash(TestFiles::readFile(path), QCryptographicHash::Md5).toHex()));
    }
    out.sort();
    return out;
}

bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

Q_DECLARE_METATYPE(Entries)

class TestPacketWriter : public QObject
{
    Q_OBJECT

private slots:
    void readsBackEverywhere_data();
    void readsBackEverywhere();
    void failsOnUnreadableSource();

private:
    TestHome home;
};

void TestPacketWriter::readsBackEverywhere_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<bool>("parallel");

    // Blocks are 128 KiB here: the updater groups them into jobs of about 1 MB and
    // decodes in parallel from two jobs on.
    QVector<Entry> crossing{{Entry::Folder, QStringLiteral("p"), {}, 0755}};
    for (int i = 0; i < 30; ++i)
        crossing.append({Entry::File, QStringLiteral("p/d%1/f%2.txt").arg(i % 3).arg(i), text(90000 + i * 1111, quint32(i)), 0644});
    QTest::newRow("files crossing block borders") << crossing << true;

    QTest::newRow("a file larger than a block, and noise that stays stored")
        << Entries{{Entry::Folder, QStringLiteral("p"), {}, 0755},
                   {Entry::File, QStringLiteral("p/big.txt"), text(1800000, 7), 0755},
                   {Entry::File, QStringLiteral("p/noise.bin"), randomBytes(700000, 3), 0600}}
        << true;

    QTest::newRow("empty files, links and folders between data")
        << Entries{{Entry::Folder, QStringLiteral("p"), {}, 0755},
                   {Entry::File, QStringLiteral("p/a.txt"), text(1200000, 1), 0644},
                   {Entry::File, QStringLiteral("p/empty"), {}, 0644},
                   {Entry::Link, QStringLiteral("p/Versions/Current"), "5", 0777},
                   {Entry::Folder, QStringLiteral("p/Versions/5"), {}, 0755},
                   {Entry::File, QStringLiteral("p/Versions/5/b.txt"), text(1200000, 2), 0644},
                   {Entry::File, QStringLiteral("p/z-empty"), {}, 0644}}
        << true;

    QTest::newRow("only folders and empty files: no data at all")
        << Entries{{Entry::Folder, QStringLiteral("p"), {}, 0755}, {Entry::File, QStringLiteral("p/empty"), {}, 0644}}
        << false;
}

void TestPacketWriter::readsBackEverywhere()
{
    QFETCH(Entries, entries);
    QFETCH(bool, parallel);
    QTemporaryDir dir;
    const QString packet = dir.filePath(QStringLiteral("p.pkt"));
    const QString sources = dir.filePath(QStringLiteral("src"));

    SevenZipPacketWriter writer;
    writer.setBlockSize(128 * 1024);
    writer.setThreads(2);
    QString error;
    QVERIFY2(writer.open(packet, &error), qPrintable(error));
    int n = 0;
    for (const Entry &entry : qAsConst(entries)) {
        const QString target = dir.filePath(QStringLiteral("expected/") + entry.name);
        bool ok = false;
        if (entry.kind == Entry::Folder) {
            ok = writer.addFolder(entry.name, 1700000000);
            QDir().mkpath(target);
        } else if (entry.kind == Entry::Link) {
            ok = writer.addLink(entry.name, entry.data, 1700000000);
            QDir().mkpath(QFileInfo(target).path());
            QVERIFY(QFile::link(QString::fromUtf8(entry.data), target));
        } else {
            // Half of the files come from disk, half from memory.
            const QString source = sources + QStringLiteral("/%1").arg(n++);
            QVERIFY(TestFiles::writeFile(source, entry.data));
            ok = n % 2 ? writer.addFile(entry.name, source, entry.mode, 1700000000)
                       : writer.addData(entry.name, entry.data, entry.mode, 1700000000);
            QVERIFY(TestFiles::writeFile(target, entry.data));
            QCOMPARE(::chmod(QFile::encodeName(target).constData(), entry.mode), 0);
        }
        QVERIFY2(ok, qPrintable(writer.errorString()));
    }
    QVERIFY2(writer.close(&error), qPrintable(error));
    const QStringList expected = listing(dir.filePath(QStringLiteral("expected")));

    // The updater's own index reader takes the packet, and decodes it on several threads.
    QFile file(packet);
    QVERIFY(file.open(QIODevice::ReadOnly));
    Lib7z::SevenZipIndex index;
    QVERIFY2(index.read(&file), qPrintable(index.declineReason()));
    QCOMPARE(index.folders.size(), parallel ? 1 : 0);
    if (parallel)
        QVERIFY(Lib7z::Lzma2Decoder(file.handle(), index.folders.first(), 2).isParallel());

    Lib7z::init();
    const QString ours = dir.filePath(QStringLiteral("ours"));
    QVERIFY2(Lib7z::extractArchive(&file, ours), qPrintable(Lib7z::lastError()));
    QCOMPARE(listing(ours), expected);

    QByteArray output;
    QVERIFY2(run(QStringLiteral("7z"), {QStringLiteral("t"), packet}, &output), output.constData());
    const QString theirs = dir.filePath(QStringLiteral("bsdtar"));
    QDir().mkpath(theirs);
    QVERIFY(run(QStringLiteral("bsdtar"), {QStringLiteral("-xf"), packet, QStringLiteral("-C"), theirs}));
    QCOMPARE(listing(theirs), expected);
}

void TestPacketWriter::failsOnUnreadableSource()
{
    QTemporaryDir dir;
    SevenZipPacketWriter writer;
    QString error;
    QVERIFY(writer.open(dir.filePath(QStringLiteral("p.pkt")), &error));
    QVERIFY(!writer.addFile(QStringLiteral("p/x"), dir.filePath(QStringLiteral("missing")), 0644, 0));
    QVERIFY(!writer.close(&error));
    QVERIFY(error.contains(QStringLiteral("missing")));
}

QTEST_GUILESS_MAIN(TestPacketWriter)
#include "tst_packetwriter.moc"
