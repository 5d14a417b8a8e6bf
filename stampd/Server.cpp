// The HTTP side of the service.
#include <utility>  // Boost 1.74's Asio uses std::exchange without including it (C++20)

#include "stampd/Server.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <optional>
#include <thread>
#include <vector>

#include "stampd/Attribution.h"
#include "stampd/Conditional.h"

namespace stampd {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto ReadTimeout = std::chrono::seconds(30);   // a whole request header, or an idle keep-alive
constexpr auto WriteTimeout = std::chrono::seconds(60);  // one write of at most WriteChunk bytes
constexpr std::size_t SendfileChunk = 1 << 20;
constexpr std::uint32_t HeaderLimit = 8192;

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

bool ReadFile(const std::string& path, stamp::Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::uint8_t buffer[65536];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + read);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
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

std::string Now() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc;
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milliseconds));
    return text;
}

// One line to standard output (the journal under systemd); a single write,
// so that lines of concurrent requests never interleave.
void LogLine(const std::string& line) {
    std::string full = line + "\n";
    std::fwrite(full.data(), 1, full.size(), stdout);
    std::fflush(stdout);
}

class Service;

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Service& service);
    ~Session();
    void Start();
    // Ends an idle connection now and a busy one after its response.
    void PostStop() {
        net::post(stream_.get_executor(), [self = shared_from_this()] { self->Stop(); });
    }

private:
    void Stop();
    void ReadRequest();
    void OnRequest();
    void Answer(const http::request_header<>& request);
    void Refuse(http::status status, const std::string& reason);
    template <class Body>
    void Send(http::response<Body>&& response);
    template <class Sending>
    void WriteSome(std::shared_ptr<Sending> sending);
    void SendCopy(http::response<http::empty_body>& header, std::shared_ptr<const Loaded> source, Copy patches,
                  std::size_t first, std::size_t end);
    void SendNext();
    void ArmWriteTimeout();
    void WritePieces(std::size_t stop);
    void SendShared(std::size_t stop);

    void Finish(beast::error_code ec);

    Service& service_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{HeaderLimit};
    std::optional<http::request_parser<http::empty_body>> parser_;
    bool reading_ = false;
    bool stopping_ = false;
    bool keepAlive_ = false;
    std::string peer_;
    std::optional<std::list<std::weak_ptr<Session>>::iterator> registered_;
    // The access log's fields of the request in progress.
    Clock::time_point started_;
    std::string method_, target_, signature_ = "-", values_, reason_;
    unsigned status_ = 0;
    std::uint64_t sent_ = 0;

    // A copy on its way: the header, the pieces before the shared run, the
    // shared run straight from the image file, the pieces after it.
    struct Download {
        std::shared_ptr<const Loaded> Source;
        Copy Patches;
        std::string Header;      // until it is written
        std::size_t Position = 0;  // the next byte of the copy to send
        std::size_t End = 0;
    };
    std::optional<Download> download_;
    net::steady_timer waitTimer_;
};

// One event loop per thread, each with its own listening socket on the same
// port (SO_REUSEPORT: the kernel spreads the connections), as nginx's
// workers do: a connection stays on one thread, without hand-offs between
// threads. The first loop also takes the signals and the stop.
class Service {
public:
    Service(const Settings& settings, std::shared_ptr<const Loaded> loaded)
        : settings_(settings), loaded_(std::move(loaded)), loops_(MakeLoops(settings)),
          signals_(*loops_[0], SIGINT, SIGTERM, SIGHUP), stopTimer_(*loops_[0]) {}

    int Run();
    const Settings& Options() const { return settings_; }
    std::shared_ptr<const Loaded> Current() {
        std::lock_guard lock(mutex_);
        return loaded_;
    }
    // The sessions, so that a stop can reach the idle ones.
    // `stopping` tells a connection accepted while the service stops.
    std::list<std::weak_ptr<Session>>::iterator Add(const std::shared_ptr<Session>& session, bool& stopping) {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
        return sessions_.insert(sessions_.end(), session);
    }
    void Remove(std::list<std::weak_ptr<Session>>::iterator at) {
        std::lock_guard lock(mutex_);
        sessions_.erase(at);
        // After the loops have ended (a stop time-out), the sessions still
        // in flight are destroyed with them, and there is no timer to cancel.
        if (stopping_ && sessions_.empty() && !ended_)
            net::post(stopTimer_.get_executor(), [this] { stopTimer_.cancel(); });
    }
private:
    static std::vector<std::unique_ptr<net::io_context>> MakeLoops(const Settings& settings) {
        unsigned threads = settings.Threads != 0 ? settings.Threads : std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::unique_ptr<net::io_context>> loops;
        for (unsigned i = 0; i < threads; ++i) loops.push_back(std::make_unique<net::io_context>(1));
        return loops;
    }
    bool Listen(tcp::endpoint& endpoint, beast::error_code& ec);
    void Accept(tcp::acceptor& acceptor);
    void WaitForSignal();
    void Reload();
    void Stop();

