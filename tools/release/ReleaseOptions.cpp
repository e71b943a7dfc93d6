#include "ReleaseOptions.h"

#include "ReleaseFreshness.h"
#include "ReleaseVersion.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>
#include <QUrl>

namespace {

bool usableVersion(const QString &version)
{
    return !version.isEmpty() && version != QLatin1String(".") && version != QLatin1String("..")
        && !version.contains(QLatin1Char('/')) && !version.contains(QLatin1Char('\\')) && !version.contains(QChar(0));
}

bool readSettings(const QString &path, QJsonObject *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the settings file %1").arg(path);
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonObject object = document.object();
    bool ok = parse.error == QJsonParseError::NoError && document.isObject();
    for (const QJsonValue &key : object.value(QStringLiteral("delete")).toArray())
        ok = ok && key.isString() && !key.toString().isEmpty();
    const QJsonObject add = object.value(QStringLiteral("add")).toObject();
    for (auto it = add.constBegin(); it != add.constEnd(); ++it)
        ok = ok && it.value().isString() && !it.key().isEmpty();
    if (!ok || (object.contains(QStringLiteral("delete")) && !object.value(QStringLiteral("delete")).isArray())
        || (object.contains(QStringLiteral("add")) && !object.value(QStringLiteral("add")).isObject())) {
        *error = QStringLiteral("the settings file %1 must be {\"delete\": [\"key\", ...], \"add\": {\"key\": \"value\", ...}}").arg(path);
        return false;
    }
    *out = QJsonObject{{QStringLiteral("delete"), object.value(QStringLiteral("delete")).toArray()},
                       {QStringLiteral("add"), add}};
    return true;
}

} // namespace

void ReleaseOptions::describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Builds the update packets and the update manifest of a Veltora release, then checks what it wrote "
        "with the updater's own reader, extraction and patcher."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("new"), QStringLiteral("The bundle of the new version."), QStringLiteral("DIR")},
        {QStringLiteral("old"), QStringLiteral("A previous version and its bundle; repeat for each."), QStringLiteral("VERSION=DIR")},
        {QStringLiteral("base-url"), QStringLiteral("Where the files will be published (http only)."), QStringLiteral("URL")},
        {QStringLiteral("out"), QStringLiteral("Folder that receives the packets, installer and manifest."), QStringLiteral("DIR")},
        {QStringLiteral("installer"), QStringLiteral("The full installer image."), QStringLiteral("FILE")},
        {QStringLiteral("fix-bundle"), QStringLiteral("Bundle of the fix-update packet (default: the new bundle)."), QStringLiteral("DIR")},
        {QStringLiteral("fix-versions"), QStringLiteral("Versions whose updater must be replaced first."), QStringLiteral("V1,V2,...")},
        {QStringLiteral("settings"), QStringLiteral("settings.ini edits: {\"delete\": [keys], \"add\": {key: value}}."), QStringLiteral("FILE")},
        {QStringLiteral("manifest-name"), QStringLiteral("File name of the manifest (default update.json)."), QStringLiteral("NAME")},
        {QStringLiteral("signing-key"), QStringLiteral("Sign the release with this secret key (see --generate-key)."), QStringLiteral("FILE")},
        {QStringLiteral("release-version"),
         QStringLiteral("Version of this release; its files go below BASE-URL/VERSION/ (default: the new bundle's "
                        "Contents/Resources/version.txt)."),
         QStringLiteral("VERSION")},
        {QStringLiteral("patch-memory"),
         QStringLiteral("Memory the patches being made at once may use, in MB (default 2048); a file of n bytes costs about 8n."),
         QStringLiteral("MB")},
        {QStringLiteral("quiet"), QStringLiteral("No progress output.")},
        {QStringLiteral("generate-key"), QStringLiteral("Write a new release key pair into DIR and print the public key; nothing else."),
         QStringLiteral("DIR")},
        {QStringLiteral("valid-days"),
         QStringLiteral("How long a signed manifest holds, in days (default 14, at most 31); renew it before then."),
         QStringLiteral("DAYS")},
        {QStringLiteral("sequence"),
         QStringLiteral("The signed manifest's sequence (default: one above the manifest already in the output folder)."),
         QStringLiteral("N")},
        {QStringLiteral("rollout-share"),
         QStringLiteral("Offer the release to this share of installations, 0-100, decimals allowed (0 halts it; default: all)."),
         QStringLiteral("PERCENT")},
        {QStringLiteral("renew"),
         QStringLiteral("Re-sign a published manifest with new dates and the next sequence (and --rollout-share); "
                        "its packets stay as they are. Needs --signing-key for a signed one."),
         QStringLiteral("MANIFEST")},
        {QStringLiteral("hand-over"),
         QStringLiteral("Hand over from the --signing-key key to the key pair in DIR (made with --generate-key): writes the "
                        "key statement beside the manifest in --out and numbers DIR's public key."),
         QStringLiteral("DIR")},
        {QStringLiteral("inspect"), QStringLiteral("Show a published manifest's dates, time left, key and share."),
         QStringLiteral("MANIFEST")},
    });
}

