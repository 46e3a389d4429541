// Device history in SQLite: one row per published record, raw bytes as stored.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace host {

class HistoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<unsigned char>;

// A stored record with the time its row was written.
struct StoredRecord {
  Bytes bytes;
  std::string time;  // UTC, as UtcTimestamp() gives it
};

class HistoryDb {
 public:
  // Opens or creates the database and proves it writable. Throws HistoryError
  // naming the path otherwise.
  explicit HistoryDb(const std::string& path);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // Stores one record in its own transaction, so a stop right after loses nothing.
  void Store(std::uint32_t data_id, const std::string& device_type, int record_type,
             const unsigned char* data, unsigned int len);

  // The newest stored record of a device, if any.
  boost::optional<StoredRecord> Latest(std::uint32_t data_id, const std::string& device_type);

  const std::string& path() const { return path_; }

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  void Exec(const char* sql);

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* latest_ = nullptr;
};

// UTC time of now as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcTimestamp();

// Seconds since 1970 of a UtcTimestamp() text (fraction ignored); none when
// the text is not one.
boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text);

}  // namespace host
