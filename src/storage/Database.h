#pragma once
// A small RAII layer over SQLite's C API: a connection, prepared statements, transactions.
// Every failure throws EDatabase with SQLite's own message and the statement's text.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace norvale {

class EDatabase : public std::runtime_error {
public:
    EDatabase(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    // SQLite's primary result code (SQLITE_CORRUPT, SQLITE_NOTADB, …).
    int code() const { return code_; }
    // The file is damaged or not a database at all.
    bool corrupt() const;

private:
    int code_;
};

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(Statement&&) noexcept;
    Statement& operator=(Statement&&) = delete;
    Statement(const Statement&) = delete;

    // Binding by position from 1; returns *this so binds chain.
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, double value);
    Statement& bind(int index, std::string_view text);
    Statement& bindBlob(int index, const std::vector<std::uint8_t>& bytes);
    Statement& bindNull(int index);

    // Steps once: true while a row is there.
    bool step();
    // Steps to the end (statements without rows).
    void run();
    // Clears bindings and rewinds, so the statement can run again.
    void reset();

    std::int64_t int64(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    std::vector<std::uint8_t> blob(int column) const;
    bool isNull(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class Database {
public:
    // Opens (creating) the file. Throws EDatabase.
    explicit Database(const std::string& path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(std::string_view sql);
    Statement prepare(std::string_view sql) { return Statement(db_, sql); }
    std::int64_t lastInsertId() const;
    int changes() const;
    sqlite3* handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// Commits at commit(); rolls back when left without it (an exception on the way).
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool done_ = false;
};

} // namespace norvale
