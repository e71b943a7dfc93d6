#include "UpdateSite.h"

#include "BundleSnapshot.h"

#include <QDir>

bool UpdateSite::start(const QString &appOld, const QString &appNew, QString *error)
{
    if (!m_work.isValid() || !m_relay.listen()) {
        *error = QStringLiteral("no work folder or no relay");
        return false;
    }
    if (!makeBundle(oldBundle(), appOld, QStringLiteral("1.0")) || !makeBundle(newBundle(), appNew, QStringLiteral("2.0"))) {
        *error = QStringLiteral("the bundles could not be laid out");
        return false;
    }
    m_relay.serveContent("/api/file.api.php", "stored");
    QDir().mkpath(www());
    return m_nginx.start(www(), work() + QStringLiteral("/nginx"), error);
}

bool UpdateSite::makeBundle(const QString &path, const QString &app, const QString &version, const QString &publicKey)
{
    return BundleSnapshot::run(QStringLiteral("bash"), {QStringLiteral(VELTORA_SOURCE_DIR "/scripts/make-bundle.sh"),
                                                        QStringLiteral(VELTORA_BUILD_DIR), path, app, version, publicKey});
}
