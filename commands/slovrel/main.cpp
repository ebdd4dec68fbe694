// slovrel -- waits, then copies its input to its output byte by byte.
// Usage: slovrel [seconds] [filename]. With a file name the file is copied,
// otherwise standard input. Owns nothing beyond the file it may open.

#include <climits>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

// The longest wait sleep() can be asked for in one call.
static const unsigned long long MAX_DELAY = 4294967295ULL;

// Writes the usage line to standard error. A warning only: the caller goes on.
static void
write_usage(const char *name)
{
    std::fprintf(stderr, "usage: %s [seconds] [filename]\n", name != nullptr ? name : "slovrel");
    std::fflush(stderr);
}

// Reads the delay the way strtol reads a base-10 number: no number gives 0.
// A delay outside 0..MAX_DELAY means no wait at all, on either side: a
// negative one, and one beyond what sleep() takes, which is no more a real
// wait than a negative one. Cutting it to its low 32 bits would make an
// arbitrary one, and clamping it would hold the pipeline for 136 years.
static unsigned int
parse_delay(const char *text)
{
    long value = std::strtol(text, nullptr, 10);   // clamps to LONG_MIN/LONG_MAX itself
    if (value <= 0 || static_cast<unsigned long long>(value) > MAX_DELAY)
        return 0;
    return static_cast<unsigned int>(value);
}

// Waits the whole delay: a signal that cuts sleep() short only shortens one
// call, and the rest is slept by the next.
static void
wait_seconds(unsigned int remaining)
{
    while (remaining != 0)
        remaining = sleep(remaining);
}

// Copies in to standard output until end of input or a read error. Output is
// flushed before every read, so each byte has left before the next is read
// and a slow producer is never held back behind our buffer. A failed write
// does not stop the copy.
static void
copy_bytes(std::FILE *in)
{
    for (;;) {
        std::fflush(stdout);
        int c = std::getc(in);
        if (c == EOF)
            return;
        std::putc(c, stdout);
    }
}

int
main(int argc, char *argv[])
{
    const char *name = argc > 0 ? argv[0] : nullptr;
    if (argc < 2) {
        // No delay was given, and there is nothing after argv[0] to read.
        write_usage(name);
        return 0;
    }

    // With a file name the file is opened before the wait, so a file that
    // appears only during the wait is not copied. A failed open leaves
    // nothing to copy; standard input is then not touched at all.
    std::FILE *in = stdin;
    std::FILE *file = nullptr;
    if (argc == 3) {
        file = std::fopen(argv[2], "rb");
        in = file;
    } else if (argc > 3) {
        write_usage(name);
    }

    wait_seconds(parse_delay(argv[1]));
    if (in != nullptr)
        copy_bytes(in);
    std::fflush(stdout);
    if (file != nullptr)
        std::fclose(file);
    return 0;
}
