// The embedded store: one SQLite file in WAL mode. Commits are durable
// (synchronous=FULL); a process killed at any moment loses nothing that was
// committed.
#include <sqlite3.h>

#include <map>

#include "host/collect/Database.h"

namespace collect {

namespace {

class SqliteConnection final : public Connection {
public:
    SqliteConnection(std::string path, bool syncFull) : path_(std::move(path)), syncFull_(syncFull) {}
    ~SqliteConnection() override { Close(); }

    bool Open(std::string& error) {
        Close();
        if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            error = "cannot open " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
            Close();
            return false;
        }
        // Another process (an import, a second command) may hold the write
        // lock for a moment.
        sqlite3_busy_timeout(db_, 10000);
        std::vector<Row> rows;
        if (!Exec("PRAGMA journal_mode=WAL", {}, &rows, error)) return false;
        if (rows.empty() || rows[0].empty() || rows[0][0] != "wal") {
            error = "cannot open " + path_ + ": the file does not take the WAL journal";
            return false;
        }
        return Exec(syncFull_ ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", error) &&
               Exec("PRAGMA foreign_keys=ON", error);
    }

    using Connection::Exec;
    Dialect Kind() const override { return Dialect::SQLite; }

    bool Exec(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string& error) override {
        if (db_ == nullptr) {
            error = "the database is not open";
            return false;
        }
        bool cached = false;
        sqlite3_stmt* statement = Prepared(sql, cached, error);
        if (statement == nullptr) return false;
        for (std::size_t i = 0; i < params.size(); ++i) {
            int index = static_cast<int>(i + 1);
            if (const auto* number = std::get_if<std::int64_t>(&params[i]))
                sqlite3_bind_int64(statement, index, *number);
            else {
                const std::string& text = std::get<std::string>(params[i]);
                sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            }
        }
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (rows == nullptr) continue;
            Row row;
            int columns = sqlite3_column_count(statement);
            for (int c = 0; c < columns; ++c) {
                const unsigned char* text = sqlite3_column_text(statement, c);
                row.emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, c)));
            }
            rows->push_back(std::move(row));
        }
        bool ok = step == SQLITE_DONE;
        if (!ok) error = std::string("SQLite: ") + sqlite3_errmsg(db_);
        if (cached) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        } else {
            sqlite3_finalize(statement);
        }
        return ok;
    }

    bool Healthy() override { return db_ != nullptr; }
    bool Reconnect(std::string& error) override { return Open(error); }

private:
    sqlite3_stmt* Prepared(const std::string& sql, bool& cached, std::string& error) {
        auto found = statements_.find(sql);
        cached = found != statements_.end();
        if (cached) return found->second;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
            error = std::string("SQLite: ") + sqlite3_errmsg(db_);
            return nullptr;
        }
        // The statements of the running service are few; beyond that many,
        // one is finalized after its run.
        if (statements_.size() < 256) {
            statements_.emplace(sql, statement);
            cached = true;
        }
        return statement;
    }

    void Close() {
        for (auto& entry : statements_) sqlite3_finalize(entry.second);
        statements_.clear();
        if (db_ != nullptr) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    std::string path_;
    bool syncFull_;
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, std::string& error, bool syncFull) {
    auto connection = std::make_unique<SqliteConnection>(path, syncFull);
    if (!connection->Open(error)) return nullptr;
    return connection;
}

std::unique_ptr<Connection> OpenStore(const std::string& address, std::string& error, const StoreOptions& options) {
    if (address.rfind("sqlite:", 0) == 0) {
        std::string path = address.substr(7);
        if (path.empty()) {
            error = "sqlite: needs a file name (sqlite:events.db)";
            return nullptr;
        }
        return OpenSqlite(path, error, options.SqliteSyncFull);
    }
    if (address.rfind("postgresql://", 0) == 0 || address.rfind("postgres://", 0) == 0)
        return OpenPostgres(address, error);
    error = "the store is neither sqlite:FILE nor postgresql://…";
    return nullptr;
}

}  // namespace collect
