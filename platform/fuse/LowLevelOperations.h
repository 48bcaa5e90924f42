#pragma once

#include <fuse_lowlevel.h>

namespace fusehost {

/// libfuse's table of low-level callbacks, each forwarding to the VolumeBridge that is the session's
/// user data. The callbacks are C entry points: no exception leaves them.
const fuse_lowlevel_ops& lowLevelOperations();

} // namespace fusehost
