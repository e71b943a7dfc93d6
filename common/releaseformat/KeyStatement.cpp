#include "KeyStatement.h"

#include "ReleaseSigner.h"

#include <QUrl>

namespace KeyStatement {

namespace {

const QByteArray header = "veltora release key ";

// "name value" of one line; false when the name differs.
bool field(const QByteArray &line, const QByteArray &name, QByteArray *value)
{
    if (!line.startsWith(name + ' '))
        return false;
    *value = line.mid(name.size() + 1);
    return !value->isEmpty() && !value->contains(' ');
}

} // namespace

QString pathOf(const QString &manifestPath, int number)
{
    return manifestPath + QStringLiteral(".key-%1").arg(number);
}

QString urlOf(const QString &manifestUrl, int number)
{
    QUrl url(manifestUrl, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyDecoded) + QStringLiteral(".key-%1").arg(number), QUrl::DecodedMode);
    return url.toString(QUrl::FullyEncoded);
}

QByteArray make(const ReleaseSigner &previous, const ReleaseKey &previousKey, const ReleaseSigner &next)
{
    const QByteArray signedPart = header + QByteArray::number(previousKey.number() + 1) + '\n' + "previous "
        + previousKey.toText() + '\n' + "key " + next.publicKey().toText() + '\n';
    return signedPart + "signature-previous " + previous.sign(signedPart).trimmed() + '\n' + "signature-key "
        + next.sign(signedPart).trimmed() + '\n';
}

bool parse(const QByteArray &text, Parsed *out, QString *error)
{
    const auto malformed = [error](const QString &what) {
        *error = QStringLiteral("the key statement is malformed: %1").arg(what);
        return false;
    };
    if (text.size() > maxSize)
        return malformed(QStringLiteral("larger than %1 bytes").arg(maxSize));
    if (!text.endsWith('\n'))
        return malformed(QStringLiteral("it does not end in a line end"));
    const QList<QByteArray> lines = text.chopped(1).split('\n');
    if (lines.size() != 5)
        return malformed(QStringLiteral("%1 lines instead of 5").arg(lines.size()));
    Parsed parsed;
    QByteArray previous;
    QByteArray key;
    QString keyError;
    if (!lines.at(0).startsWith(header) || !ReleaseKey::parseKeyNumber(lines.at(0).mid(header.size()), &parsed.number)
        || parsed.number < 2)
        return malformed(QStringLiteral("the first line is not \"veltora release key <number from 2>\""));
    if (!field(lines.at(1), "previous", &previous) || !ReleaseKey::fromText(previous, &parsed.previous, &keyError))
        return malformed(QStringLiteral("no \"previous\" key line"));
    if (!field(lines.at(2), "key", &key) || !ReleaseKey::fromText(key, &parsed.key, &keyError))
        return malformed(QStringLiteral("no \"key\" line"));
    if (!field(lines.at(3), "signature-previous", &parsed.signaturePrevious)
        || !field(lines.at(4), "signature-key", &parsed.signatureKey))
        return malformed(QStringLiteral("it does not carry both signatures"));
    parsed.previous.setNumber(parsed.number - 1);
    parsed.key.setNumber(parsed.number);
    parsed.signedPart = lines.at(0) + '\n' + lines.at(1) + '\n' + lines.at(2) + '\n';
    *out = parsed;
    return true;
}

bool verifyStep(const QByteArray &text, const ReleaseKey &held, ReleaseKey *next, QString *error)
{
    Parsed parsed;
    if (!parse(text, &parsed, error))
        return false;
    const int expected = held.number() + 1;
    if (parsed.number != expected) {
        *error = QStringLiteral("key statement %1 names key %2").arg(expected).arg(parsed.number);
        return false;
    }
    if (!parsed.previous.sameKey(held)) {
        *error = QStringLiteral("key statement %1 hands over from another key than this installation's key %2")
                     .arg(expected)
                     .arg(held.number());
        return false;
    }
    QString why;
    if (!held.verify(parsed.signedPart, parsed.signaturePrevious, &why)) {
        *error = QStringLiteral("key statement %1 is not signed by key %2: %3").arg(expected).arg(held.number()).arg(why);
        return false;
    }
    if (!parsed.key.verify(parsed.signedPart, parsed.signatureKey, &why)) {
        *error = QStringLiteral("key statement %1 is not signed by the new key itself: %2").arg(expected).arg(why);
        return false;
    }
    *next = parsed.key;
    return true;
}

bool checkReach(const ReleaseKey &held, int target, QString *error)
{
    if (target < held.number()) {
        *error = QStringLiteral("the manifest is signed by key %1, but this installation has moved on to key %2")
                     .arg(target)
                     .arg(held.number());
        return false;
    }
    if (target - held.number() > maxSteps) {
        *error = QStringLiteral("the manifest is signed by key %1, more than %2 hand-overs from this installation's key %3")
                     .arg(target)
                     .arg(maxSteps)
                     .arg(held.number());
        return false;
    }
    return true;
}

bool walk(const ReleaseKey &held, int target, const QList<QByteArray> &statements, ReleaseKey *reached, QString *error)
{
    if (!checkReach(held, target, error))
        return false;
    ReleaseKey key = held;
    for (int number = held.number() + 1; number <= target; ++number) {
        const int index = number - held.number() - 1;
        if (index >= statements.size()) {
            *error = QStringLiteral("key statement %1 is missing").arg(number);
            return false;
        }
        if (!verifyStep(statements.at(index), key, &key, error))
            return false;
    }
    *reached = key;
    return true;
}

} // namespace KeyStatement
