#include "controller/framework/known_keys.h"

#include <algorithm>
#include <cctype>

namespace controller {

namespace {

constexpr std::size_t kMaxSuggestEdits = 2;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

std::string ClosestKey(const std::string& key, const KnownKeys& known) {
  const std::string lower = Lower(key);
  for (const char* k : known) {
    if (Lower(k) == lower) return k;
  }
  std::string best;
  std::size_t best_edits = kMaxSuggestEdits + 1;
  for (const char* k : known) {
    const std::string candidate = k;
    // Two edits turn any short key into any other: no guess there.
    if (std::min(candidate.size(), key.size()) <= kMaxSuggestEdits) continue;
    const std::size_t edits = EditDistance(lower, Lower(candidate));
    if (edits < best_edits) {
      best_edits = edits;
      best = candidate;
    }
  }
  return best;
}

bool UnknownKey(const Json::Value& obj, const KnownKeys& known, std::string& key,
                std::string& hint) {
  if (!obj.isObject()) return false;
  for (const std::string& member : obj.getMemberNames()) {
    const bool ok =
        std::any_of(known.begin(), known.end(), [&member](const char* k) { return member == k; });
    if (ok) continue;
    key = member;
    hint = ClosestKey(member, known);
    return true;
  }
  return false;
}

std::string DidYouMean(const std::string& hint) {
  return hint.empty() ? std::string() : "; did you mean \"" + hint + "\"?";
}

}  // namespace controller
