// Device history in SQLite: one row per published record, raw bytes as stored.
#pragma once

#include <boost/optional.hpp>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace controller {

class HistoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<unsigned char>;

// One record on its way into the history.
struct HistoryRow {
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::string device_type;
  std::chrono::system_clock::time_point time;  // when it was published
  Bytes data;
};

// A stored record with the time its row was written.
struct StoredRecord {
  Bytes bytes;
  std::string time;  // UTC, as UtcTimestamp() gives it
};

class HistoryDb {
 public:
  // Opens or creates the database, checks the history table and proves it
  // writable. Throws HistoryError naming the path and SQLite's reason; a file
  // this call created is removed again.
  explicit HistoryDb(const std::string& path);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // Stores rows in one transaction. Returns SQLite's result code: SQLITE_OK, a
  // busy or locked code worth retrying (IsRetryable), or a permanent error with
  // its text in *error. Nothing is stored unless all are.
  int StoreGroup(const std::vector<HistoryRow>& rows, std::string* error);

  // Stores one record now; throws HistoryError when it cannot.
  void Store(std::uint32_t data_id, const std::string& device_type, int record_type,
             const unsigned char* data, unsigned int len);

  // The newest stored record of a device, if any.
  boost::optional<StoredRecord> Latest(std::uint32_t data_id, const std::string& device_type);

  // Closes the database and, if this object created the file, removes it with
  // its journal files: for a start-up that failed after the history was opened.
  void CloseAndRemoveIfCreated();

  const std::string& path() const { return path_; }

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  void Exec(const char* sql, const char* what);
  void CheckTable();
  void Close();

  std::string path_;
  bool created_ = false;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* latest_ = nullptr;
};

// Whether a SQLite result code means another connection holds a lock for now.
bool IsRetryable(int rc);

// UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcTimestamp(std::chrono::system_clock::time_point t);

// Seconds since 1970 of a UtcTimestamp() text (fraction ignored); none when
// the text is not one.
boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text);

}  // namespace controller