    Settings settings_;
    std::mutex mutex_;
    std::shared_ptr<const Loaded> loaded_;
    std::list<std::weak_ptr<Session>> sessions_;
    bool stopping_ = false;
    bool ended_ = false;
    std::vector<std::unique_ptr<net::io_context>> loops_;
    std::vector<tcp::acceptor> acceptors_;  // one per loop
    net::signal_set signals_;
    net::steady_timer stopTimer_;
};

Session::Session(tcp::socket socket, Service& service)
    : service_(service), stream_(std::move(socket)), waitTimer_(stream_.get_executor()) {
    beast::error_code ec;
    auto endpoint = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "-" : endpoint.address().to_string();
    // The gathered writes already leave in as few segments as they can; a
    // short last piece must not wait for the client's delayed ACK.
    stream_.socket().set_option(tcp::no_delay(true), ec);
    // sendfile must return when the socket's buffer is full, not wait.
    stream_.socket().native_non_blocking(true, ec);
}

// Once the last handler has let go of the session.
Session::~Session() {
    if (registered_) service_.Remove(*registered_);
}

void Session::Start() {
    auto self = shared_from_this();
    registered_ = service_.Add(self, stopping_);
    net::dispatch(stream_.get_executor(), [self] { self->ReadRequest(); });
}

void Session::Stop() {
    stopping_ = true;
    if (reading_) stream_.socket().cancel();  // idle: no request is in flight
}

void Session::ReadRequest() {
    if (stopping_) return Finish({});
    parser_.emplace();
    parser_->header_limit(HeaderLimit);
    // buffer_ keeps what was read past the last request: a pipelining
    // client's next one.
    reading_ = true;
    stream_.expires_after(ReadTimeout);
    http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->reading_ = false;
        if (ec == http::error::end_of_stream || ec == net::error::operation_aborted || ec == beast::error::timeout)
            return self->Finish(ec);
        self->started_ = Clock::now();
        if (ec) {
            // A malformed or oversized request: one line of reason, then the connection ends.
            self->method_ = "-";
            self->target_ = "-";
            self->keepAlive_ = false;
            return self->Refuse(http::status::bad_request, ec == http::error::header_limit
                                                               ? "the request header is too large"
                                                               : "malformed request: " + ec.message());
        }
        self->OnRequest();
    });
}

void Session::OnRequest() {
    const auto& request = parser_->get();
    method_ = std::string(request.method_string());
    target_ = std::string(request.target());
    signature_ = "-";
    values_.clear();
    reason_.clear();
    keepAlive_ = request.keep_alive() && !stopping_;
    // The body is never read: a request that has one cannot be followed by another.
    if (parser_->chunked() || (parser_->content_length() && *parser_->content_length() > 0)) {
        keepAlive_ = false;
        return Refuse(http::status::bad_request, "a request with a body is refused");
    }
    Answer(request);
}

