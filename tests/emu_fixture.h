// Shared set-up for tests that run the tool's code on the emulated machine.
#pragma once

#include "machine_builder.h"
#include "platform/emu/emu.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testkit {

using lines = std::vector<std::string>;

inline lines operator+(lines a, const lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Failure reports as the emulated message box writes them on standard error.
inline std::string report(int site) {
    return "[Oops!] File: src/usb_enum/usb_enum.cpp, Line " + std::to_string(site) + "\n";
}
inline std::string reports(std::initializer_list<int> sites) {
    std::string text;
    for (int site : sites) {
        text += report(site);
    }
    return text;
}

// The install commands of a composite device with no variant modes set (family
// 0, orvo, pauses between them as well).
inline lines sequence(const std::string &family, int variant) {
    const std::string d = "_d" + std::to_string(variant);
    return {"wdreg -inf cdc_enum_" + family + d + ".inf -compat install",
            "wdreg -inf cdc_enum_" + family + "_m.inf -compat install",
            "wdreg -inf cdcacm_modem_" + family + d + ".inf -compat -dont_create_virtual install",
            "wdreg -inf cdc_acm_obex_" + family + d + ".inf -compat -dont_create_virtual install"};
}

const std::string vcp_install = "wdreg -inf vyrvcp.inf -compat -dont_create_virtual install";
// The two lines every port loop starts with, the variant modes clear.
const std::string modes_trace = "bSelsusp_mode = 0\nbXcontrol_mode = 0\n";

// What `call` writes on standard error.
template <typename F> std::string stderr_of(F &&call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

inline std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The lines of a text or a file, without their "\r\n" or "\n".
inline lines lines_of(std::istream &&in) {
    lines out;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out.push_back(line);
    }
    return out;
}

inline lines read_lines(const std::filesystem::path &path) {
    return lines_of(std::ifstream(path, std::ios::binary));
}

inline std::filesystem::path make_temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
    const char *made = mkdtemp(pattern.data());
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return made;
}

// A scratch directory per test, removed afterwards, where the command journal
// and the trace are written.
class scratch_test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = make_temp_dir();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    lines journal() const {
        return read_lines(dir / "journal");
    }
    std::string trace() const {
        return read_file(dir / "trace");
    }
    std::filesystem::path dir;
};

// Each test gets a fresh directory, a command journal and a trace file, and a
// machine on the virtual clock that records commands instead of starting them.
class emu_test : public scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
        emu::reset_machine();
        emu::set_journal_path((dir / "journal").string());
        emu::set_trace_path((dir / "trace").string());
        load(machine_of());
        base_handles = emu::open_handles();
        base_blocks = emu::live_global_blocks();
    }

    void TearDown() override {
        emu::reset_machine(); // no fault, trace, journal or rehearsal is left to the next
        scratch_test::TearDown();
    }

    void load(const machine &m) {
        ASSERT_EQ(emu::load_machine_text(description(m), "test machine"), "");
    }

    // A device opened as the tool opens controllers and hubs.
    static HANDLE open_device(const std::string &path) {
        return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    // Nothing the code under test opened or allocated is left behind.
    void expect_nothing_held() const {
        EXPECT_EQ(emu::open_handles(), base_handles);
        EXPECT_EQ(emu::live_global_blocks(), base_blocks);
    }

    std::size_t base_handles = 0;
    std::size_t base_blocks = 0;
};

} // namespace testkit
