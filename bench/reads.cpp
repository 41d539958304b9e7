// Reads a file as bytefreq reads it and counts nothing: the floor for
// bench/run, as no way of counting can take less time than its reads. The
// header, then unlocked 256-byte reads through a 1 MiB stream buffer.

#include <cstdio>
#include <fcntl.h>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 1;
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return 1;
    static char buffer[1 << 20];
    (void)std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
    (void)posix_fadvise(fileno(in), 0, 0, POSIX_FADV_SEQUENTIAL);
    unsigned char block[256];
    (void)fread_unlocked(block, 1, 20, in);
    while (fread_unlocked(block, 1, sizeof block, in) > 0) {
    }
    const bool failed = std::ferror(in) != 0;
    (void)std::fclose(in);
    return failed ? 1 : 0;
}
