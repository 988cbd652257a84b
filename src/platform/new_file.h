// A file made only if nothing is there yet, never overwriting, and appearing
// whole or not at all: it is written under another name beside it (FILE.incomplete,
// or FILE.incomplete1 and on where a killed run left one) and moved into place
// without replacing anything.
#pragma once

#include <cstdio>
#include <string>

struct new_file {
    std::string path;      // where it is to appear
    std::string temporary; // where it is written first
    std::FILE *stream = nullptr;
};

// Opens the temporary file beside `path` for writing in binary mode; false with
// errno set: EEXIST when something is at `path` already, a symbolic link that
// leads nowhere included, or, `temporary` naming the last one, when something is
// at every temporary name; otherwise why the temporary file cannot be made.
bool begin_new_file(const char *path, new_file &file);

// Writes `text`, closes the file and moves it to its path; false with errno set
// (EEXIST when something came to the path meanwhile), the temporary file gone.
bool finish_new_file(new_file &file, const std::string &text);

// Whether there is a machine to capture: on Windows the PC itself; on the
// emulated machine only one that a description names (QUORVEX_MACHINE). Null,
// or the one-line reason there is none.
#if defined(_WIN32)
inline const char *no_machine_to_capture() {
    return nullptr;
}
#else
const char *no_machine_to_capture();
#endif
