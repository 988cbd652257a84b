// Runs the built tool as a separate process, as a user would, and collects
// what it left behind: exit status, standard output and standard error.
#pragma once

#include "emu_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace testkit {

struct tool_run {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program args...` in `cwd` with the environment of this process less every
// QUORVEX_ variable, plus `env`.
inline tool_run run_program(const std::string &program, const std::vector<std::string> &args,
                            const std::filesystem::path &cwd,
                            const std::map<std::string, std::string> &env = {}) {
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QUORVEX_", 8) != 0) {
            env_strings.emplace_back(*e);
        }
    }
    for (const auto &[key, value] : env) {
        env_strings.push_back(key + "=" + value);
    }
    std::vector<char *> envp;
    for (std::string &s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : argv_strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    const std::string out_path = (cwd / ".stdout").string();
    const std::string err_path = (cwd / ".stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    tool_run result;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.err = std::string("cannot start ") + program + ": " + std::strerror(rc);
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::filesystem::remove(out_path);
    std::filesystem::remove(err_path);
    return result;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// Copies the stand-in wdreg and batch files into `dir`.
inline void install_standins(const std::filesystem::path &dir) {
    for (const auto &entry : std::filesystem::directory_iterator(QUORVEX_STANDINS)) {
        std::filesystem::copy_file(entry.path(), dir / entry.path().filename(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// Runs of the built tool in the test's scratch directory.
class tool_test : public scratch_test {
  protected:
    tool_run run(const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env = {}) {
        return run_program(QUORVEX_BIN, args, dir, env);
    }
    std::filesystem::path write(const std::string &name, const std::string &content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return dir / name;
    }
    lines log() const {
        return read_lines(dir / "standin.log");
    }
};

} // namespace testkit
