#include "support/json.h"

#include <json/reader.h>

#include <memory>
#include <stdexcept>

namespace test_support {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  std::string error;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &v, &error))
    throw std::invalid_argument("not JSON (" + error + "): " + text);
  return v;
}

}  // namespace test_support
