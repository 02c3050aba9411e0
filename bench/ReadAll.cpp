// A leaner stand-in for cat in bench/floor: reads every file named on the
// command line to its end through one buffer and writes nothing. GNU cat maps
// and unmaps a fresh buffer and writes to its output for every file, which
// costs more per file than the reads themselves on small files.

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    static char buffer[64 * 1024];
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const int fd = ::open(argv[i], O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            status = 1;
            continue;
        }
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        }
        ::close(fd);
    }
    return status;
}