void Session::Answer(const http::request_header<>& request) {
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        reason_ = "only GET and HEAD are served";
        http::response<http::string_body> response{http::status::method_not_allowed, 11};
        response.set(http::field::allow, "GET, HEAD");
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.set(http::field::cache_control, "no-store");
        response.body() = reason_ + "\n";
        response.prepare_payload();
        return Send(std::move(response));
    }
    auto loaded = service_.Current();
    const Release& installer = *loaded->Installer;

    if (request.target() == "/healthz") {
        http::response<http::string_body> response{http::status::ok, 11};
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.set(http::field::cache_control, "no-store");
        response.body() = "ok " + installer.Digest() + " " + std::to_string(installer.Size()) + "\n";
        response.prepare_payload();
        return Send(std::move(response));
    }

    Attribution attribution;
    std::string reason;
    if (!ParseTarget(View(request.target()), attribution, reason)) return Refuse(http::status::bad_request, reason);
    SignatureCheck check = CheckSignature(attribution, loaded->Key, loaded->OldKey);
    signature_ = Describe(check);
    values_ = "name=" + Quoted(attribution.FileName) + " cookie=" + Quoted(attribution.Values[dtCookie]) +
              " partner=" + Quoted(attribution.Values[dtIdPartner]) + " traffic=" + Quoted(attribution.Values[dtIdTraffic]);
    std::string fileName = attribution.FileName;
    std::string values[consts::DataTypeCount] = {attribution.Values[0], attribution.Values[1], attribution.Values[2]};
    if (check == SignatureCheck::Missing || check == SignatureCheck::Bad) {
        if (service_.Options().RefuseUnsigned)
            return Refuse(http::status::forbidden, check == SignatureCheck::Missing ? "the link is not signed"
                                                                                    : "the link's signature does not hold");
        // No attribution without a signature: neither the values nor the name's.
        fileName = "qlx-setup.exe";
        for (auto& value : values) value.clear();
    }

    Copy patches = installer.MakeCopy(values);
    std::size_t begin = 0, end = installer.Size();
    auto headers = [&](auto& response) {
        response.set(http::field::etag, patches.ETag);
        response.set(http::field::cache_control, "public, max-age=" + std::to_string(service_.Options().MaxAgeSeconds));
        response.set(http::field::accept_ranges, "bytes");
    };

    if (auto inm = request.find(http::field::if_none_match);
        inm != request.end() && MatchesAnyTag(View(inm->value()), patches.ETag)) {
        http::response<http::empty_body> response{http::status::not_modified, 11};
        headers(response);
        return Send(std::move(response));
    }

    http::status status = http::status::ok;
    std::size_t first = 0, last = 0;
    auto range = request.find(http::field::range);
    auto ifRange = request.find(http::field::if_range);
    if (range != request.end() && (ifRange == request.end() || IfRangeHolds(View(ifRange->value()), patches.ETag))) {
        RangeKind kind = ParseRange(View(range->value()), installer.Size(), first, last);
        if (kind == RangeKind::Unsatisfiable) {
            http::response<http::string_body> response{http::status::range_not_satisfiable, 11};
            headers(response);
            response.set(http::field::content_range, "bytes */" + std::to_string(installer.Size()));
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            response.body() = "the range lies past the end of the file\n";
            reason_ = "range not satisfiable";
            response.prepare_payload();
            return Send(std::move(response));
        }
        if (kind == RangeKind::Part) {
            status = http::status::partial_content;
            begin = first;
            end = last + 1;
        }
    }

    http::response<http::empty_body> response{status, 11};
    headers(response);
    response.set(http::field::content_type, "application/vnd.microsoft.portable-executable");
    response.set(http::field::content_disposition, "attachment; filename=\"" + fileName + "\"");
    response.set("X-Content-Type-Options", "nosniff");
    if (status == http::status::partial_content)
        response.set(http::field::content_range, "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                                     std::to_string(installer.Size()));
    response.content_length(end - begin);
    if (request.method() == http::verb::head) return Send(std::move(response));
    SendCopy(response, loaded, std::move(patches), begin, end);
}

void Session::Refuse(http::status status, const std::string& reason) {
    reason_ = reason;
    http::response<http::string_body> response{status, 11};
    // Plain text that a browser shows, never a file it would save as the program.
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.set("X-Content-Type-Options", "nosniff");
    response.set(http::field::cache_control, "no-store");
    response.body() = reason + "\n";
    response.prepare_payload();
    Send(std::move(response));
}

template <class Body>
void Session::Send(http::response<Body>&& response) {
    struct Sending {
        http::response<Body> Response;
        http::response_serializer<Body> Serializer{Response};
        explicit Sending(http::response<Body>&& r) : Response(std::move(r)) {}
    };
    if constexpr (!std::is_same_v<Body, http::empty_body>) {
        // The header only, its Content-Length that of the GET.
        if (method_ == "HEAD") return Send(http::response<http::empty_body>{response.base()});
    }
    response.keep_alive(keepAlive_);
    status_ = response.result_int();
    sent_ = 0;
    auto sending = std::make_shared<Sending>(std::move(response));

    WriteSome(sending);
}

// Written piece by piece, each with its own time-out: a slow download goes
// on as long as the client keeps reading.
template <class Sending>
void Session::WriteSome(std::shared_ptr<Sending> sending) {
    stream_.expires_after(WriteTimeout);
    http::async_write_some(stream_, sending->Serializer,
                           [self = shared_from_this(), sending](beast::error_code ec, std::size_t bytes) {
                               self->sent_ += bytes;
                               if (!ec && !sending->Serializer.is_done()) return self->WriteSome(sending);
                               self->Finish(ec);
                           });
}

