// The HTTP side that the host services share.
#include "host/http/Server.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/http/UniqueFd.h"

namespace hosthttp {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\') {
            quoted += static_cast<char>(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
        quoted += escaped;
    }
    return quoted + "\"";
}

std::string LogTime() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc;
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milliseconds));
    return text;
}

namespace {

// The access log: its lines gathered and written together, at most
// FlushDelay after the first of them (or at once past FlushSize), by a
// thread of its own while the service serves, so that a busy service does
// not spend a write on every request. Every other line, and every line
// while no writer runs, is written at once, after what was gathered, in
// order. The service's stop writes out the rest before it says "stopped".
constexpr std::chrono::milliseconds FlushDelay{50};
constexpr std::size_t FlushSize = 64 * 1024;

struct Gathered {
    std::mutex Mutex;
    std::condition_variable Wake;
    std::string Pending;
    bool Running = false;
    bool Ending = false;
};

Gathered& Log() {
    static Gathered log;
    return log;
}

// Whole lines in one write each time, so that lines never interleave.
void WriteOut(std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nowhere to write: the lines are dropped, as stdio would
        done += static_cast<std::size_t>(n);
    }
    text.clear();
}

void Gather(std::string&& line) {
    Gathered& log = Log();
    std::lock_guard lock(log.Mutex);
    bool wasEmpty = log.Pending.empty();
    log.Pending += line;
    log.Pending += '\n';
    if (!log.Running || log.Pending.size() >= FlushSize) return WriteOut(log.Pending);
    if (wasEmpty) log.Wake.notify_one();
}

// Runs beside the loops; ends (writing what is left) once Ending is set.
void WriteGathered() {
    Gathered& log = Log();
    std::unique_lock lock(log.Mutex);
    while (!log.Ending) {
        log.Wake.wait(lock, [&] { return log.Ending || !log.Pending.empty(); });
        log.Wake.wait_for(lock, FlushDelay, [&] { return log.Ending; });
        WriteOut(log.Pending);
    }
}

class LogWriter {
public:
    LogWriter() {
        std::lock_guard lock(Log().Mutex);
        Log().Running = true;
        Log().Ending = false;
        thread_ = std::thread(WriteGathered);
    }
    ~LogWriter() {
        {
            std::lock_guard lock(Log().Mutex);
            Log().Ending = true;
            Log().Running = false;
        }
        Log().Wake.notify_one();
        thread_.join();
        std::lock_guard lock(Log().Mutex);
        WriteOut(Log().Pending);
    }
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

private:
    std::thread thread_;
};

}  // namespace

// The request's target as the access log keeps it: a secret that a client
// sends in the query (api_secret=) is not written to the log.
static std::string WithoutSecrets(std::string_view target) {
    std::string kept(target);
    constexpr std::string_view name = "api_secret=";
    for (std::size_t at = kept.find(name); at != std::string::npos; at = kept.find(name, at)) {
        if (at != 0 && kept[at - 1] != '?' && kept[at - 1] != '&') {
            at += name.size();
            continue;
        }
        std::size_t from = at + name.size(), to = kept.find('&', from);
        kept.replace(from, (to == std::string::npos ? kept.size() : to) - from, "-");
        at = from;
    }
    return kept;
}

void LogLine(const std::string& line) {
    std::string full = line + "\n";
    Gathered& log = Log();
    std::lock_guard lock(log.Mutex);
    std::fflush(stdout);
    log.Pending += full;
    WriteOut(log.Pending);
}

Response Refusal(http::status status, const std::string& reason) {
    Response response;
    response.Message.result(status);
    // Plain text that a browser shows, never a file it would save.
    response.Message.set(http::field::content_type, "text/plain; charset=utf-8");
    response.Message.set("X-Content-Type-Options", "nosniff");
    response.Message.set(http::field::cache_control, "no-store");
    response.Message.body() = reason + "\n";
    response.Reason = reason;
    return response;
}

