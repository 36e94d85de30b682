// A private temporary folder and whole-file reads and writes, for tests that hand files
// to programs or read what they wrote.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vq_testing {

// A fresh empty folder under the system's temporary folder (TMPDIR, or Wine's own),
// removed with everything in it by the destructor.
class temp_dir {
public:
    temp_dir() {
        static thread_local std::mt19937_64 random{std::random_device{}()};
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
            const std::filesystem::path name =
                base / ("vq_test_" + std::to_string(random() % 1000000000000ull));
            std::error_code error;
            if (std::filesystem::create_directory(name, error))
                path_ = name.string();
        }
        if (path_.empty())
            throw std::runtime_error("cannot create a temporary folder");
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The file's bytes; empty when it is absent.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The file's lines without their "\n".
inline std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace vq_testing
