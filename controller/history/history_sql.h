// SQLite held one way across the history: a prepared statement that finalizes
// itself, with its binds and column reads, and a transaction that rolls back
// unless it was committed. For the history's own sources only (it brings in
// sqlite3.h).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace controller {

class Statement {
 public:
  Statement() = default;
  // Prepared on db; empty (false) when SQLite refuses it, as on a file that
  // lacks what it names.
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) Finalize();
  }
  Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
  ~Statement() { Finalize(); }
  Statement(Statement&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  Statement& operator=(Statement&& o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return s_ != nullptr; }

  // Parameters from 1; text and blobs are copied, so temporaries are fine.
  Statement& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // A zero-length blob is still a blob, never NULL.
  Statement& Bind(int i, const std::vector<unsigned char>& v) {
    if (v.empty()) {
      sqlite3_bind_zeroblob(s_, i, 0);
    } else {
      sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    return *this;
  }

  // Ready to run again, its bindings kept.
  Statement& Reset() {
    sqlite3_reset(s_);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(s_); }
  bool Next() { return Step() == SQLITE_ROW; }

  std::int64_t Int(int col) const { return sqlite3_column_int64(s_, col); }
  bool Null(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, col)))
             : std::string();
  }
  std::vector<unsigned char> Blob(int col) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s_, col));
    return p ? std::vector<unsigned char>(p, p + sqlite3_column_bytes(s_, col))
             : std::vector<unsigned char>();
  }

 private:
  void Finalize() {
    sqlite3_finalize(s_);
    s_ = nullptr;
  }
  sqlite3_stmt* s_ = nullptr;
};

// BEGIN in the constructor, ROLLBACK in the destructor unless committed: a
// step that fails leaves nothing behind. One that writes takes the write lock
// at once (IMMEDIATE), so that a lock held elsewhere shows here and not
// halfway through; one that reads sees one state of the file throughout.
class Transaction {
 public:
  enum Kind { kWrite, kRead };
  explicit Transaction(sqlite3* db, Kind kind = kWrite)
      : db_(db),
        rc_(sqlite3_exec(db, kind == kWrite ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr,
                         nullptr)) {}
  ~Transaction() {
    // SQLite may have rolled back on its own already (a full disk).
    if (rc_ == SQLITE_OK && !sqlite3_get_autocommit(db_))
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // BEGIN's result code.
  int rc() const { return rc_; }
  bool ok() const { return rc_ == SQLITE_OK; }

  // COMMIT's result code; a transaction not begun is not committed.
  int Commit() {
    if (rc_ != SQLITE_OK) return rc_;
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }

 private:
  sqlite3* db_;
  int rc_;
};

// Statements without results; SQLite's result code.
inline int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}
inline int Exec(sqlite3* db, const std::string& sql) { return Exec(db, sql.c_str()); }

// The first column of a one-row query as an integer; 0 when there is none.
inline std::int64_t QueryInt(sqlite3* db, const char* sql) {
  Statement s(db, sql);
  return s && s.Next() ? s.Int(0) : 0;
}
inline std::int64_t QueryInt(sqlite3* db, const std::string& sql) {
  return QueryInt(db, sql.c_str());
}

}  // namespace controller
