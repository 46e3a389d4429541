// A small append-only JSON writer: fixed decimals for measurements, no
// intermediate document, so large responses cost one growing string.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "controller/common/utf8.h"
#include "controller/status/fixed_point.h"

namespace controller {

class JsonKey;

class JsonOut {
 public:
  JsonOut& BeginObject() { return Open('{'); }
  JsonOut& EndObject() { return Close('}'); }
  JsonOut& BeginArray() { return Open('['); }
  JsonOut& EndArray() { return Close(']'); }

  JsonOut& Key(const char* key) {
    Separate();
    AppendString(out_, key);
    out_ += ':';
    after_key_ = true;
    return *this;
  }
  JsonOut& Key(const std::string& key) { return Key(key.c_str()); }
  inline JsonOut& Key(const JsonKey& key);

  JsonOut& String(const std::string& v) {
    Separate();
    AppendString(out_, v.c_str(), v.size());
    return Done();
  }
  JsonOut& String(const char* v) {
    Separate();
    AppendString(out_, v, std::strlen(v));
    return Done();
  }
  JsonOut& Int(long long v) {
    Separate();
    char buf[24];
    char* end = buf + sizeof(buf);
    char* p = end;
    // Through the unsigned magnitude: the most negative value has no positive twin.
    unsigned long long m =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
      *--p = static_cast<char>('0' + m % 10);
      m /= 10;
    } while (m != 0);
    if (v < 0) *--p = '-';
    out_.append(p, static_cast<std::size_t>(end - p));
    return Done();
  }
  // A whole count of 10^-decimals units, see AppendFixed.
  JsonOut& Fixed(unsigned long raw, int decimals) {
    Separate();
    AppendFixed(out_, raw, decimals);
    return Done();
  }
  // Non-finite numbers have no JSON form and become null.
  JsonOut& Number(double v, int decimals) {
    Separate();
    if (!std::isfinite(v)) {
      out_ += "null";
    } else {
      char buf[64];
      std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
      out_ += buf;
    }
    return Done();
  }
  // A float as its shortest faithful text.
  JsonOut& Real(float v) {
    Separate();
    if (!std::isfinite(v)) {
      out_ += "null";
    } else {
      char buf[32];
      std::snprintf(buf, sizeof(buf), "%.7g", static_cast<double>(v));
      out_ += buf;
    }
    return Done();
  }
  JsonOut& Bool(bool v) {
    Separate();
    out_ += v ? "true" : "false";
    return Done();
  }
  // A value already written as JSON.
  JsonOut& Raw(const std::string& json) {
    Separate();
    out_ += json;
    return Done();
  }
  JsonOut& Null() {
    Separate();
    out_ += "null";
    return Done();
  }

  std::string& str() { return out_; }
  void reserve(std::size_t n) { out_.reserve(n); }

  static void AppendString(std::string& out, const char* s, std::size_t n) {
    out += '"';
    for (std::size_t i = 0; i < n; ++i) {
      // Runs of characters that need no escape go in at once.
      std::size_t run = i;
      while (run < n && NeedsNoEscape(static_cast<unsigned char>(s[run]))) ++run;
      if (run > i) {
        out.append(s + i, run - i);
        i = run;
        if (i == n) break;
      }
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char esc[8];
        std::snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(c));
        out += esc;
      } else if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        // Bytes from a request may be anything; the answer stays valid UTF-8.
        const std::size_t len =
            Utf8SequenceLength(reinterpret_cast<const unsigned char*>(s) + i, n - i);
        if (len == 0) {
          out += kUtf8Replacement;
        } else {
          out.append(s + i, len);
          i += len - 1;
        }
      }
    }
    out += '"';
  }
  static void AppendString(std::string& out, const char* s) {
    AppendString(out, s, std::char_traits<char>::length(s));
  }

 private:
  // Printable ASCII only: bytes from 0x80 up are checked as UTF-8 one sequence at a time.
  static bool NeedsNoEscape(unsigned char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  }
  JsonOut& Open(char c) {
    Separate();
    out_ += c;
    comma_ = false;
    return *this;
  }
  JsonOut& Close(char c) {
    out_ += c;
    return Done();
  }
  void Separate() {
    if (after_key_) {
      after_key_ = false;
    } else if (comma_) {
      out_ += ',';
    }
  }
  JsonOut& Done() {
    comma_ = true;
    return *this;
  }

  std::string out_;
  bool comma_ = false;
  bool after_key_ = false;
};

// A key fixed when the program is built, escaped once, so that loops over
// thousands of rows append it whole.
class JsonKey {
 public:
  explicit JsonKey(const char* name) {
    JsonOut::AppendString(text_, name);
    text_ += ':';
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

JsonOut& JsonOut::Key(const JsonKey& key) {
  Separate();
  out_ += key.text();
  after_key_ = true;
  return *this;
}

}  // namespace controller
