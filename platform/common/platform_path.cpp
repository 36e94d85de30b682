#include "platform/common/platform_path.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace vq_platform {

std::string platform_root() {
    const char* env = std::getenv("VQ_PLATFORM_ROOT");
    std::string root(env != nullptr ? env : "");
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}

std::string map_path(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return path;
    const std::string root = platform_root();
    if (root.empty())
        return path;
    if (path.compare(0, root.size(), root) == 0 &&
        (path.size() == root.size() || path[root.size()] == '/'))
        return path;
    return root + path;
}

bool make_dirs(const std::string& dir) {
    if (dir.empty())
        return true;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    std::string parent = parent_of(dir);
    if (!parent.empty() && parent != dir && !make_dirs(parent))
        return false;
    if (::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST)
        return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return false;
}

std::string parent_of(const std::string& path) {
    std::string::size_type end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    std::string::size_type slash = path.rfind('/', end - 1);
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace vq_platform
