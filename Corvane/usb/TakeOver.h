#pragma once

namespace corvane {

/// Whether opening an interface that another process holds may take it over: never, only from the
/// platform's camera service, or from whoever holds it.
enum class TakeOver { never, fromCameraService, fromAnyone };

} // namespace corvane