namespace {

constexpr std::size_t SendfileChunk = 1 << 20;
// Descriptors kept free for what is not a connection (the installer, the
// log, a reload's files, the listening sockets).
constexpr unsigned SpareDescriptors = 64;

// The Date header's value (RFC 9110 §5.6.7), made once a second per thread.
const std::string& HttpDate() {
    thread_local std::time_t made = 0;
    thread_local std::string text;
    std::time_t now = std::time(nullptr);
    if (now != made || text.empty()) {
        std::tm utc;
        gmtime_r(&now, &utc);
        char buffer[64];
        std::strftime(buffer, sizeof(buffer), "%a, %d %b %Y %H:%M:%S GMT", &utc);
        text = buffer;
        made = now;
    }
    return text;
}

bool IsChunkedOnly(beast::string_view codings) {
    return beast::iequals(codings, "chunked");
}

class Service;

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Service& service);
    ~Session();
    void Start();
    // Ends an idle connection now and a busy one after its answer.
    void PostStop() {
        net::post(stream_.get_executor(), [self = shared_from_this()] { self->Stop(); });
    }
    // Ends the connection now, its request logged as cut off.
    void PostCut() {
        net::post(stream_.get_executor(), [self = shared_from_this()] { self->Cut(); });
    }

private:
    void Stop();
    void Cut();
    void ReadRequest();
    void OnHeader();
    void ReadBody();
    void ReadBodyRest();
    void Answer();
    void Answered(Response&& response);
    void Refuse(http::status status, const std::string& reason);
    void Send(Response&& response);
    template <class Sending>
    void WriteSome(std::shared_ptr<Sending> sending);
    void SendStream(Response&& response);
    void SendNext();
    void ArmWriteTimeout();
    void Cork(bool on);
    void WritePieces();
    void SendFile(const Segment& segment);
    void Finish(beast::error_code ec);

    Service& service_;
    const Options& options_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{HeaderLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    bool reading_ = false;
    bool stopping_ = false;
    bool keepAlive_ = false;
    bool head_ = false;
    std::string peer_;
    std::optional<std::list<std::weak_ptr<Session>>::iterator> registered_;
    // The access log's fields of the request in progress.
    Clock::time_point started_;
    std::string method_, target_, fields_, reason_;
    unsigned status_ = 0;
    std::uint64_t sent_ = 0;

    // A streamed body on its way: the header, then the body's segments.
    struct Streaming {
        std::shared_ptr<const Body> Source;
        std::string Header;        // until it is written
        std::size_t Position = 0;  // the next byte of the body to send
        std::size_t End = 0;
    };
    std::optional<Streaming> streaming_;
    net::steady_timer waitTimer_;

    // A request whose answer comes later: the session keeps itself, and its
    // loop, alive until it does (or the connection is cut).
    std::shared_ptr<Session> waitingSelf_;
    std::optional<net::any_io_executor> waitingWork_;  // tracked: the loop does not run out of work
    bool inHandler_ = false;
    std::optional<Response> immediate_;  // an answer given before the handler returned
};

// Closed when the loops end: an answer that comes later is then dropped,
// never posted to a loop that is gone.
struct ReplyGate {
    std::mutex Mutex;
    bool Open = true;
};

// One event loop per thread. The first loop accepts on the one listening
// socket and hands each connection to the loops in turn; a connection then
// stays on its loop, without hand-offs between threads. The first loop also
// takes the signals and the stop.
class Service {
public:
    Service(const Options& options, Handler& handler)
        : options_(options), handler_(handler), loops_(MakeLoops(options)),
          signals_(*loops_[0], SIGINT, SIGTERM, SIGHUP), stopTimer_(*loops_[0]) {}