bool ReleaseOptions::fromParser(const QCommandLineParser &parser, ReleaseOptions *out, QString *error)
{
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
        return false;
    }
    for (const char *required : {"new", "old", "base-url", "out", "installer"}) {
        if (!parser.isSet(QString::fromLatin1(required))) {
            *error = QStringLiteral("--%1 is required").arg(QString::fromLatin1(required));
            return false;
        }
    }

    out->newBundle = parser.value(QStringLiteral("new"));
    if (!QFileInfo(out->newBundle).isDir()) {
        *error = QStringLiteral("the new bundle is not a folder: %1").arg(out->newBundle);
        return false;
    }

    QSet<QString> versions;
    for (const QString &old : parser.values(QStringLiteral("old"))) {
        const int equals = old.indexOf(QLatin1Char('='));
        const QString version = old.left(equals);
        const QString folder = old.mid(equals + 1);
        if (equals <= 0 || folder.isEmpty() || !usableVersion(version)) {
            *error = QStringLiteral("--old takes VERSION=DIR with a version usable in a file name, not: %1").arg(old);
            return false;
        }
        if (versions.contains(version)) {
            *error = QStringLiteral("version %1 is listed twice").arg(version);
            return false;
        }
        if (!QFileInfo(folder).isDir()) {
            *error = QStringLiteral("the bundle of version %1 is not a folder: %2").arg(version, folder);
            return false;
        }
        versions.insert(version);
        out->oldBundles.append({version, folder});
    }

    const QUrl base(parser.value(QStringLiteral("base-url")), QUrl::StrictMode);
    if (!base.isValid() || base.scheme() != QLatin1String("http") || base.host().isEmpty() || base.hasQuery()
        || base.hasFragment()) {
        *error = QStringLiteral("the base URL must be a plain http://HOST[:PORT]/PATH address: %1")
                     .arg(parser.value(QStringLiteral("base-url")));
        return false;
    }
    out->baseUrl = base.toString(QUrl::StripTrailingSlash | QUrl::FullyEncoded);

    out->outDir = parser.value(QStringLiteral("out"));
    if (QFileInfo::exists(out->outDir) && !QFileInfo(out->outDir).isDir()) {
        *error = QStringLiteral("the output is not a folder: %1").arg(out->outDir);
        return false;
    }

    out->installer = parser.value(QStringLiteral("installer"));
    if (!QFileInfo(out->installer).isFile()) {
        *error = QStringLiteral("the installer image is not a file: %1").arg(out->installer);
        return false;
    }

    out->fixBundle = parser.isSet(QStringLiteral("fix-bundle")) ? parser.value(QStringLiteral("fix-bundle")) : out->newBundle;
    if (!QFileInfo(out->fixBundle).isDir()) {
        *error = QStringLiteral("the fix-update bundle is not a folder: %1").arg(out->fixBundle);
        return false;
    }
    out->fixVersions = parser.value(QStringLiteral("fix-versions")).split(QLatin1Char(','), Qt::SkipEmptyParts);

    if (parser.isSet(QStringLiteral("settings")) && !readSettings(parser.value(QStringLiteral("settings")), &out->settings, error))
        return false;

    if (parser.isSet(QStringLiteral("patch-memory"))) {
        bool ok = false;
        const qint64 megabytes = parser.value(QStringLiteral("patch-memory")).toLongLong(&ok);
        if (!ok || megabytes < 1 || megabytes > (qint64(1) << 30)) {
            *error = QStringLiteral("--patch-memory takes a number of MB: %1").arg(parser.value(QStringLiteral("patch-memory")));
            return false;
        }
        out->patchMemory = megabytes << 20;
    }
    out->quiet = parser.isSet(QStringLiteral("quiet"));

    if (parser.isSet(QStringLiteral("manifest-name")))
        out->manifestName = parser.value(QStringLiteral("manifest-name"));
    if (out->manifestName.isEmpty() || out->manifestName.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("the manifest name must be a plain file name: %1").arg(out->manifestName);
        return false;
    }
    return readSigning(parser, out, error) && readReleaseVersion(parser, out, error)
        && readChoice(parser, &out->signingChoice, error);
}

