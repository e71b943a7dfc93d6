#include "UpdateSite.h"

#include "BundleSnapshot.h"

#include <QDir>

bool UpdateSite::start(QString *error)
{
    if (!m_work.isValid() || !m_relay.listen()) {
        *error = QStringLiteral("no work folder or no relay");
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
