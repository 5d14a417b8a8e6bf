// One of the two candidates measured before the service was written:
// cpp-httplib answering every GET with the same in-memory body (its thread
// pool, keep-alive).
#include <httplib.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::string body(std::strtoul(argv[2], nullptr, 10), 'x');
    httplib::Server server;
    server.Get(R"(/.*)", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "application/octet-stream");
    });
    server.listen("127.0.0.1", std::atoi(argv[1]));
}
