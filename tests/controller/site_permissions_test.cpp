// The start-up warning about a site file that others can read while it holds
// secrets, or that others can write.
#include "controller/config/site_permissions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using controller::NotifyTarget;

NotifyTarget Hook(const std::string& url, bool header = false) {
  NotifyTarget t;
  t.name = "chat";
  t.webhook = url;
  if (header) t.headers.emplace_back("Authorization", "Bearer x");
  return t;
}

NotifyTarget Command(std::vector<std::string> argv) {
  NotifyTarget t;
  t.name = "pager";
  t.command = std::move(argv);
  return t;
}

struct Case {
  NotifyTarget target;
  std::string place;  // "" when the target holds no secret
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.target.webhook << c.place; }

class SecretPlaceTest : public ::testing::TestWithParam<Case> {};

TEST_P(SecretPlaceTest, FindsTheSecret) {
  EXPECT_EQ(controller::SecretPlace({Command({"/usr/bin/logger"}), GetParam().target}),
            GetParam().place);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SecretPlaceTest,
    ::testing::Values(
        Case{Hook("https://hooks.example.net/ups", true), "target \"chat\": its headers"},
        Case{Hook("https://u:pw@hooks.example.net/ups"),
             "target \"chat\": its URL's user and password"},
        Case{Hook("https://hooks.example.net/ups?key=abc"), "target \"chat\": its URL's query"},
        Case{Hook("https://hooks.example.net/services/T0/B0/a1b2c3d4e5f6g7h8i9"),
             "target \"chat\": its URL's path"},
        Case{Hook("http://127.0.0.1:9099/qdx/events"), ""}, Case{Hook("http://[::1]:9099/"), ""},
        Case{Command({"/bin/notify", "--Token=abc"}), "target \"pager\": its command's arguments"},
        Case{Command({"/usr/local/bin/page-me", "--urgent"}), ""}));

TEST(SiteFileWarningsTest, OthersReadingSecretsOrWritingAreTold) {
  const std::vector<NotifyTarget> secret{Hook("https://h.example/ups", true)};
  const std::vector<NotifyTarget> plain{Command({"/usr/bin/logger"})};
  EXPECT_TRUE(controller::SiteFileWarnings("s.json", 0640, secret).empty());
  EXPECT_TRUE(controller::SiteFileWarnings("s.json", 0644, plain).empty());
  const auto read = controller::SiteFileWarnings("s.json", 0100644, secret);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0],
            "warning: site file s.json is readable by others (mode 0644) and holds "
            "secrets (target \"chat\": its headers); chmod 0640 s.json");
  const auto written = controller::SiteFileWarnings("s.json", 0602, plain);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].find("is writable by others (mode 0602)"), std::string::npos);
}

TEST(SiteFileWarningsTest, ReadsTheFilesOwnMode) {
  test_support::TempDir dir;
  const std::string path = dir.File("site.json");
  std::ofstream(path) << "{}";
  const std::vector<NotifyTarget> secret{Hook("https://h.example/ups", true)};
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(controller::CheckSiteFile(path, secret).size(), 1u);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  EXPECT_TRUE(controller::CheckSiteFile(path, secret).empty());
  EXPECT_TRUE(controller::CheckSiteFile(dir.File("gone.json"), secret).empty());
}

}  // namespace
