#include "NginxSite.h"

#include "BundleSnapshot.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString script = QStringLiteral(VELTORA_SOURCE_DIR "/scripts/nginx-serve.sh");

} // namespace

bool NginxSite::installed()
{
    return !QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty()
        || QFileInfo::exists(QStringLiteral("/usr/sbin/nginx"));
}

bool NginxSite::start(const QString &root, const QString &stateDir, QString *error)
{
    QString output;
    if (!BundleSnapshot::run(QStringLiteral("bash"), {script, QStringLiteral("start"), root, stateDir}, &output, 30000)) {
        *error = output;
        return false;
    }
    m_state = stateDir;
    m_port = quint16(output.trimmed().toUInt());
    if (m_port == 0)
        *error = QStringLiteral("no port in: ") + output;
    return m_port != 0;
}

void NginxSite::stop()
{
    if (m_state.isEmpty())
        return;
    BundleSnapshot::run(QStringLiteral("bash"), {script, QStringLiteral("stop"), m_state});
    m_state.clear();
    m_port = 0;
}

QString NginxSite::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}
