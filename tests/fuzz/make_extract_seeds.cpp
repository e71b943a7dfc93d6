// Writes hostile and ordinary packets as the seed corpus of the extraction fuzz
// target: items that leave the target by "..", by an absolute path or through a
// link an earlier item made, a folder item with a mode over such a link, a file
// item replacing one, 100,000 empty items, an index claiming 2^31 items, an empty
// file and a web server's error page.
#include "SevenZipWriter.h"

#include <QFile>
#include <QString>

namespace {

// The outside path the fuzz target watches for absolute items.
const QString outside = QStringLiteral("/tmp/veltora-fuzz-extract-outside");

bool write(const QString &folder, const QString &name, const QByteArray &data)
{
    QFile file(folder + QLatin1Char('/') + name);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray packet(std::initializer_list<SevenZipWriter::Item> items, SevenZipWriter::Method method, bool packedIndex = false)
{
    SevenZipWriter writer;
    writer.setMethod(method);
    writer.setPackedIndex(packedIndex);
    for (const SevenZipWriter::Item &item : items)
        writer.add(item);
    return writer.archive();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const QString seeds = QString::fromLocal8Bit(argv[1]);
    using W = SevenZipWriter;
    bool ok = true;
    for (W::Method method : {W::Copy, W::Lzma2}) {
        const QString m = method == W::Copy ? QStringLiteral("stored-") : QStringLiteral("lzma2-");
        ok &= write(seeds, m + QStringLiteral("ordinary"),
                    packet({W::folder(QStringLiteral("Contents")), W::folder(QStringLiteral("Contents/MacOS"), 0700),
                            W::file(QStringLiteral("Contents/MacOS/app"), "#!/bin/sh\n", 0755),
                            W::file(QStringLiteral("Contents/Info.plist"), QByteArray("<plist/>\n").repeated(40)),
                            W::file(QStringLiteral("Contents/empty"), {}),
                            W::link(QStringLiteral("Contents/Current"), "MacOS")},
                           method, method == W::Lzma2));
        ok &= write(seeds, m + QStringLiteral("dotdot"), packet({W::file(QStringLiteral("../decoy/file.txt"), "changed")}, method));
        ok &= write(seeds, m + QStringLiteral("absolute"), packet({W::file(outside + QStringLiteral("/x"), "outside")}, method));
        ok &= write(seeds, m + QStringLiteral("file-through-link"),
                    packet({W::link(QStringLiteral("l"), "../decoy"), W::file(QStringLiteral("l/file.txt"), "changed")}, method));
        ok &= write(seeds, m + QStringLiteral("file-through-absolute-link"),
                    packet({W::link(QStringLiteral("l"), outside.toUtf8()), W::file(QStringLiteral("l/x"), "outside")}, method));
        ok &= write(seeds, m + QStringLiteral("folder-over-link"),
                    packet({W::link(QStringLiteral("x"), "../decoy/file.txt"), W::folder(QStringLiteral("x"), 0666)}, method));
        ok &= write(seeds, m + QStringLiteral("folder-over-link-to-folder"),
                    packet({W::link(QStringLiteral("x"), "../decoy/sub"), W::folder(QStringLiteral("x"), 0000)}, method));
        ok &= write(seeds, m + QStringLiteral("file-replacing-link"),
                    packet({W::link(QStringLiteral("x"), "../decoy/file.txt"), W::file(QStringLiteral("x"), "changed", 0777)}, method));
    }
    SevenZipWriter many;
    many.setMethod(W::Lzma2);
    many.setPackedIndex(true);
    for (int i = 0; i < 100000; ++i)
        many.add(W::file(QStringLiteral("empty/%1").arg(i), {}));
    ok &= write(seeds, QStringLiteral("100000-empty-items"), many.archive());
    const QByteArray claim = QByteArray("\x01\x05", 2) + SevenZipWriter::number(quint64(1) << 31) + QByteArray(2, '\0');
    ok &= write(seeds, QStringLiteral("packed-index-claiming-2^31-items"), SevenZipWriter::packet({}, claim, true));
    ok &= write(seeds, QStringLiteral("zero-bytes"), {});
    ok &= write(seeds, QStringLiteral("error-page"),
                "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
                "<body><h1>Bad Gateway</h1><p>The proxy server received an invalid response.</p></body></html>\n");
    return ok ? 0 : 1;
}
