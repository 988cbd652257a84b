// Shared set-up for tests that run the tool's code on the emulated machine.
#pragma once

#include "platform/emu/emu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testkit {

inline std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::vector<std::string> read_lines(const std::filesystem::path &path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

inline std::filesystem::path make_temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
    const char *made = mkdtemp(pattern.data());
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return made;
}

// Each test gets a fresh directory, a command journal and a trace file, and a
// machine on the virtual clock that records commands instead of starting them.
class emu_test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = make_temp_dir();
        emu::reset_machine();
        emu::set_journal_path((dir / "journal").string());
        emu::set_trace_path((dir / "trace").string());
        load(R"({"clock": "virtual", "processes": "record"})");
        base_handles = emu::open_handles();
        base_blocks = emu::live_global_blocks();
    }

    void TearDown() override {
        emu::set_journal_path("");
        emu::set_trace_path("");
        emu::clear_faults();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    void load(const std::string &json) {
        const std::string fault = emu::load_machine_text(json, "test machine");
        ASSERT_EQ(fault, "");
    }

    std::vector<std::string> journal() const {
        return read_lines(dir / "journal");
    }
    std::string trace() const {
        return read_file(dir / "trace");
    }

    // Nothing the code under test opened or allocated is left behind.
    void expect_nothing_held() const {
        EXPECT_EQ(emu::open_handles(), base_handles);
        EXPECT_EQ(emu::live_global_blocks(), base_blocks);
    }

    std::filesystem::path dir;
    std::size_t base_handles = 0;
    std::size_t base_blocks = 0;
};

} // namespace testkit
