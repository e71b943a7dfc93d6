#include "DialogShowReporter.h"

#include <QCoreApplication>
#include <QEvent>

#include <cstdio>

DialogShowReporter::DialogShowReporter(QObject *parent) : QObject(parent)
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool DialogShowReporter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched->inherits("QDialog")) {
        std::fputs("box\n", stdout);
        std::fflush(stdout);
    }
    return false;
}
