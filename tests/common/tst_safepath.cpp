#include "SafePath.h"
#include "TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using TestFiles::modeOf;
using TestFiles::readFile;
using TestFiles::writeFile;

class TestSafePath : public QObject
{
    Q_OBJECT

private slots:
    void actsOnlyBeneathTheRoot_data();
    void actsOnlyBeneathTheRoot();
};

void TestSafePath::actsOnlyBeneathTheRoot_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("remove a file") << "remove" << "dir/file" << true;
    QTest::newRow("remove a link, not its target") << "remove" << "dir/to-outside-file" << true;
    QTest::newRow("remove through a link on the way") << "remove" << "to-outside-dir/victim" << false;
    QTest::newRow("remove through a parent component") << "remove" << "../outside/victim" << false;
    QTest::newRow("remove an absolute path") << "remove" << "/etc/passwd" << false;
    QTest::newRow("remove a folder with a link inside") << "removeTree" << "dir" << true;
    QTest::newRow("remove a tree through a link") << "removeTree" << "to-outside-dir" << false;
    QTest::newRow("chmod a file") << "chmod" << "dir/file" << true;
    QTest::newRow("chmod a link") << "chmod" << "dir/to-outside-file" << false;
    QTest::newRow("chmod through a link on the way") << "chmod" << "to-outside-dir/victim" << false;
    QTest::newRow("open through a link on the way") << "open" << "to-outside-dir/victim" << false;
    QTest::newRow("open a file") << "open" << "dir/file" << true;
}

void TestSafePath::actsOnlyBeneathTheRoot()
{
    QFETCH(QString, operation);
    QFETCH(QString, relative);
    QFETCH(bool, allowed);
    QTemporaryDir work;
    const QString root = work.path() + "/root";
    const QString outside = work.path() + "/outside";
    writeFile(root + "/dir/file", "inside");
    writeFile(outside + "/victim", "outside");
    QVERIFY(QFile::setPermissions(outside + "/victim", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(::symlink(QFile::encodeName(outside + "/victim").constData(),
                      QFile::encodeName(root + "/dir/to-outside-file").constData()) == 0);
    QVERIFY(::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(root + "/to-outside-dir").constData()) == 0);

    QString error;
    bool done = false;
    if (operation == "remove") {
        done = SafePath::removeBeneath(root, relative, &error);
    } else if (operation == "removeTree") {
        done = SafePath::removeTreeBeneath(root, relative, &error);
    } else if (operation == "chmod") {
        done = SafePath::chmodBeneath(root, relative, 0777, &error);
    } else {
        const int fd = SafePath::openBeneath(root, relative, O_RDONLY, &error);
        done = fd >= 0;
        if (fd >= 0)
            ::close(fd);
    }
    QCOMPARE(done, allowed);
    QCOMPARE(error.isEmpty(), allowed);
    // Whatever was asked, nothing outside the root changed.
    QCOMPARE(readFile(outside + "/victim"), QByteArray("outside"));
    QCOMPARE(modeOf(outside + "/victim"), mode_t(0600));
}

QTEST_GUILESS_MAIN(TestSafePath)
#include "tst_safepath.moc"
