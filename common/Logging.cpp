#include "Logging.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTextCodec>
#include <QTextStream>

QString logFileName;
QString updateAppdataPath;

namespace {

QString &programTag()
{
    static QString tag = QStringLiteral("##update##");
    return tag;
}

QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}

QString levelText(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug:");
    case QtWarningMsg:
        return QStringLiteral("Warning:");
    case QtCriticalMsg:
        return QStringLiteral("Critical:");
    case QtFatalMsg:
        return QStringLiteral("Fatal:");
    default:
        return QString();
    }
}

} // namespace

void setLogProgramTag(const QString &tag)
{
    programTag() = tag;
}

QString logProgramTag()
{
    return programTag();
}

void outputMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(context)
    // One lock from the level choice to the close, so lines of several threads never interleave.
    QMutexLocker locker(&logMutex());
    if (type == QtWarningMsg)
        return;

    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    const QString line = QStringLiteral("%1 %2 %3")
                             .arg(programTag() + levelText(type), QLatin1Char('(') + time + QLatin1Char(')'), message);

    // Opened and closed for every line so that the upload and the setup program can read or
    // append at any time, and every line is on disk even if the process is killed.
    QFile file(updateAppdataPath + QLatin1Char('/') + logFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream.setCodec(QTextCodec::codecForName("UTF-8"));
    stream << line << "\r\n";
    stream.flush();
    file.close();
}

QString addSpFlag(const QString &path)
{
    return QLatin1Char('*') + path + QLatin1Char('*');
}

QString removeSpFlag(const QString &text)
{
    const QStringList pieces = text.split(QLatin1Char('*'));
    if (pieces.size() < 2)
        return text;
    return pieces.at(1);
}
