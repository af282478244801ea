#include "LoopbackServer.h"

#include <ws2tcpip.h>

const char LoopbackServer::kNotFoundPage[] =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>";

namespace {

struct WinsockStartup {
    WinsockStartup() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockStartup() { ::WSACleanup(); }
};

void EnsureWinsock() {
    static WinsockStartup startup;
}

SOCKET BindLoopback(unsigned short port, unsigned short& bound) {
    EnsureWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    int len = sizeof(addr);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    bound = ntohs(addr.sin_port);
    return s;
}

const char* Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

}  // namespace

unsigned short UnusedLoopbackPort() {
    unsigned short port = 0;
    SOCKET s = BindLoopback(0, port);
    if (s != INVALID_SOCKET) ::closesocket(s);
    return port;
}

LoopbackServer::LoopbackServer(unsigned short port) {
    m_listener = BindLoopback(port, m_port);
    if (m_listener == INVALID_SOCKET) return;
    if (::listen(m_listener, SOMAXCONN) != 0) {
        ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return;
    }
    m_thread = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
    if (m_listener != INVALID_SOCKET) {
        ::closesocket(m_listener);  // ends accept() on the server thread
        m_listener = INVALID_SOCKET;
    }
    if (m_thread.joinable()) m_thread.join();
}

std::wstring LoopbackServer::Url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(m_port) + path;
}

void LoopbackServer::Answer(const std::string& path, int status, const std::string& contentType,
                            const std::string& body) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_responses[path] = Response{status, contentType, body};
}

std::vector<std::string> LoopbackServer::Targets() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_targets;
}

void LoopbackServer::Serve() {
    for (;;) {
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        Handle(client);
        ::closesocket(client);
    }
}

void LoopbackServer::Handle(SOCKET client) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const int n = ::recv(client, chunk, sizeof(chunk), 0);
        if (n <= 0) return;
        request.append(chunk, static_cast<std::size_t>(n));
    }
    // Request line: METHOD SP target SP version
    const std::size_t lineEnd = request.find("\r\n");
    const std::string line = request.substr(0, lineEnd);
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = line.rfind(' ');
    const std::string target = sp1 != std::string::npos && sp2 > sp1 ? line.substr(sp1 + 1, sp2 - sp1 - 1) : "";
    const std::string path = target.substr(0, target.find('?'));

    Response response{404, "text/html", kNotFoundPage};
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_targets.push_back(target);
        const auto found = m_responses.find(path);
        if (found != m_responses.end()) response = found->second;
    }
    std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    reply += "Content-Type: " + response.contentType + "\r\n";
    reply += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    reply += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    reply += response.body;
    std::size_t sent = 0;
    while (sent < reply.size()) {
        const int n = ::send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(client, SD_SEND);
}
