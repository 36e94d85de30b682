// Where the stand-ins keep their files on a development machine.
//
// VQ_PLATFORM_ROOT, when set, moves every absolute path the stand-ins touch
// (IPC sockets, hand-off files) under that folder, so that tests running at
// the same time never meet. Only the stand-ins read it; the bridge never does.
#pragma once

#include <string>

namespace vq_platform {

// `path` relocated under VQ_PLATFORM_ROOT when that is set and `path` is
// absolute; a path already under the root, or a relative one, is unchanged.
std::string map_path(const std::string& path);

// The folder the stand-ins keep their files under: VQ_PLATFORM_ROOT without
// trailing slashes, or "" when it is not set (files then sit where named).
std::string platform_root();

// Creates `dir` and its missing parents; true when it exists afterwards.
bool make_dirs(const std::string& dir);

// The folder part of `path` ("" when it has none).
std::string parent_of(const std::string& path);

} // namespace vq_platform