    int Run();
    const Options& Settings() const { return options_; }
    Handler& Answers() { return handler_; }
    // The sessions, so that a stop can reach them. `stopping` tells a
    // connection accepted while the service stops.
    std::list<std::weak_ptr<Session>>::iterator Add(const std::shared_ptr<Session>& session, bool& stopping) {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
        return sessions_.insert(sessions_.end(), session);
    }
    void Remove(std::list<std::weak_ptr<Session>>::iterator at);

private:
    struct Listener {
        tcp::acceptor Acceptor;
        net::steady_timer Pause;
        bool Full = false;  // waiting for a connection to end (the cap)
        bool Starved = false;  // out of descriptors
        explicit Listener(net::io_context& loop) : Acceptor(loop), Pause(loop) {}
    };
    static std::vector<std::unique_ptr<net::io_context>> MakeLoops(const Options& options) {
        unsigned threads = options.Threads != 0 ? options.Threads : std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::unique_ptr<net::io_context>> loops;
        for (unsigned i = 0; i < threads; ++i) {
            loops.push_back(std::make_unique<net::io_context>(1));
            // Each loop's reactor (its epoll, wake-up and timer descriptors)
            // is made now, while descriptors are plentiful: made on the first
            // connection handed to the loop, it would throw, and end the
            // service, when accepts have used up the open-file limit.
            net::steady_timer(*loops.back());
        }
        return loops;
    }
    bool Listen(tcp::endpoint& endpoint, beast::error_code& ec);
    void Accept(Listener& listener);
    void Arm(Listener& listener);
    void HandOff(tcp::socket socket);
    void WaitForSignal();
    void Stop();
    void CutAll(const char* why);
    void EndLoops();
    void CheckDescriptors();

    Options options_;
    Handler& handler_;
    std::mutex mutex_;
    std::list<std::weak_ptr<Session>> sessions_;
    std::atomic<unsigned> open_{0};
    std::atomic<bool> anyFull_{false};
    bool stopping_ = false;
    bool cut_ = false;
    bool ended_ = false;
    unsigned cap_ = 0;
    std::vector<std::unique_ptr<net::io_context>> loops_;
    std::list<Listener> listeners_;  // the one listening socket; the accept loop keeps a reference to it
    tcp protocol_ = tcp::v4();
    std::size_t nextLoop_ = 0;  // the first loop's alone
    // The other loops wait for connections until the stop.
    std::vector<net::executor_work_guard<net::io_context::executor_type>> idle_;
    net::signal_set signals_;
    net::steady_timer stopTimer_;

public:
    const std::shared_ptr<ReplyGate> Gate = std::make_shared<ReplyGate>();
};

Session::Session(tcp::socket socket, Service& service)
    : service_(service), options_(service.Settings()), stream_(std::move(socket)),
      waitTimer_(stream_.get_executor()) {
    beast::error_code ec;
    auto endpoint = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "-" : endpoint.address().to_string();
    // The gathered writes already leave in as few segments as they can; a
    // short last piece must not wait for the client's delayed ACK.
    stream_.socket().set_option(tcp::no_delay(true), ec);
    // sendfile must return when the socket's buffer is full, not wait.
    stream_.socket().native_non_blocking(true, ec);
}

// Once the last handler has let go of the session. A request still in
// progress then (the loops ended under it) is logged as cut off.
Session::~Session() {
    if (status_ != 0) Finish(beast::error_code(ECANCELED, beast::system_category()));
    if (registered_) service_.Remove(*registered_);
}

void Session::Start() {
    auto self = shared_from_this();
    registered_ = service_.Add(self, stopping_);
    net::dispatch(stream_.get_executor(), [self] { self->ReadRequest(); });
}

void Session::Stop() {
    stopping_ = true;
    // Idle, or in the middle of a header: no request is in flight.
    if (reading_ && status_ == 0 && !parser_->is_header_done()) stream_.socket().cancel();
}

void Session::Cut() {
    stopping_ = true;
    keepAlive_ = false;
    if (waitingSelf_) {
        // The answer will not be waited for: the request is logged as cut off.
        auto keep = std::move(waitingSelf_);
        waitingWork_.reset();
        status_ = 444;
        return Finish(beast::error_code(ECANCELED, beast::system_category()));
    }
    if (status_ != 0) return Finish(beast::error_code(ECANCELED, beast::system_category()));
    beast::error_code ignored;
    stream_.socket().close(ignored);
}

