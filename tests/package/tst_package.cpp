#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// What a user of the Debian packages gets: the packages of this build made by cpack and
// unpacked with dpkg -x into a scratch root, then used from there as an installed system
// would use them.
class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dependencies_data();
    void dependencies();
    void hostProgramBuildsAndRunsAgainstTheRoot();
    void pkgConfigPointsIntoTheRoot();
    void releaseToolRunsFromTheRoot();
    void manualPageFormatsAndCoversEveryOption();

private:
    // Runs a program; on failure its output goes into the test log.
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000);
    QString usr() const { return m_root + QStringLiteral("/usr"); }

    QTemporaryDir m_scratch;
    QString m_root;
    QMap<QString, QString> m_packages; // package name -> .deb file
};

bool TestPackage::run(const QString &program, const QStringList &arguments, QByteArray *output,
                      const QProcessEnvironment &environment, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    if (output)
        *output = out;
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s %s failed (exit %d):\n%s\n%s", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))),
                 process.exitCode(), out.right(4000).constData(), err.right(4000).constData());
        return false;
    }
    return true;
}

void TestPackage::initTestCase()
{
    QVERIFY(m_scratch.isValid());
    const QString packages = m_scratch.filePath(QStringLiteral("packages"));
    m_root = m_scratch.filePath(QStringLiteral("root"));
    QVERIFY(run(QStringLiteral(CPACK_COMMAND),
                {QStringLiteral("--config"), QStringLiteral(BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), packages}));
    for (const QFileInfo &deb : QDir(packages).entryInfoList({QStringLiteral("*.deb")}, QDir::Files)) {
        QByteArray name;
        QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb.filePath(), QStringLiteral("Package")}, &name));
        m_packages.insert(QString::fromUtf8(name.trimmed()), deb.filePath());
        QVERIFY(run(QStringLiteral("dpkg"), {QStringLiteral("-x"), deb.filePath(), m_root}));
    }
    QCOMPARE(m_packages.keys(), QStringList({"libvisage", "libvisage-dev", "veltora-release"}));
}

void TestPackage::dependencies_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("dependency");
    QTest::addColumn<bool>("declared");
    QTest::newRow("library needs Qt Widgets") << "libvisage" << "libqt5widgets5" << true;
    QTest::newRow("library needs GStreamer for the camera") << "libvisage" << "libgstreamer1.0-0" << true;
    QTest::newRow("library does not name itself") << "libvisage" << "libvisage " << false;
    QTest::newRow("development files need the library of their version")
        << "libvisage-dev" << "libvisage (= " PROJECT_VERSION_TEXT ")" << true;
    QTest::newRow("development files need Qt's") << "libvisage-dev" << "qtbase5-dev" << true;
    QTest::newRow("release tool needs libsodium") << "veltora-release" << "libsodium23" << true;
    QTest::newRow("release tool needs libarchive") << "veltora-release" << "libarchive13" << true;
    QTest::newRow("release tool needs no Qt Widgets") << "veltora-release" << "libqt5widgets5" << false;
}

void TestPackage::dependencies()
{
    QFETCH(QString, package);
    QFETCH(QString, dependency);
    QFETCH(bool, declared);
    QByteArray depends;
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_packages.value(package), QStringLiteral("Depends")}, &depends));
    const QString line = QString::fromUtf8(depends.trimmed()) + QLatin1Char(',');
    QVERIFY2(line.contains(dependency) == declared, qPrintable(line));
}

void TestPackage::hostProgramBuildsAndRunsAgainstTheRoot()
{
    const QString build = m_scratch.filePath(QStringLiteral("host-build"));
    QVERIFY(run(QStringLiteral(CMAKE_COMMAND),
                {QStringLiteral("-S"), QStringLiteral(HOST_SOURCE_DIR), QStringLiteral("-B"), build, QStringLiteral("-G"),
                 QStringLiteral(CMAKE_GENERATOR_NAME), QStringLiteral("-DCMAKE_CXX_COMPILER=" CXX_COMPILER),
                 QStringLiteral("-DCMAKE_PREFIX_PATH=") + usr()}));
    QVERIFY(run(QStringLiteral(CMAKE_COMMAND), {QStringLiteral("--build"), build}));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("libs"));
    QProcess host;
    host.setProcessEnvironment(environment);
    host.start(build + QStringLiteral("/host"), QStringList());
    QVERIFY(host.waitForFinished(60000));
    const QString trace = QString::fromLocal8Bit(host.readAllStandardError());
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0, qPrintable(trace.right(4000)));
    // Both libraries come from the unpacked packages, not from this build.
    for (const QString library : {"libVisage.so.1", "libZelCamera.so.1"}) {
        const QRegularExpression init(QStringLiteral("calling init: (\\S*/%1)\\n").arg(QRegularExpression::escape(library)));
        const auto match = init.match(trace);
        QVERIFY2(match.hasMatch(), qPrintable(library));
        QVERIFY2(QFileInfo(match.captured(1)).canonicalFilePath().startsWith(QDir(m_root).canonicalPath() + QLatin1Char('/')),
                 qPrintable(match.captured(1)));
    }
}

