#include "Lib7z.h"
#include "MessageCapture.h"
#include "SevenZipIndex.h"
#include "SevenZipWriter.h"
#include "Uncompress.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::readFile;
using TestFiles::writeFile;
using TestFiles::linkText;
using TestFiles::modeOf;
using TestFiles::sevenZip;

namespace {

struct Outcome
{
    bool ok = false;
    int emitted = 0;
    QStringList topLevel;
};

} // namespace

class TestUncompress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ::umask(022);
        // The suite runs once per reader: the packet's own index, and the general one.
        m_indexed = !qEnvironmentVariableIsSet("TST_GENERAL_READER");
        Lib7z::setIndexedReaderEnabled(m_indexed);
    }
    void init();

    void unpacksNestedItemsIntoMissingTarget();
    void restoresModesLinksAndTimes();
    void backslashBecomesFolder();
    void overwritesFilesAndReplacesLinks();
    void itemWithoutUnixModeKeepsCreationMode();
    void damagedItemsFailTheExtraction_data();
    void damagedItemsFailTheExtraction();
    void itemWithoutTimeFails();
    void unopenablePacketFails();
    void emptyArchiveCreatesOnlyTheParent();
    void failedFirstItemRemovesCreatedFolders();
    void failedNestedItemKeepsOuterFolders();
    void refusesItemsLeavingTheTarget_data();
    void refusesItemsLeavingTheTarget();
    void folderItemOverALinkTouchesNothingOutside_data();
    void folderItemOverALinkTouchesNothingOutside();
    void refusesEncryptedItems();
    void initTwiceAndSecondExtractionFromOneDevice();

private:
    QString path(const QString &rel) const { return m_dir->path() + QLatin1Char('/') + rel; }
    Outcome unpack(const QString &packet, const QString &target);
    bool write(SevenZipWriter writer, const QString &packet) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    bool m_indexed = true;
};

void TestUncompress::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    Lib7z::setLastError(QString());
}

Outcome TestUncompress::unpack(const QString &packet, const QString &target)
{
    Uncompress uncompress;
    uncompress.packetPath = packet;
    uncompress.outputDirectory = target;
    QSignalSpy ok(&uncompress, &Uncompress::UncompressPacketOKSignal);
    QSignalSpy fail(&uncompress, &Uncompress::UncompressPacketFailSignal);
    uncompress.UncompressPacket();
    return {ok.count() == 1 && fail.count() == 0, ok.count() + fail.count(), uncompress.topLevelEntries};
}

// Writes a hand-made packet for this run's reader: packed with LZMA2 for the
// packet's own index, which must then take it rather than hand it on; stored for
// the general reader.
bool TestUncompress::write(SevenZipWriter writer, const QString &packet) const
{
    writer.setMethod(m_indexed ? SevenZipWriter::Lzma2 : SevenZipWriter::Copy);
    if (!writer.writeTo(packet))
        return false;
    QFile file(packet);
    Lib7z::SevenZipIndex index;
    if (!m_indexed || (file.open(QIODevice::ReadOnly) && index.read(&file)))
        return true;
    qWarning("the index reader declines %s: %s", qPrintable(packet), qPrintable(index.declineReason()));
    return false;
}

void TestUncompress::unpacksNestedItemsIntoMissingTarget()
{
    writeFile(path("src/a/b/c.txt"), "hello");
    writeFile(path("src/a/d.txt"), "d");
    writeFile(path("src/e.txt"), "e");
    QVERIFY(sevenZip(path("src"), path("p.7z")));
    const Outcome outcome = unpack(path("p.7z"), path("new/target"));
    QVERIFY2(outcome.ok, qPrintable(Lib7z::lastError()));
    QCOMPARE(outcome.emitted, 1);
    QCOMPARE(readFile(path("new/target/a/b/c.txt")), QByteArray("hello"));
    // Each top-level name once, whatever number of items lie below it.
    QStringList topLevel = outcome.topLevel;
    topLevel.sort();
    QCOMPARE(topLevel, QStringList({"a", "e.txt"}));
}

