// Time as text, the one place it is formatted: UTC times as milliseconds since
// 1970 and their ISO 8601 text (independent of the width of time_t and of the
// local time zone), a record's 7-byte time stamp, the terminal's local times,
// and durations.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>
#include <string>

namespace controller {

// Milliseconds since 1970-01-01T00:00:00Z now.
std::int64_t NowUtcMs();

// "YYYY-MM-DDTHH:MM:SS.mmmZ", the form the history stores.
std::string FormatUtcMs(std::int64_t ms);

// "YYYY-MM-DD HH:MM:SS" of a 7-byte time stamp as records carry it (year
// little-endian, month, day, hour, minute, second), in the device's local time.
std::string FormatRecordTime(const unsigned char* ttime);

// "YYYY-MM-DD HH:MM:SS" in local time, as record lines show their records'
// times; where the C library has no local time for it (beyond time_t or year
// 9999 there), the UTC text, which still says when, never a throw.
std::string FormatLocalMs(std::int64_t ms);

// The local zone at that time: its abbreviation and offset, "CET, UTC+01:00".
std::string LocalZone(std::int64_t ms);

// Milliseconds as "2.5 s".
std::string Seconds(long long ms);

// Parses "YYYY-MM-DD", "YYYY-MM-DDTHH:MM", "...:SS" and "...:SS.fff", with an
// optional "Z" or "+HH:MM"/"-HH:MM" (no zone means UTC; a space stands for a
// "+" that a query string turned into one). Years 1970 to 9999. None if the
// text is no such time.
boost::optional<std::int64_t> ParseUtcMs(const std::string& text);

// The same forms for any year from 0000, negative before 1970: tells a time
// before 1970 apart from text that is no time at all.
boost::optional<std::int64_t> ParseIsoMs(const std::string& text);

}  // namespace controller