void TestPackage::pkgConfigPointsIntoTheRoot()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString pcDir;
    QDirIterator it(usr(), {QStringLiteral("visage.pc")}, QDir::Files, QDirIterator::Subdirectories);
    if (it.hasNext())
        pcDir = QFileInfo(it.next()).path();
    QVERIFY2(!pcDir.isEmpty(), "no visage.pc in the unpacked packages");
    environment.insert(QStringLiteral("PKG_CONFIG_PATH"), pcDir);
    QByteArray flags;
    QVERIFY(run(QStringLiteral("pkg-config"), {QStringLiteral("--cflags"), QStringLiteral("--libs"), QStringLiteral("visage")},
                &flags, environment));

    QStringList includes, libraryDirs;
    for (const QString &flag : QString::fromUtf8(flags).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (flag.startsWith(QLatin1String("-I")))
            includes << QDir::cleanPath(flag.mid(2));
        else if (flag.startsWith(QLatin1String("-L")))
            libraryDirs << QDir::cleanPath(flag.mid(2));
    }
    const auto inRoot = [this](const QStringList &dirs, const QString &file) {
        for (const QString &dir : dirs) {
            if (dir.startsWith(m_root) && QFileInfo::exists(dir + QLatin1Char('/') + file))
                return true;
        }
        return false;
    };
    QVERIFY2(inRoot(includes, QStringLiteral("AvatarModifyWidget.h")), flags.constData());
    QVERIFY2(inRoot(includes, QStringLiteral("visage_export.h")), flags.constData());
    QVERIFY2(inRoot(libraryDirs, QStringLiteral("libVisage.so")), flags.constData());
    QVERIFY2(flags.contains("-lVisage") && flags.contains("-lQt5Widgets"), flags.constData());
}

void TestPackage::releaseToolRunsFromTheRoot()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    QByteArray help;
    QVERIFY(run(usr() + QStringLiteral("/bin/veltora-release"), {QStringLiteral("--help")}, &help, environment));
    QVERIFY2(help.contains("--signing-key"), help.constData());
}

void TestPackage::manualPageFormatsAndCoversEveryOption()
{
    const QString page = usr() + QStringLiteral("/share/man/man1/veltora-release.1");
    QVERIFY(QFileInfo::exists(page));
    QProcess groff;
    groff.start(QStringLiteral("groff"), {QStringLiteral("-man"), QStringLiteral("-Tascii"), QStringLiteral("-P-cbou"),
                                          QStringLiteral("-ww"), page});
    QVERIFY(groff.waitForFinished(30000));
    QCOMPARE(groff.exitCode(), 0);
    QCOMPARE(groff.readAllStandardError(), QByteArray()); // no formatting warnings
    const QString text = QString::fromUtf8(groff.readAllStandardOutput());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    QByteArray help;
    QVERIFY(run(usr() + QStringLiteral("/bin/veltora-release"), {QStringLiteral("--help")}, &help, environment));
    const QRegularExpression option(QStringLiteral("(?:^|\\s)(--[a-z][a-z-]+)"));
    int count = 0;
    for (auto it = option.globalMatch(QString::fromUtf8(help)); it.hasNext(); ++count) {
        const QString name = it.next().captured(1);
        QVERIFY2(text.contains(QRegularExpression(QRegularExpression::escape(name) + QStringLiteral("\\b(?!-)"))),
                 qPrintable(name + QStringLiteral(" is missing from the manual page")));
    }
    QVERIFY(count > 5);
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
