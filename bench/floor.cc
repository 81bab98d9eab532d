// floor: the least work any splitter has to do, as a baseline for propslice.
//
//   floor INPUT N OUTDIR [BYTES]
//
// Reads INPUT into one buffer, then writes N files OUTDIR/floor-K.out
// (K = 0..N-1), each with a single write of the first BYTES bytes of the
// buffer (default: the whole input). Open with O_WRONLY|O_CREAT|O_TRUNC,
// write, close; any failure exits 1.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "floor: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage() {
    std::fputs("usage: floor INPUT N OUTDIR [BYTES]\n", stderr);
    std::exit(2);
}

unsigned long long parse_count(const char* s) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || *s == '-') usage();
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) usage();
    const char* input = argv[1];
    const unsigned long long copies = parse_count(argv[2]);
    const std::string outdir = argv[3];

    const int in = ::open(input, O_RDONLY);
    if (in < 0) die(input);
    struct stat st {};
    if (::fstat(in, &st) != 0) die(input);
    std::vector<char> buf(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    while (have < buf.size()) {
        const ssize_t r = ::read(in, buf.data() + have, buf.size() - have);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) die(input);
        if (r == 0) break;
        have += static_cast<std::size_t>(r);
    }
    ::close(in);

    std::size_t size = have;
    if (argc == 5) {
        size = static_cast<std::size_t>(parse_count(argv[4]));
        if (size > have) {
            std::fprintf(stderr, "floor: BYTES exceeds the input size (%zu)\n", have);
            return 2;
        }
    }

    for (unsigned long long k = 0; k < copies; ++k) {
        const std::string path = outdir + "/floor-" + std::to_string(k) + ".out";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) die(path);
        const char* p = buf.data();
        std::size_t left = size;
        while (left > 0) {  // one write, unless the kernel returns short
            const ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) die(path);
            p += w;
            left -= static_cast<std::size_t>(w);
        }
        if (::close(fd) != 0) die(path);
    }
    return 0;
}
