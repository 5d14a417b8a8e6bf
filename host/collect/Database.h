// One connection to the collector's database: SQLite (one file) or
// PostgreSQL (libpq). Statements are written once, with '?' for each
// parameter; the PostgreSQL connection numbers them. Every value comes back
// as text (NULL as empty).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace collect {

using Param = std::variant<std::int64_t, std::string>;
using Row = std::vector<std::string>;

enum class Dialect { SQLite, PostgreSQL };

class Connection {
public:
    virtual ~Connection() = default;
    virtual Dialect Kind() const = 0;
    // Runs one statement; the rows it returns go to `rows` when given.
    virtual bool Exec(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
                      std::string& error) = 0;
    // Whether the connection still works; Reconnect tries once to open it again.
    virtual bool Healthy() = 0;
    virtual bool Reconnect(std::string& error) = 0;

    bool Exec(const std::string& sql, std::string& error) { return Exec(sql, {}, nullptr, error); }
};

struct StoreOptions {
    // SQLite: each commit reaches the disk before it returns (FULL), or the
    // write-ahead log only (NORMAL: a commit survives the process's end,
    // kill -9 too, but not the machine's loss of power).
    bool SqliteSyncFull = true;
};

// "sqlite:FILE" (the file is created when missing) or "postgresql://…" /
// "postgres://…" (a libpq connection address). False with the reason.
std::unique_ptr<Connection> OpenStore(const std::string& address, std::string& error, const StoreOptions& options = {});

std::unique_ptr<Connection> OpenSqlite(const std::string& path, std::string& error, bool syncFull = true);
std::unique_ptr<Connection> OpenPostgres(const std::string& address, std::string& error);

}  // namespace collect
