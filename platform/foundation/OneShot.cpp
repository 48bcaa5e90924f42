#include "platform/foundation/OneShot.h"

#include "platform/foundation/Logger.h"

namespace platform::detail {

void reportRepeatedResume([[maybe_unused]] std::string_view name) {
#ifndef NDEBUG
    oslog::Logger("platform", "continuation")
        .fault("%{public}s resumed more than once; the later result was ignored", name);
#endif
}

} // namespace platform::detail
