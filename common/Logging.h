#ifndef VELTORA_LOGGING_H
#define VELTORA_LOGGING_H

#include <QString>
#include <QtGlobal>

// Name (no directory) of this run's log file; set once during start-up.
extern QString logFileName;
// Directory the log file is written into; set once during start-up.
extern QString updateAppdataPath;

// Program tag written in front of every log line ("##update##", "##finisher##").
void setLogProgramTag(const QString &tag);
QString logProgramTag();

// The message handler: one line per debug, critical or fatal message, warnings dropped.
void outputMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Unwraps a path argument that the caller wrapped in "*" to protect blanks.
QString removeSpFlag(const QString &text);
// Wraps a path argument in "*", the form removeSpFlag reads.
QString addSpFlag(const QString &path);

#endif
