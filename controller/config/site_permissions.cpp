// Warnings about a site file that others can read or change.
#include "controller/config/site_permissions.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr std::size_t kTokenLength = 16;  // a path part this long with a digit is likely a token
// Words of a command argument that names or carries a secret.
constexpr const char* kSecretWords[] = {"password",      "passwd", "token",   "secret",
                                        "authorization", "apikey", "api-key", "api_key"};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool HasSecretWord(const std::string& arg) {
  const std::string low = Lower(arg);
  return std::any_of(std::begin(kSecretWords), std::end(kSecretWords),
                     [&](const char* w) { return low.find(w) != std::string::npos; });
}

bool LooksLikeToken(const std::string& part) {
  return part.size() >= kTokenLength &&
         std::any_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Which part of a webhook URL seems to carry a secret, or "".
std::string UrlSecret(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t path = std::min(url.find_first_of("/?#", from), url.size());
  if (url.find('@', from) < path) return "its URL's user and password";
  const std::size_t query = std::min(url.find_first_of("?#", path), url.size());
  if (url.find('=', query) != std::string::npos) return "its URL's query";
  std::size_t start = path;
  while (start < query) {
    const std::size_t end = std::min(url.find('/', start + 1), query);
    if (LooksLikeToken(url.substr(start + 1, end - start - 1))) return "its URL's path";
    start = end;
  }
  return std::string();
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string controller::SecretPlace(const std::vector<NotifyTarget>& targets) {
  for (const NotifyTarget& t : targets) {
    std::string where;
    if (!t.headers.empty()) {
      where = "its headers";
    } else if (!t.webhook.empty()) {
      where = UrlSecret(t.webhook);
    } else if (std::any_of(t.command.begin(), t.command.end(), HasSecretWord)) {
      where = "its command's arguments";
    }
    if (!where.empty()) return "target \"" + t.name + "\": " + where;
  }
  return std::string();
}

std::vector<std::string> controller::SiteFileWarnings(const std::string& path, mode_t mode,
                                                      const std::vector<NotifyTarget>& targets) {
  std::vector<std::string> out;
  const std::string file = "warning: site file " + path + " ";
  const std::string fix = "; chmod 0640 " + path;
  if (mode & S_IWOTH)
    out.push_back(file + "is writable by others (mode " + Octal(mode) +
                  "): anyone can add a command target that runs as this user" + fix);
  const std::string secret = SecretPlace(targets);
  if ((mode & S_IROTH) && !secret.empty())
    out.push_back(file + "is readable by others (mode " + Octal(mode) + ") and holds secrets (" +
                  secret + ")" + fix);
  return out;
}

std::vector<std::string> controller::CheckSiteFile(const std::string& path,
                                                   const std::vector<NotifyTarget>& targets) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return SiteFileWarnings(path, st.st_mode, targets);
}