void Session::SendCopy(http::response<http::empty_body>& header, std::shared_ptr<const Loaded> source, Copy patches,
                       std::size_t first, std::size_t end) {
    header.keep_alive(keepAlive_);
    status_ = header.result_int();
    sent_ = 0;
    // The header's text, from Beast's serializer.
    std::string text;
    http::response_serializer<http::empty_body> serializer{header};
    beast::error_code ec;
    while (!serializer.is_header_done()) {
        serializer.next(ec, [&](beast::error_code&, const auto& buffers) {
            for (auto buffer : beast::buffers_range_ref(buffers))
                text.append(static_cast<const char*>(buffer.data()), buffer.size());
            serializer.consume(beast::buffer_bytes(buffers));
        });
        if (ec) return Finish(ec);
    }
    download_.emplace(Download{std::move(source), std::move(patches), std::move(text), first, end});
    SendNext();
}

void Session::SendNext() {
    Download& d = *download_;
    auto [runFirst, runEnd] = d.Source->Installer->SharedRun();
    bool inRun = d.Position >= runFirst && d.Position < runEnd && d.Position < d.End;
    if (!d.Header.empty()) return WritePieces(inRun ? d.Position : d.Position < runFirst ? std::min(d.End, runFirst) : d.End);
    if (d.Position >= d.End) return Finish({});
    if (inRun) return SendShared(std::min(d.End, runEnd));
    WritePieces(d.Position < runFirst ? std::min(d.End, runFirst) : d.End);
}

// The header (when not yet sent) and the patched pieces up to `stop`, in one
// gathered send: at most a page or so before the shared run, the values
// after it. What the socket did not take is sent on the next round.
void Session::WritePieces(std::size_t stop) {
    Download& d = *download_;
    std::vector<net::const_buffer> buffers;
    if (!d.Header.empty()) buffers.push_back(net::buffer(d.Header));
    for (std::size_t at = d.Position; at < stop;) {
        auto piece = d.Source->Installer->PieceAt(d.Patches, at);
        std::size_t length = std::min(piece.size(), stop - at);
        buffers.push_back(net::const_buffer(piece.data(), length));
        at += length;
    }
    // MSG_MORE: the shared run follows at once, so the kernel fills whole
    // segments instead of pushing the header out on its own.
    int flags = stop < d.End ? MSG_MORE : 0;
    ArmWriteTimeout();
    stream_.socket().async_send(buffers, flags, [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
        self->waitTimer_.cancel();
        self->sent_ += bytes;
        if (ec) return self->Finish(ec == net::error::operation_aborted ? beast::error::timeout : ec);
        Download& d = *self->download_;
        std::size_t ofHeader = std::min(bytes, d.Header.size());
        d.Header.erase(0, ofHeader);
        d.Position += bytes - ofHeader;
        self->SendNext();
    });
}

// A send or a wait for the socket that the client does not let finish within
// the write time-out is cancelled.
void Session::ArmWriteTimeout() {
    stream_.expires_never();
    waitTimer_.expires_after(WriteTimeout);
    waitTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec) self->stream_.socket().cancel();
    });
}

// The shared run, from the sealed image file to the socket without passing
// through this process: every copy shares those pages.
void Session::SendShared(std::size_t stop) {
    Download& d = *download_;
    while (d.Position < stop) {
        off_t offset = static_cast<off_t>(d.Position);
        ssize_t sent = ::sendfile(stream_.socket().native_handle(), d.Source->ImageFile.get(), &offset,
                                  std::min(stop - d.Position, SendfileChunk));
        if (sent > 0) {
            d.Position += static_cast<std::size_t>(sent);
            sent_ += static_cast<std::uint64_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client has not read enough yet: wait until it has, for at most the write time-out.
            ArmWriteTimeout();
            stream_.socket().async_wait(tcp::socket::wait_write, [self = shared_from_this(), stop](beast::error_code ec) {
                self->waitTimer_.cancel();
                if (ec) return self->Finish(ec == net::error::operation_aborted ? beast::error::timeout : ec);
                self->SendShared(stop);
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
        std::string line = Now() + " " + peer_ + " " + method_ + " " + Quoted(target_.substr(0, 300)) + " " +
                           std::to_string(status_) + " " + std::to_string(sent_) + " " + timing + " sig=" + signature_;
        if (!values_.empty()) line += " " + values_;
        if (!reason_.empty()) line += " reason=" + Quoted(reason_);
        if (ec) line += " aborted=" + Quoted(ec.message());
        LogLine(line);
        status_ = 0;
    }
    download_.reset();
    if (!ec && keepAlive_ && !stopping_) return ReadRequest();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
}

void Service::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) std::make_shared<Session>(std::move(socket), *this)->Start();
        Accept(acceptor);
    });
}

