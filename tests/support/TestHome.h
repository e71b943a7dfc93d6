#ifndef VELTORA_TESTHOME_H
#define VELTORA_TESTHOME_H

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away home directory with the XDG folders below it, and a folder of
// recording stubs for platform programs (killall, hdiutil, xdg-open) that is put
// first on PATH.
class TestHome
{
public:
    TestHome();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString dataDirectory() const { return path() + QStringLiteral("/.local/share/Veltora"); }
    QString updateDirectory() const { return dataDirectory() + QStringLiteral("/update"); }
    QString desktopDirectory() const { return path() + QStringLiteral("/Desktop"); }
    QString stubDirectory() const { return path() + QStringLiteral("/bin"); }

    // Environment for a child process: this home, the stubs first on PATH, offscreen.
    QProcessEnvironment environment() const;
    // Points this process's HOME and XDG variables at this home.
    void applyToCurrentProcess() const;

    // A program on the stub PATH that appends its call to its record and exits
    // with `exitCode`. The record keeps every argument apart, so "a b" and a, b differ.
    void addRecordingStub(const QString &name, int exitCode = 0);
    QList<QStringList> stubCalls(const QString &name) const; // one argument list per call

    void writeSettings(const QString &iniText) const;

private:
    QTemporaryDir m_dir;
};

#endif
