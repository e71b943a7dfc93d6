#include "CutProxy.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
// What may wait in the relay for a slow reader before the relay stops reading.
constexpr qint64 windowBytes = 1 << 20;
}

CutProxy::CutProxy(quint16 upstreamPort, QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_upstreamPort(upstreamPort)
{
    connect(m_server, &QTcpServer::newConnection, this, &CutProxy::accept);
}

bool CutProxy::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 CutProxy::port() const
{
    return m_server->serverPort();
}

QString CutProxy::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void CutProxy::accept()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        auto *upstream = new QTcpSocket(client);
        upstream->setReadBufferSize(windowBytes);
        connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
            if (upstream->state() == QAbstractSocket::ConnectedState)
                upstream->write(client->readAll());
        });
        connect(upstream, &QTcpSocket::connected, client, [client, upstream] { upstream->write(client->readAll()); });
        connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream] { relayDown(client, upstream); });
        connect(client, &QTcpSocket::bytesWritten, upstream, [this, client, upstream] { relayDown(client, upstream); });
        connect(upstream, &QTcpSocket::disconnected, client, [this, client, upstream] {
            relayDown(client, upstream);
            client->disconnectFromHost();
        });
        connect(client, &QTcpSocket::disconnected, this, [this, client] {
            client->deleteLater();
            emit connectionEnded();
        });
        upstream->connectToHost(QHostAddress::LocalHost, m_upstreamPort);
    }
}

void CutProxy::relayDown(QTcpSocket *client, QTcpSocket *upstream)
{
    if (client->state() != QAbstractSocket::ConnectedState || client->bytesToWrite() > windowBytes)
        return;
    qint64 allowed = windowBytes;
    if (m_cutAt >= 0 && !m_cut)
        allowed = qMin(allowed, m_cutAt - m_relayed);
    const QByteArray data = upstream->read(qMax<qint64>(allowed, 0));
    client->write(data);
    m_relayed += data.size();
    if (m_cutAt >= 0 && !m_cut && m_relayed >= m_cutAt)
        cutAll();
}

void CutProxy::cutAll()
{
    m_cut = true;
    // The client gets every byte counted, then the end of the connection in the
    // middle of the answer; what the server still sends is dropped.
    const QList<QTcpSocket *> clients = m_server->findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *client : clients) {
        for (QObject *child : client->children()) {
            if (auto *upstream = qobject_cast<QTcpSocket *>(child)) {
                upstream->disconnect(client);
                upstream->abort();
            }
        }
        if (client->state() == QAbstractSocket::ConnectedState)
            client->disconnectFromHost();
    }
}
