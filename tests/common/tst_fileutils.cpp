#include "FileUtils.h"
#include "MessageCapture.h"
#include "Unprivileged.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

using TestFiles::readFile;
using TestFiles::linkText;
using TestFiles::modeOf;

namespace {

void writeFile(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
    file.close();
    if (permissions)
        QFile::setPermissions(path, permissions);
}

void makeLink(const QString &text, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QVERIFY(::symlink(QFile::encodeName(text).constData(), QFile::encodeName(path).constData()) == 0);
}

// Every entry below root as "path" for files, "path/" for folders, "path -> text" for links.
QStringList treeOf(const QString &root)
{
    QStringList out;
    const std::function<void(const QString &)> walk = [&](const QString &rel) {
        const QFileInfoList entries = QDir(root + QLatin1Char('/') + rel)
                                          .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &entry : entries) {
            const QString path = rel.isEmpty() ? entry.fileName() : rel + QLatin1Char('/') + entry.fileName();
            if (entry.isSymLink()) {
                out << path + QStringLiteral(" -> ") + linkText(entry.absoluteFilePath());
            } else if (entry.isDir()) {
                out << path + QLatin1Char('/');
                walk(path);
            } else {
                out << path;
            }
        }
    };
    walk(QString());
    return out;
}

// Result and log of one utility run in a child process as the unprivileged user.
struct ChildRun
{
    QString result;
    QStringList log;
};

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void md5_data();
    void md5();

    void copyFileRefusesEmptySource();
    void copyFileCreatesParentsAndKeepsMode();
    void copyFileLeavesIdenticalDestinationUntouched();
    void copyFileReplacesDifferingDestination();
    void copyFileMovesUnremovableDestinationAside();
    void copyFileFailsWhenDestinationCannotMove();
    void unreadableSourceAndDestinationCountAsEqual();
    void modeIsSetWithoutReadAccess();
    void copyFileRecreatesLinksRelative_data();
    void copyFileRecreatesLinksRelative();
    void copyFileReportsLinkError();

    void copyDirectoryMirrorsABundle();
    void copyDirectoryIsAnOverlay();
    void replacingALinkLeavesItsTargetAlone();
    void copyDirectoryFromMissingSource();
    void copyDirectoryStopsAtFirstFailure();
    void copyDirectoryReportsRefusedFile();
    void copyDirectoryMovesDirectoryInTheWayAside();

    void cleanSuffixFileRules();
    void deleteDirectoryNeverFollowsLinks();
    void deleteDirectoryGoesOnPastRefusals();
    void showDirAllFilesListing();

private:
    QString path(const QString &rel) const { return m_dir->path() + QLatin1Char('/') + rel; }
    ChildRun runChild(const QStringList &arguments);
    void verifyRefusal(const QString &file);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_child;
};

void TestFileUtils::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // The unprivileged child must reach the tree and run its own copy of the helper.
    QVERIFY(Unprivileged::openFolder(m_dir->path()));
    m_child = path(QStringLiteral("fileutils_child"));
    QVERIFY(QFile::copy(QStringLiteral(FILEUTILS_CHILD), m_child));
}

void TestFileUtils::cleanup()
{
    // Unlock whatever a test locked so the temporary tree can go.
    QDirIterator it(m_dir->path(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        Unprivileged::openFolder(it.next());
    m_dir.reset();
}

ChildRun TestFileUtils::runChild(const QStringList &arguments)
{
    ChildRun run;
    const QByteArray out = Unprivileged::run(m_child, arguments);
    for (const QString &line : QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QStringLiteral("LOG ")))
            run.log << line.mid(4);
        else if (line.startsWith(QStringLiteral("RESULT ")))
            run.result = line.mid(7);
    }
    return run;
}

// Asserts that the unprivileged user really cannot remove a file there.
void TestFileUtils::verifyRefusal(const QString &file)
{
    QCOMPARE(runChild({QStringLiteral("canRemove"), file}).result, QStringLiteral("false"));
    QVERIFY(QFileInfo::exists(file));
}

void TestFileUtils::md5_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("abc") << QByteArray("abc");
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < large.size(); ++i)
        large[i] = char((unsigned(i) * 7919u) >> 3);
    QTest::newRow("several read buffers") << large;
}

