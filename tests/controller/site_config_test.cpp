// The site file: what start-up refuses, naming the file and the key, and the
// defaults it fills in.
#include "controller/config/site_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "controller/notify/delivery.h"
#include "controller/notify/target_check.h"
#include "support/expect.h"
#include "support/json.h"
#include "support/temp_dir.h"

namespace {

std::string Site(const std::string& device) {
  return R"({"plugins": ["p.so"], "devices": [)" + device + "]}";
}

const char kGoodDevice[] = R"({"type": "zota_up2200", "data_id": 7, "port": "/dev/ttyS0"})";

struct BadSite {
  std::string doc;
  std::string message;
};

// Keeps test names readable and stable instead of a dump of the object's bytes.
void PrintTo(const BadSite& b, std::ostream* os) { *os << b.doc; }

class SiteConfigTest : public ::testing::TestWithParam<BadSite> {};

TEST_P(SiteConfigTest, RejectsNamingFileAndKey) {
  const Json::Value doc = test_support::ParseJson(GetParam().doc);
  const auto parse = [&] { controller::ParseSite(doc, "site.json", "/plugins"); };
  test_support::ExpectThrowWithMessage<std::runtime_error>(parse, GetParam().message);
  test_support::ExpectThrowWithMessage<std::runtime_error>(parse, "site.json: ");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiteConfigTest,
    ::testing::Values(
        BadSite{"[]", "must be a JSON object"},
        BadSite{R"({"devices": []})", "\"plugins\" must be a non-empty list"},
        BadSite{R"({"plugins": [3], "devices": [1]})", "\"plugins\"[0] must be a non-empty text"},
        BadSite{R"({"plugins": ["p.so"], "devices": []})", "\"devices\" must be a non-empty"},
        BadSite{R"({"plugins": ["p.so"], "devices": [1], "x": 1})", "\"x\" is not a known key"},
        BadSite{R"({"plugins": ["p.so"], "devices": [1], "histroy": {}})",
                "\"histroy\" is not a known key; did you mean \"history\"?"},
        BadSite{R"({"plugins": ["p.so"], "devices": [1], "history": 3})",
                "\"history\" must be an object"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "Poll_interval_ms": 100})"),
                "\"Poll_interval_ms\" is not a known key; did you mean \"poll_interval_ms\"?"},
        BadSite{Site(R"({"type": "t", "port": "/dev/x"})"), "[0].\"data_id\" is missing"},
        BadSite{Site(R"({"type": "t", "data_id": 0, "port": "p"})"), "\"data_id\" must be"},
        BadSite{Site(R"({"type": "t", "data_id": 4294967296, "port": "p"})"), "\"data_id\""},
        BadSite{Site(R"({"type": "t", "data_id": 1.5, "port": "p"})"), "\"data_id\""},
        BadSite{Site(R"({"type": "", "data_id": 1, "port": "p"})"), "\"type\" must be"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "sim:"})"), "no simulator scenario"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "sim:noisy:x"})"), "seed"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "poll_interval_ms": 1})"),
                "\"poll_interval_ms\" must be a whole number from 50"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "reply_timeout_ms": -5})"),
                "\"reply_timeout_ms\""},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "settings": []})"),
                "\"settings\" must be an object"},
        // The device's own checks of its settings, named after the device.
        BadSite{Site(R"({"name": "ups1", "type": "t", "data_id": 1, "port": "p",
                         "settings": {"appSetting": {"b_mode": "abc"}}})"),
                R"(device "ups1": settings.appSetting.b_mode: must be an integer, got "abc")"},
        BadSite{Site(std::string(kGoodDevice) + "," + kGoodDevice), "repeats the device name"},
        BadSite{Site(std::string(kGoodDevice) +
                     R"(, {"name": "b", "type": "t", "data_id": 7, "port": "q"})"),
                "[1].\"data_id\" repeats the data id 7"},
        // One port for two devices, however spelt: named with both devices.
        BadSite{Site(R"({"name": "a", "type": "t", "data_id": 1, "port": "/dev/null"},
                        {"name": "b", "type": "t", "data_id": 2, "port": "/dev/../dev/null"})"),
                R"("devices"[1]."port" of device "b" is /dev/../dev/null (/dev/null), the port )"
                R"(of device "a" ("devices"[0]) too)"},
        // A port not plugged in yet cannot be resolved: its text is compared.
        BadSite{Site(R"({"name": "a", "type": "t", "data_id": 1, "port": "/nowhere/ttyUSB7"},
                        {"name": "b", "type": "t", "data_id": 2, "port": "/nowhere/ttyUSB7"})"),
                R"(of device "b" is /nowhere/ttyUSB7, the port of device "a")"},
        // A name that would forge a line or an escape sequence on a terminal.
        BadSite{Site(R"({"name": "u\nFAKE", "type": "t", "data_id": 1, "port": "p"})"),
                R"("devices"[0]."name" holds the control character 0x0A)"},
        BadSite{Site(R"({"name": "u\u009b2J", "type": "t", "data_id": 1, "port": "p"})"),
                R"("devices"[0]."name" holds the control character U+009B)"},
        // Latin-1 bytes: a metric label that is not UTF-8 spoils the whole scrape.
        BadSite{
            Site("{\"name\": \"St\xF6rung\", \"type\": \"t\", \"data_id\": 1, \"port\": \"p\"}"),
            R"("devices"[0]."name" is not valid UTF-8 (byte 0xF6 at offset 2))"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "cache_max_age_s": 0})"),
                "\"cache_max_age_s\" must be a whole number from 1"},
        BadSite{Site(kGoodDevice).insert(1, R"("history": 5, )"), "\"history\" must be an object"},
        BadSite{Site(kGoodDevice).insert(1, R"("history": {"keep_days": -1}, )"),
                "\"history\".\"keep_days\" must be a whole number from 0"},
        BadSite{Site(kGoodDevice).insert(1, R"("history": {"max_mb": 1.5}, )"),
                "\"history\".\"max_mb\" must be a whole number from 0"},
        BadSite{Site(kGoodDevice).insert(1, R"("history": {"max_kb": 1}, )"),
                "\"history\".\"max_kb\" is not a known key"},
        // Notification targets: named once, one way of delivery, known names only.
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"command": ["x"]}], )"),
                "\"notify\"[0].\"name\" is missing"},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a", "command": ["true"]},
                                                        {"name": "a", "command": ["true"]}], )"),
                "repeats the target name a"},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a"}], )"),
                "must have either \"command\" or \"webhook\""},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a", "webhook": "ftp://x"}], )"),
                "must begin with http:// or https://"},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a", "command": ["x"],
                                                         "event": ["*"]}], )"),
                "\"event\" is not a known key; did you mean \"events\"?"},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a", "command": ["x"],
                                                         "events": ["utility_falure"]}], )"),
                "is not a known name; did you mean \"utility_failure\"?"},
        BadSite{Site(kGoodDevice).insert(1, R"("notify": [{"name": "a", "command": ["x"],
                                                         "devices": ["zota_up2201#7"]}], )"),
                "did you mean \"zota_up2200#7\"?"}));

