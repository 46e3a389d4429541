// The operator's events table names exactly the events qdx-host knows.
#include "controller/notify/event_kinds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "controller/notify/notify_event.h"

namespace {

// The `names` of a text, in backticks.
std::set<std::string> Quoted(const std::string& text) {
  std::set<std::string> out;
  for (std::size_t a = text.find('`'); a != std::string::npos; a = text.find('`', a)) {
    const std::size_t b = text.find('`', a + 1);
    if (b == std::string::npos) break;
    out.insert(text.substr(a + 1, b - a - 1));
    a = b + 1;
  }
  return out;
}

// The names quoted from a paragraph's first line (starting with start) up to
// end, each line read in turn.
class Span {
 public:
  Span(const char* start, const char* end) : start_(start), end_(end) {}
  void Read(const std::string& line) {
    if (line.rfind(start_, 0) == 0 || (!text_.empty() && text_.find(end_) == std::string::npos))
      text_ += line + " ";
  }
  std::set<std::string> Names() const { return Quoted(text_.substr(0, text_.find(end_))); }

 private:
  std::string start_, end_, text_;
};

struct Docs {
  std::set<std::string> listed;    // the events table's first column
  std::set<std::string> holdable;  // named by the after_s item
  std::set<std::string> counted;   // named by the event log's paragraph on repeats
};

Docs ReadDocs() {
  std::ifstream in(std::string(QDX_SOURCE_DIR) + "/docs/operating.md");
  EXPECT_TRUE(in.good()) << "docs/operating.md not found under " << QDX_SOURCE_DIR;
  Docs d;
  std::string line;
  bool section = false;
  bool table = false;
  Span after("- `after_s`:", "are sent");
  Span repeats("Repeats of `", "are counted");
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) section = line == "## Events and notification";
    if (!section) continue;
    if (line.rfind("| event |", 0) == 0) table = true;
    if (table && line.rfind("| `", 0) == 0) {
      for (const std::string& n : Quoted(line.substr(1, line.find('|', 1) - 1))) d.listed.insert(n);
    } else if (line.rfind("|", 0) != 0) {
      table = false;
    }
    after.Read(line);
    repeats.Read(line);
  }
  for (const std::string& n : after.Names()) {
    if (n != "after_s") d.holdable.insert(n);
  }
  d.counted = repeats.Names();
  return d;
}

TEST(EventKindsTest, OperatingDocsListEveryEventAndNoOther) {
  const Docs docs = ReadDocs();
  const auto& names = controller::EventNames();
  EXPECT_EQ(docs.listed, std::set<std::string>(names.begin(), names.end()));
  EXPECT_EQ(docs.listed.size(), names.size()) << "a name in two kinds";
  std::set<std::string> holdable;
  for (const controller::EventKind& k : controller::EventKinds()) {
    if (k.holdable) holdable.insert(k.raise);
  }
  EXPECT_EQ(docs.holdable, holdable);
  const auto& counted = controller::CountedEventNames();
  EXPECT_EQ(docs.counted, std::set<std::string>(counted.begin(), counted.end()));
}

}  // namespace
