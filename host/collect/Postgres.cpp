// The shared store: PostgreSQL through libpq. Several collectors write to one
// database; every statement is sent with its parameters as text.
#include <libpq-fe.h>

#include "host/collect/Database.h"

namespace collect {

namespace {

// '?' into $1, $2, …; the statements hold no '?' of their own.
std::string Numbered(const std::string& sql) {
    std::string out;
    int number = 0;
    for (char c : sql) {
        if (c == '?') out += "$" + std::to_string(++number);
        else out += c;
    }
    return out;
}

std::string FirstLine(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    std::size_t newline = text.find('\n');
    return newline == std::string::npos ? text : text.substr(0, newline);
}

class PostgresConnection final : public Connection {
public:
    explicit PostgresConnection(std::string address) : address_(std::move(address)) {}
    ~PostgresConnection() override {
        if (pg_ != nullptr) PQfinish(pg_);
    }

    bool Open(std::string& error) {
        if (pg_ != nullptr) PQfinish(pg_);
        pg_ = PQconnectdb(address_.c_str());
        if (pg_ == nullptr || PQstatus(pg_) != CONNECTION_OK) {
            error = "cannot connect to PostgreSQL: " + FirstLine(pg_ ? PQerrorMessage(pg_) : "out of memory");
            return false;
        }
        // Notices (an index that already exists…) are not the service's output.
        PQsetNoticeProcessor(pg_, [](void*, const char*) {}, nullptr);
        return Exec("SET synchronous_commit = on", error) && Exec("SET client_min_messages = warning", error);
    }

    using Connection::Exec;
    Dialect Kind() const override { return Dialect::PostgreSQL; }

    bool Exec(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string& error) override {
        if (pg_ == nullptr) {
            error = "not connected to PostgreSQL";
            return false;
        }
        std::vector<std::string> texts;
        texts.reserve(params.size());
        for (const auto& param : params) {
            if (const auto* number = std::get_if<std::int64_t>(&param)) texts.push_back(std::to_string(*number));
            else texts.push_back(std::get<std::string>(param));
        }
        std::vector<const char*> values;
        for (const auto& text : texts) values.push_back(text.c_str());
        PGresult* result = PQexecParams(pg_, Numbered(sql).c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(result);
        bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            error = "PostgreSQL: " + FirstLine(result ? PQresultErrorMessage(result) : PQerrorMessage(pg_));
        } else if (rows != nullptr && status == PGRES_TUPLES_OK) {
            int count = PQntuples(result), columns = PQnfields(result);
            for (int r = 0; r < count; ++r) {
                Row row;
                for (int c = 0; c < columns; ++c)
                    row.emplace_back(PQgetvalue(result, r, c), static_cast<std::size_t>(PQgetlength(result, r, c)));
                rows->push_back(std::move(row));
            }
        }
        PQclear(result);
        return ok;
    }

    bool Healthy() override { return pg_ != nullptr && PQstatus(pg_) == CONNECTION_OK; }
    bool Reconnect(std::string& error) override { return Open(error); }

private:
    std::string address_;
    PGconn* pg_ = nullptr;
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string& address, std::string& error) {
    auto connection = std::make_unique<PostgresConnection>(address);
    if (!connection->Open(error)) return nullptr;
    return connection;
}

}  // namespace collect