bool ReleaseOptions::readChoice(const QCommandLineParser &parser, ReleaseSigning::Choice *choice, QString *error)
{
    if (parser.isSet(QStringLiteral("valid-days"))) {
        bool ok = false;
        choice->validDays = parser.value(QStringLiteral("valid-days")).toInt(&ok);
        if (!ok || choice->validDays < 1 || choice->validDays > ReleaseFreshness::maxValidDays) {
            *error = QStringLiteral("--valid-days takes a number of days from 1 to %1: %2")
                         .arg(ReleaseFreshness::maxValidDays)
                         .arg(parser.value(QStringLiteral("valid-days")));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("sequence"))) {
        bool ok = false;
        choice->sequence = parser.value(QStringLiteral("sequence")).toLongLong(&ok);
        if (!ok || choice->sequence < 1 || choice->sequence > (qint64(1) << 52)) {
            *error = QStringLiteral("--sequence takes a whole number from 1: %1").arg(parser.value(QStringLiteral("sequence")));
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("rollout-share"))) {
        bool ok = false;
        // The C locale: a decimal point, whatever the vendor's machine is set to.
        choice->share = QLocale::c().toDouble(parser.value(QStringLiteral("rollout-share")), &ok);
        if (!ok || !(choice->share >= 0 && choice->share <= 100)) {
            *error = QStringLiteral("--rollout-share takes a share from 0 to 100: %1").arg(parser.value(QStringLiteral("rollout-share")));
            return false;
        }
        choice->hasShare = true;
    }
    return true;
}

bool ReleaseOptions::readSigning(const QCommandLineParser &parser, ReleaseOptions *out, QString *error)
{
    if (!parser.isSet(QStringLiteral("signing-key")))
        return true;
    out->signingKey = parser.value(QStringLiteral("signing-key"));
    if (!QFileInfo(out->signingKey).isFile()) {
        *error = QStringLiteral("the signing key is not a file: %1").arg(out->signingKey);
        return false;
    }
    return true;
}

bool ReleaseOptions::readReleaseVersion(const QCommandLineParser &parser, ReleaseOptions *out, QString *error)
{
    if (parser.isSet(QStringLiteral("release-version"))) {
        out->releaseVersion = parser.value(QStringLiteral("release-version"));
    } else {
        QFile file(out->newBundle + QStringLiteral("/Contents/Resources/version.txt"));
        if (file.open(QIODevice::ReadOnly))
            out->releaseVersion = QString::fromUtf8(file.read(256)).trimmed();
    }
    if (!ReleaseVersion::isValid(out->releaseVersion)) {
        *error = QStringLiteral("a release needs a dotted numeric --release-version (or version.txt in the new bundle), not: %1")
                     .arg(out->releaseVersion);
        return false;
    }
    return true;
}