void TestUncompress::restoresModesLinksAndTimes()
{
    writeFile(path("src/Contents/MacOS/Veltora"), "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(path("src/Contents/MacOS/Veltora"), QFileDevice::Permissions(0x7555)));
    writeFile(path("src/Contents/lib/x.dylib"), "lib");
    QVERIFY(QDir().mkpath(path("src/Contents/MacOS/sub")));
    QVERIFY(::symlink("../lib/x.dylib", QFile::encodeName(path("src/Contents/MacOS/x.dylib")).constData()) == 0);
    QVERIFY(::symlink("5", QFile::encodeName(path("src/Contents/Current")).constData()) == 0);
    const QDateTime stamp(QDate(2020, 1, 2), QTime(3, 4, 5));
    QFile stamped(path("src/Contents/lib/x.dylib"));
    QVERIFY(stamped.open(QIODevice::ReadWrite) && stamped.setFileTime(stamp, QFileDevice::FileModificationTime));
    stamped.close();
    QVERIFY(sevenZip(path("src"), path("p.7z")));

    QVERIFY2(unpack(path("p.7z"), path("out")).ok, qPrintable(Lib7z::lastError()));
    QCOMPARE(modeOf(path("out/Contents/MacOS/Veltora")), mode_t(0755));
    QCOMPARE(linkText(path("out/Contents/MacOS/x.dylib")), QStringLiteral("../lib/x.dylib"));
    QCOMPARE(readFile(path("out/Contents/MacOS/x.dylib")), QByteArray("lib"));
    QCOMPARE(linkText(path("out/Contents/Current")), QStringLiteral("5"));
    QCOMPARE(QFileInfo(path("out/Contents/lib/x.dylib")).lastModified(), stamp);
    QVERIFY(QFileInfo(path("out/Contents/MacOS/sub")).isDir());
}

void TestUncompress::backslashBecomesFolder()
{
    SevenZipWriter writer;
    writer.add(SevenZipWriter::file("a\\b.txt", "backslashed"));
    QVERIFY(write(writer, path("p.7z")));
    QVERIFY2(unpack(path("p.7z"), path("out")).ok, qPrintable(Lib7z::lastError()));
    QCOMPARE(readFile(path("out/a/b.txt")), QByteArray("backslashed"));
}

void TestUncompress::overwritesFilesAndReplacesLinks()
{
    writeFile(path("out/f.txt"), "a much longer old content");
    writeFile(path("elsewhere"), "must stay");
    QVERIFY(::symlink(QFile::encodeName(path("elsewhere")).constData(), QFile::encodeName(path("out/g.txt")).constData()) == 0);
    writeFile(path("out/h"), "a file where a link goes");
    SevenZipWriter writer;
    writer.add(SevenZipWriter::file("f.txt", "new"));
    writer.add(SevenZipWriter::file("g.txt", "regular now"));
    writer.add(SevenZipWriter::link("h", "f.txt"));
    QVERIFY(write(writer, path("p.7z")));

    QVERIFY2(unpack(path("p.7z"), path("out")).ok, qPrintable(Lib7z::lastError()));
    QCOMPARE(readFile(path("out/f.txt")), QByteArray("new"));
    QVERIFY(!QFileInfo(path("out/g.txt")).isSymLink());
    QCOMPARE(readFile(path("out/g.txt")), QByteArray("regular now"));
    QCOMPARE(readFile(path("elsewhere")), QByteArray("must stay"));
    QCOMPARE(linkText(path("out/h")), QStringLiteral("f.txt"));
}

void TestUncompress::itemWithoutUnixModeKeepsCreationMode()
{
    SevenZipWriter writer;
    SevenZipWriter::Item plain = SevenZipWriter::file("plain", "x", 0700);
    plain.unixMode = false;
    writer.add(plain);
    writer.add(SevenZipWriter::file("tool", "y", 0750));
    QVERIFY(write(writer, path("p.7z")));
    QVERIFY2(unpack(path("p.7z"), path("out")).ok, qPrintable(Lib7z::lastError()));
    QCOMPARE(modeOf(path("out/plain")), mode_t(0644));
    QCOMPARE(modeOf(path("out/tool")), mode_t(0750));
}

void TestUncompress::damagedItemsFailTheExtraction_data()
{
    QTest::addColumn<bool>("ownWriter");
    QTest::newRow("wrong checksum (own writer)") << true;
    QTest::newRow("flipped byte (7z tool)") << false;
}

void TestUncompress::damagedItemsFailTheExtraction()
{
    QFETCH(bool, ownWriter);
    if (ownWriter) {
        SevenZipWriter writer;
        writer.add(SevenZipWriter::file("good.txt", "fine"));
        SevenZipWriter::Item bad = SevenZipWriter::file("bad.txt", "damaged content");
        bad.badChecksum = true;
        writer.add(bad);
        QVERIFY(write(writer, path("p.7z")));
    } else {
        writeFile(path("src/bad.txt"), "damaged content damaged content");
        QVERIFY(sevenZip(path("src"), path("p.7z"), {QStringLiteral("-mx=0")}));
        QByteArray data = readFile(path("p.7z"));
        const int at = data.indexOf("damaged");
        QVERIFY(at > 0);
        data[at] = 'D';
        writeFile(path("p.7z"), data);
    }
    const Outcome outcome = unpack(path("p.7z"), path("out"));
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.emitted, 1);
    QVERIFY2(Lib7z::lastError().startsWith(QStringLiteral("Could not extract %1: ").arg(path("out/bad.txt"))),
             qPrintable(Lib7z::lastError()));
}

