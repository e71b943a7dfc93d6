#include "SevenZipIndex.h"
#include "SevenZipWriter.h"
#include "TestFiles.h"

#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using Lib7z::SevenZipIndex;

namespace {

QByteArray n(quint64 value)
{
    return SevenZipWriter::number(value);
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// Main streams of one folder of one LZMA2 coder over `packSize` packed bytes.
QByteArray oneLzma2Folder(quint64 packSize, quint64 unpackSize)
{
    return bytes({0x04, 0x06, 0x00, 0x01, 0x09}) + n(packSize) + bytes({0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x21, 0x21, 0x01, 0x10, 0x0C})
        + n(unpackSize) + bytes({0x00});
}

// Main streams of one folder of `coders` (their count first) over `streams` packed
// streams of one byte each, claiming to unpack to `unpackSize` bytes.
QByteArray oneFolder(const QByteArray &coders, int streams, quint64 unpackSize)
{
    return bytes({0x04, 0x06, 0x00}) + n(streams) + bytes({0x09}) + QByteArray(streams, '\x01')
        + bytes({0x00, 0x07, 0x0B, 0x01, 0x00}) + coders + bytes({0x0C}) + n(unpackSize) + bytes({0x00});
}

// A files part claiming `count` items, followed by `rest`.
QByteArray items(quint64 count, const QByteArray &rest = QByteArray(1, '\0'))
{
    return bytes({0x05}) + n(count) + rest;
}

// `count` folders claimed in front of a few real coder bytes: the shape on which the
// general reader reserves memory for every claimed folder before it reads one.
QByteArray folders(quint64 count)
{
    return bytes({0x04, 0x06, 0x00, 0x01, 0x09, 0x01, 0x00, 0x07, 0x0B}) + n(count)
        + bytes({0x00, 0x01, 0x21, 0x21, 0x01, 0x10, 0x01, 0x21, 0x21, 0x01, 0x10, 0x0C, 0x01, 0x01, 0x00, 0x00});
}

QByteArray index(const QByteArray &body)
{
    return bytes({0x01}) + body + bytes({0x00});
}

struct Outcome
{
    int exitCode = -1;
    QByteArray line;       // "OK <KB>", "FAIL <KB> <error>" or "OVER <KB>"
    QByteArray log;
    long grownKilobytes() const { return line.split(' ').value(1).toLong(); }
};

// Unpacks the packet in extract_child (or only reads its index), which reports
// how far its peak memory grew.
Outcome extractInChild(const QString &packet, const QString &target, bool indexOnly = false)
{
    QProcess child;
    // The sanitizer's quarantine holds freed blocks (256 MB by default); it would
    // count as memory the extraction keeps.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":quarantine_size_mb=8"));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral(EXTRACT_CHILD), indexOnly ? QStringList{packet, target, QStringLiteral("index")} : QStringList{packet, target});
    Outcome outcome;
    if (!child.waitForFinished(300000))
        return outcome;
    outcome.exitCode = child.exitCode();
    outcome.line = child.readAllStandardOutput().trimmed();
    outcome.log = child.readAllStandardError();
    return outcome;
}

SevenZipIndex::Outcome readIndex(const QByteArray &packet)
{
    QBuffer buffer;
    buffer.setData(packet);
    buffer.open(QIODevice::ReadOnly);
    SevenZipIndex index;
    index.read(&buffer);
    return index.outcome();
}

// Far below the 256 MB the index reader allowed itself before, and above what
// the child's start-up and a refusal take under the sanitizers.
const long memoryBoundKilobytes = 64 * 1024;

} // namespace

class TestPacketLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void absurdPacketsAreRefused_data();
    void absurdPacketsAreRefused();
    void legalPacketsAreNotRefused_data();
    void legalPacketsAreNotRefused();

private:
    QTemporaryDir dir;
};

void TestPacketLimits::initTestCase()
{
    QVERIFY(dir.isValid());
}