// A target that could never deliver is refused at start, by key and reason,
// not at the first power failure; its name follows a device name's rule.
struct BadTarget {
  std::string target;  // the target's keys but its name "a", unless it names itself
  std::string key;     // within "notify"[0]
  std::string reason;
};

void PrintTo(const BadTarget& b, std::ostream* os) { *os << b.target; }

class SiteConfigTargetTest : public ::testing::TestWithParam<BadTarget> {};

TEST_P(SiteConfigTargetTest, RefusedAtStartByKeyAndReason) {
  const std::string& target = GetParam().target;
  const std::string name = target.find("\"name\"") == std::string::npos ? R"("name": "a", )" : "";
  const Json::Value doc = test_support::ParseJson(
      Site(kGoodDevice).insert(1, R"("notify": [{)" + name + target + "}], "));
  test_support::ExpectThrowWithMessage<std::runtime_error>(
      [&] { controller::ParseSite(doc, "site.json", "/plugins"); },
      "site.json: \"notify\"[0]." + GetParam().key + " " + GetParam().reason);
}

const char kHook[] = R"("webhook": "https://h/x", )";
const char kA[] = "(target \"a\") ";
const std::string kPort = kA + std::string("has a port that is not a whole number from 1 to 65535");

INSTANTIATE_TEST_SUITE_P(
    Table, SiteConfigTargetTest,
    ::testing::Values(
        BadTarget{R"("command": ["/no/such"])", "\"command\"[0]",
                  kA + std::string("\"/no/such\" does not exist")},
        BadTarget{R"("command": ["/etc/passwd", "-x"])", "\"command\"[0]",
                  kA + std::string("\"/etc/passwd\" is not executable")},
        BadTarget{R"("command": ["/tmp"])", "\"command\"[0]",
                  kA + std::string("\"/tmp\" is a folder, not a program")},
        BadTarget{R"("command": ["qdx-no-such"])", "\"command\"[0]",
                  kA + std::string("\"qdx-no-such\" is no executable program in PATH (")},
        BadTarget{R"("webhook": "http://h/a b")", "\"webhook\"", kA + std::string("holds a space")},
        BadTarget{R"("webhook": "http://h:99999/")", "\"webhook\"", kPort},
        BadTarget{R"("webhook": "http://h:0/")", "\"webhook\"", kPort},
        BadTarget{R"("webhook": "http://")", "\"webhook\"", kA + std::string("has no host")},
        BadTarget{R"("webhook": "HTTPS://h/")", "\"webhook\"",
                  kA + std::string("must begin with http://")},
        BadTarget{R"("webhook": "http://u:secret@h/")", "\"webhook\"",
                  kA + std::string("holds a user name or password; give them in \"headers\"")},
        BadTarget{R"("webhook": "http://h/%zz")", "\"webhook\"",
                  kA + std::string("holds a % not followed by two hex digits")},
        BadTarget{R"("webhook": "http://[fe80::1]/")", "\"webhook\"",
                  kA + std::string("has an IPv6 address with letters")},
        BadTarget{std::string(kHook) + R"("ca_file": "/no/such.pem")", "\"ca_file\"",
                  kA + std::string("\"/no/such.pem\" does not exist")},
        BadTarget{std::string(kHook) + R"("ca_file": "/tmp")", "\"ca_file\"",
                  kA + std::string("\"/tmp\" is a folder, not a file")},
        BadTarget{std::string(kHook) + R"("headers": {"A B:": "x"})", "\"headers\".\"A B:\"",
                  kA + std::string("is not a header name")},
        BadTarget{std::string(kHook) + R"("headers": {"": "x"})", "\"headers\".\"\"",
                  kA + std::string("is an empty header name")},
        BadTarget{std::string(kHook) + R"("headers": {"X-A\n": "x"})", "\"headers\".\"X-A\\x0A\"",
                  kA + std::string("is not a header name")},
        BadTarget{std::string(kHook) + R"("headers": {"X-A": "x\r\nInjected: 1"})",
                  "\"headers\".\"X-A\"",
                  kA + std::string("has a value that holds a control character")},
        // Latin-1 bytes: a metric label that is not UTF-8 spoils the whole scrape.
        BadTarget{std::string(kHook) + "\"name\": \"St\xF6rung\"", "\"name\"",
                  "is not valid UTF-8 (byte 0xF6 at offset 2)"},
        BadTarget{std::string(kHook) + R"("name": "a\u0085b")", "\"name\"",
                  "holds the control character U+0085"}));

TEST_F(SiteConfigTest, AcceptsTargetsThatCanWork) {
  const std::string hooks = R"(,
          {"name": "c", "webhook": "http://127.0.0.1:8080/a?b=%20&c=d", "ca_file": "/etc/passwd",
           "headers": {"X-Token_1!": "v", "Authorization": "Bearer t"}},
          {"name": "d", "webhook": "https://[::1]"}, {"name": "e", "webhook": "https://h.example"})";
  const std::string targets = R"("notify": [
          {"name": "St\u00f6rung", "command": ["true"]}, {"name": "b", "command": ["/bin/sh"]})" +
                              (controller::kWebhooksBuiltIn ? hooks : "") + "], ";
  const auto site = controller::ParseSite(
      test_support::ParseJson(Site(kGoodDevice).insert(1, targets)), "site.json", "/plugins");
  ASSERT_EQ(site.notify.size(), controller::kWebhooksBuiltIn ? 5u : 2u);
  EXPECT_EQ(site.notify[0].name, "St\xC3\xB6rung");
  // Delivery splits an accepted URL with the same parser.
  const auto with_query = controller::ParseWebhookUrl("http://127.0.0.1:8080/a?b=%20&c=d");
  ASSERT_TRUE(with_query.ok());
  EXPECT_EQ(with_query.value().base + " " + with_query.value().path,
            "http://127.0.0.1:8080 /a?b=%20&c=d");
  const auto bare = controller::ParseWebhookUrl("https://[::1]");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare.value().base + " " + bare.value().path, "https://[::1] /");
  if (!controller::kWebhooksBuiltIn)
    test_support::ExpectThrowWithMessage<std::runtime_error>(
        [&] {
          controller::ParseSite(test_support::ParseJson(Site(kGoodDevice).insert(1, R"("notify": [
          {"name": "c", "webhook": "http://127.0.0.1:8080/"}], )")),
                                "site.json", "/plugins");
        },
        "needs HTTP support");
}

TEST_F(SiteConfigTest, FillsDefaultsAndResolvesPaths) {
  const auto site = controller::ParseSite(
      test_support::ParseJson(
          R"({"plugins": ["p.so", "/abs/q.so"], "devices": [)" + std::string(kGoodDevice) +
          R"(, {"name": "sim", "type": "t", "data_id": 8, "port": "sim:noisy:42",
                "poll_interval_ms": 200, "settings": {"appSetting": {"b_mode": 1}}}]})"),
      "site.json", "/plugins");
  EXPECT_EQ(site.plugins, (std::vector<std::string>{"/plugins/p.so", "/abs/q.so"}));
  ASSERT_EQ(site.devices.size(), 2u);
  EXPECT_EQ(site.devices[0].name, "zota_up2200#7");
  EXPECT_EQ(site.devices[0].port, "/dev/ttyS0");
  EXPECT_EQ(site.devices[0].poll_interval_ms, controller::kDefaultPollIntervalMs);
  EXPECT_EQ(site.devices[0].cache_max_age_s, controller::kDefaultCacheMaxAgeS);
  EXPECT_TRUE(site.devices[0].sim_scenario.empty());
  EXPECT_EQ(site.devices[1].sim_scenario, "noisy");
  EXPECT_EQ(site.devices[1].sim_seed, 42u);
  EXPECT_TRUE(site.devices[1].port.empty());
  EXPECT_EQ(site.devices[1].settings["appSetting"]["b_mode"].asInt(), 1);
  EXPECT_EQ(site.history.keep_days, 400);
  EXPECT_EQ(site.history.max_mb, 0);
  EXPECT_EQ(site.history.min_free_mb, 64);
  EXPECT_FALSE(site.history.min_free_set);  // so at most 5 % of the file system
  const auto bounded = controller::ParseSite(
      test_support::ParseJson(
          Site(kGoodDevice)
              .insert(1, R"("history": {"keep_days": 0, "max_mb": 5, "min_free_mb": 0}, )")),
      "site.json", "/plugins");
  EXPECT_EQ(bounded.history.keep_days, 0);
  EXPECT_EQ(bounded.history.max_mb, 5);
  EXPECT_EQ(bounded.history.min_free_mb, 0);
  EXPECT_TRUE(bounded.history.min_free_set);
}