void TestUncompress::itemWithoutTimeFails()
{
    SevenZipWriter writer;
    SevenZipWriter::Item timeless = SevenZipWriter::file("t.txt", "no time");
    timeless.hasTime = false;
    writer.add(timeless);
    QVERIFY(write(writer, path("p.7z")));
    QVERIFY(!unpack(path("p.7z"), path("out")).ok);
    QCOMPARE(Lib7z::lastError(), QStringLiteral("Property 12 for item 0 not of type VT_FILETIME but 0"));
}

void TestUncompress::unopenablePacketFails()
{
    Outcome outcome = unpack(path("missing.7z"), path("out"));
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.emitted, 1);
    QCOMPARE(Lib7z::lastError(), QStringLiteral("Could not open archive"));
    writeFile(path("not.7z"), "plain text, no archive");
    outcome = unpack(path("not.7z"), path("out"));
    QVERIFY(!outcome.ok);
    QVERIFY(!QFileInfo::exists(path("out")));
}

void TestUncompress::emptyArchiveCreatesOnlyTheParent()
{
    QVERIFY(SevenZipWriter().writeTo(path("p.7z")));
    QVERIFY2(unpack(path("p.7z"), path("parent/target")).ok, qPrintable(Lib7z::lastError()));
    QVERIFY(QFileInfo(path("parent")).isDir());
    QVERIFY(!QFileInfo::exists(path("parent/target")));
}

void TestUncompress::failedFirstItemRemovesCreatedFolders()
{
    // A name longer than the system allows cannot be opened, even by root.
    SevenZipWriter writer;
    writer.add(SevenZipWriter::file(QString(300, QLatin1Char('x')), "data"));
    QVERIFY(write(writer, path("p.7z")));
    QVERIFY(!unpack(path("p.7z"), path("parent/target")).ok);
    QVERIFY2(Lib7z::lastError().startsWith(QStringLiteral("Could not open file: ")), qPrintable(Lib7z::lastError()));
    QVERIFY(!QFileInfo::exists(path("parent")));
}

void TestUncompress::failedNestedItemKeepsOuterFolders()
{
    SevenZipWriter writer;
    writer.add(SevenZipWriter::file(QStringLiteral("a/b/") + QString(300, QLatin1Char('x')), "data"));
    QVERIFY(write(writer, path("p.7z")));
    MessageCapture log;
    QVERIFY(!unpack(path("p.7z"), path("parent/target")).ok);
    QVERIFY(!QFileInfo::exists(path("parent/target/a/b")));
    QVERIFY(QFileInfo(path("parent/target/a")).isDir());
    QVERIFY(log.contains(QStringLiteral("Could not delete directory  \"%1\"").arg(path("parent"))));
}

