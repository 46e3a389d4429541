// Built without cpp-httplib: a webhook cannot be reached.
#include "controller/notify/delivery.h"

namespace controller {

const bool kWebhooksBuiltIn = false;

Answer PostWebhook(const NotifyTarget&, const std::string&, const StopClock&) {
  return {false, false, "qdx-host was built without HTTP support"};
}

}  // namespace controller
