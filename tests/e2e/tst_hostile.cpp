// Hostile releases: manifests and packets as someone on the way could rewrite them,
// each run through the real updater and setup program on an installed bundle with a
// decoy folder of the user's beside it. Whatever the input, nothing outside the bundle
// and the update folder changes, and the run either ends on its failure road or
// installs what is legal.
#include "BundleSnapshot.h"
#include "bsdiff.h"
#include "FileUtils.h"
#include "SevenZipWriter.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "UpdateSite.h"
#include "WholeUpdate.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QtTest>

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

using BundleSnapshot::run;
using BundleSnapshot::stateOf;
using BundleSnapshot::treeOf;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

// "@DECOY@" in any text of a row stands for the decoy folder, "@BUNDLE@" for the installed bundle.
struct Hostile
{
    // The partial packet's bytes, or empty for the genuine packets.
    std::function<QByteArray(const QString &decoy)> packet;
    // Appended to the genuine manifest's lists ("delete", "add"); a "patch" object
    // replaces its patch list. With a packet of its own the patch list is empty.
    QJsonObject modify;
    std::function<void(const QString &install, const QString &decoy)> prepare;
};

// Refused: the updater ends on its failure message. Kept: the setup program refuses or
// restores, so the bundle stays as it was. Installed: what the manifest names is in place.
enum class Outcome { Installed, Kept, Refused };

const QString packetFolder = QStringLiteral("partial-1.0/");

QByteArray packetOf(const QList<SevenZipWriter::Item> &items)
{
    SevenZipWriter writer;
    for (const SevenZipWriter::Item &item : items)
        writer.add(item);
    return writer.archive();
}

QByteArray decoyPath(const QString &decoy, const char *below)
{
    return QFile::encodeName(decoy + QLatin1Char('/') + QLatin1String(below));
}

QByteArray patchOf(const QByteArray &from, const QByteArray &to)
{
    const std::vector<uint8_t> patch = Bsdiff::makePatch(reinterpret_cast<const uint8_t *>(from.constData()), size_t(from.size()),
                                                         reinterpret_cast<const uint8_t *>(to.constData()), size_t(to.size()));
    return QByteArray(reinterpret_cast<const char *>(patch.data()), int(patch.size()));
}

// A 7z file whose index is packed with LZMA2 and, unpacked, claims `items` items in a
// few bytes: what a reader must refuse before it sizes anything by that count.
QByteArray packedIndexClaiming(quint64 items)
{
    auto number = [](QByteArray &out, quint64 value) {
        out.append(char(0xFF));
        for (int i = 0; i < 8; ++i)
            out.append(char((value >> (8 * i)) & 0xff));
    };
    auto little = [](QByteArray &out, quint64 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.append(char((value >> (8 * i)) & 0xff));
    };
    QByteArray index("\x01\x05", 2); // header, files info
    number(index, items);
    index.append("\x00\x00", 2);

    lzma_options_lzma options;
    lzma_lzma_preset(&options, 1);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    QByteArray packed(4096, '\0');
    size_t packedSize = 0;
    lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t *>(index.constData()), size_t(index.size()),
                           reinterpret_cast<uint8_t *>(packed.data()), &packedSize, size_t(packed.size()));
    packed.truncate(int(packedSize));

    QByteArray header("\x17\x06", 2); // encoded header, pack info
    header.append(char(0)); // from the first byte after the start header
    header.append(char(1)); // one packed stream
    header.append(char(0x09));
    number(header, quint64(packed.size()));
    header.append(char(0x00));
    header.append("\x07\x0B\x01\x00\x01\x21\x21\x01", 8); // one folder: LZMA2 with one byte of properties
    header.append(char(0x10));                           // a 1 MB dictionary
    header.append(char(0x0C));
    number(header, quint64(index.size()));
    header.append("\x00\x00", 2);

    QByteArray start;
    little(start, quint64(packed.size()), 8);
    little(start, quint64(header.size()), 8);
    little(start, lzma_crc32(reinterpret_cast<const uint8_t *>(header.constData()), size_t(header.size()), 0), 4);
    QByteArray out("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    little(out, lzma_crc32(reinterpret_cast<const uint8_t *>(start.constData()), size_t(start.size()), 0), 4);
    return out + start + packed + header;
}

} // namespace

