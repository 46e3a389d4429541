// Arbitrary JSON settings documents into InitSetting, then complete cycles with
// whatever the document configured. Only the JSON library's own errors and the
// controller's refusal of a wrongly typed value may leave InitSetting.
#include <json/reader.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_common.h"

namespace {

constexpr std::uint32_t kDataId = 4242;
// The controller names the refused key: "settings: ..." or "settings.KEY.PATH: ...".
constexpr char kHostRefusal[] = "settings";

bool HostRefusal(const std::invalid_argument& e) {
  const std::size_t n = sizeof(kHostRefusal) - 1;
  return std::strncmp(e.what(), kHostRefusal, n) == 0 && (e.what()[n] == ':' || e.what()[n] == '.');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  Json::Value doc;
  std::string err;
  const char* text = reinterpret_cast<const char*>(data);
  if (!reader->parse(text, text + size, &doc, &err)) return 0;

  ZOTA_UP2200 dev;
  dev.data_id_ = kDataId;
  fuzz::WireCheckingSinks(dev);
  try {
    FUZZ_CHECK(dev.InitSetting(doc));
  } catch (const Json::Exception&) {
    // Converting a container to text, or a lookup by name in an array: designed to escape.
  } catch (const std::invalid_argument& e) {
    if (!HostRefusal(e)) throw;
  }
  FUZZ_CHECK(dev.cData.data_id == kDataId);

  // Whatever was loaded, polling cycles and a cached record must run cleanly.
  fuzz::RunReplyCycle(dev);
  fuzz::RunReplyCycle(dev);
  const ZOTA_UP2200_Data_t record = dev.cData;
  FUZZ_CHECK(dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&record),
                               static_cast<int>(sizeof(record))) == 1);
  FUZZ_CHECK(dev.rule_values_.empty());
  return 0;
}
