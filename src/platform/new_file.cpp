#include "platform/new_file.h"

#include <cerrno>
#include <fcntl.h>

#if defined(_WIN32)
#include <windows.h>
#include <io.h>
#include <sys/stat.h>
#define open_new(path) _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE)
#define as_stream(fd) _fdopen(fd, "wb")
#define close_fd(fd) _close(fd)
#else
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#define open_new(path) open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)
#define as_stream(fd) fdopen(fd, "wb")
#define close_fd(fd) close(fd)
#endif

namespace {

constexpr int temporary_names = 100;

// Whether something is at `path`: a file, a folder, a symbolic link (one that
// leads nowhere, too). Where it cannot be looked at (a folder on the way is a
// file or may not be searched), the temporary file beside it cannot be made
// either, and that attempt gives the reason in its own words.
bool exists(const char *path) {
#if defined(_WIN32)
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat found;
    return lstat(path, &found) == 0;
#endif
}

// Gives `from` the name `to` unless something is there: false with errno set.
bool move_unless_there(const char *from, const char *to) {
#if defined(_WIN32)
    if (MoveFileA(from, to)) {
        return true;
    }
    const DWORD error = GetLastError();
    errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST
            : error == ERROR_ACCESS_DENIED                              ? EACCES
                                                                        : EIO;
    return false;
#else
    if (link(from, to) != 0) {
        return false;
    }
    unlink(from);
    return true;
#endif
}

} // namespace

bool begin_new_file(const char *path, new_file &file) {
    file.path = path;
    file.temporary.clear();
    if (exists(path)) {
        errno = EEXIST;
        return false;
    }
#if !defined(_WIN32)
    // A write past the file-size limit fails (EFBIG) as one on a full disk does,
    // instead of ending the program with the temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    for (int n = 0; n < temporary_names; ++n) {
        file.temporary = file.path + ".incomplete" + (n > 0 ? std::to_string(n) : "");
        const int fd = open_new(file.temporary.c_str());
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            return false;
        }
        file.stream = as_stream(fd);
        if (file.stream == nullptr) {
            const int error = errno;
            close_fd(fd);
            std::remove(file.temporary.c_str());
            errno = error;
        }
        return file.stream != nullptr;
    }
    return false; // errno is still EEXIST: every name is taken
}

bool finish_new_file(new_file &file, const std::string &text) {
    // Flushed before it is closed: a C runtime may lose the failure of the last
    // write in fclose (Wine's does).
    const bool written = std::fwrite(text.data(), 1, text.size(), file.stream) == text.size() &&
                         std::fflush(file.stream) == 0;
    int error = errno;
    const bool closed = std::fclose(file.stream) == 0;
    file.stream = nullptr;
    error = closed ? error : errno;
    if (written && closed && move_unless_there(file.temporary.c_str(), file.path.c_str())) {
        return true;
    }
    error = written && closed ? errno : error;
    std::remove(file.temporary.c_str());
    errno = error;
    return false;
}
