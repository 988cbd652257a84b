#include "platform/new_file.h"

#include <fcntl.h>

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#define open_new(path) _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE)
#define as_stream(fd) _fdopen(fd, "wb")
#define close_fd(fd) _close(fd)
#else
#include <unistd.h>
#define open_new(path) open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)
#define as_stream(fd) fdopen(fd, "wb")
#define close_fd(fd) close(fd)
#endif

std::FILE *create_new_file(const char *path) {
    const int fd = open_new(path);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE *file = as_stream(fd);
    if (file == nullptr) {
        close_fd(fd);
    }
    return file;
}
