#include "Lib7z.h"
#include "Lzma2Decoder.h"
#include "SevenZipIndex.h"
#include "SevenZipWriter.h"
#include "TestFiles.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Lib7z::Lzma2Decoder;
using Lib7z::SevenZipIndex;
using TestFiles::sevenZip;

namespace {

// A tree with the kinds of item packets hold: text and noise in several
// folders, a program, a link, an empty file and an empty folder.
void makeTree(const QString &root, int noiseBytes)
{
    for (int i = 0; i < 12; ++i) {
        const QString folder = root + QStringLiteral("/d%1/").arg(i % 3);
        TestFiles::writeFile(folder + QStringLiteral("noise%1.bin").arg(i), TestFiles::randomBytes(noiseBytes / 12, quint32(i)));
        TestFiles::writeFile(folder + QStringLiteral("text%1.txt").arg(i),
                             QByteArray("line of text for the packer ").repeated(noiseBytes / 12 / 28 + i));
    }
    TestFiles::writeFile(root + QStringLiteral("/bin/tool"), QByteArray("#!/bin/sh\necho hi\n"));
    ::chmod(QFile::encodeName(root + QStringLiteral("/bin/tool")).constData(), 0755);
    QFile::link(QStringLiteral("../d0/text0.txt"), root + QStringLiteral("/bin/link"));
    TestFiles::writeFile(root + QStringLiteral("/empty.txt"), QByteArray());
    QDir(root).mkpath(QStringLiteral("nothing/here"));
}

// Every entry below `root`, with its kind, mode, time and content or link text.
QStringList describe(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QString line = path.mid(root.size()) + QStringLiteral(" mode=%1").arg(st.st_mode, 0, 8);
        if (S_ISREG(st.st_mode))
            line += QStringLiteral(" mtime=%1.%2 md5=%3").arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec)
                        .arg(QString::fromLatin1(QCryptographicHash::hash(TestFiles::readFile(path), QCryptographicHash::Md5).toHex()));
        else if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + TestFiles::linkText(path);
        lines.append(line);
    }
    lines.sort();
    return lines;
}

bool extract(const QString &packet, const QString &target, bool indexed)
{
    Lib7z::setIndexedReaderEnabled(indexed);
    QFile file(packet);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const bool ok = Lib7z::extractArchive(&file, target);
    Lib7z::setIndexedReaderEnabled(true);
    return ok;
}

bool readIndex(const QString &packet, SevenZipIndex *index)
{
    QFile file(packet);
    return file.open(QIODevice::ReadOnly) && index->read(&file);
}

} // namespace

class TestSevenZipIndex : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsTheToolsIndex();
    void sameTreeAsTheGeneralReader_data();
    void sameTreeAsTheGeneralReader();
    void declinesOtherShapes_data();
    void declinesOtherShapes();
    void damagedDataFails_data();
    void damagedDataFails();
    void parallelFolderComesOutWhole_data();
    void parallelFolderComesOutWhole();
    void poolRunsAheadOfTheReader();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestSevenZipIndex::initTestCase()
{
    ::umask(022);
    QVERIFY(dir.isValid());
    makeTree(path(QStringLiteral("small")), 64 * 1024);
    makeTree(path(QStringLiteral("large")), 12 * 1024 * 1024);
    // Packed with two threads the tool restarts its stream at block borders.
    QVERIFY(sevenZip(path(QStringLiteral("large")), path(QStringLiteral("blocks.7z")), {QStringLiteral("-mx=1"), QStringLiteral("-mmt=2")}));
    QVERIFY(sevenZip(path(QStringLiteral("large")), path(QStringLiteral("one-block.7z")), {QStringLiteral("-mx=1"), QStringLiteral("-mmt=1")}));
    QVERIFY(sevenZip(path(QStringLiteral("small")), path(QStringLiteral("default.7z")), {}));
    QVERIFY(sevenZip(path(QStringLiteral("small")), path(QStringLiteral("non-solid.7z")), {QStringLiteral("-ms=off")}));
}

