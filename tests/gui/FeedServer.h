#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <memory>
#include <vector>

namespace daemonary::test {

// A one-route HTTP/1.1 server on 127.0.0.1 for update feeds: every request is
// answered with the current status and body, then the connection is closed.
class FeedServer {
public:
    FeedServer() {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
    }
    ~FeedServer() { stop(); }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }

    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(m_server.serverPort()));
    }

    void respond(int status, QByteArray body) {
        m_status = status;
        m_body = std::move(body);
    }

    int requestCount() const { return m_requests; }

    // Stops listening and drops every open connection.
    void stop() {
        m_server.close();
        for (const QPointer<QTcpSocket>& socket : m_sockets) {
            if (socket) {
                socket->abort();
                socket->deleteLater();
            }
        }
        m_sockets.clear();
    }

private:
    void accept() {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            m_sockets.emplace_back(socket);
            auto request = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
                request->append(socket->readAll());
                if (!request->contains("\r\n\r\n")) {
                    return;
                }
                ++m_requests;
                socket->write(response());
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    QByteArray response() const {
        const QByteArray reason = m_status == 200   ? "OK"
                                  : m_status == 404 ? "Not Found"
                                                    : "Internal Server Error";
        return "HTTP/1.1 " + QByteArray::number(m_status) + " " + reason +
               "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
               QByteArray::number(m_body.size()) + "\r\nConnection: close\r\n\r\n" + m_body;
    }

    QTcpServer m_server;
    std::vector<QPointer<QTcpSocket>> m_sockets;
    int m_status = 200;
    QByteArray m_body;
    int m_requests = 0;
};

// A feed offering one version.
inline QByteArray feedOffering(const QByteArray& version, const QByteArray& link) {
    return "<?xml version='1.0' encoding='utf-8'?>\n"
           "<rss version='2.0' "
           "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>\n"
           "<channel><title>Daemonary</title>\n"
           "<item><title>Version " +
           version +
           "</title>\n"
           "<enclosure url='" +
           link + "' sparkle:version='" + version + "' sparkle:shortVersionString='" + version +
           "' length='1' type='application/octet-stream'/>\n"
           "</item></channel></rss>";
}

} // namespace daemonary::test