void Session::ReadRequest() {
    if (stopping_) return Finish({});
    head_ = false;
    parser_.emplace();
    parser_->header_limit(HeaderLimit);
    // The body's length is checked once the header is in (OnHeader), with a refusal of its own.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    // buffer_ keeps what was read past the last request: a pipelining
    // client's next one.
    reading_ = true;
    stream_.expires_after(options_.ReadTimeout);
    http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->reading_ = false;
        if (ec == http::error::end_of_stream || ec == net::error::operation_aborted || ec == beast::error::timeout)
            return self->Finish(ec);
        self->started_ = Clock::now();
        self->keepAlive_ = false;
        if (ec) {
            // A malformed or oversized request: one line of reason, then the connection ends.
            self->method_ = "-";
            self->target_ = "-";
            return self->Refuse(http::status::bad_request, ec == http::error::header_limit
                                                               ? "the request header is too large"
                                                               : "malformed request: " + ec.message());
        }
        self->OnHeader();
    });
}

// What every service refuses alike, before its handler sees the request.
void Session::OnHeader() {
    const auto& request = parser_->get();
    method_ = std::string(request.method_string());
    target_ = WithoutSecrets({request.target().data(), request.target().size()});
    head_ = request.method() == http::verb::head;
    fields_ = service_.Answers().DefaultLogFields();
    reason_.clear();
    // Each refusal here ends the connection: what follows the header cannot
    // be told apart from the next request.
    if (auto coding = request.find(http::field::transfer_encoding);
        coding != request.end() && (!IsChunkedOnly(coding->value()) || request.count(http::field::transfer_encoding) > 1))
        return Refuse(http::status::bad_request, "a transfer coding other than chunked is refused");
    if (request.version() >= 11 && request.count(http::field::host) != 1)
        return Refuse(http::status::bad_request, "an HTTP/1.1 request needs exactly one Host header");
    bool hasBody = parser_->chunked() || (parser_->content_length() && *parser_->content_length() > 0);
    if (hasBody && options_.BodyLimit == 0) return Refuse(http::status::bad_request, "a request with a body is refused");
    if (hasBody && parser_->content_length() && *parser_->content_length() > options_.BodyLimit)
        return Refuse(http::status::payload_too_large,
                      "the request body is larger than " + std::to_string(options_.BodyLimit) + " bytes");
    keepAlive_ = request.keep_alive() && !stopping_;
    if (!hasBody) return Answer();
    ReadBody();
}

void Session::ReadBody() {
    parser_->body_limit(options_.BodyLimit);  // a chunked body is counted as it comes
    // A client that waits for leave to send its body (curl does, past 1 KB) gets it at once.
    if (auto expect = parser_->get().find(http::field::expect);
        expect != parser_->get().end() && beast::iequals(expect->value(), "100-continue")) {
        static const std::string Continue = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_after(options_.WriteTimeout);
        return net::async_write(stream_, net::buffer(Continue), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->Finish(ec);
            self->ReadBodyRest();
        });
    }
    ReadBodyRest();
}

void Session::ReadBodyRest() {
    reading_ = true;
    stream_.expires_after(options_.ReadTimeout);
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->reading_ = false;
        if (!ec) return self->Answer();
        self->keepAlive_ = false;
        if (ec == http::error::body_limit)
            return self->Refuse(http::status::payload_too_large, "the request body is larger than " +
                                                                     std::to_string(self->options_.BodyLimit) + " bytes");
        if (ec == beast::error::timeout || ec == net::error::operation_aborted || ec == http::error::end_of_stream ||
            ec == http::error::partial_message)
            return self->Finish(ec);
        self->Refuse(http::status::bad_request, "malformed request: " + ec.message());
    });
}

void Session::Answer() {
    Request request{parser_->release(), peer_};
    waitingSelf_ = shared_from_this();
    waitingWork_.emplace(net::prefer(stream_.get_executor(), net::execution::outstanding_work.tracked));
    inHandler_ = true;
    sent_ = 0;
    auto executor = stream_.get_executor();
    service_.Answers().HandleLater(
        request, [weak = weak_from_this(), executor, gate = service_.Gate,
                  thread = std::this_thread::get_id()](Response response) {
            // Given at once, on the connection's own thread: no detour through the loop.
            if (std::this_thread::get_id() == thread) {
                auto session = weak.lock();
                if (session && session->inHandler_) return session->immediate_.emplace(std::move(response)), void();
            }
            std::lock_guard lock(gate->Mutex);
            if (!gate->Open) return;
            net::post(executor, [weak, response = std::move(response)]() mutable {
                if (auto session = weak.lock()) session->Answered(std::move(response));
            });
        });
    inHandler_ = false;
    if (immediate_) {
        Response response = std::move(*immediate_);
        immediate_.reset();
        Answered(std::move(response));
    }
}

