#include "FailureLog.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// "##update##Debug: (2024-05-06 13:45:10.123) message"
const QRegularExpression &lineFormat()
{
    static const QRegularExpression format(
        QStringLiteral("^##(update|finisher)##[A-Za-z]*:? \\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\) (.*)$"));
    return format;
}

// The debug stream writes texts in double quotes with \" and \\ escaped.
QString unquoted(const QString &text)
{
    QString value = text.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value.replace(QLatin1String("\\\""), QLatin1String("\"")).replace(QLatin1String("\\\\"), QLatin1String("\\"));
}

QString plain(const QString &text)
{
    return FailureLog::plainText(text);
}

struct Marker
{
    const char *pattern;
    const char *road;
};

// Lines that show which kind of update the run took; the last one seen wins.
const Marker roadMarkers[] = {
    {"^download fixUpdatePacket Success|^UncompressFixUpdatePacket|^Download FixUpdate Packet md5|^copy fixUpdate Files", "fix"},
    {"^UncompressPartialPacket|^start patch$|^Download Partial Packet md5", "partial"},
    {"^UncompressReplacePacket|^Download Replace Packet md5|^patch failed:", "replace"},
    {"^get PartialPacket Info error|^start installer|^Download installer md5", "installer"},
};

bool tellsOfFailure(const QString &message)
{
    static const QRegularExpression failure(
        QStringLiteral("error|fail|refus|not match|could not|cannot|timeout|not found|hijack|interrupted"),
        QRegularExpression::CaseInsensitiveOption);
    return failure.match(message).hasMatch();
}

} // namespace

FailureLog FailureLog::parse(const QString &fileName, const QByteArray &log)
{
    FailureLog fields;
    // update_[user_]platform_version_time.log
    QString base = fileName;
    if (base.endsWith(QLatin1String(".log")))
        base.chop(4);
    const QStringList nameParts = base.split(QLatin1Char('_'));
    if (nameParts.size() >= 4 && nameParts.first() == QLatin1String("update")) {
        fields.platform = plain(nameParts.at(nameParts.size() - 3));
        fields.installedVersion = plain(nameParts.at(nameParts.size() - 2));
    }

    static const QRegularExpression version(QStringLiteral("^\\*+ VeltoraVersion: (.*)$"));
    static const QRegularExpression system(QStringLiteral("^\\*+ systemInfo: (.*)$"));
    static const QRegularExpression manifest(QStringLiteral("^downloadurl (.*)$"));
    // Written by the updater once a run knows what it installs; the share is 0-100.
    static const QRegularExpression target(
        QStringLiteral("^targetRelease: ([^\\s,]{1,64}), rolloutShare: ((?:100|\\d{1,2})(?:\\.\\d{1,6})?)$"));
    // Made once by the first caller, whichever worker thread it is: filling a shared list on
    // first use from several threads at once corrupted the heap when a burst of uploads came in.
    static const QVector<QPair<QRegularExpression, QString>> roads = [] {
        QVector<QPair<QRegularExpression, QString>> made;
        for (const Marker &m : roadMarkers)
            made.append({QRegularExpression(QString::fromLatin1(m.pattern)), QString::fromLatin1(m.road)});
        return made;
    }();

    bool uploaded = false;
    bool inSetup = false;
    for (const QByteArray &raw : log.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        const QRegularExpressionMatch match = lineFormat().match(line);
        if (!match.hasMatch())
            continue;
        const bool fromSetup = match.capturedRef(1) == QLatin1String("finisher");
        const QString message = match.captured(2);
        QRegularExpressionMatch m;
        if ((m = version.match(message)).hasMatch()) {
            fields.installedVersion = plain(unquoted(m.captured(1)));
        } else if ((m = system.match(message)).hasMatch()) {
            fields.platform = plain(unquoted(m.captured(1)));
        } else if ((m = manifest.match(message)).hasMatch()) {
            fields.manifestUrl = plain(unquoted(m.captured(1)));
        } else if ((m = target.match(message)).hasMatch() && m.captured(2).toDouble() <= 100) {
            fields.targetRelease = plain(m.captured(1));
            fields.rolloutShare = m.captured(2);
        } else if (message == QLatin1String("========upload Log========")) {
            uploaded = true;
            inSetup = fromSetup;
            continue;
        }
        if (fromSetup)
            inSetup = true;
        for (const auto &road : qAsConst(roads)) {
            if (road.first.match(message).hasMatch())
                fields.road = road.second;
        }
        if (tellsOfFailure(message))
            fields.lastError = plain(message);
    }
    // No kind of update chosen yet: the run ended on the manifest.
    if (fields.road.isEmpty() && !fields.manifestUrl.isEmpty())
        fields.road = QStringLiteral("manifest");
    if (inSetup)
        fields.road = fields.road.isEmpty() ? QStringLiteral("setup") : fields.road + QStringLiteral(", setup");
    if (uploaded) {
        static const QRegularExpression hijack(QStringLiteral("hijacked the download address"));
        fields.finalMessage = hijack.match(fields.lastError).hasMatch()
            ? unquoted(fields.lastError.mid(fields.lastError.indexOf(QLatin1Char('"'))))
            : QStringLiteral("Update error,It will jump to URL <" VELTORA_VENDOR_HOST
                             ">.You can download newest version.Note that anti-virus software may intercept to jumping mistakenly");
    }
    // Quoted values, paths, addresses and digests differ from run to run; the rest says why.
    QString reason = fields.lastError;
    static const QRegularExpression quoted(QStringLiteral("\"(?:[^\"\\\\]|\\\\.)*\""));
    static const QRegularExpression variable(QStringLiteral("(?<!\\w)(?:[a-z]+://|/)[^\\s\"]+|\\b[0-9a-f]{32,}\\b"));
    reason.replace(quoted, QStringLiteral("\"…\"")).replace(variable, QStringLiteral("…"));
    fields.reason = reason.simplified();
    return fields;
}

QString FailureLog::plainText(const QString &text, int limit)
{
    QString result;
    result.reserve(qMin(text.size(), limit));
    for (const QChar c : text) {
        if (result.size() >= limit)
            break;
        const QChar::Category category = c.category();
        // Cc is C0, DEL and C1; Cf holds the bidirectional overrides and invisible marks.
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            continue;
        result.append(c);
    }
    return result;
}