void TestUncompress::refusesItemsLeavingTheTarget_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("linkFirst");
    QTest::newRow("absolute path") << QStringList{"%OUTSIDE%/evil"} << false;
    QTest::newRow("parent component") << QStringList{"../outside/evil"} << false;
    QTest::newRow("parent component after backslash") << QStringList{"a\\..\\..\\outside\\evil"} << false;
    QTest::newRow("through a link item") << QStringList{"a/evil"} << true;
    QTest::newRow("through a nested link item") << QStringList{"a/deeper/evil"} << true;
    // Items went through "l" while it led inside; a folder reached through a link
    // is not taken for a real one later.
    QTest::newRow("through a link that led inside before") << QStringList{"d/a", "l -> d", "l/b", "l", "l -> %OUTSIDE%", "l/evil"} << false;
}

void TestUncompress::refusesItemsLeavingTheTarget()
{
    QFETCH(QStringList, names);
    QFETCH(bool, linkFirst);
    QVERIFY(QDir().mkpath(path("outside")));
    SevenZipWriter writer;
    if (linkFirst)
        writer.add(SevenZipWriter::link("a", QFile::encodeName(path("outside"))));
    for (QString name : names) {
        name.replace("%OUTSIDE%", path("outside"));
        const int arrow = name.indexOf(" -> ");   // a link item
        if (arrow > 0)
            writer.add(SevenZipWriter::link(name.left(arrow), QFile::encodeName(name.mid(arrow + 4))));
        else
            writer.add(SevenZipWriter::file(name, "evil"));
    }
    QVERIFY(write(writer, path("p.7z")));
    QVERIFY(!unpack(path("p.7z"), path("out")).ok);
    QVERIFY2(Lib7z::lastError().startsWith(QStringLiteral("Refusing archive item")), qPrintable(Lib7z::lastError()));
    QCOMPARE(QDir(path("outside")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestUncompress::folderItemOverALinkTouchesNothingOutside_data()
{
    QTest::addColumn<quint32>("mode");
    QTest::newRow("world-writable") << quint32(0666);
    QTest::newRow("locked") << quint32(0000);
}

void TestUncompress::folderItemOverALinkTouchesNothingOutside()
{
    QFETCH(quint32, mode);
    // A link item, then a folder item of the same name with a mode and a time.
    writeFile(path("home/notes.txt"), "the user's file");
    QVERIFY(QFile::setPermissions(path("home/notes.txt"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QDateTime before = QFileInfo(path("home/notes.txt")).lastModified();
    SevenZipWriter writer;
    writer.add(SevenZipWriter::link("x", QFile::encodeName(path("home/notes.txt"))));
    writer.add(SevenZipWriter::folder("x", mode));
    QVERIFY(writer.writeTo(path("p.7z")));
    QVERIFY(!unpack(path("p.7z"), path("out")).ok);
    QVERIFY2(Lib7z::lastError().startsWith(QStringLiteral("Refusing archive item")), qPrintable(Lib7z::lastError()));
    QCOMPARE(modeOf(path("home/notes.txt")), mode_t(0600));
    QCOMPARE(QFileInfo(path("home/notes.txt")).lastModified(), before);
}

void TestUncompress::refusesEncryptedItems()
{
    writeFile(path("src/secret.txt"), "secret");
    QVERIFY(sevenZip(path("src"), path("p.7z"), {QStringLiteral("-psecret")}));
    QVERIFY(!unpack(path("p.7z"), path("out")).ok);
    QCOMPARE(Lib7z::lastError(),
             QStringLiteral("Could not extract %1: encrypted items are not supported").arg(path("out/secret.txt")));
    QVERIFY(!QFileInfo::exists(path("out/secret.txt")));
}

void TestUncompress::initTwiceAndSecondExtractionFromOneDevice()
{
    Lib7z::init();
    Lib7z::init();
    QCOMPARE(Lib7z::registeredFormats(), QStringList{"7z"});

    SevenZipWriter writer;
    writer.add(SevenZipWriter::folder("dir"));
    writer.add(SevenZipWriter::file("dir/f", "content"));
    writer.add(SevenZipWriter::file("empty", QByteArray()));
    QVERIFY(write(writer, path("p.7z")));
    QFile file(path("p.7z"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(Lib7z::extractArchive(&file, path("one")));
    QVERIFY(Lib7z::extractArchive(&file, path("two")));
    QCOMPARE(readFile(path("two/dir/f")), QByteArray("content"));
    QCOMPARE(readFile(path("two/empty")), QByteArray());
}

QTEST_GUILESS_MAIN(TestUncompress)
#include "tst_uncompress.moc"
