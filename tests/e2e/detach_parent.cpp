// Starts the program named on its command line the way the updater starts the setup
// program and its own fix-update copy, then exits at once.
#include "PlatformCommand.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    return startDetachedProgram(QCoreApplication::arguments().at(1), {}) ? 0 : 1;
}