// Every loop's socket on the same address; with port 0, on the port the first was given.
bool Service::Listen(tcp::endpoint& endpoint, beast::error_code& ec) {
    acceptors_.reserve(loops_.size());  // the accept loops keep references to them
    for (auto& loop : loops_) {
        tcp::acceptor& acceptor = acceptors_.emplace_back(*loop);
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor.set_option(net::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) return false;
        endpoint = acceptor.local_endpoint();
    }
    return true;
}

void Service::WaitForSignal() {
    signals_.async_wait([this](beast::error_code ec, int signal) {
        if (ec) return;
        if (signal == SIGHUP) {
            Reload();
            return WaitForSignal();
        }
        Stop();
    });
}

// A new release (or key) is read beside the one in use; requests in flight
// keep the old one, new requests get the new one. A file that cannot be read
// leaves the old one in place.
void Service::Reload() {
    std::string error;
    auto loaded = LoadAll(settings_, error);
    if (!loaded) {
        LogLine(Now() + " reload refused, still serving the previous installer: " + error);
        return;
    }
    LogLine(Now() + " reloaded: installer " + loaded->Installer->Digest() + " " +
            std::to_string(loaded->Installer->Size()) + " bytes" + (loaded->OldKey.empty() ? "" : ", two keys"));
    std::lock_guard lock(mutex_);
    loaded_ = std::move(loaded);
}

// No new connections; idle ones close now, busy ones after their response.
void Service::Stop() {
    LogLine(Now() + " stopping: finishing the requests in flight");
    for (auto& acceptor : acceptors_) {
        net::post(acceptor.get_executor(), [&acceptor] {
            beast::error_code ignored;
            acceptor.close(ignored);
        });
    }
    signals_.cancel();
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& weak : sessions_)
            if (auto session = weak.lock()) sessions.push_back(std::move(session));
        if (sessions_.empty()) return;
    }
    for (auto& session : sessions) session->PostStop();
    stopTimer_.expires_after(std::chrono::seconds(settings_.StopTimeoutSeconds));
    stopTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;  // every session ended first
        LogLine(Now() + " stop time-out: ending the requests still in flight");
        for (auto& loop : loops_) loop->stop();
    });
}

int Service::Run() {
    beast::error_code ec;
    tcp::endpoint endpoint(net::ip::make_address(settings_.Address, ec), settings_.Port);
    if (ec) return LogLine("quellox-stampd: not an address: " + settings_.Address), 2;
    if (!Listen(endpoint, ec)) return LogLine("quellox-stampd: cannot listen on " + settings_.Address + ":" +
                           std::to_string(settings_.Port) + ": " + ec.message()), 1;
    auto loaded = Current();
    LogLine(Now() + " listening on " + settings_.Address + ":" + std::to_string(endpoint.port()) +
            ", installer " + loaded->Installer->Digest() + " " + std::to_string(loaded->Installer->Size()) + " bytes" +
            ", unsigned requests " + (settings_.RefuseUnsigned ? "refused" : "served without campaign values"));
    for (auto& acceptor : acceptors_) Accept(acceptor);
    WaitForSignal();

    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < loops_.size(); ++i) pool.emplace_back([this, i] { loops_[i]->run(); });
    loops_[0]->run();
    for (auto& thread : pool) thread.join();
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    LogLine(Now() + " stopped");
    return 0;
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::shared_ptr<const Loaded> LoadAll(const Settings& settings, std::string& error) {
    auto loaded = std::make_shared<Loaded>();
    stamp::Bytes bytes;
    if (!ReadFile(settings.InstallerPath, bytes)) return error = settings.InstallerPath + ": cannot be read", nullptr;
    loaded->Installer = Release::Load(std::move(bytes), error);
    if (!loaded->Installer) return error = settings.InstallerPath + ": " + error, nullptr;
    // The image in a sealed memory file: sendfile reads the shared run from it.
    loaded->ImageFile = UniqueFd(::memfd_create("quellox-stampd-image", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    const stamp::Bytes& image = loaded->Installer->Image();
    for (std::size_t written = 0; loaded->ImageFile && written < image.size();) {
        ssize_t n = ::write(loaded->ImageFile.get(), image.data() + written, image.size() - written);
        if (n <= 0) return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
        written += static_cast<std::size_t>(n);
    }
    if (!loaded->ImageFile ||
        ::fcntl(loaded->ImageFile.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
    if (!ReadKeyFile(settings.KeyPath, loaded->Key, error)) return nullptr;
    if (!settings.OldKeyPath.empty() && !ReadKeyFile(settings.OldKeyPath, loaded->OldKey, error)) return nullptr;
    return loaded;
}

int Serve(const Settings& settings, std::shared_ptr<const Loaded> loaded) {
    Service service(settings, std::move(loaded));
    return service.Run();
}

}  // namespace stampd