void Session::Answered(Response&& response) {
    if (!waitingSelf_) return;  // cut off meanwhile
    auto keep = std::move(waitingSelf_);
    waitingWork_.reset();
    if (!response.LogFields.empty()) fields_ = std::move(response.LogFields);
    if (response.Unanswered) {
        reason_ = std::move(response.Reason);
        status_ = 444;
        keepAlive_ = false;
        return Finish({});
    }
    reason_ = std::move(response.Reason);
    if (response.Close) keepAlive_ = false;
    if (response.Stream) return SendStream(std::move(response));
    Send(std::move(response));
}

void Session::Refuse(http::status status, const std::string& reason) {
    keepAlive_ = false;
    service_.Answers().Refused(reason);
    Response response = Refusal(status, reason);
    reason_ = reason;
    Send(std::move(response));
}

template <class Body>
struct Sending {
    http::response<Body> Message;
    http::response_serializer<Body> Serializer{Message};
    explicit Sending(http::response<Body>&& m) : Message(std::move(m)) {}
};

void Session::Send(Response&& response) {
    auto& message = response.Message;
    message.prepare_payload();
    message.keep_alive(keepAlive_);
    if (message.find(http::field::date) == message.end()) message.set(http::field::date, HttpDate());
    status_ = message.result_int();
    sent_ = 0;
    if (head_) {
        // The header only, its Content-Length that of the GET.
        return WriteSome(std::make_shared<Sending<http::empty_body>>(http::response<http::empty_body>{message.base()}));
    }
    WriteSome(std::make_shared<Sending<http::string_body>>(std::move(message)));
}

// Written piece by piece, each with its own time-out: a slow client goes
// on as long as it keeps reading.
template <class Sending>
void Session::WriteSome(std::shared_ptr<Sending> sending) {
    stream_.expires_after(options_.WriteTimeout);
    http::async_write_some(stream_, sending->Serializer,
                           [self = shared_from_this(), sending](beast::error_code ec, std::size_t bytes) {
                               self->sent_ += bytes;
                               if (!ec && !sending->Serializer.is_done()) return self->WriteSome(sending);
                               self->Finish(ec);
                           });
}

void Session::SendStream(Response&& response) {
    auto& message = response.Message;
    message.keep_alive(keepAlive_);
    if (message.find(http::field::date) == message.end()) message.set(http::field::date, HttpDate());
    status_ = message.result_int();
    sent_ = 0;
    // The header's text, written straight from the fields (as Beast's
    // serializer writes them, without copying the fields first).
    std::string text;
    text.reserve(512);
    text += "HTTP/";
    text += static_cast<char>('0' + message.version() / 10);
    text += '.';
    text += static_cast<char>('0' + message.version() % 10);
    text += ' ';
    text += std::to_string(status_);
    text += ' ';
    text.append(message.reason().data(), message.reason().size());
    text += "\r\n";
    for (const auto& field : message.base()) {
        text.append(field.name_string().data(), field.name_string().size());
        text += ": ";
        text.append(field.value().data(), field.value().size());
        text += "\r\n";
    }
    text += "\r\n";
    std::size_t end = head_ ? response.First : response.End;
    streaming_.emplace(Streaming{std::move(response.Stream), std::move(text), response.First, end});
    Cork(true);
    SendNext();
}

void Session::SendNext() {
    Streaming& s = *streaming_;
    if (s.Header.empty() && s.Position >= s.End) {
        Cork(false);
        return Finish({});
    }
    if (!s.Header.empty() || s.Position >= s.End) return WritePieces();
    Segment segment = s.Source->At(s.Position);
    if (segment.Size == 0) return Finish(beast::error_code(EINVAL, beast::system_category()));
    if (segment.Data == nullptr) return SendFile(segment);
    WritePieces();
}

