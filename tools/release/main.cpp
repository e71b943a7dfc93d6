#include "ReleaseBuilder.h"
#include "ReleaseOptions.h"
#include "ReleaseProgress.h"
#include "ReleaseSigner.h"
#include "ReleaseSigning.h"
#include "ReleaseVerifier.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

// The updater's classes used for the check report every step; only problems matter here.
static void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "veltora-release: %s\n", qPrintable(message));
}

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltora-release"));
    QCommandLineParser parser;
    ReleaseOptions::describe(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "veltora-release: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    QString error;
    if (parser.isSet(QStringLiteral("generate-key"))) {
        QByteArray publicKey;
        if (!ReleaseSigner::generateKeyPair(parser.value(QStringLiteral("generate-key")), &publicKey, &error)) {
            std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("%s\n", publicKey.constData());
        return 0;
    }

    // Work on a published release: nothing is built.
    if (parser.isSet(QStringLiteral("renew"))) {
        ReleaseSigning::Choice choice;
        if (!ReleaseOptions::readChoice(parser, &choice, &error)) {
            std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
            return 2;
        }
        const QString manifest = parser.value(QStringLiteral("renew"));
        if (!ReleaseSigning::renew(manifest, parser.value(QStringLiteral("signing-key")), choice, stderr, &error)) {
            std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("%s\n", qPrintable(manifest));
        return 0;
    }
    if (parser.isSet(QStringLiteral("hand-over"))) {
        if (!parser.isSet(QStringLiteral("signing-key")) || !parser.isSet(QStringLiteral("out"))) {
            std::fprintf(stderr, "veltora-release: --hand-over needs the current key (--signing-key) and the output folder (--out)\n");
            return 2;
        }
        const QString manifestName = parser.isSet(QStringLiteral("manifest-name")) ? parser.value(QStringLiteral("manifest-name"))
                                                                                   : ReleaseOptions().manifestName;
        QString statement;
        if (!ReleaseSigning::handOver(parser.value(QStringLiteral("out")) + QLatin1Char('/') + manifestName,
                                      parser.value(QStringLiteral("signing-key")), parser.value(QStringLiteral("hand-over")),
                                      &statement, &error)) {
            std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("%s\n", qPrintable(statement));
        return 0;
    }
    if (parser.isSet(QStringLiteral("inspect"))) {
        if (!ReleaseSigning::inspect(parser.value(QStringLiteral("inspect")), stdout, stderr, &error)) {
            std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }

    ReleaseOptions options;
    if (!ReleaseOptions::fromParser(parser, &options, &error)) {
        std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
        return 2;
    }
    ReleaseProgress progress(ReleaseProgress::modeFor(options.quiet));
    ReleaseBuilder builder(options, &progress);
    if (!builder.build(&error)) {
        std::fprintf(stderr, "veltora-release: %s\n", qPrintable(error));
        return 1;
    }
    if (!ReleaseVerifier(options, builder.manifestPath(), &progress).verify(&error)) {
        std::fprintf(stderr, "veltora-release: check failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(builder.manifestPath()));
    return 0;
}
