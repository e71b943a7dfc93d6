#ifndef VELTORA_UPDATESITE_H
#define VELTORA_UPDATESITE_H

#include "NginxSite.h"
#include "TestHttpServer.h"

#include <QString>
#include <QTemporaryDir>
#include <QTest>

// What the whole-update tests stand on: a work folder, nginx serving its "www" folder on
// loopback, and a relay that answers for the vendor's log-upload host (the programs
// reach it through http_proxy). Everything goes with the object.
class UpdateSite
{
public:
    // Lays out the old bundle (1.0, application appOld) and the new one (2.0, appNew)
    // under <work>/bundles, then starts the relay and nginx.
    bool start(const QString &appOld, const QString &appNew, QString *error);
    void stop() { m_nginx.stop(); }

    QString work() const { return m_work.path(); }
    QString www() const { return work() + QStringLiteral("/www"); }
    QString url(const QString &path) const { return m_nginx.url(path); }
    TestHttpServer &relay() { return m_relay; }
    QString oldBundle() const { return work() + QStringLiteral("/bundles/1.0/Veltora.app"); }
    QString newBundle() const { return work() + QStringLiteral("/bundles/2.0/Veltora.app"); }

    // Lays out a bundle of `version` whose application is `app`, as the build installs it;
    // with a public key the bundle checks release signatures.
    static bool makeBundle(const QString &path, const QString &app, const QString &version,
                           const QString &publicKey = QString());

private:
    QTemporaryDir m_work;
    NginxSite m_nginx;
    TestHttpServer m_relay;
};

// For initTestCase(): skips the suite where nginx is missing, else starts `site`.
#define VELTORA_START_UPDATE_SITE(site, appOld, appNew)                                    \
    do {                                                                                   \
        if (!NginxSite::installed())                                                       \
            QSKIP("nginx is not installed");                                               \
        QString siteError;                                                                 \
        QVERIFY2((site).start(appOld, appNew, &siteError), qPrintable(siteError));         \
    } while (false)

#endif