Q_DECLARE_METATYPE(Hostile)
Q_DECLARE_METATYPE(Outcome)

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nothingOutsideTheBundleChanges_data();
    void nothingOutsideTheBundleChanges();

private:
    QString url(const QString &path) const { return m_site.url(path); }
    // Files, a folder and a program of the user's, with times in the past.
    static void makeDecoy(const QString &decoy);
    // The row's manifest (and packet) under www/<row>; returns the manifest's address.
    QString publish(const QString &row, const Hostile &hostile, const QString &decoy, const QString &install);

    QString m_old;
    QString m_new;
    QJsonObject m_manifest;
    UpdateSite m_site;
};

void TestHostile::initTestCase()
{
    VELTORA_START_UPDATE_SITE(m_site, APP_OLD, APP_NEW);
    QString output;
    const QString work = m_site.work();
    m_old = m_site.oldBundle();
    m_new = m_site.newBundle();
    writeFile(m_old + "/Contents/Resources/removed.txt", "only in 1.0");
    writeFile(m_new + "/Contents/Resources/added.txt", "only in 2.0");
    writeFile(work + "/Veltora-2.0.dmg", "the disk image of 2.0");
    QVERIFY2(run(RELEASE_TOOL, {"--new", m_new, "--old", "1.0=" + m_old, "--base-url", url("/genuine"), "--out",
                                work + "/www/genuine", "--installer", work + "/Veltora-2.0.dmg"},
                 &output),
             qPrintable(output));
    m_manifest = QJsonDocument::fromJson(readFile(work + "/www/genuine/update.json")).object();
    QVERIFY(!m_manifest.isEmpty());
}

void TestHostile::cleanupTestCase()
{
    m_site.stop();
}

void TestHostile::makeDecoy(const QString &decoy)
{
    QVERIFY(writeFile(decoy + "/secret.txt", "the user's own"));
    QVERIFY(writeFile(decoy + "/docs/note.txt", "a note"));
    QVERIFY(writeFile(decoy + "/bin/tool", "#!/bin/sh\n"));
    QVERIFY(writeFile(decoy + "/docs/draft.patch", "the staging's clean-up removes files named so"));
    ::chmod(decoyPath(decoy, "secret.txt"), 0600);
    ::chmod(decoyPath(decoy, "bin/tool"), 0750);
    for (const char *entry : {"secret.txt", "docs/note.txt", "docs/draft.patch", "bin/tool", "docs", "bin", ""}) {
        const struct timespec past[2] = {{1600000000, 0}, {1600000000, 0}};
        ::utimensat(AT_FDCWD, decoyPath(decoy, entry), past, AT_SYMLINK_NOFOLLOW);
    }
}

QString TestHostile::publish(const QString &row, const Hostile &hostile, const QString &decoy, const QString &install)
{
    const QString folder = QString::number(qHash(row));
    const QString www = m_site.www() + "/" + folder;
    QJsonObject mac = m_manifest.value("mac").toObject();
    QJsonObject partial = mac.value("partialPacket").toObject();
    QJsonObject entry = partial.value("1.0").toObject();
    QJsonObject modify = entry.value("modify").toObject();
    if (hostile.packet) {
        const QByteArray packet = hostile.packet(decoy);
        writeFile(www + "/partial-1.0.pkt", packet);
        entry.insert("partialPacketUrl", url("/" + folder + "/partial-1.0.pkt"));
        entry.insert("partialPacketMd5", QString::fromLatin1(getLocalFileMd5Value(www + "/partial-1.0.pkt")));
        modify.insert("patch", QJsonObject());
    }
    for (auto it = hostile.modify.constBegin(); it != hostile.modify.constEnd(); ++it) {
        if (it.value().isArray()) {
            QJsonArray list = modify.value(it.key()).toArray();
            for (const QJsonValue &value : it.value().toArray())
                list.append(value);
            modify.insert(it.key(), list);
        } else {
            modify.insert(it.key(), it.value());
        }
    }
    entry.insert("modify", modify);
    partial.insert("1.0", entry);
    mac.insert("partialPacket", partial);
    QJsonObject manifest = m_manifest;
    manifest.insert("mac", mac);
    const QByteArray text = QJsonDocument(manifest).toJson()
                                .replace("@DECOY@", QFile::encodeName(decoy))
                                .replace("@BUNDLE@", QFile::encodeName(install));
    writeFile(www + "/update.json", text);
    return url("/" + folder + "/update.json");
}

