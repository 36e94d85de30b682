#include "platform/oem_files/oem_files.h"

#include "platform/common/platform_path.h"

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

bool read_whole(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else {
            ::close(fd);
            return n == 0;
        }
    }
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
    if (path.empty())
        return false;
    const std::string real = vq_platform::map_path(path);
    if (!vq_platform::make_dirs(vq_platform::parent_of(real)))
        return false;
    int fd = ::open(real.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (bTruncate ? O_TRUNC : 0), 0666);
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
    if (!read_whole(vq_platform::map_path(path), text))
        return false;
    // Refused before parsing, and parsed without recursion.
    if (detail::text_nests_deeper_than(text.data(), text.size(), OEMUIP_MAX_JSON_DEPTH))
        return false;
    rapidjson::Document parsed;
    parsed.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (parsed.HasParseError())
        return false;
    document.Swap(parsed);
    return true;
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

    const std::string real = vq_platform::map_path(path);
    if (!vq_platform::make_dirs(vq_platform::parent_of(real)))
        return false;
    const std::string temp =
        real + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(g_tempCounter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = write_whole(fd, buffer.GetString(), buffer.GetSize());
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), real.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

} // namespace oem_ui_process