void TestPacketLimits::absurdPacketsAreRefused_data()
{
    QTest::addColumn<QByteArray>("packet");
    const quint64 huge = quint64(1) << 31;
    for (bool packed : {false, true}) {
        const char *how = packed ? "packed" : "plain";
        QTest::addRow("%s index: 2^31 items", how) << SevenZipWriter::packet({}, index(items(huge)), packed);
        QTest::addRow("%s index: 10^8 - 1 items", how) << SevenZipWriter::packet({}, index(items(99999999)), packed);
        QTest::addRow("%s index: 2^30 items with all times", how)
            << SevenZipWriter::packet({}, index(items(huge / 2, bytes({0x14, 0x02, 0x01, 0x00, 0x00}))), packed);
        QTest::addRow("%s index: 2^31 folders", how) << SevenZipWriter::packet("x", index(folders(huge)), packed);
        QTest::addRow("%s index: 10^8 - 1 folders", how) << SevenZipWriter::packet("x", index(folders(99999999)), packed);
        QTest::addRow("%s index: 2^31 - 1 streams in a folder", how)
            << SevenZipWriter::packet("x", index(oneLzma2Folder(1, 1) + bytes({0x08, 0x0D}) + n(huge - 1) + bytes({0x09, 0x01, 0x00, 0x00})), packed);
        QTest::addRow("%s index: 10^6 streams in a folder", how)
            << SevenZipWriter::packet("x", index(oneLzma2Folder(1, 1) + bytes({0x08, 0x0D}) + n(1000000) + bytes({0x09, 0x01, 0x00, 0x00})), packed);
        QTest::addRow("%s index: names of 2^40 bytes", how)
            << SevenZipWriter::packet({}, index(items(1, bytes({0x11}) + n(quint64(1) << 40) + bytes({0x00, 0x61, 0x00, 0x00, 0x00, 0x00}))), packed);
        QTest::addRow("%s index: packed size beyond the file", how)
            << SevenZipWriter::packet("x", index(oneLzma2Folder(quint64(1) << 40, 1)), packed);
        QTest::addRow("%s index: a byte of LZMA2 unpacking to 2^40 bytes", how)
            << SevenZipWriter::packet("x", index(oneLzma2Folder(1, quint64(1) << 40) + bytes({0x00}) + items(1, bytes({0x11, 0x05, 0x00, 0x61, 0x00, 0x00, 0x00, 0x00}))), packed);
        // Every method's folder is held to what its packed bytes can hold, as LZMA2's is.
        const QByteArray oneItem = bytes({0x00}) + items(1, bytes({0x11, 0x05, 0x00, 0x61, 0x00, 0x00, 0x00, 0x00}));
        const QList<QPair<const char *, QByteArray>> methods{
            {"stored", bytes({0x01, 0x01, 0x00})},
            {"PPMd", bytes({0x01, 0x23, 0x03, 0x04, 0x01, 0x05, 0x06, 0x00, 0x00, 0x00, 0x01})},
            {"BZip2", bytes({0x01, 0x03, 0x04, 0x02, 0x02})},
            {"Deflate", bytes({0x01, 0x03, 0x04, 0x01, 0x08})}};
        for (const auto &method : methods)
            QTest::addRow("%s index: a byte of %s unpacking to 2^40 bytes", how, method.first)
                << SevenZipWriter::packet("x", index(oneFolder(method.second, 1, quint64(1) << 40) + oneItem), packed);
        // BCJ2 alone: four packed streams into one.
        QTest::addRow("%s index: four bytes of BCJ2 unpacking to 2^40 bytes", how)
            << SevenZipWriter::packet("wxyz", index(oneFolder(bytes({0x01, 0x14, 0x03, 0x03, 0x01, 0x1B, 0x04, 0x01, 0x00, 0x01, 0x02, 0x03}), 4,
                                                              quint64(1) << 40) + oneItem), packed);
        QTest::addRow("%s index: a PPMd model of 4 GB for one byte", how)
            << SevenZipWriter::packet("x", index(oneFolder(bytes({0x01, 0x23, 0x03, 0x04, 0x01, 0x05, 0x06, 0x00, 0x00, 0x00, 0xF0}), 1, 1) + oneItem), packed);
    }
    // 8 MB of index packed into some 1 KB: far beyond what index data packs to.
    QTest::newRow("packed index expanding 8000 times") << SevenZipWriter::packet({}, index(QByteArray(8 << 20, '\0')), true);
    QTest::newRow("index beyond the end of the file")
        << SevenZipWriter::packet({}, index(items(1)), false).left(34);
    // The general reader looks for packets inside self-extracting programs.
    QTest::newRow("self-extracting program around an absurd packet")
        << QByteArray("MZ") + QByteArray(0x27000, '\0') + SevenZipWriter::packet("x", index(folders(99999999)), false);
}

