// Uses zota_up2200.so as the controller does: loaded by path at run time,
// factories through "get_providers", devices only through the framework
// interface. Nothing of the driver is linked into this program.
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "alloc_counter.h"
#include "controller/framework/plugin_loader.h"
#include "host/qdx_device.h"
#include "host/qdx_provider.h"
#include "support/expect.h"
#include "support/samples.h"

namespace {

constexpr char kPluginPath[] = ZOTA_PLUGIN_PATH;
constexpr char kNoEntryPath[] = ZOTA_NO_ENTRY_PATH;
constexpr char kTmpDir[] = ZOTA_TEST_TMPDIR;
constexpr char kDeviceType[] = "zota_up2200";
constexpr int kRecordType = 5035;
constexpr unsigned int kRecordSize = 26;

std::string Demangled(const std::type_info& t) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(t.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? name.get() : t.name();
}

// What a device hands to the controller during a cycle.
struct Captured {
  std::vector<unsigned char> sent;
  std::vector<std::vector<unsigned char>> published;
  std::vector<std::vector<unsigned char>> stored;
};

void Attach(QDXSPDevice& dev, Captured& out) {
  dev.sinks_.send = [&out](const unsigned char* d, unsigned int n) { out.sent.assign(d, d + n); };
  dev.sinks_.publish = [&out](int type, const unsigned char* d, unsigned int n) {
    if (type == kRecordType) out.published.emplace_back(d, d + n);
  };
  dev.sinks_.history = [&out](const unsigned char* d, unsigned int n) {
    out.stored.emplace_back(d, d + n);
  };
}

// One poll and its reply, in two chunks as the serial line delivers them.
void Cycle(QDXSPDevice& dev, std::string first, std::string rest) {
  ASSERT_EQ(dev.RefreshStatus(), 1);
  ASSERT_EQ(dev.process(reinterpret_cast<unsigned char*>(&first[0]),
                        static_cast<unsigned int>(first.size())),
            1);
  ASSERT_EQ(dev.process(reinterpret_cast<unsigned char*>(&rest[0]),
                        static_cast<unsigned int>(rest.size())),
            0);
}

unsigned U16At(const std::vector<unsigned char>& rec, std::size_t at) {
  return rec.at(at) | (rec.at(at + 1) << 8);
}

std::shared_ptr<Provider> OnlyProvider(const controller::Plugin& plugin) {
  EXPECT_EQ(plugin.providers().size(), 1u);
  return plugin.providers().empty() ? nullptr : plugin.providers().front();
}

// ---- loader errors --------------------------------------------------------

struct LoadFailure {
  const char* label;
  std::string path;
  const char* loader_says;  // part of the dynamic loader's own message
};

void PrintTo(const LoadFailure& f, std::ostream* os) { *os << f.label; }

class LoaderErrorTest : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(LoaderErrorTest, NamesPathAndLoaderMessage) {
  const LoadFailure& c = GetParam();
  if (std::string(c.label) == "not_elf") {
    std::ofstream(c.path) << std::string(256, '#') << "\nthis is a text file, not a plug-in\n";
  }
  for (const std::string& part : {c.path, std::string(c.loader_says)}) {
    test_support::ExpectThrowWithMessage<std::runtime_error>(
        [&] { controller::Plugin::Load(c.path); }, part);
  }
  EXPECT_FALSE(controller::Plugin::IsLoaded(c.path));
}

INSTANTIATE_TEST_SUITE_P(
    Plugin, LoaderErrorTest,
    ::testing::Values(LoadFailure{"missing", std::string(kTmpDir) + "/no_such_plugin.so",
                                  "No such file or directory"},
                      LoadFailure{"not_elf", std::string(kTmpDir) + "/not_a_plugin.so",
                                  "invalid ELF header"},
                      LoadFailure{"no_entry", kNoEntryPath, "undefined symbol: get_providers"}),
    [](const ::testing::TestParamInfo<LoadFailure>& i) { return std::string(i.param.label); });

// ---- factories and devices -------------------------------------------------

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override { Load(); }

  void Load() {
    plugin_.emplace(controller::Plugin::Load(kPluginPath));
    provider_ = OnlyProvider(*plugin_);
    ASSERT_NE(provider_, nullptr);
  }

  std::optional<controller::Plugin> plugin_;
  std::shared_ptr<Provider> provider_;
};

