#include "FailureLog.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// "##update##Debug: (2024-05-06 13:45:10.123) message": the program and the message, read by
// hand on the bytes because a log of 8 MB has a hundred thousand lines and this runs for each
// upload; the format itself is ASCII.
bool splitLine(const QByteArray &line, bool *fromSetup, QByteArray *message)
{
    static const char update[] = "##update##";
    static const char finisher[] = "##finisher##";
    int at = 0;
    if (line.startsWith(update))
        at = int(sizeof update) - 1;
    else if (line.startsWith(finisher))
        at = int(sizeof finisher) - 1;
    else
        return false;
    *fromSetup = at == int(sizeof finisher) - 1;
    while (at < line.size() && ((line.at(at) >= 'A' && line.at(at) <= 'Z') || (line.at(at) >= 'a' && line.at(at) <= 'z')))
        ++at;
    if (at < line.size() && line.at(at) == ':')
        ++at;
    static const char shape[] = " (dddd-dd-dd dd:dd:dd.ddd) ";
    const int length = int(sizeof shape) - 1;
    if (line.size() < at + length)
        return false;
    for (int i = 0; i < length; ++i) {
        const char c = line.at(at + i);
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    *message = line.mid(at + length);
    return true;
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
    const char *start; // the message starts with it, or is it when `whole`
    bool whole;
    const char *road;
};

// Lines that show which kind of update the run took; the last one seen wins.
const Marker roadMarkers[] = {
    {"download fixUpdatePacket Success", false, "fix"},
    {"UncompressFixUpdatePacket", false, "fix"},
    {"Download FixUpdate Packet md5", false, "fix"},
    {"copy fixUpdate Files", false, "fix"},
    {"UncompressPartialPacket", false, "partial"},
    {"start patch", true, "partial"},
    {"Download Partial Packet md5", false, "partial"},
    {"UncompressReplacePacket", false, "replace"},
    {"Download Replace Packet md5", false, "replace"},
    {"patch failed:", false, "replace"},
    {"get PartialPacket Info error", false, "installer"},
    {"start installer", false, "installer"},
    {"Download installer md5", false, "installer"},
};

bool tellsOfFailure(const QByteArray &message)
{
    static const QLatin1String words[] = {QLatin1String("error"),     QLatin1String("fail"),     QLatin1String("refus"),
                                          QLatin1String("not match"), QLatin1String("could not"), QLatin1String("cannot"),
                                          QLatin1String("timeout"),   QLatin1String("not found"), QLatin1String("hijack"),
                                          QLatin1String("interrupted")};
    // One lower-case copy and plain searches: a case-blind search per word costs far more. The
    // words are ASCII, so the bytes of other characters never match them.
    const QByteArray lower = message.toLower();
    for (const QLatin1String &word : words) {
        if (lower.contains(word.data()))
            return true;
    }
    return false;
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
    bool uploaded = false;
    bool inSetup = false;
    QByteArray bytes;
    bool fromSetup = false;
    for (const QByteArray &raw : log.split('\n')) {
        if (!raw.startsWith("##") || !splitLine(raw.trimmed(), &fromSetup, &bytes))
            continue;
        // Each pattern only for the lines that can be it; text only for the lines that are kept.
        QRegularExpressionMatch m;
        const char first = bytes.isEmpty() ? '\0' : bytes.at(0);
        const bool maybeField = first == '*' || bytes.startsWith("downloadurl ") || bytes.startsWith("targetRelease: ");
        const QString message = maybeField ? QString::fromUtf8(bytes) : QString();
        if (first == '*' && (m = version.match(message)).hasMatch()) {
            fields.installedVersion = plain(unquoted(m.captured(1)));
        } else if (first == '*' && (m = system.match(message)).hasMatch()) {
            fields.platform = plain(unquoted(m.captured(1)));
        } else if (first == 'd' && (m = manifest.match(message)).hasMatch()) {
            fields.manifestUrl = plain(unquoted(m.captured(1)));
        } else if (first == 't' && (m = target.match(message)).hasMatch() && m.captured(2).toDouble() <= 100) {
            fields.targetRelease = plain(m.captured(1));
            fields.rolloutShare = m.captured(2);
        } else if (bytes == "========upload Log========") {
            uploaded = true;
            inSetup = fromSetup;
            continue;
        }
        if (fromSetup)
            inSetup = true;
        for (const Marker &marker : roadMarkers) {
            if (marker.whole ? bytes == marker.start : bytes.startsWith(marker.start))
                fields.road = QLatin1String(marker.road);
        }
        if (tellsOfFailure(bytes))
            fields.lastError = plain(QString::fromUtf8(bytes));
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
