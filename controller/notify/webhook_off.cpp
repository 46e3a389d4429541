// Built without cpp-httplib: a webhook cannot be reached.
#include "controller/notify/delivery.h"

namespace controller {

const bool kWebhooksBuiltIn = false;

Answer PostWebhook(const NotifyTarget&, const std::string&, std::chrono::steady_clock::time_point) {
  return {false, false, "qdx-host was built without HTTP support"};
}

}  // namespace controller