void TestSevenZipIndex::readsTheToolsIndex()
{
    SevenZipIndex index;
    QVERIFY2(readIndex(path(QStringLiteral("default.7z")), &index), qPrintable(index.declineReason()));
    QCOMPARE(index.folders.size(), 1);
    QMap<QString, SevenZipIndex::Item> byName;
    for (const SevenZipIndex::Item &item : index.items)
        byName.insert(item.name, item);
    QCOMPARE(byName.value(QStringLiteral("bin/tool")).mode, quint32(S_IFREG | 0755));
    QCOMPARE(byName.value(QStringLiteral("bin/link")).mode & S_IFMT, quint32(S_IFLNK));
    QCOMPARE(byName.value(QStringLiteral("bin/link")).size, quint64(15));
    QVERIFY(byName.value(QStringLiteral("nothing/here")).isDirectory);
    QVERIFY(!byName.value(QStringLiteral("empty.txt")).hasStream);
    QVERIFY(!byName.value(QStringLiteral("empty.txt")).isDirectory);
    QVERIFY(byName.value(QStringLiteral("d0/text0.txt")).hasCrc);
    QVERIFY(byName.value(QStringLiteral("d0/text0.txt")).hasTime);

    SevenZipIndex blocks;
    QVERIFY(readIndex(path(QStringLiteral("blocks.7z")), &blocks));
    QFile file(path(QStringLiteral("blocks.7z")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(Lzma2Decoder(file.handle(), blocks.folders.at(0), 2).isParallel());
    QVERIFY(!Lzma2Decoder(file.handle(), blocks.folders.at(0), 1).isParallel());
    SevenZipIndex oneBlock;
    QVERIFY(readIndex(path(QStringLiteral("one-block.7z")), &oneBlock));
    QFile single(path(QStringLiteral("one-block.7z")));
    QVERIFY(single.open(QIODevice::ReadOnly));
    QVERIFY(!Lzma2Decoder(single.handle(), oneBlock.folders.at(0), 2).isParallel());
}

void TestSevenZipIndex::sameTreeAsTheGeneralReader_data()
{
    QTest::addColumn<QString>("packet");
    QTest::newRow("blocks on two threads") << QStringLiteral("blocks.7z");
    QTest::newRow("one block") << QStringLiteral("one-block.7z");
    QTest::newRow("default") << QStringLiteral("default.7z");
    QTest::newRow("a folder per file") << QStringLiteral("non-solid.7z");
}

void TestSevenZipIndex::sameTreeAsTheGeneralReader()
{
    QFETCH(QString, packet);
    SevenZipIndex index;
    QVERIFY(readIndex(path(packet), &index));
    const QString indexed = path(packet + QStringLiteral(".indexed"));
    const QString general = path(packet + QStringLiteral(".general"));
    QVERIFY2(extract(path(packet), indexed, true), qPrintable(Lib7z::lastError()));
    QVERIFY2(extract(path(packet), general, false), qPrintable(Lib7z::lastError()));
    const QStringList expected = describe(general);
    QVERIFY(expected.size() > 20);
    QCOMPARE(describe(indexed), expected);
}

void TestSevenZipIndex::declinesOtherShapes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("filter before LZMA2") << QStringList{QStringLiteral("-m0=BCJ"), QStringLiteral("-m1=LZMA2")};
    QTest::newRow("LZMA") << QStringList{QStringLiteral("-m0=LZMA")};
    QTest::newRow("stored") << QStringList{QStringLiteral("-mx=0")};
    QTest::newRow("bzip2") << QStringList{QStringLiteral("-m0=BZip2")};
    // Held to the size and memory caps without being refused.
    QTest::newRow("PPMd, largest model") << QStringList{QStringLiteral("-m0=PPMd"), QStringLiteral("-mx=9")};
    QTest::newRow("Deflate") << QStringList{QStringLiteral("-m0=Deflate")};
    QTest::newRow("encrypted") << QStringList{QStringLiteral("-psecret")};
    QTest::newRow("encrypted index") << QStringList{QStringLiteral("-psecret"), QStringLiteral("-mhe=on")};
}

// Such packets go to the general reader, which unpacks them or says why not.
void TestSevenZipIndex::declinesOtherShapes()
{
    QFETCH(QStringList, options);
    const QString packet = path(QStringLiteral("other-%1.7z").arg(QTest::currentDataTag()));
    QVERIFY(sevenZip(path(QStringLiteral("small")), packet, options));
    SevenZipIndex index;
    QVERIFY(!readIndex(packet, &index));
    QVERIFY(index.items.isEmpty());
    const bool encrypted = options.first().startsWith(QStringLiteral("-p"));
    QCOMPARE(extract(packet, path(QStringLiteral("other-out-%1").arg(QTest::currentDataTag())), true), !encrypted);

    SevenZipWriter writer;   // items stored as they are
    writer.add(SevenZipWriter::file(QStringLiteral("a.txt"), "a"));
    QVERIFY(writer.writeTo(path(QStringLiteral("copy.7z"))));
    QVERIFY(!readIndex(path(QStringLiteral("copy.7z")), &index));
    QVERIFY(!readIndex(path(QStringLiteral("small/d0/text0.txt")), &index));
}

void TestSevenZipIndex::damagedDataFails_data()
{
    QTest::addColumn<QString>("packet");
    QTest::addColumn<int>("percent");
    QTest::newRow("blocks, late") << QStringLiteral("blocks.7z") << 80;
    QTest::newRow("blocks, early") << QStringLiteral("blocks.7z") << 5;
    QTest::newRow("one block") << QStringLiteral("one-block.7z") << 50;
}

// A flipped byte in the packed data fails the extraction (data or digest
// error), never a crash or an item passed as whole.
void TestSevenZipIndex::damagedDataFails()
{
    QFETCH(QString, packet);
    QFETCH(int, percent);
    SevenZipIndex index;
    QVERIFY(readIndex(path(packet), &index));
    const SevenZipIndex::Folder folder = index.folders.at(0);
    QByteArray bytes = TestFiles::readFile(path(packet));
    for (qint64 at = folder.packOffset + folder.packSize * percent / 100, n = 0; n < 64; ++n)
        bytes[int(at + n * 97)] = char(bytes[int(at + n * 97)] ^ 0x5a);
    const QString damagedPacket = path(packet + QStringLiteral(".damaged-%1").arg(percent));
    QVERIFY(TestFiles::writeFile(damagedPacket, bytes));
    QVERIFY(!extract(damagedPacket, damagedPacket + QStringLiteral(".out"), true));
    QVERIFY2(Lib7z::lastError().startsWith(QStringLiteral("Could not extract ")), qPrintable(Lib7z::lastError()));
}

void TestSevenZipIndex::parallelFolderComesOutWhole_data()
{
    QTest::addColumn<quint64>("window");
    // Small windows make the workers wait for the reader and reuse the ring's slots.
    QTest::newRow("window of one job") << quint64(1);
    QTest::newRow("window of three jobs") << (quint64(3) << 20);
    QTest::newRow("window for the cores") << quint64(0);
}

// The blocks come out in folder order, each once, whatever the window.
void TestSevenZipIndex::parallelFolderComesOutWhole()
{
    QFETCH(quint64, window);
    SevenZipIndex index;
    QVERIFY(readIndex(path(QStringLiteral("blocks.7z")), &index));
    QFile file(path(QStringLiteral("blocks.7z")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const auto digest = [&file, &index](int threads, quint64 window) {
        Lzma2Decoder decoder(file.handle(), index.folders.at(0), threads, window);
        QCryptographicHash hash(QCryptographicHash::Md5);
        quint64 total = 0;
        const char *data = nullptr;
        size_t size = 0;
        int result;
        while ((result = decoder.next(&data, &size)) > 0) {
            hash.addData(data, int(size));
            total += size;
        }
        return result == 0 && total == index.folders.at(0).unpackSize && decoder.isParallel() == (threads > 1)
            ? hash.result() : QByteArray();
    };
    const QByteArray expected = digest(1, 0);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(digest(2, window), expected);
}

// With the window the decoder picks for the cores, the pool decodes the next
// blocks while the reader still holds one; a window of a single job would make
// decoding and writing take turns, leaving a core idle.
void TestSevenZipIndex::poolRunsAheadOfTheReader()
{
    SevenZipIndex index;
    QVERIFY(readIndex(path(QStringLiteral("blocks.7z")), &index));
    QFile file(path(QStringLiteral("blocks.7z")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    Lzma2Decoder decoder(file.handle(), index.folders.at(0), 2);
    const char *data = nullptr;
    size_t size = 0;
    QCOMPARE(decoder.next(&data, &size), 1);
    QTRY_VERIFY(decoder.decodedAhead() >= 2);
}

QTEST_GUILESS_MAIN(TestSevenZipIndex)
#include "tst_sevenzipindex.moc"