// The header (when not yet sent) and the pieces in memory up to the next
// file piece or the end, in one gathered send. What the socket did not
// take is sent on the next round.
void Session::WritePieces() {
    Streaming& s = *streaming_;
    std::vector<net::const_buffer> buffers;
    if (!s.Header.empty()) buffers.push_back(net::buffer(s.Header));
    std::size_t at = s.Position;
    while (at < s.End && buffers.size() < 64) {
        Segment segment = s.Source->At(at);
        if (segment.Size == 0 || segment.Data == nullptr) break;
        std::size_t length = std::min(segment.Size, s.End - at);
        buffers.push_back(net::const_buffer(segment.Data, length));
        at += length;
    }
    // MSG_MORE: a file piece follows at once, so the kernel fills whole
    // segments instead of pushing the header out on its own.
    int flags = at < s.End ? MSG_MORE : 0;
    ArmWriteTimeout();
    stream_.socket().async_send(buffers, flags, [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
        self->waitTimer_.cancel();
        self->sent_ += bytes;
        if (ec) return self->Finish(ec == net::error::operation_aborted ? beast::error::timeout : ec);
        if (!self->streaming_) return;
        Streaming& s = *self->streaming_;
        std::size_t ofHeader = std::min(bytes, s.Header.size());
        s.Header.erase(0, ofHeader);
        s.Position += bytes - ofHeader;
        self->SendNext();
    });
}

// While corked, the kernel sends only full segments: the header, the file
// and the patched pieces after it leave as nginx's tcp_nopush sends a file,
// without a short segment where a file piece ends. Uncorking sends the rest.
void Session::Cork(bool on) {
    int value = on ? 1 : 0;
    ::setsockopt(stream_.socket().native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof(value));
}

// A send, or a wait for the socket, that the client does not let finish
// within the write time-out is cancelled.
void Session::ArmWriteTimeout() {
    stream_.expires_never();
    waitTimer_.expires_after(options_.WriteTimeout);
    waitTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) self->stream_.socket().cancel();
    });
}

// A piece of a file, to the socket without passing through this process.
void Session::SendFile(const Segment& segment) {
    Streaming& s = *streaming_;
    std::size_t stop = s.Position + std::min(segment.Size, s.End - s.Position);
    off_t offset = static_cast<off_t>(segment.FileOffset);
    while (s.Position < stop) {
        ssize_t sent = ::sendfile(stream_.socket().native_handle(), segment.Fd, &offset,
                                  std::min(stop - s.Position, SendfileChunk));
        if (sent > 0) {
            s.Position += static_cast<std::size_t>(sent);
            sent_ += static_cast<std::uint64_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client has not read enough yet: wait until it has, for at most the write time-out.
            ArmWriteTimeout();
            stream_.socket().async_wait(tcp::socket::wait_write, [self = shared_from_this()](beast::error_code ec) {
                self->waitTimer_.cancel();
                if (ec) return self->Finish(ec == net::error::operation_aborted ? beast::error::timeout : ec);
                if (self->streaming_) self->SendNext();
            });
            return;
        }
        return Finish(beast::error_code(sent < 0 ? errno : EPIPE, beast::system_category()));
    }
    SendNext();
}

void Session::Finish(beast::error_code ec) {
    if (status_ != 0) {
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
        char timing[32];
        std::snprintf(timing, sizeof(timing), "%.1fms", ms);
        std::string line = LogTime();
        line.reserve(512);
        line += ' ';
        line += peer_;
        line += ' ';
        line += method_;
        line += ' ';
        line += Quoted(std::string_view(target_).substr(0, 300));
        line += ' ';
        line += std::to_string(status_);
        line += ' ';
        line += std::to_string(sent_);
        line += ' ';
        line += timing;
        if (!fields_.empty()) {
            line += ' ';
            line += fields_;
        }
        if (!reason_.empty()) {
            line += " reason=";
            line += Quoted(reason_);
        }
        if (ec == beast::error_code(ECANCELED, beast::system_category()))
            line += " aborted=\"cut off by the stop\"";
        else if (ec)
            line += " aborted=" + Quoted(ec.message());
        Gather(std::move(line));
        status_ = 0;
    }
    streaming_.reset();
    if (!ec && keepAlive_ && !stopping_) return ReadRequest();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
}

