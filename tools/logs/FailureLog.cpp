#include "FailureLog.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstring>
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
    std::string_view start; // the message starts with it, or is it when `whole`
    bool whole;
    const char *road;

    bool marks(const QByteArray &message) const
    {
        const size_t size = size_t(message.size());
        return (whole ? size == start.size() : size >= start.size()) && std::memcmp(message.constData(), start.data(), start.size()) == 0;
    }
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

// Whether `text` holds `word` (lower-case ASCII) at `at`, in any case.
bool wordAt(const char *text, size_t size, size_t at, std::string_view word)
{
    if (size - at < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        char c = text[at + i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return true;
}

// One pass over the message, each place tried only against the words that begin with its
// letter: this runs for every line of every upload. The words are ASCII, so bytes of other
// characters never match them.
bool tellsOfFailure(const QByteArray &message)
{
    const char *text = message.constData();
    const size_t size = size_t(message.size());
    for (size_t at = 0; at < size; ++at) {
        switch (text[at] | 0x20) {   // ASCII letters in lower case; nothing else maps onto them
        case 'e': if (wordAt(text, size, at, "error")) return true; break;
        case 'f': if (wordAt(text, size, at, "fail")) return true; break;
        case 'r': if (wordAt(text, size, at, "refus")) return true; break;
        case 'n': if (wordAt(text, size, at, "not match") || wordAt(text, size, at, "not found")) return true; break;
        case 'c': if (wordAt(text, size, at, "could not") || wordAt(text, size, at, "cannot")) return true; break;
        case 't': if (wordAt(text, size, at, "timeout")) return true; break;
        case 'h': if (wordAt(text, size, at, "hijack")) return true; break;
        case 'i': if (wordAt(text, size, at, "interrupted")) return true; break;
        default: break;
        }
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
        const char first = bytes.isEmpty() ? '\0' : bytes.at(0);
        if (first == '*' || bytes.startsWith("downloadurl ") || bytes.startsWith("targetRelease: ")) {
            const QString message = QString::fromUtf8(bytes);
            QRegularExpressionMatch m;
            if (first == '*' && (m = version.match(message)).hasMatch()) {
                fields.installedVersion = plain(unquoted(m.captured(1)));
            } else if (first == '*' && (m = system.match(message)).hasMatch()) {
                fields.platform = plain(unquoted(m.captured(1)));
            } else if (first == 'd' && (m = manifest.match(message)).hasMatch()) {
                fields.manifestUrl = plain(unquoted(m.captured(1)));
            } else if (first == 't' && (m = target.match(message)).hasMatch() && m.captured(2).toDouble() <= 100) {
                fields.targetRelease = plain(m.captured(1));
                fields.rolloutShare = m.captured(2);
            }
        } else if (bytes == "========upload Log========") {
            uploaded = true;
            inSetup = fromSetup;
            continue;
        }
        if (fromSetup)
            inSetup = true;
        for (const Marker &marker : roadMarkers) {
            if (marker.marks(bytes))
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
