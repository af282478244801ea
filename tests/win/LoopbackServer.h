// A small HTTP/1.1 server on 127.0.0.1 for the tests, on a thread of the
// test program. Each connection carries one request; the answer closes it.
// Paths without a configured answer get 404 with an HTML page.
#pragma once

#include <winsock2.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
public:
    // port 0 picks a free port.
    explicit LoopbackServer(unsigned short port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool Listening() const { return m_listener != INVALID_SOCKET; }
    unsigned short Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path
    std::wstring Url(const std::wstring& path) const;

    // The answer for a path (the request target up to its first '?').
    void Answer(const std::string& path, int status, const std::string& contentType, const std::string& body);

    // Request targets received so far, in order (path and query).
    std::vector<std::string> Targets() const;

    static const char kNotFoundPage[];

private:
    struct Response {
        int status;
        std::string contentType;
        std::string body;
    };
    void Serve();
    void Handle(SOCKET client);

    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    mutable std::mutex m_lock;
    std::map<std::string, Response> m_responses;
    std::vector<std::string> m_targets;
    std::thread m_thread;
};

// A loopback port on which nothing listens (bound once, then released).
unsigned short UnusedLoopbackPort();
