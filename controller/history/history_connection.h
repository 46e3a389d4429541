// One SQLite connection owned one way: opened in the constructor, closed once,
// and the close's result seen.
#pragma once

#include <string>

struct sqlite3;

namespace controller {

class Connection {
 public:
  Connection() = default;
  // Opens path; a failed open still holds SQLite's handle, for its reason.
  Connection(const std::string& path, int flags);
  ~Connection() { Close(); }
  Connection(Connection&& o) noexcept;
  Connection& operator=(Connection&& o) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* get() const { return db_; }
  // Whether the open went through and the connection is not closed.
  bool ok() const { return db_ != nullptr && open_rc_ == 0; }
  int open_rc() const { return open_rc_; }
  // SQLite's text for the last failure; a handle SQLite could not make means memory.
  const char* reason() const;

  // SQLITE_OK, or SQLITE_BUSY when a statement was left unfinalized: then the
  // handle goes once the last statement does, rather than staying open for
  // good. Either way this object holds no connection afterwards.
  int Close();

 private:
  sqlite3* db_ = nullptr;
  int open_rc_ = 0;
};

}  // namespace controller
