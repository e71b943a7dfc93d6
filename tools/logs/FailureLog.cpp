#include "FailureLog.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstring>
#include <string>
#include <string_view>

namespace {

// "##update##Debug: (2024-05-06 13:45:10.123) message": the program and the message, read by
// hand on the bytes because a log of 8 MB has a hundred thousand lines and this runs for each
// upload; the format itself is ASCII. The message is a view into the line, not a copy.
bool splitLine(const char *line, int size, bool *fromSetup, QByteArray *message)
{
    static const char update[] = "##update##";
    static const char finisher[] = "##finisher##";
    const auto startsWith = [&](const char *prefix, int length) { return size >= length && std::memcmp(line, prefix, size_t(length)) == 0; };
    int at = 0;
    if (startsWith(update, int(sizeof update) - 1))
        at = int(sizeof update) - 1;
    else if (startsWith(finisher, int(sizeof finisher) - 1))
        at = int(sizeof finisher) - 1;
    else
        return false;
    *fromSetup = at == int(sizeof finisher) - 1;
    while (at < size && ((line[at] >= 'A' && line[at] <= 'Z') || (line[at] >= 'a' && line[at] <= 'z')))
        ++at;
    if (at < size && line[at] == ':')
        ++at;
    static const char shape[] = " (dddd-dd-dd dd:dd:dd.ddd) ";
    const int length = int(sizeof shape) - 1;
    if (size < at + length)
        return false;
    for (int i = 0; i < length; ++i) {
        const char c = line[at + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    message->setRawData(line + at + length, uint(size - at - length));
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

// `lower` is the caller's buffer, kept between lines so that no line costs an allocation.
bool tellsOfFailure(const QByteArray &message, std::string *lower)
{
    static const std::string_view words[] = {"error", "fail", "refus", "not match", "could not",
                                             "cannot", "timeout", "not found", "hijack", "interrupted"};
    // One lower-case copy and plain searches: a case-blind search per word costs far more. The
    // words are ASCII, so only ASCII letters need lowering, and other bytes never match them.
    lower->assign(message.constData(), size_t(message.size()));
    for (char &c : *lower) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    const std::string_view text(*lower);
    for (const std::string_view &word : words) {
        if (text.find(word) != std::string_view::npos)
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
    std::string lower;
    // The lines are walked in place: only the programs' own ("##") are looked at further.
    const char *next = log.constData();
    const char *const end = next + log.size();
    while (next < end) {
        const char *line = next;
        const char *newline = static_cast<const char *>(std::memchr(line, '\n', size_t(end - line)));
        const char *lineEnd = newline ? newline : end;
        next = newline ? newline + 1 : end;
        while (lineEnd > line && (lineEnd[-1] == ' ' || (lineEnd[-1] >= '\t' && lineEnd[-1] <= '\r')))
            --lineEnd;
        if (lineEnd - line < 2 || line[0] != '#' || line[1] != '#' || !splitLine(line, int(lineEnd - line), &fromSetup, &bytes))
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
        if (tellsOfFailure(bytes, &lower))
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
