#include "platform/common/handoff_files.h"

#include "platform/common/platform_path.h"

#include <cerrno>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vq_platform {

namespace {

std::mutex g_foldersMutex;
std::vector<std::string> g_folders;

const std::vector<std::string>& default_folders() {
    static const std::vector<std::string> folders{"/tmp/oem", "/tmp/engine_sim"};
    return folders;
}

// The steps of an absolute path; false on "." or ".." (empty steps, from
// doubled slashes, are skipped).
bool split_steps(const std::string& path, std::vector<std::string>& steps) {
    if (path.empty() || path[0] != '/')
        return false;
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string step = path.substr(start, end - start);
        if (step == "." || step == "..")
            return false;
        if (!step.empty())
            steps.push_back(step);
        start = end + 1;
    }
    return true;
}

std::vector<std::string> folders_now() {
    std::lock_guard<std::mutex> lk(g_foldersMutex);
    return g_folders.empty() ? default_folders() : g_folders;
}

// True when `steps` begin with those of one of the hand-off folders and have
// at least one more (the file's name).
bool inside_a_folder(const std::vector<std::string>& steps) {
    for (const std::string& folder : folders_now()) {
        std::vector<std::string> prefix;
        if (!split_steps(folder, prefix) || prefix.size() >= steps.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; same && i < prefix.size(); ++i)
            same = prefix[i] == steps[i];
        if (same)
            return true;
    }
    return false;
}

// The steps of `path` below the platform root, whether or not it already
// lies under that root.
bool steps_below_root(const std::string& path, std::vector<std::string>& steps) {
    if (path.empty() || path[0] != '/')
        return false;
    const std::string root = platform_root();
    return split_steps(root.empty() ? path : map_path(path).substr(root.size()), steps);
}

} // namespace

std::vector<std::string> handoff_folders() {
    return folders_now();
}

void set_handoff_folders(const std::vector<std::string>& folders) {
    std::lock_guard<std::mutex> lk(g_foldersMutex);
    g_folders = folders;
}

bool is_handoff_path(const std::string& path) {
    std::vector<std::string> steps;
    return steps_below_root(path, steps) && inside_a_folder(steps);
}

int open_handoff_folder(const std::string& path, std::string& name, std::string& why) {
    std::vector<std::string> steps;
    if (!steps_below_root(path, steps) || !inside_a_folder(steps)) {
        why = "not inside a hand-off folder";
        errno = EACCES;
        return -1;
    }
    // The root is ours to choose and may itself be reached through a link;
    // nothing below it may.
    const std::string root = platform_root();
    int dir = ::open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int err = errno;
    for (std::size_t i = 0; dir >= 0 && i + 1 < steps.size(); ++i) {
        const int next =
            ::openat(dir, steps[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        err = errno;
        ::close(dir);
        dir = next;
    }
    if (dir < 0) {
        why = err == ENOENT ? "no such folder" : "a step is not a plain folder";
        errno = err;
        return -1;
    }
    name = steps.back();
    return dir;
}

int open_handoff_for_reading(const std::string& path, std::string& why) {
    std::string name;
    const int dir = open_handoff_folder(path, name, why);
    if (dir < 0)
        return -1;
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int err = errno;
    ::close(dir);
    if (fd < 0) {
        why = err == ELOOP ? "a symbolic link" : err == ENOENT ? "no such file" : "cannot open";
        errno = err;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > kMaxHandoffFileSize)
        why = "larger than " + std::to_string(kMaxHandoffFileSize) + " bytes";
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        return fd;
    else
        why = "cannot open";
    ::close(fd);
    errno = EINVAL;
    return -1;
}

bool read_capped(int fd, std::size_t limit, std::string& out) {
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            if (out.size() + static_cast<std::size_t>(n) > limit)
                return false;
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR)
            continue;
        else
            return n == 0;
    }
}

} // namespace vq_platform
