#ifndef VELTORA_NGINXSITE_H
#define VELTORA_NGINXSITE_H

#include <QString>
#include <QtGlobal>

// nginx serving a folder on a free loopback port (scripts/nginx-serve.sh), for the
// tests that run whole downloads and updates against a real server. Stopped with
// the object.
class NginxSite
{
public:
    NginxSite() = default;
    NginxSite(const NginxSite &) = delete;
    NginxSite &operator=(const NginxSite &) = delete;
    ~NginxSite() { stop(); }

    static bool installed();
    // Serves root; the configuration, logs and pid file go to stateDir.
    bool start(const QString &root, const QString &stateDir, QString *error);
    void stop();

    quint16 port() const { return m_port; }
    QString url(const QString &path) const;

private:
    QString m_state;
    quint16 m_port = 0;
};

#endif
