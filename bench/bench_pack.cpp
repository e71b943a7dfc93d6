// Packs a folder the way the release tool packs its packets: bench_pack FOLDER PACKET
#include "SevenZipPacketWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QStringList>
#include <QThread>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_pack FOLDER PACKET\n");
        return 2;
    }
    const QDir root(QDir(args.at(1)).absolutePath());
    QStringList names;
    QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << root.relativeFilePath(it.next());
    names.sort();
    SevenZipPacketWriter packet;
    packet.setThreads(QThread::idealThreadCount());
    QString error;
    if (!packet.open(args.at(2), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    bool ok = true;
    for (const QString &name : qAsConst(names)) {
        const QByteArray path = QFile::encodeName(root.filePath(name));
        struct stat st;
        if (::lstat(path.constData(), &st) != 0) {
            std::fprintf(stderr, "cannot read %s\n", path.constData());
            return 1;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.constData(), target, sizeof target);
            ok = n > 0 && packet.addLink(name, QByteArray(target, int(n)), st.st_mtime);
        } else if (S_ISDIR(st.st_mode)) {
            ok = packet.addFolder(name, st.st_mtime);
        } else {
            ok = packet.addFile(name, root.filePath(name), st.st_mode & 07777, st.st_mtime);
        }
        if (!ok)
            break;
    }
    if (!ok || !packet.close(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(ok ? error : packet.errorString()));
        return 1;
    }
    return 0;
}
