// One of the two candidates measured before the service was written: a
// Boost.Beast server that answers every GET with the same in-memory body,
// keep-alive, one thread per core, the header and the body sent in one gathered write, without copying.
#include <utility>  // Boost 1.74's Asio uses std::exchange without including it (C++20)

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

std::vector<char> body;

class Session : public std::enable_shared_from_this<Session> {
public:
    explicit Session(tcp::socket socket) : stream_(std::move(socket)) {}
    void Read() {
        parser_.emplace();
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) self->Answer();
        });
    }

private:
    void Answer() {
        response_ = {};
        response_.result(http::status::ok);
        response_.version(11);
        response_.set(http::field::content_type, "application/octet-stream");
        response_.body() = {body.data(), body.size()};
        response_.prepare_payload();
        response_.keep_alive(parser_->get().keep_alive());
        // The header and the body leave in one gathered write.
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) self->Read();
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::response<http::span_body<char>> response_;
};

void Accept(tcp::acceptor& acceptor, net::io_context& io) {
    acceptor.async_accept(net::make_strand(io), [&](beast::error_code ec, tcp::socket socket) {
        if (!ec) std::make_shared<Session>(std::move(socket))->Read();
        Accept(acceptor, io);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: choice_beast PORT BYTES\n"), 2;
    body.assign(std::strtoul(argv[2], nullptr, 10), 'x');
    net::io_context io;
    tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::atoi(argv[1]))});
    Accept(acceptor, io);
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::thread::hardware_concurrency(); ++i) threads.emplace_back([&] { io.run(); });
    io.run();
}
