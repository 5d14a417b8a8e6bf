// The HTTP side that the host services share (Boost.Beast on Asio): one
// listening socket (a second instance on the same port fails with "address
// in use"), one event loop per thread, a cap on the open connections, the
// request read with limits and time-outs, keep-alive, written answers with
// their own time-outs, a Date header on every answer, one access-log line
// per request, and the signals: SIGHUP reloads, SIGTERM or SIGINT stops
// after the requests in flight (for at most the stop time-out), a second
// one stops at once.
//
// A service supplies the answers: a Handler receives each request that
// passed these checks (its body too, up to the service's limit) and returns
// the response.
#pragma once

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it (C++20)

#include <boost/beast/http.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace hosthttp {

namespace http = boost::beast::http;

// Open connections, over every thread, unless --max-connections says
// otherwise; lowered at start to what the open-file limit allows.
inline constexpr unsigned DefaultMaxConnections = 4096;
// The request header, whatever the service.
inline constexpr std::uint32_t HeaderLimit = 8192;

struct Options {
    std::string Program = "quellox-http";  // names the service in its messages
    std::string Address = "127.0.0.1";
    unsigned short Port = 8080;
    unsigned Threads = 0;  // 0: one per core
    unsigned MaxConnections = DefaultMaxConnections;
    unsigned StopTimeoutSeconds = 30;
    // The largest request body read; 0: a request with a body is refused.
    std::size_t BodyLimit = 0;
    std::chrono::seconds ReadTimeout{30};   // a whole request (header and body), or an idle keep-alive
    std::chrono::seconds WriteTimeout{60};  // each write of an answer
    // The pause after an accept that failed for want of file descriptors.
    std::chrono::milliseconds AcceptPause{1000};
};

struct Request {
    http::request<http::string_body> Message;
    std::string Peer;  // the client's address
};

// A piece of a streamed body: bytes in memory, or a range of a file that
// goes to the socket with sendfile.
struct Segment {
    const std::uint8_t* Data = nullptr;
    int Fd = -1;
    std::uint64_t FileOffset = 0;
    std::size_t Size = 0;  // 0: past the end
};

// A body sent from where its bytes already are.
class Body {
public:
    virtual ~Body() = default;
    // The longest piece of the body that starts at `position` and lies in one place.
    virtual Segment At(std::size_t position) const = 0;
};

struct Response {
    // The status and header; the body too, unless Stream is set. The
    // Content-Length of a text body is set from it.
    http::response<http::string_body> Message{http::status::ok, 11};
    // A streamed body: bytes [First, End) of Stream, the header's
    // Content-Length set by the handler.
    std::shared_ptr<const Body> Stream;
    std::size_t First = 0, End = 0;
    bool Close = false;     // end the connection after this answer
    // Close the connection without any answer (a client that retries only
    // when no answer comes will send the request again); logged as 444.
    bool Unanswered = false;
    std::string LogFields;  // the service's own fields in the access-log line
    std::string Reason;     // a refusal's reason, logged
};

// One line of plain text, never cached: a refusal's answer.
Response Refusal(http::status status, const std::string& reason);

// Takes the answer to a request; callable from any thread, once.
using Reply = std::function<void(Response)>;

class Handler {
public:
    virtual ~Handler() = default;
    // Answers one request, on the thread of its connection.
    virtual Response Handle(const Request& request) = 0;
    // Answers one request whose answer may come later, from another thread
    // (once work elsewhere is done); the connection waits for it, and a stop
    // waits for it like for any request in flight. By default, Handle.
    virtual void HandleLater(const Request& request, Reply reply) { reply(Handle(request)); }
    // The service's access-log fields of a request the shared side refused.
    virtual std::string DefaultLogFields() const { return {}; }
    // A request the shared side refused before it reached the handler (a
    // body past the limit, a malformed request), with its reason.
    virtual void Refused(const std::string& /*reason*/) {}
    // SIGHUP: read the service's files again.
    virtual void Reload() {}
    // Follows "listening on ADDRESS:PORT" in the log.
    virtual std::string Describe() const { return {}; }
};

// Serves until SIGTERM or SIGINT and every request in flight has ended (or
// the stop time-out has passed, or a second signal came); the exit code: 0,
// or 1 when it cannot listen, 2 when the address is not one.
int Serve(const Options& options, Handler& handler);

// The log's time, and a value quoted for it (bytes outside printable ASCII,
// quotes and backslashes as \xHH).
std::string LogTime();
std::string Quoted(std::string_view text);
// One line to standard output (the journal under systemd), written at once.
void LogLine(const std::string& line);

}  // namespace hosthttp
