#include "platform/oem_files/oem_files.h"

#include "platform/common/handoff_files.h"
#include "platform/common/platform_path.h"
#include "platform/device_log/vq_log.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_json_depth.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oem_ui_process {

namespace {

std::atomic<unsigned> g_tempCounter{0};

bool write_whole(int fd, const char* p, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// One line for a file a peer named that we refuse; a missing file is only
// unreadable, as it always was.
void log_refusal(const std::string& path, const std::string& why) {
    if (errno != ENOENT)
        vq_log__(3, "oem_files.cpp", __LINE__, "hand-off file %s refused: %s\n", path.c_str(),
                 why.c_str());
}

bool read_whole(const std::string& path, std::string& out) {
    std::string why;
    const int fd = vq_platform::open_handoff_for_reading(path, why);
    if (fd < 0) {
        log_refusal(path, why);
        return false;
    }
    const bool ok = vq_platform::read_capped(fd, vq_platform::kMaxHandoffFileSize, out);
    ::close(fd);
    if (!ok) {
        errno = EFBIG;
        log_refusal(path, "unreadable or larger than " +
                              std::to_string(vq_platform::kMaxHandoffFileSize) + " bytes");
    }
    return ok;
}

// Replaces file `name` in folder `dir` with `size` bytes from `p`, through a
// temporary file and a rename.
bool replace_in(int dir, const std::string& name, const char* p, std::size_t size) {
    const std::string temp =
        name + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(g_tempCounter++);
    int fd =
        ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = write_whole(fd, p, size);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::renameat(dir, temp.c_str(), dir, name.c_str()) == 0)
        return true;
    ::unlinkat(dir, temp.c_str(), 0);
    return false;
}

} // namespace

std::string field_text(const char* field, std::size_t size) {
    if (field == nullptr)
        return std::string();
    const void* zero = std::memchr(field, 0, size);
    return std::string(field, zero != nullptr
                                  ? static_cast<std::size_t>(static_cast<const char*>(zero) - field)
                                  : size);
}

std::string json_file_path(const TJsonFile_Info& info) {
    return field_text(info.szJSONDataFilePath, sizeof info.szJSONDataFilePath);
}

bool create_file(const std::string& path, bool bTruncate) {
    // Our own file: its folders are made, but only inside a hand-off folder.
    if (!vq_platform::is_handoff_path(path)) {
        errno = EACCES;
        log_refusal(path, "not inside a hand-off folder");
        return false;
    }
    if (!vq_platform::make_dirs(vq_platform::parent_of(vq_platform::map_path(path))))
        return false;
    std::string name;
    std::string why;
    const int dir = vq_platform::open_handoff_folder(path, name, why);
    if (dir < 0) {
        log_refusal(path, why);
        return false;
    }
    const int fd = ::openat(
        dir, name.c_str(),
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (bTruncate ? O_TRUNC : 0), 0666);
    ::close(dir);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok;
}

bool read_json_from_file(const TJsonFile_Info& info, rapidjson::Document& document) {
    const std::string path = json_file_path(info);
    if (path.empty())
        return false;
    std::string text;
    if (!read_whole(path, text))
        return false;
    // The recursive parser (about twice as fast as the iterative one on a
    // configuration) stops past 512 levels, a few dozen kilobytes of stack.
    return detail::parse_within_depth(document, text.data(), text.size(), OEMUIP_MAX_JSON_DEPTH);
}

bool write_json_to_file(const TJsonFile_Info& info, const rapidjson::Value& value) {
    const std::string path = json_file_path(info);
    if (path.empty())
        return false;
    // The writer recurses: nothing deeper than a reader accepts.
    if (detail::nests_deeper_than(value, OEMUIP_MAX_JSON_DEPTH))
        return false;
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!value.Accept(writer))
        return false;

    // Never a folder made for the peer: the file goes where it said, if
    // that is a hand-off folder.
    std::string name;
    std::string why;
    const int dir = vq_platform::open_handoff_folder(path, name, why);
    if (dir < 0) {
        log_refusal(path, why);
        return false;
    }
    const bool ok = replace_in(dir, name, buffer.GetString(), buffer.GetSize());
    ::close(dir);
    return ok;
}

} // namespace oem_ui_process