TEST_F(PluginTest, BareFileNameMeansCurrentDirectory) {
  plugin_.reset();  // nothing loaded by its full path
  provider_.reset();
  const std::string path = kPluginPath;
  const std::string dir = path.substr(0, path.rfind('/'));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  std::optional<controller::Plugin> plugin;
  EXPECT_NO_THROW(plugin.emplace(controller::Plugin::Load("zota_up2200.so")));
  EXPECT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(plugin);
  EXPECT_NE(plugin->CreateDevice(kDeviceType), nullptr);
}

TEST_F(PluginTest, ProviderIdentifiesByRunTimeType) {
  const Provider& p = *provider_;
  EXPECT_NE(dynamic_cast<const QDXSPDeviceProvider*>(&p), nullptr);
  EXPECT_EQ(Demangled(typeid(p)), "ZOTA_UP2200Provider");
}

TEST_F(PluginTest, EveryEntryCallMakesANewProvider) {
  std::optional<controller::Plugin> second(controller::Plugin::Load(kPluginPath));
  std::shared_ptr<Provider> other = OnlyProvider(*second);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other.get(), provider_.get());

  // Releasing one leaves the other working.
  provider_.reset();
  plugin_.reset();
  auto dev = second->Create(other);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->DeviceType(), kDeviceType);
}

TEST_F(PluginTest, CreatedDeviceStartsInItsConstructedState) {
  auto dev = plugin_->Create(provider_);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->DeviceType(), kDeviceType);
  EXPECT_EQ(dev->baud_rate_, 2400);
  EXPECT_EQ(dev->recv_len_, 0);
  EXPECT_FALSE(dev->data_ready_);
  EXPECT_EQ(dev->GetChildVDevice(0), nullptr);
  EXPECT_TRUE(dev->GetAllChildVDevices().empty());
}

TEST_F(PluginTest, DevicesFromOneProviderAreIndependent) {
  constexpr int kDevices = 4;
  std::vector<std::shared_ptr<QDXSPDevice>> devs;
  std::vector<Captured> seen(kDevices);
  for (int i = 0; i < kDevices; ++i) {
    devs.push_back(plugin_->Create(provider_));
    ASSERT_NE(devs.back(), nullptr);
    Attach(*devs.back(), seen[i]);
    for (int j = 0; j < i; ++j) EXPECT_NE(devs[j].get(), devs[i].get());
  }
  // A half-received reply on one device must not leak into the others.
  std::string partial = "(999.9 999";
  devs[0]->RefreshStatus();
  devs[0]->process(reinterpret_cast<unsigned char*>(&partial[0]),
                   static_cast<unsigned int>(partial.size()));
  devs[0].reset();

  for (int i = 1; i < kDevices; ++i) {
    Cycle(*devs[i], "(" + std::to_string(200 + i) + ".0 0 0 0", " 0 0 0 00000000\r");
    ASSERT_EQ(seen[i].published.size(), 1u);
    EXPECT_EQ(U16At(seen[i].published[0], 4), 10u * (200 + i));
  }
  EXPECT_TRUE(seen[0].published.empty());
  EXPECT_NE(plugin_->Create(provider_), nullptr);
}

TEST_F(PluginTest, PollsAndDecodesAReplyEndToEnd) {
  auto dev = plugin_->CreateDevice(kDeviceType);
  ASSERT_NE(dev, nullptr);
  Captured seen;
  Attach(*dev, seen);
  Json::Value setting;
  setting["appSetting"]["b_mode"] = "1";
  ASSERT_TRUE(dev->InitV(nullptr, 0x01020304u, Json::Value()));
  ASSERT_TRUE(dev->InitSetting(setting));

  const std::string reply = test_support::kReply;
  Cycle(*dev, reply.substr(0, 30), reply.substr(30));
  EXPECT_EQ(seen.sent, (std::vector<unsigned char>{'Q', '1', '\r'}));
  ASSERT_EQ(seen.published.size(), 1u);
  const std::vector<unsigned char>& rec = seen.published[0];
  ASSERT_EQ(rec.size(), kRecordSize);
  const std::vector<unsigned char> head(rec.begin(), rec.begin() + 19);
  EXPECT_EQ(head, (std::vector<unsigned char>{0x04, 0x03, 0x02, 0x01,              // data id
                                              0xFC, 0x08, 0xF7, 0x08, 0xFC, 0x08,  // 2300 2295 2300
                                              0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00,  // 340 500 204
                                              0x0E, 0x01, 0x09}));                 // 270, state
  EXPECT_NE(U16At(rec, 19), 0u);  // the time stamp's year
  ASSERT_EQ(seen.stored.size(), 1u);
  EXPECT_EQ(seen.stored[0], rec);
  EXPECT_TRUE(dev->data_ready_);
}

