// Small helpers over the recorded calls, for the describer, the verdict and the
// report alike.
#pragma once

#include "platform/description/table.h"
#include "platform/record/record.h"

#include <cstring>
#include <optional>
#include <string>

// Whether a recorded call is one of `function`.
inline bool is_call(const rec::call &c, const char *function) {
    return std::strcmp(c.function, function) == 0;
}

// The number of a controller's numbered path (\\.\HCD0 to \\.\HCD9), if it is one.
inline std::optional<int> controller_number(const std::string &path) {
    const std::string l = desc::lower(path);
    if (l.size() == 8 && l.compare(0, 7, "\\\\.\\hcd") == 0 && l[7] >= '0' && l[7] <= '9') {
        return l[7] - '0';
    }
    return std::nullopt;
}

// A controller's path: a numbered one, or an interface's (\\?\...).
inline bool is_controller_path(const std::string &path) {
    return controller_number(path) || path.compare(0, 4, "\\\\?\\") == 0;
}
