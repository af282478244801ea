// A small HTTP/1.1 server on 127.0.0.1 (a free port) for the tests, on a
// thread of its own. Each connection carries one request, whatever its
// target, which gets the answer last set (at first 404 with kNotFoundPage);
// then the connection is closed.
#pragma once

#include <winsock2.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class LoopbackServer {
public:
    static constexpr const char* kNotFoundPage = "<html><body><h1>404 Not Found</h1></body></html>";

    LoopbackServer() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{AF_INET, 0, {}, {}};
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(addr);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), size) == 0 && ::listen(m_listener, 16) == 0 &&
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
            m_thread = std::thread([this] { Serve(); });
        m_port = ntohs(addr.sin_port);
    }
    ~LoopbackServer() {
        ::closesocket(m_listener);  // ends accept() on the server thread
        if (m_thread.joinable()) m_thread.join();
        ::WSACleanup();
    }

    bool Listening() const { return m_thread.joinable(); }
    std::wstring Url(const std::wstring& target) const {
        return L"http://127.0.0.1:" + std::to_wstring(m_port) + target;
    }
    // A URL on a port where nothing listens any more.
    static std::wstring Unreachable(const std::wstring& target) { return LoopbackServer().Url(target); }
    // How the answer goes out: whole, or without Content-Length (the end of
    // the connection ends the body), or without one and a byte every 10 ms
    // for as long as the client reads.
    enum class Pace { Whole, Unsized, Trickle };
    void Answer(int status, const std::string& body, Pace pace = Pace::Whole) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_answer = {status, body};
        m_pace = pace;
    }
    // The request targets received since the last call.
    std::vector<std::string> TakeTargets() {
        std::lock_guard<std::mutex> hold(m_lock);
        return std::exchange(m_targets, {});
    }

private:
    void Serve() {
        for (SOCKET client; (client = ::accept(m_listener, nullptr, nullptr)) != INVALID_SOCKET;
             ::closesocket(client)) {
            std::string request;
            char chunk[4096];
            for (int n; request.find("\r\n\r\n") == std::string::npos && (n = ::recv(client, chunk, 4096, 0)) > 0;)
                request.append(chunk, n);
            std::pair<int, std::string> answer;
            Pace pace;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                const std::size_t start = request.find(' ') + 1;  // METHOD SP target SP version
                m_targets.push_back(request.substr(start, request.find(' ', start) - start));
                answer = m_answer;
                pace = m_pace;
            }
            const std::string head =
                "HTTP/1.1 " + std::to_string(answer.first) + " Answer\r\n" +
                (pace != Pace::Whole ? "" : "Content-Length: " + std::to_string(answer.second.size()) + "\r\n") +
                "Content-Type: text/xml; charset=utf-8\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
            const std::string reply = head + answer.second;
            for (int sent = 0, n = 0; sent < static_cast<int>(reply.size()) && n >= 0; sent += n)
                n = ::send(client, reply.data() + sent, static_cast<int>(reply.size()) - sent, 0);
            while (pace == Pace::Trickle && ::send(client, "x", 1, 0) == 1) ::Sleep(10);
            ::shutdown(client, SD_SEND);
        }
    }

    SOCKET m_listener;
    unsigned short m_port;
    std::mutex m_lock;
    std::pair<int, std::string> m_answer{404, kNotFoundPage};
    Pace m_pace = Pace::Whole;
    std::vector<std::string> m_targets;
    std::thread m_thread;
};
