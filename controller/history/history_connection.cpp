#include "controller/history/history_connection.h"

#include <sqlite3.h>

#include <utility>

namespace controller {

Connection::Connection(const std::string& path, int flags)
    : open_rc_(sqlite3_open_v2(path.c_str(), &db_, flags, nullptr)) {}

Connection::Connection(Connection&& o) noexcept
    : db_(std::exchange(o.db_, nullptr)), open_rc_(o.open_rc_) {}

Connection& Connection::operator=(Connection&& o) noexcept {
  if (this != &o) {
    Close();
    db_ = std::exchange(o.db_, nullptr);
    open_rc_ = o.open_rc_;
  }
  return *this;
}

const char* Connection::reason() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

int Connection::Close() {
  if (!db_) return SQLITE_OK;
  const int rc = sqlite3_close(db_);
  if (rc != SQLITE_OK) sqlite3_close_v2(db_);
  db_ = nullptr;
  return rc;
}

}  // namespace controller
