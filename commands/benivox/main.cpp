// benivox -- prints one fixed greeting line many times, for long outputs.
// 5000 lines of 22 bytes, each written on its own as soon as it is made, so
// a reader sees them arrive one by one. Arguments are ignored.

#include <cerrno>
#include <cstring>

#include <unistd.h>

static const char GREETING[] = "We wish you the best!\n";
static const int LINE_COUNT = 5000;

// Writes the whole buffer, resuming after a signal or a short write. Any
// other failure gives up on this buffer only; the caller goes on regardless.
static void
write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

int
main()
{
    const size_t size = std::strlen(GREETING);
    for (int i = 0; i < LINE_COUNT; i++)
        write_all(STDOUT_FILENO, GREETING, size);   // one line, one write: nothing is held back
    return 0;
}