void TestFileUtils::md5()
{
    QFETCH(QByteArray, content);
    writeFile(path("f"), content);
    const QByteArray digest = getLocalFileMd5Value(path("f"));
    QCOMPARE(digest, QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    QCOMPARE(digest.size(), 32);
    QVERIFY(getLocalFileMd5Value(path("missing")).isEmpty());
    QVERIFY(getLocalFileMd5Value(m_dir->path()).isEmpty());
}

void TestFileUtils::copyFileRefusesEmptySource()
{
    MessageCapture log;
    QVERIFY(!copyFile(QString(), path("dst")));
    QVERIFY(!QFileInfo::exists(path("dst")));
    QVERIFY(log.messages().isEmpty());
}

void TestFileUtils::copyFileCreatesParentsAndKeepsMode()
{
    writeFile(path("src/tool"), "binary", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    QVERIFY(copyFile(path("src/tool"), path("a/b/c/tool")));
    QCOMPARE(readFile(path("a/b/c/tool")), QByteArray("binary"));
    QCOMPARE(modeOf(path("a/b/c/tool")), mode_t(0751));
}

void TestFileUtils::copyFileLeavesIdenticalDestinationUntouched()
{
    writeFile(path("src"), "same", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeFile(path("dst"), "same", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6));
    QFile dst(path("dst"));
    QVERIFY(dst.open(QIODevice::ReadWrite) && dst.setFileTime(old, QFileDevice::FileModificationTime));
    dst.close();
    struct stat before, after;
    QCOMPARE(::stat(QFile::encodeName(path("dst")).constData(), &before), 0);

    QVERIFY(copyFile(path("src"), path("dst")));
    QCOMPARE(::stat(QFile::encodeName(path("dst")).constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(modeOf(path("dst")), mode_t(0600));
    QCOMPARE(QFileInfo(path("dst")).lastModified(), old);
}

void TestFileUtils::copyFileReplacesDifferingDestination()
{
    writeFile(path("src"), "new content");
    writeFile(path("dst"), "old");
    MessageCapture log;
    QVERIFY(copyFile(path("src"), path("dst")));
    QCOMPARE(readFile(path("dst")), QByteArray("new content"));
    QCOMPARE(treeOf(m_dir->path()), QStringList({"dst", "fileutils_child", "src"}));
    QVERIFY(log.messages().isEmpty());
}

void TestFileUtils::copyFileMovesUnremovableDestinationAside()
{
    // A folder cannot be removed as a file, but it can be renamed.
    writeFile(path("src"), "new");
    writeFile(path("d/dst/inner"), "kept");
    QVERIFY(copyFile(path("src"), path("d/dst")));
    QCOMPARE(readFile(path("d/dst")), QByteArray("new"));
    QCOMPARE(readFile(path("d/dst.bak/inner")), QByteArray("kept"));

    // With the bak name taken the folder goes to the tag name instead.
    writeFile(path("e/dst/inner"), "kept");
    writeFile(path("e/dst.bak"), "leftover");
    MessageCapture log;
    QVERIFY(copyFile(path("src"), path("e/dst")));
    QCOMPARE(readFile(path("e/dst")), QByteArray("new"));
    QCOMPARE(readFile(path("e/dst.bak")), QByteArray("leftover"));
    const QStringList tagged = QDir(path("e")).entryList({"dst.*"}, QDir::Dirs);
    QCOMPARE(tagged.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^dst\\.[0-9a-f]{4}$")).match(tagged.first()).hasMatch(),
             qPrintable(tagged.first()));
    QCOMPARE(log.messages(), QStringList{QStringLiteral("rename failed:  \"%1\"").arg(path("e/dst"))});
}

void TestFileUtils::copyFileFailsWhenDestinationCannotMove()
{
    writeFile(path("src"), "new");
    writeFile(path("locked/dst"), "old");
    writeFile(path("locked/probe"), "probe");
    QVERIFY(Unprivileged::lockFolder(path("locked")));
    verifyRefusal(path("locked/probe"));

    const ChildRun run = runChild({QStringLiteral("copyFile"), path("src"), path("locked/dst")});
    QCOMPARE(run.result, QStringLiteral("false"));
    QCOMPARE(readFile(path("locked/dst")), QByteArray("old"));
    QCOMPARE(run.log.size(), 3);
    QCOMPARE(run.log.at(0), QStringLiteral("rename failed:  \"%1\"").arg(path("locked/dst")));
    QVERIFY2(QRegularExpression(QStringLiteral("^rename failed: \"%1\\.[0-9a-f]{4}\"$")
                                    .arg(QRegularExpression::escape(path("locked/dst"))))
                 .match(run.log.at(1)).hasMatch(),
             qPrintable(run.log.at(1)));
    QCOMPARE(run.log.at(2), QStringLiteral("\"%1 copy failed\"").arg(path("locked/dst")));
}

void TestFileUtils::unreadableSourceAndDestinationCountAsEqual()
{
    writeFile(path("src"), "secret new", QFileDevice::Permissions());
    writeFile(path("dst"), "secret old");
    QFile::setPermissions(path("src"), QFileDevice::Permissions());
    QFile::setPermissions(path("dst"), QFileDevice::Permissions());
    QCOMPARE(runChild({QStringLiteral("md5"), path("src")}).result, QString());

    ChildRun run = runChild({QStringLiteral("copyFile"), path("src"), path("dst")});
    QCOMPARE(run.result, QStringLiteral("true"));
    QVERIFY(run.log.isEmpty());
    QCOMPARE(modeOf(path("dst")), mode_t(0));

    writeFile(path("from/f"), "secret new");
    writeFile(path("to/f"), "secret old");
    QFile::setPermissions(path("from/f"), QFileDevice::Permissions());
    QFile::setPermissions(path("to/f"), QFileDevice::Permissions());
    run = runChild({QStringLiteral("copyDirectoryFiles"), path("from"), path("to")});
    QCOMPARE(run.result, QStringLiteral("true"));
    QFile::setPermissions(path("to/f"), QFileDevice::ReadOwner);
    QCOMPARE(readFile(path("to/f")), QByteArray("secret old"));
}

// The bundle's executables get their bits even when their owner cannot read them.
void TestFileUtils::modeIsSetWithoutReadAccess()
{
    writeFile(path("root/MacOS/tool"), "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(path("root/MacOS/tool"), QFileDevice::WriteOwner));
    Unprivileged::giveAway(path("root/MacOS/tool"));
    QVERIFY(Unprivileged::openFolder(path("root/MacOS")));
    QCOMPARE(runChild({QStringLiteral("chmodBeneath"), path("root"), QStringLiteral("MacOS/tool"), QStringLiteral("0311")}).result,
             QStringLiteral("true"));
    QCOMPARE(modeOf(path("root/MacOS/tool")), mode_t(0311));
}

void TestFileUtils::copyFileRecreatesLinksRelative_data()
{
    QTest::addColumn<QString>("storedText");
    QTest::addColumn<QString>("expected");
    QTest::newRow("relative") << "5" << "5";
    QTest::newRow("absolute inside the tree") << "%ROOT%/src/A.framework/Versions/5" << "5";
    QTest::newRow("up and over") << "../../lib/x.dylib" << "../../lib/x.dylib";
    QTest::newRow("redundant parts") << "./5/../5" << "5";
}

void TestFileUtils::copyFileRecreatesLinksRelative()
{
    QFETCH(QString, storedText);
    QFETCH(QString, expected);
    writeFile(path("src/A.framework/Versions/5/A"), "lib");
    writeFile(path("src/lib/x.dylib"), "x");
    makeLink(storedText.replace(QStringLiteral("%ROOT%"), m_dir->path()), path("src/A.framework/Versions/Current"));
    QVERIFY(copyFile(path("src/A.framework/Versions/Current"), path("dst/A.framework/Versions/Current")));
    QCOMPARE(linkText(path("dst/A.framework/Versions/Current")), expected);
}

void TestFileUtils::copyFileReportsLinkError()
{
    writeFile(path("src/5/A"), "lib");
    makeLink(QStringLiteral("5"), path("src/Current"));
    writeFile(path("plain"), "a file stands where the link's folder should be");
    MessageCapture log;
    QVERIFY(!copyFile(path("src/Current"), path("plain/Current")));
    QCOMPARE(log.messages(), QStringList{QStringLiteral("\"%1 link error\"").arg(path("src/5"))});
}

void TestFileUtils::copyDirectoryMirrorsABundle()
{
    const QString fw = QStringLiteral("src/Contents/Frameworks/QtCore.framework");
    writeFile(path("src/Contents/MacOS/Veltora"), "app", QFileDevice::ReadOwner | QFileDevice::WriteOwner
                  | QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther);
    writeFile(path(fw + "/Versions/5/QtCore"), "core");
    writeFile(path(fw + "/Versions/5/Resources/Info.plist"), "plist");
    makeLink("5", path(fw + "/Versions/Current"));
    makeLink("Versions/Current/QtCore", path(fw + "/QtCore"));
    makeLink("Versions/Current/Resources", path(fw + "/Resources"));
    makeLink(path(fw + "/Versions/5"), path(fw + "/Absolute"));
    writeFile(path("src/Contents/backup/old"), "skip");
    writeFile(path("src/Contents/backup.old/old"), "skip");
    writeFile(path("src/Contents/fixupdate.app/update"), "skip");
    writeFile(path("src/Contents/Resources/backup/deep"), "skip");
    writeFile(path("src/Contents/Resources/sub/backup"), "a file named backup is copied");
    writeFile(path("src/HNLog.txt"), "skip");
    writeFile(path("src/Contents/Resources/HNLog.txt"), "skip");
    writeFile(path("src/.DS_Store"), "skip");
    writeFile(path("src/Contents/.hidden/x"), "skip");
    makeLink("nowhere", path("src/Contents/Resources/dangling"));
    writeFile(path("src/Contents/Resources/Überblick 1.txt"), "blanks and umlauts");

    MessageCapture log;
    QVERIFY(copyDirectoryFiles(path("src"), path("dst/deeper")));
    QVERIFY(log.messages().isEmpty());
    QStringList expected = {
        "Contents/", "Contents/Frameworks/", "Contents/Frameworks/QtCore.framework/",
        "Contents/Frameworks/QtCore.framework/Absolute -> Versions/5",
        "Contents/Frameworks/QtCore.framework/QtCore -> Versions/Current/QtCore",
        "Contents/Frameworks/QtCore.framework/Resources -> Versions/Current/Resources",
        "Contents/Frameworks/QtCore.framework/Versions/",
        "Contents/Frameworks/QtCore.framework/Versions/5/",
        "Contents/Frameworks/QtCore.framework/Versions/5/QtCore",
        "Contents/Frameworks/QtCore.framework/Versions/5/Resources/",
        "Contents/Frameworks/QtCore.framework/Versions/5/Resources/Info.plist",
        "Contents/Frameworks/QtCore.framework/Versions/Current -> 5",
        "Contents/MacOS/", "Contents/MacOS/Veltora",
        "Contents/Resources/", "Contents/Resources/sub/", "Contents/Resources/sub/backup",
        QStringLiteral("Contents/Resources/Überblick 1.txt")};
    QStringList actual = treeOf(path("dst/deeper"));
    expected.sort();
    actual.sort();
    QCOMPARE(actual, expected);
    QCOMPARE(modeOf(path("dst/deeper/Contents/MacOS/Veltora")), mode_t(0705));
    QCOMPARE(readFile(path("dst/deeper/Contents/Frameworks/QtCore.framework/QtCore")), QByteArray("core"));
}

void TestFileUtils::copyDirectoryIsAnOverlay()
{
    writeFile(path("src/same"), "same");
    writeFile(path("src/changed"), "new");
    writeFile(path("src/sub/added"), "added");
    writeFile(path("dst/same"), "same", QFileDevice::ReadOwner);
    writeFile(path("dst/changed"), "old");
    writeFile(path("dst/extra"), "left alone");
    makeLink("same", path("src/link"));
    writeFile(path("dst/link"), "a file where the link goes");
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6));
    QFile same(path("dst/same"));
    QVERIFY(same.open(QIODevice::ReadOnly) && same.setFileTime(old, QFileDevice::FileModificationTime));
    same.close();

    QVERIFY(copyDirectoryFiles(path("src"), path("dst")));
    QCOMPARE(treeOf(path("dst")), QStringList({"changed", "extra", "link -> same", "same", "sub/", "sub/added"}));
    QCOMPARE(readFile(path("dst/changed")), QByteArray("new"));
    QCOMPARE(QFileInfo(path("dst/same")).lastModified(), old);
    QCOMPARE(modeOf(path("dst/same")), mode_t(0400));
}

void TestFileUtils::replacingALinkLeavesItsTargetAlone()
{
    writeFile(path("victim"), "someone else's file", QFileDevice::Permissions(0x6644));
    makeLink(path("victim"), path("dst/f"));
    writeFile(path("src/f"), "new");
    QVERIFY(copyDirectoryFiles(path("src"), path("dst")));
    QVERIFY(!QFileInfo(path("dst/f")).isSymLink());
    QCOMPARE(readFile(path("dst/f")), QByteArray("new"));
    QCOMPARE(modeOf(path("victim")), mode_t(0644));

    makeLink(path("victim"), path("dst2/f"));
    QVERIFY(copyFile(path("src/f"), path("dst2/f")));
    QCOMPARE(readFile(path("dst2/f")), QByteArray("new"));
    QCOMPARE(modeOf(path("victim")), mode_t(0644));
}

void TestFileUtils::copyDirectoryFromMissingSource()
{
    QVERIFY(copyDirectoryFiles(path("missing"), path("made/here")));
    QVERIFY(QFileInfo(path("made/here")).isDir());
    writeFile(path("file"), "x");
    QVERIFY(!copyDirectoryFiles(path("missing"), path("file/below")));
}

void TestFileUtils::copyDirectoryStopsAtFirstFailure()
{
    // Listed ignoring case: a.txt, B, c.txt. B is a link whose place is taken by a folder.
    writeFile(path("src/a.txt"), "a");
    makeLink("a.txt", path("src/B"));
    writeFile(path("src/c.txt"), "c");
    writeFile(path("dst/B/inside"), "blocks the link");
    MessageCapture log;
    QVERIFY(!copyDirectoryFiles(path("src"), path("dst")));
    QCOMPARE(log.messages(), QStringList{QStringLiteral("\"%1 link error\"").arg(path("dst/B"))});
    QVERIFY(QFileInfo::exists(path("dst/a.txt")));
    QVERIFY(!QFileInfo::exists(path("dst/c.txt")));
}

void TestFileUtils::copyDirectoryReportsRefusedFile()
{
    writeFile(path("src/f"), "new");
    writeFile(path("src/g"), "never reached");
    writeFile(path("dst/f"), "old");
    writeFile(path("dst/probe"), "probe");
    QVERIFY(QFile::setPermissions(path("dst/f"), QFileDevice::Permissions(0x6644)));
    Unprivileged::giveAway(path("dst/f")); // the user may change its mode but not remove it
    QVERIFY(Unprivileged::lockFolder(path("dst")));
    verifyRefusal(path("dst/probe"));

    const ChildRun run = runChild({QStringLiteral("copyDirectoryFiles"), path("src"), path("dst")});
    // A refused removal gives the file its permissions back.
    QCOMPARE(modeOf(path("dst/f")), mode_t(0644));
    QCOMPARE(run.result, QStringLiteral("false"));
    QCOMPARE(readFile(path("dst/f")), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(path("dst/g")));
    QCOMPARE(run.log.size(), 4);
    QCOMPARE(run.log.at(0), QStringLiteral("del failed: \"%1\"").arg(path("dst/f")));
    QCOMPARE(run.log.at(1), QStringLiteral("rename failed:  \"%1\"").arg(path("dst/f")));
    QVERIFY(run.log.at(2).startsWith(QStringLiteral("rename failed: \"%1.").arg(path("dst/f"))));
    QCOMPARE(run.log.at(3), QStringLiteral("copy failed: \"%1\"").arg(path("dst/f")));
}

void TestFileUtils::copyDirectoryMovesDirectoryInTheWayAside()
{
    writeFile(path("src/f"), "new");
    writeFile(path("dst/f/inside"), "old folder");
    writeFile(path("dst/f.bak"), "leftover");
    MessageCapture log;
    QVERIFY(copyDirectoryFiles(path("src"), path("dst")));
    QCOMPARE(readFile(path("dst/f")), QByteArray("new"));
    QCOMPARE(readFile(path("dst/f.bak")), QByteArray("leftover"));
    const QStringList tagged = QDir(path("dst")).entryList({"f.????"}, QDir::Dirs);
    QCOMPARE(tagged.size(), 1);
    QCOMPARE(readFile(path("dst/") + tagged.first() + "/inside"), QByteArray("old folder"));
    QCOMPARE(log.messages(), QStringList({QStringLiteral("del failed: \"%1\"").arg(path("dst/f")),
                                          QStringLiteral("rename failed:  \"%1\"").arg(path("dst/f"))}));
}

void TestFileUtils::cleanSuffixFileRules()
{
    for (const char *name : {"a.bak", "sub/b.dylib.bak", "a.BAK", "a.bak.txt", ".hidden/d.bak", "x.bak/keep", "target"})
        writeFile(path(QStringLiteral("tree/") + QLatin1String(name)), "x");
    makeLink("target", path("tree/c.bak"));
    makeLink(path("outside"), path("tree/linked"));
    writeFile(path("outside/e.bak"), "not followed");

    FileUtils::cleanSuffixFile(path("tree"), QStringLiteral("bak"));
    QCOMPARE(treeOf(path("tree")),
             QStringList({".hidden/", ".hidden/d.bak", "a.BAK", "a.bak.txt", "c.bak -> target",
                          "linked -> " + path("outside"), "sub/", "target", "x.bak/", "x.bak/keep"}));
    QVERIFY(QFileInfo::exists(path("outside/e.bak")));
    FileUtils::cleanSuffixFile(path("missing"), QStringLiteral("bak"));
}

void TestFileUtils::deleteDirectoryNeverFollowsLinks()
{
    writeFile(path("keep/file"), "outside");
    writeFile(path("tree/.hidden/.x"), "x");
    writeFile(path("tree/a/b/c"), "x");
    makeLink(path("keep"), path("tree/dirlink"));
    makeLink(path("keep/file"), path("tree/a/filelink"));
    makeLink("nowhere", path("tree/dangling"));

    QVERIFY(FileUtils::deleteDirectory(path("tree")));
    QVERIFY(!QFileInfo::exists(path("tree")));
    QCOMPARE(readFile(path("keep/file")), QByteArray("outside"));
    QVERIFY(FileUtils::deleteDirectory(path("tree")));
}

void TestFileUtils::deleteDirectoryGoesOnPastRefusals()
{
    writeFile(path("tree/a/locked/f"), "x");
    writeFile(path("tree/a/other"), "x");
    writeFile(path("tree/b/g"), "x");
    QVERIFY(Unprivileged::lockFolder(path("tree/a/locked")));
    verifyRefusal(path("tree/a/locked/f"));
    for (const char *dir : {"tree", "tree/a", "tree/b"})
        QFile::setPermissions(path(dir), QFileDevice::Permissions(0x7777));

    QCOMPARE(runChild({QStringLiteral("deleteDirectory"), path("tree")}).result, QStringLiteral("false"));
    QCOMPARE(treeOf(path("tree")), QStringList({"a/", "a/locked/", "a/locked/f"}));
}

void TestFileUtils::showDirAllFilesListing()
{
    writeFile(path("tree/z/f"), "x", QFileDevice::Permissions(0x6644));
    writeFile(path("tree/.hidden"), "x");
    makeLink("z/f", path("tree/link"));
    const QString rule(31, QLatin1Char('='));

    MessageCapture log;
    FileUtils::showDirAllFiles(path("missing"));
    QCOMPARE(log.messages(), QStringList{rule + QStringLiteral(" \"%1\"").arg(path("missing"))});

    MessageCapture listing;
    FileUtils::showDirAllFiles(path("tree"));
    QCOMPARE(listing.messages(),
             QStringList({rule + QStringLiteral(" \"%1\"").arg(path("tree")),
                          QStringLiteral("\"%1\" QFlags(0x4|0x40|0x200|0x400|0x2000|0x4000)").arg(path("tree/z/f")),
                          rule}));
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
