#ifndef VELTORA_BUNDLETREE_H
#define VELTORA_BUNDLETREE_H

#include <QByteArray>
#include <QMap>
#include <QString>

// What an installation holds, as the updater's copy sees it: regular files and
// symbolic links (never followed), keyed by their path relative to the bundle root.
// Entries the copy never installs (hidden entries, dangling links, HNLog.txt,
// folders whose base name is backup or fixupdate) are left out.
class BundleTree
{
public:
    struct Entry
    {
        enum Kind { File, Link };
        Kind kind = File;
        QString absolutePath;
        QByteArray md5;        // files
        QByteArray linkTarget; // links, as stored
        qint64 size = 0;       // bytes a packet stores: the file, or the link target
        quint32 mode = 0644;
        qint64 mtime = 0;
    };

    // False with a reason when the folder cannot be read.
    bool scan(const QString &root, QString *error);

    QString root() const { return m_root; }
    const QMap<QString, Entry> &entries() const { return m_entries; }

private:
    void walk(const QString &relative);

    QString m_root;
    QMap<QString, Entry> m_entries;
};

#endif