void TestHostile::nothingOutsideTheBundleChanges_data()
{
    using Item = SevenZipWriter; // its factory functions
    QTest::addColumn<Hostile>("hostile");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("logLine");

    auto packet = [](std::function<QList<SevenZipWriter::Item>(const QByteArray &decoy)> items) {
        return [items](const QString &decoy) { return packetOf(items(QFile::encodeName(decoy))); };
    };
    auto array = [](const QStringList &entries) { return QJsonArray::fromStringList(entries); };

    // Packet items that leave the target, or reach through a link the packet laid.
    QTest::newRow("folder item with a mode over a link") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link(packetFolder + "Contents/Resources/x", decoy + "/secret.txt"),
                                           Item::folder(packetFolder + "Contents/Resources/x", 0666)};
    }), {}, {}} << Outcome::Refused << "Refusing archive item";
    QTest::newRow("file item through a link to outside") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link(packetFolder + "Contents/Resources/x", decoy),
                                           Item::file(packetFolder + "Contents/Resources/x/secret.txt", "taken")};
    }), {}, {}} << Outcome::Refused << "Refusing archive item";
    QTest::newRow("item with ..") << Hostile{packet([](const QByteArray &) {
        return QList<SevenZipWriter::Item>{Item::file(packetFolder + "../../../../../decoy/secret.txt", "taken")};
    }), {}, {}} << Outcome::Refused << "leads outside the target directory";
    QTest::newRow("absolute item") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::file(QString::fromLocal8Bit(decoy) + "/secret.txt", "taken")};
    }), {}, {}} << Outcome::Refused << "leads outside the target directory";
    // The staging folder itself a link: the hand-off's clean-up and the install would act
    // on whatever it leads to.
    QTest::newRow("packet folder is a link to outside") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link("partial-1.0", decoy + "/docs")};
    }), {}, {}} << Outcome::Refused << "Refusing the unpacked packet";
    QTest::newRow("only item a link to outside") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link("elsewhere", decoy + "/docs")};
    }), {}, {}} << Outcome::Kept << "Refusing to install: the staging folder";

    // Links are data: installed, never acted through.
    QTest::newRow("delete list through a link the packet installs") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link(packetFolder + "Contents/Resources/lnk", decoy)};
    }), {{"delete", array({"Contents/Resources/lnk/secret.txt"})}}, {}} << Outcome::Installed << "Refusing delete entry";
    QTest::newRow("link in Contents/MacOS made executable") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link(packetFolder + "Contents/MacOS/tool", decoy + "/secret.txt")};
    }), {}, {}} << Outcome::Installed << "copy updateFiles to installFiles success";
    // The patcher would write its result where the packet's link leads.
    QTest::newRow("patch entry through a link") << Hostile{packet([](const QByteArray &decoy) {
        return QList<SevenZipWriter::Item>{Item::link(packetFolder + "Contents/Resources/lnk", decoy + "/docs"),
                                           Item::file(packetFolder + "lnk.patch", patchOf("old", "new"))};
    }), {{"patch", QJsonObject{{"Contents/Resources/lnk/data.bin",
                                QJsonObject{{"filePatch", "lnk.patch"},
                                            {"oldFileMd5", "149603e6c03516362a8da23f624db945"},
                                            {"newFileMd5", "22af645d1859cb5ca6da0c484f1f37ea"}}}}}},
        [](const QString &install, const QString &) {
            writeFile(install + "/Contents/Resources/lnk/data.bin", "old");
        }} << Outcome::Installed << "Refusing patch entry";
    // A folder of the staging where the bundle holds a link: the install stops before
    // writing through it and the restore takes everything back, the manifest's add list
    // notwithstanding.
    QTest::newRow("staged folder over a link; add list outside the bundle") << Hostile{packet([](const QByteArray &) {
        return QList<SevenZipWriter::Item>{Item::folder(packetFolder + "Contents/Resources/lnk"),
                                           Item::file(packetFolder + "Contents/Resources/lnk/evil.txt", "planted")};
    }), {{"add", array({"@DECOY@/secret.txt", "../../decoy/secret.txt", "Contents/Resources/lnk/secret.txt",
                        "Contents/Resources/qt.conf"})}},
        [](const QString &install, const QString &decoy) {
            QFile::link(decoy, install + "/Contents/Resources/lnk");
        }} << Outcome::Kept << " recover success";

    // Manifest lists that name what is not the bundle's to change.
    QTest::newRow("delete list outside the bundle") << Hostile{{}, {{"delete", array({"@DECOY@/secret.txt",
        "../../decoy/secret.txt", "Contents/../../../decoy/docs/note.txt"})}}, {}}
        << Outcome::Installed << "Skipping a delete entry outside the bundle";
    QTest::newRow("delete list naming the bundle or Contents") << Hostile{{}, {{"delete", array({"", ".", "@BUNDLE@",
        "Contents", "Contents/", "Contents/MacOS"})}}, {}}
        << Outcome::Installed << "copy updateFiles to installFiles success";

    // Packets that are no packets, or whose index claims more than their bytes hold.
    QTest::newRow("0-byte packet") << Hostile{[](const QString &) { return QByteArray(); }, {}, {}}
                                   << Outcome::Refused << "UncompressPartialPacketFailed";
    QTest::newRow("HTML error page") << Hostile{[](const QString &) {
        return QByteArray("<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\n");
    }, {}, {}} << Outcome::Refused << "UncompressPartialPacketFailed";
    QTest::newRow("packed index claiming 2^31 items") << Hostile{[](const QString &) {
        return packedIndexClaiming(quint64(1) << 31);
    }, {}, {}} << Outcome::Refused << "UncompressPartialPacketFailed";
    // Read and unpacked in bounded time and memory; without the packet's folder there is
    // nothing to install.
    QTest::newRow("100,000 empty items") << Hostile{[](const QString &) {
        SevenZipWriter writer;
        for (int i = 0; i < 100000; ++i)
            writer.add(SevenZipWriter::file(QString::number(i), {}));
        return writer.archive();
    }, {}, {}} << Outcome::Kept << "Refusing to install: the staging folder";
}