void Service::Remove(std::list<std::weak_ptr<Session>>::iterator at) {
    std::lock_guard lock(mutex_);
    sessions_.erase(at);
    unsigned open = open_.fetch_sub(1) - 1;
    if (ended_) return;
    // A listener that waited for room takes connections again.
    if (open < cap_ && !stopping_ && anyFull_.exchange(false)) {
        for (auto& listener : listeners_) {
            net::post(listener.Acceptor.get_executor(), [this, &listener] {
                if (!listener.Full || !listener.Acceptor.is_open()) return;
                listener.Full = false;
                Accept(listener);
            });
        }
    }
    if (stopping_ && sessions_.empty()) net::post(stopTimer_.get_executor(), [this] { EndLoops(); });
}

// A connection's place is taken before its accept is armed, so that the
// loops together never hold more than the cap.
void Service::Accept(Listener& listener) {
    if (open_.fetch_add(1) >= cap_) {
        open_.fetch_sub(1);
        // Full: the next connections wait in the kernel's queue until one ends.
        listener.Full = true;
        anyFull_ = true;
        // A connection may have ended meanwhile, before it could see the flag.
        if (open_.load() < cap_) {
            listener.Full = false;
            return Accept(listener);
        }
        return;
    }
    Arm(listener);
}

void Service::Arm(Listener& listener) {
    listener.Acceptor.async_accept([this, &listener](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !listener.Acceptor.is_open()) return;
        if (!ec) {
            if (listener.Starved) {
                listener.Starved = false;
                LogLine(LogTime() + " accepting connections again");
            }
            HandOff(std::move(socket));
            return Accept(listener);
        }
        if (ec == net::error::connection_aborted) return Arm(listener);  // the client left first
        // Out of descriptors (or memory): trying again at once would only
        // fail again, on every core. Pause, and say so once.
        if (!listener.Starved)
            LogLine(LogTime() + " cannot accept a connection (" + ec.message() + "), " +
                    std::to_string(open_.load() - 1) + " open: pausing new connections");
        listener.Starved = true;
        listener.Pause.expires_after(options_.AcceptPause);
        listener.Pause.async_wait([this, &listener](beast::error_code waited) {
            if (!waited && listener.Acceptor.is_open()) Arm(listener);
        });
    });
}

// The open-file limit raised as far as it may go, and a warning when the
// cap still lies beyond it (connections past it wait, paused, for
// descriptors: see Accept).
void Service::CheckDescriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || options_.MaxConnections + SpareDescriptors <= limit.rlim_cur) return;
    LogLine(LogTime() + " the open-file limit (" + std::to_string(limit.rlim_cur) + ") is below --max-connections " +
            std::to_string(options_.MaxConnections) + " and " + std::to_string(SpareDescriptors) +
            " spare: raise LimitNOFILE");
}

// One socket, bound once, never shared with another process (a second
// instance fails with "address in use"), accepted from on the first loop.
bool Service::Listen(tcp::endpoint& endpoint, beast::error_code& ec) {
    Listener& listener = listeners_.emplace_back(*loops_[0]);
    listener.Acceptor.open(endpoint.protocol(), ec);
    if (!ec) listener.Acceptor.set_option(net::socket_base::reuse_address(true), ec);  // only past TIME_WAIT connections
    if (!ec) listener.Acceptor.bind(endpoint, ec);
    if (!ec) listener.Acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) return false;
    endpoint = listener.Acceptor.local_endpoint();
    protocol_ = endpoint.protocol();
    return true;
}

// Connections go to the loops in turn, each then served by its loop alone.
void Service::HandOff(tcp::socket socket) {
    net::io_context& loop = *loops_[nextLoop_++ % loops_.size()];
    if (&loop == loops_[0].get()) return std::make_shared<Session>(std::move(socket), *this)->Start();
    beast::error_code ec;
    auto descriptor = std::make_shared<UniqueFd>(socket.release(ec));
    if (ec) return;
    net::post(loop, [this, &loop, descriptor] {
        beast::error_code assigned;
        tcp::socket moved(loop);
        moved.assign(protocol_, descriptor->get(), assigned);
        if (assigned) return;
        descriptor->release();
        std::make_shared<Session>(std::move(moved), *this)->Start();
    });
}

