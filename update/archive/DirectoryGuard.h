#ifndef VELTORA_DIRECTORYGUARD_H
#define VELTORA_DIRECTORYGUARD_H

#include <QString>
#include <QStringList>

namespace Lib7z {

// Creates a directory chain for one step of an extraction and removes the
// innermost directory it created again (if empty) unless released.
class DirectoryGuard
{
public:
    explicit DirectoryGuard(const QString &path);
    ~DirectoryGuard();
    DirectoryGuard(const DirectoryGuard &) = delete;
    DirectoryGuard &operator=(const DirectoryGuard &) = delete;

    // The directories it had to create, outermost first. Throws SevenZipException.
    QStringList tryCreate();
    void release() { m_released = true; }

private:
    QString m_path;
    bool m_created = false;
    bool m_released = false;
};

} // namespace Lib7z

#endif