void TestHostile::nothingOutsideTheBundleChanges()
{
    QFETCH(Hostile, hostile);
    QFETCH(Outcome, outcome);
    QFETCH(QString, logLine);

    TestHome home;
    const QString decoy = home.path() + "/decoy";
    makeDecoy(decoy);
    const QString install = home.path() + "/Applications/Veltora Test.app";
    const QString manifest = publish(QTest::currentDataTag(), hostile, decoy, install);
    const QStringList decoyBefore = stateOf(decoy);
    QStringList bundleBefore;

    WholeUpdate::Options options;
    options.proxyPort = m_site.relay().port();
    options.prepare = [&](const QString &installed) {
        if (hostile.prepare)
            hostile.prepare(installed, decoy);
        bundleBefore = treeOf(installed);
    };
    const WholeUpdate::Result result = WholeUpdate::run(home, m_old, manifest, options);
    const QString log = result.log.join('\n');
    const auto showLog = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qInfo().noquote() << log << "\nThe updater's standard error ends:\n" << result.updateErrors.right(3000);
    });

    QVERIFY(!result.updateCrashed);
    QCOMPARE(stateOf(decoy), decoyBefore);
    QVERIFY2(!result.log.filter(logLine).isEmpty(), "see the log above");
    switch (outcome) {
    case Outcome::Refused:
        QVERIFY(result.updateExit != 0);
        QVERIFY2(result.log.filter("##finisher##").isEmpty(), "see the log above");
        QCOMPARE(treeOf(install), bundleBefore);
        break;
    case Outcome::Kept:
        QCOMPARE(result.updateExit, 0);
        QVERIFY2(result.log.filter("copy updateFiles to installFiles success").isEmpty(), "see the log above");
        QCOMPARE(treeOf(install), bundleBefore);
        break;
    case Outcome::Installed:
        QCOMPARE(result.updateExit, 0);
        QVERIFY2(!result.log.filter("copy updateFiles to installFiles success").isEmpty(), "see the log above");
        QVERIFY2(result.log.filter(" recover success").isEmpty(), "see the log above");
        if (!hostile.packet && !hostile.prepare)
            QCOMPARE(treeOf(install), treeOf(m_new));
        break;
    }
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