// ---- destruction -----------------------------------------------------------

// Gives every class of the chain something on the heap to release.
Json::Value HeavySetting() {
  const std::string id = "2A2615101001";
  Json::Value s;
  s["appSetting"]["b_mode"] = "3";
  Json::Value& th = s["thresholdSetting"][id];
  th["SignalName"] = "input voltage of the uninterruptible power supply";
  th["NMAlarmID"] = "network-management-alarm-identity";
  th["ID"] = "0123456789";
  th["SignalNumber"] = "1";
  th["value"] = 250.0;
  th["level"] = 2;
  s["aoSetting"][id + "-with-a-long-suffix"]["absEnabled"] = true;
  return s;
}

struct Deleter {
  const char* label;
  std::function<void(QDXSPDevice*)> destroy;
};

void PrintTo(const Deleter& d, std::ostream* os) { *os << d.label; }

class DestructionTest : public ::testing::TestWithParam<Deleter> {};

TEST_P(DestructionTest, RunsTheWholeChain) {
  std::optional<controller::Plugin> plugin(controller::Plugin::Load(kPluginPath));
  auto factory = std::dynamic_pointer_cast<QDXSPDeviceProvider>(OnlyProvider(*plugin));
  ASSERT_NE(factory, nullptr);
  const Json::Value setting = HeavySetting();
  rule_value item;
  item.name = "a threshold item with a name longer than any short string";

  // Lets one-time statics of the settings code allocate before counting.
  delete static_cast<QDXVDevice*>(factory->create());
  std::unique_ptr<QDXVDevice> warm(factory->create());
  ASSERT_TRUE(warm->InitSetting(setting));
  warm.reset();

  const long before = alloc_counter::LiveBlocks();
  QDXSPDevice* dev = factory->create();
  const long after_create = alloc_counter::LiveBlocks();
  const bool ok = dev->InitSetting(setting);
  dev->rule_values_.push_back(item);
  const long filled = alloc_counter::LiveBlocks();
  GetParam().destroy(dev);
  const long after = alloc_counter::LiveBlocks();

  ASSERT_GT(after_create, before) << "the plug-in does not allocate through this program";
  EXPECT_TRUE(ok);
  EXPECT_GT(filled, after_create + 3);
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    Plugin, DestructionTest,
    ::testing::Values(Deleter{"QDXSPDevice", [](QDXSPDevice* d) { delete d; }},
                      Deleter{"QDXVDevice",
                              [](QDXSPDevice* d) { delete static_cast<QDXVDevice*>(d); }}),
    [](const ::testing::TestParamInfo<Deleter>& i) { return std::string(i.param.label); });

// The destructors live in the plug-in, so it must stay mapped until the last
// provider and device are gone, whatever the order of release.
TEST_F(PluginTest, UnloadsOnlyAfterLastProviderAndDevice) {
  for (bool device_last : {true, false}) {
    SCOPED_TRACE(device_last ? "device released last" : "provider released last");
    if (!plugin_) Load();
    std::shared_ptr<QDXSPDevice> dev = plugin_->Create(provider_);
    ASSERT_NE(dev, nullptr);
    plugin_.reset();
    EXPECT_TRUE(controller::Plugin::IsLoaded(kPluginPath));

    if (device_last) {
      provider_.reset();
      EXPECT_TRUE(controller::Plugin::IsLoaded(kPluginPath));
      // The device holds nothing of its factory and still works.
      Captured seen;
      Attach(*dev, seen);
      Cycle(*dev, "(1 2 3 4 5 6 7 1000", "0000\r");
      EXPECT_EQ(seen.published.size(), 1u);
      dev.reset();
    } else {
      dev.reset();
      EXPECT_TRUE(controller::Plugin::IsLoaded(kPluginPath));
      provider_.reset();
    }
    EXPECT_FALSE(controller::Plugin::IsLoaded(kPluginPath));
  }
}

}  // namespace
