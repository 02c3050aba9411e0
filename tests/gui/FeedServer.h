#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace daemonary::test {

// An HTTP/1.1 server on 127.0.0.1 for update feeds: a request for a path
// given its own response (an update's download) gets that one, every other
// request the feed's status and body; then the connection is closed.
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
        m_feed.status = status;
        m_feed.body = std::move(body);
    }

    // A response for one path. With declaredLength, the header announces that
    // many bytes whatever the body holds, so a shorter body is a transfer cut
    // off by the server, or, held open, one that stalls until the client leaves.
    void respond(const QByteArray& path, int status, QByteArray body,
                 std::optional<qint64> declaredLength = std::nullopt, bool holdOpen = false) {
        m_routes[path] = Response{status, std::move(body), declaredLength, holdOpen};
    }

    QUrl url(const QByteArray& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2")
                        .arg(m_server.serverPort())
                        .arg(QString::fromLatin1(path)));
    }

    int requestCount() const { return m_requests; }
    int requestCount(const QByteArray& path) const {
        const auto found = m_pathRequests.find(path);
        return found == m_pathRequests.end() ? 0 : found->second;
    }

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
                // "GET /path HTTP/1.1"
                const QList<QByteArray> requestLine =
                    request->left(request->indexOf("\r\n")).split(' ');
                const QByteArray path = requestLine.value(1);
                ++m_pathRequests[path];
                const auto route = m_routes.find(path);
                const Response& answer = route == m_routes.end() ? m_feed : route->second;
                socket->write(response(answer));
                if (!answer.holdOpen) {
                    socket->disconnectFromHost();
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    struct Response {
        int status = 200;
        QByteArray body;
        std::optional<qint64> declaredLength;
        bool holdOpen = false;
    };

    static QByteArray response(const Response& response) {
        const QByteArray reason = response.status == 200   ? "OK"
                                  : response.status == 404 ? "Not Found"
                                                           : "Internal Server Error";
        return "HTTP/1.1 " + QByteArray::number(response.status) + " " + reason +
               "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
               QByteArray::number(response.declaredLength.value_or(response.body.size())) +
               "\r\nConnection: close\r\n\r\n" + response.body;
    }

    QTcpServer m_server;
    std::vector<QPointer<QTcpSocket>> m_sockets;
    Response m_feed;
    std::map<QByteArray, Response> m_routes;
    int m_requests = 0;
    std::map<QByteArray, int> m_pathRequests;
};

// A feed offering one version: its enclosure at link, with that length and
// signature attribute (none when empty).
inline QByteArray feedOffering(const QByteArray& version, const QByteArray& link, qint64 length = 1,
                               const QByteArray& edSignature = {}) {
    return "<?xml version='1.0' encoding='utf-8'?>\n"
           "<rss version='2.0' "
           "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>\n"
           "<channel><title>Daemonary</title>\n"
           "<item><title>Version " +
           version +
           "</title>\n"
           "<enclosure url='" +
           link + "' sparkle:version='" + version + "' sparkle:shortVersionString='" + version +
           "' length='" + QByteArray::number(length) + "'" +
           (edSignature.isEmpty() ? QByteArray() : " sparkle:edSignature='" + edSignature + "'") +
           " type='application/octet-stream'/>\n"
           "</item></channel></rss>";
}

} // namespace daemonary::test