void Service::WaitForSignal() {
    signals_.async_wait([this](beast::error_code ec, int signal) {
        if (ec) return;
        WaitForSignal();  // first: a stop that ends at once cancels this wait
        if (signal == SIGHUP) {
            if (!stopping_) handler_.Reload();
        } else if (!stopping_) {
            Stop();
        } else {
            CutAll("a second signal: ending the requests in flight now");
        }
    });
}

// No new connections; idle ones close now, busy ones after their answer.
void Service::Stop() {
    LogLine(LogTime() + " stopping: finishing the requests in flight");
    for (auto& listener : listeners_) {
        net::post(listener.Acceptor.get_executor(), [&listener] {
            beast::error_code ignored;
            listener.Pause.cancel();
            listener.Acceptor.close(ignored);
        });
    }
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& weak : sessions_)
            if (auto session = weak.lock()) sessions.push_back(std::move(session));
        if (sessions_.empty()) return EndLoops();
    }
    for (auto& session : sessions) session->PostStop();
    stopTimer_.expires_after(std::chrono::seconds(options_.StopTimeoutSeconds));
    stopTimer_.async_wait([this](beast::error_code ec) {
        if (!ec) CutAll("stop time-out: ending the requests still in flight");
    });
}

// Every connection ends now, its request logged as cut off; the loops end
// once the last is gone (and in any case soon after).
void Service::CutAll(const char* why) {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        if (cut_) return;
        cut_ = true;
        for (auto& weak : sessions_)
            if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
    LogLine(LogTime() + " " + why);
    for (auto& session : sessions) session->PostCut();
    stopTimer_.expires_after(std::chrono::seconds(2));
    stopTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        for (auto& loop : loops_) loop->stop();
    });
}

// On the first loop: nothing is left that would keep the loops running.
void Service::EndLoops() {
    for (auto& guard : idle_) guard.reset();
    beast::error_code ignored;
    signals_.cancel(ignored);
    stopTimer_.cancel();
}

int Service::Run() {
    beast::error_code ec;
    tcp::endpoint endpoint(net::ip::make_address(options_.Address, ec), options_.Port);
    std::string where = options_.Address + ":" + std::to_string(options_.Port);
    if (ec) return std::fprintf(stderr, "%s: not an address: %s\n", options_.Program.c_str(), options_.Address.c_str()), 2;
    if (!Listen(endpoint, ec)) {
        std::string why = ec == net::error::address_in_use ? std::string("address in use") : ec.message();
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", options_.Program.c_str(), where.c_str(), why.c_str());
        return 1;
    }
    cap_ = options_.MaxConnections;
    CheckDescriptors();
    std::string described = handler_.Describe();
    LogLine(LogTime() + " listening on " + options_.Address + ":" + std::to_string(endpoint.port()) +
            (described.empty() ? "" : ", " + described) + ", at most " + std::to_string(cap_) + " connections");
    for (auto& listener : listeners_) Accept(listener);
    WaitForSignal();

    for (std::size_t i = 1; i < loops_.size(); ++i) idle_.push_back(net::make_work_guard(*loops_[i]));
    {
        LogWriter writer;  // the access log, gathered while the loops run
        std::vector<std::thread> pool;
        for (std::size_t i = 1; i < loops_.size(); ++i) pool.emplace_back([this, i] { loops_[i]->run(); });
        loops_[0]->run();
        for (auto& thread : pool) thread.join();
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        {
            std::lock_guard lock(Gate->Mutex);
            Gate->Open = false;
        }
        // What the cut connections left to do (their last completions) runs now.
        for (auto& loop : loops_) {
            loop->restart();
            loop->poll();
        }
    }
    LogLine(LogTime() + " stopped");
    return 0;
}

}  // namespace

int Serve(const Options& options, Handler& handler) {
    Service service(options, handler);
    return service.Run();
}

}  // namespace hosthttp