// Such packets are refused by the index reader and never handed to the general
// one; either reader would otherwise reserve memory for what they claim.
void TestPacketLimits::absurdPacketsAreRefused()
{
    QFETCH(QByteArray, packet);
    QCOMPARE(readIndex(packet), SevenZipIndex::Refused);

    const QString path = dir.filePath(QStringLiteral("absurd-%1.7z").arg(QTest::currentDataTag()));
    QVERIFY(TestFiles::writeFile(path, packet));
    const Outcome outcome = extractInChild(path, dir.filePath(QStringLiteral("absurd-out")));
    QVERIFY2(outcome.line.startsWith("FAIL "), outcome.line.constData());
    QVERIFY2(outcome.log.contains("Refused packet " + path.toUtf8() + ": "), outcome.log.constData());
    QVERIFY2(outcome.grownKilobytes() < memoryBoundKilobytes, outcome.line.constData());
}

void TestPacketLimits::legalPacketsAreNotRefused_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("large");   // its index is read, not unpacked (100,000 files take minutes under the sanitizers)
    SevenZipWriter nothing;
    QTest::newRow("no items") << nothing.archive() << false;
    SevenZipWriter empties;
    empties.add(SevenZipWriter::folder(QStringLiteral("a")));
    empties.add(SevenZipWriter::file(QStringLiteral("a/empty"), {}));
    QTest::newRow("only an empty folder and an empty file") << empties.archive() << false;
    SevenZipWriter many;
    many.setMethod(SevenZipWriter::Lzma2);
    for (int i = 0; i < 100000; ++i)
        many.add(SevenZipWriter::file(QStringLiteral("Contents/Resources/Generated/Headers/empty_header_%1.h").arg(i, 6, 10, QLatin1Char('0')), {}));
    QTest::newRow("100,000 empty items, plain index") << many.archive() << true;
    many.setPackedIndex(true);
    QTest::newRow("100,000 empty items, packed index") << many.archive() << true;
}

// Legal packets of unusual proportions are read or declined, never refused, and
// unpack with bounded memory.
void TestPacketLimits::legalPacketsAreNotRefused()
{
    QFETCH(QByteArray, packet);
    QFETCH(bool, large);
    const QString path = dir.filePath(QStringLiteral("legal-%1.7z").arg(QTest::currentDataTag()));
    QVERIFY(TestFiles::writeFile(path, packet));
    const Outcome outcome = extractInChild(path, dir.filePath(QStringLiteral("legal-out-%1").arg(QTest::currentDataTag())), large);
    QVERIFY2(outcome.line.startsWith(large ? "READ " : "OK "), outcome.line.constData());
    // 100,000 items of long names truly hold some 30 MB: the names, the items and
    // the index, doubled by the sanitizer's red zones (measured: 77 to 91 MB).
    QVERIFY2(outcome.grownKilobytes() < (large ? 2 * memoryBoundKilobytes : memoryBoundKilobytes), outcome.line.constData());
}

QTEST_GUILESS_MAIN(TestPacketLimits)
#include "tst_packetlimits.moc"
