#ifndef VELTORA_CUTPROXY_H
#define VELTORA_CUTPROXY_H

#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A TCP relay on 127.0.0.1 in front of another local server (nginx in the tests and
// the benchmark). It counts the bytes it relays to its clients and can cut every
// open connection once, when that count reaches a mark, as a flaky network does:
// the client sees its answers end early.
class CutProxy : public QObject
{
    Q_OBJECT

public:
    explicit CutProxy(quint16 upstreamPort, QObject *parent = nullptr);

    bool listen();
    quint16 port() const;
    QString url(const QString &path) const;

    // Cuts all connections when the bytes relayed to clients reach `bytes`; -1: never.
    void cutAt(qint64 bytes) { m_cutAt = bytes; }
    bool hasCut() const { return m_cut; }
    qint64 bytesToClients() const { return m_relayed; }
    void resetCount() { m_relayed = 0; }

signals:
    // A client's connection has ended (the count is up to date).
    void connectionEnded();

private:
    void accept();
    void relayDown(QTcpSocket *client, QTcpSocket *upstream);
    void cutAll();

    QTcpServer *m_server;
    quint16 m_upstreamPort;
    qint64 m_cutAt = -1;
    qint64 m_relayed = 0;
    bool m_cut = false;
};

#endif