// Before parsing: a huge or deeply nested file would take memory or stack.
TEST_F(SiteConfigTest, RefusesHugeAndDeepFilesNamingThem) {
  test_support::TempDir dir;
  const std::string big = dir.File("big.json");
  const std::string deep = dir.File("deep.json");
  std::ofstream(big) << std::string(17 * 1024 * 1024, ' ') << "{}";
  std::ofstream(deep) << std::string(100000, '[') << std::string(100000, ']');
  test_support::ExpectThrowWithMessage<std::runtime_error>([&] { controller::LoadSite(big, ""); },
                                                           big + ": larger than 16 MiB");
  test_support::ExpectThrowWithMessage<std::runtime_error>([&] { controller::LoadSite(deep, ""); },
                                                           deep + ": nested deeper than 64 levels");
}

// Small items take the parser 50 times their size: counted before parsing,
// comments and strings (keys aside) told apart as the parser does.
TEST_F(SiteConfigTest, RefusesTooManyValuesNamingFileAndLimit) {
  test_support::TempDir dir;
  const std::string site = dir.File("many.json");
  const auto write = [&](std::size_t items) {
    std::string text = R"(/* "*/ {"k": [)";
    for (std::size_t i = 1; i < items; ++i) text += i % 2 ? "0," : "\"a\",";
    std::ofstream(site) << text << "null]} // \"\n";
  };
  write(199998);  // with the object and its list: 200,000 values
  test_support::ExpectThrowWithMessage<std::runtime_error>([&] { controller::LoadSite(site, ""); },
                                                           "\"k\" is not a known key");
  write(199999);
  test_support::ExpectThrowWithMessage<std::runtime_error>(
      [&] { controller::LoadSite(site, ""); }, site + ": holds more than 200000 JSON values");
}

}  // namespace
