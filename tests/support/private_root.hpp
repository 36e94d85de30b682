// One private folder per test program for every stand-in path (IPC sockets, hand-off
// files), so that test programs running at once never meet.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace platform_testing {

class private_root : public ::testing::Environment {
public:
    // `root` receives the folder once the environment is set up.
    private_root(const char* tag, std::string& root) : m_tag(tag), m_root(root) {}

    void SetUp() override {
        std::string tmpl = "/tmp/" + m_tag + ".XXXXXX";
        ASSERT_NE(::mkdtemp(&tmpl[0]), nullptr);
        m_root = tmpl;
        ::setenv("VQ_PLATFORM_ROOT", m_root.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

private:
    std::string m_tag;
    std::string& m_root;
};

} // namespace platform_testing
