// The shared HTTP side with a handler of its own, over real sockets on
// 127.0.0.1: a service that answers POSTs with a small body (as a collector
// does) gets the body whole, within its limit, however it is sent.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/http/Server.h"

namespace {

class Echo : public hosthttp::Handler {
public:
    hosthttp::Response Handle(const hosthttp::Request& request) override {
        hosthttp::Response response;
        response.Message.set(hosthttp::http::field::content_type, "text/plain");
        response.Message.body() = std::string(request.Message.method_string()) + " " + request.Message.body();
        response.LogFields = "echo=" + std::to_string(request.Message.body().size());
        return response;
    }
};

unsigned short FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

// Sends `request` on a new connection and returns everything answered until the server closes.
std::string Exchange(unsigned short port, const std::string& request) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 && attempt < 100; ++attempt) {
        ::close(s);
        s = ::socket(AF_INET, SOCK_STREAM, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(s, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    ::close(s);
    return answer;
}

std::string Body(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

TEST(HostHttp, PostBodiesWithinTheLimitReachTheHandler) {
    // The service's own thread takes SIGTERM; every other thread leaves it to that one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    hosthttp::Options options;
    options.Program = "test-service";
    options.Port = FreePort();
    options.Threads = 2;
    options.BodyLimit = 8192;
    Echo echo;
    int exitCode = -1;
    std::thread service([&] {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        exitCode = hosthttp::Serve(options, echo);
    });

    const std::string close = "Host: x\r\nConnection: close\r\n";
    struct Case {
        std::string Request;
        std::string Status;
        std::string Body;  // how the answer ends; empty: not checked
    } cases[] = {
        {"POST /e HTTP/1.1\r\n" + close + "Content-Length: 5\r\n\r\nhello", "200", "POST hello"},
        {"POST /e HTTP/1.1\r\n" + close + "Content-Length: 8192\r\n\r\n" + std::string(8192, 'a'), "200",
         "POST " + std::string(8192, 'a')},
        {"POST /e HTTP/1.1\r\n" + close + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "200",
         "POST abcde"},
        {"POST /e HTTP/1.1\r\n" + close + "Content-Length: 8193\r\n\r\n" + std::string(8193, 'a'), "413",
         "the request body is larger than 8192 bytes\n"},
        {"POST /e HTTP/1.1\r\n" + close + "Transfer-Encoding: chunked\r\n\r\n2001\r\n" + std::string(8193, 'a') +
             "\r\n0\r\n\r\n",
         "413", "the request body is larger than 8192 bytes\n"},
        {"POST /e HTTP/1.1\r\n" + close + "Expect: 100-continue\r\nContent-Length: 2\r\n\r\nhi", "100",
         "POST hi"},
        {"GET /e HTTP/1.1\r\n" + close + "\r\n", "200", "GET "},
        {"HEAD /e HTTP/1.1\r\n" + close + "\r\n", "200", ""},
    };
    for (const Case& c : cases) {
        std::string answer = Exchange(options.Port, c.Request);
        SCOPED_TRACE(c.Request.substr(0, 80));
        ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 " + c.Status) << answer.substr(0, 200);
        EXPECT_NE(answer.find("\r\nDate: "), std::string::npos);
        if (!c.Body.empty()) {
            EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), c.Body.size())), c.Body);
        }
    }
    // HEAD: the length of what the handler answered, no body.
    std::string head = Exchange(options.Port, "HEAD /e HTTP/1.1\r\n" + close + "\r\n");
    EXPECT_NE(head.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_EQ(Body(head), "");

    ::kill(::getpid(), SIGTERM);
    service.join();
    EXPECT_EQ(exitCode, 0);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

// Answers that come later, from a thread of the handler's own (as a
// collector answers once its database has committed): the connection
// waits for them, a stop waits for them too, and an answer may be none at
// all (the connection is closed without one).
class Later : public hosthttp::Handler {
public:
    hosthttp::Response Handle(const hosthttp::Request&) override { return {}; }
    void HandleLater(const hosthttp::Request& request, hosthttp::Reply reply) override {
        std::string target(request.Message.target());
        std::lock_guard lock(mutex_);
        threads_.emplace_back([target, reply = std::move(reply)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(target == "/slow" ? 600 : 30));
            hosthttp::Response response;
            if (target == "/none") {
                response.Unanswered = true;
            } else {
                response.Message.set(hosthttp::http::field::content_type, "text/plain");
                response.Message.body() = "later " + target;
            }
            reply(std::move(response));
        });
    }
    ~Later() override {
        for (auto& thread : threads_) thread.join();
    }

private:
    std::mutex mutex_;
    std::vector<std::thread> threads_;
};

TEST(HostHttp, AnswersThatComeLaterOrNotAtAll) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    hosthttp::Options options;
    options.Program = "test-service";
    options.Port = FreePort();
    options.Threads = 2;
    options.BodyLimit = 8192;
    Later later;
    int exitCode = -1;
    std::thread service([&] {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        exitCode = hosthttp::Serve(options, later);
    });
    const std::string close = "Host: x\r\nConnection: close\r\n\r\n";
    std::string answer = Exchange(options.Port, "GET /a HTTP/1.1\r\n" + close);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(Body(answer), "later /a");
    // Two on one connection, each after its answer.
    answer = Exchange(options.Port, "GET /b HTTP/1.1\r\nHost: x\r\n\r\nGET /c HTTP/1.1\r\n" + close);
    EXPECT_NE(answer.find("later /b"), std::string::npos);
    EXPECT_NE(answer.find("later /c"), std::string::npos);
    EXPECT_EQ(Exchange(options.Port, "GET /none HTTP/1.1\r\n" + close), "");
    // A stop while an answer is on its way: it still arrives.
    std::string slow;
    std::thread client([&] { slow = Exchange(options.Port, "GET /slow HTTP/1.1\r\n" + close); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(::getpid(), SIGTERM);
    client.join();
    service.join();
    EXPECT_EQ(Body(slow), "later /slow");
    EXPECT_EQ(exitCode, 0);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace
