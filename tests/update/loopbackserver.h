// loopbackserver.h - a tiny HTTP server on 127.0.0.1 for the update tests.
// It serves a fixed list of responses, one per connection, records every
// request it reads, and stops by itself after the last response or after
// its lifetime, whichever comes first.
#pragma once

#include <QByteArray>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

struct ServedResponse {
    QByteArray raw;    // the bytes sent back, status line included
    bool hang = false; // after sending raw, hold the connection open until stopped
};

inline QByteArray httpResponse(const QByteArray &body, int status = 200,
                               const QByteArray &reason = "OK")
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

class LoopbackServer {
public:
    explicit LoopbackServer(QList<ServedResponse> responses, int lifetimeMs = 8000)
        : m_responses(std::move(responses)), m_lifetime(lifetimeMs)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(m_listen, 8) != 0)
            return;
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    explicit LoopbackServer(const QByteArray &body)
        : LoopbackServer(QList<ServedResponse>{{httpResponse(body)}}) {}

    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    bool ok() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QByteArray base() const { return "http://127.0.0.1:" + QByteArray::number(m_port); }
    // The designed address form, on this server.
    QString address() const
    {
        return QString::fromLatin1(base() + "/getproductversion.ashx?app=vellumo&platform=x64");
    }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_listen >= 0)
            ::close(m_listen);
        m_listen = -1;
    }

    QList<QByteArray> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // A port on which nothing listens (connections are refused).
    static quint16 closedPort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
        ::close(s);
        return ntohs(addr.sin_port);
    }

private:
    using Clock = std::chrono::steady_clock;

    bool expired() const { return m_stop || Clock::now() >= m_deadline; }

    bool waitReadable(int fd) const
    {
        while (!expired()) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, 20);
            if (r > 0)
                return true;
            if (r < 0)
                return false;
        }
        return false;
    }

    void run()
    {
        m_deadline = Clock::now() + std::chrono::milliseconds(m_lifetime);
        for (const ServedResponse &response : m_responses) {
            if (!waitReadable(m_listen))
                return;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            serve(fd, response);
            ::close(fd);
        }
    }

    void serve(int fd, const ServedResponse &response)
    {
        QByteArray request;
        char buf[4096];
        while (!request.contains("\r\n\r\n") && request.size() < 65536 && waitReadable(fd)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, n);
        }
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(request);
        }
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        qsizetype sent = 0;
        while (sent < response.raw.size() && !expired()) {
            const ssize_t n = ::send(fd, response.raw.constData() + sent,
                                     static_cast<size_t>(response.raw.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break; // the client hung up, as it does after 512 bytes
            sent += n;
        }
        if (response.hang) {
            while (!expired())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        }
        ::shutdown(fd, SHUT_WR);
    }

    QList<ServedResponse> m_responses;
    int m_lifetime;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    Clock::time_point m_deadline{};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_requests;
    std::thread m_thread;
};
