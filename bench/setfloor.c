/* setfloor: the least work any splitter has to do on a set of small models,
 * as a baseline for propslice over many inputs.
 *
 *   setfloor INPUT...
 *
 * For each INPUT in turn: reads it into one buffer, counts its property
 * lines (lines holding "bad"), and when there are N >= 2 writes N files
 * beside it, INPUT.floor-K (K = 0..N-1), holding together as many bytes as
 * the N outputs of a split (each output is the input less the other N-1
 * property lines), each with one write of the start of the buffer. Open with
 * O_WRONLY|O_CREAT|O_TRUNC, write, close; single-threaded; any failure
 * exits 1.
 *
 * It is C and bench/run builds it as Debian builds C (dpkg-buildflags), so
 * that a run of one model through it costs what a short run of an ordinary
 * packaged C program costs: loading the C library and no other. */

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const char *what) {
    fprintf(stderr, "setfloor: %s: %s\n", what, strerror(errno));
    exit(1);
}

/* The bytes of the lines holding "bad", newlines included, and their count. */
static size_t property_bytes(const char *data, size_t size, size_t *count) {
    size_t bytes = 0, at = 0;
    *count = 0;
    while (at < size) {
        const char *newline = memchr(data + at, '\n', size - at);
        size_t end = newline ? (size_t)(newline - data) + 1 : size;
        const char *line = data + at;
        for (size_t i = 0; i + 3 <= end - at; ++i) {
            if (line[i] == 'b' && line[i + 1] == 'a' && line[i + 2] == 'd') {
                bytes += end - at;
                ++*count;
                break;
            }
        }
        at = end;
    }
    return bytes;
}

static void write_all(const char *path, const char *data, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die(path);
    while (size > 0) { /* one write, unless the kernel returns short */
        ssize_t w = write(fd, data, size);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) die(path);
        data += w;
        size -= (size_t)w;
    }
    if (close(fd) != 0) die(path);
}

int main(int argc, char **argv) {
    char *buf = NULL;
    size_t capacity = 0;
    char *path = NULL;
    size_t path_capacity = 0;
    if (argc < 2) {
        fputs("usage: setfloor INPUT...\n", stderr);
        return 2;
    }
    for (int a = 1; a < argc; ++a) {
        const char *input = argv[a];
        int in = open(input, O_RDONLY);
        struct stat st;
        if (in < 0 || fstat(in, &st) != 0) die(input);
        size_t want = (size_t)st.st_size, have = 0;
        if (want > capacity) {
            free(buf);
            capacity = want;
            buf = malloc(capacity);
            if (buf == NULL) die(input);
        }
        while (have < want) {
            ssize_t r = read(in, buf + have, want - have);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) die(input);
            if (r == 0) break;
            have += (size_t)r;
        }
        if (close(in) != 0) die(input);

        size_t n = 0;
        size_t props = property_bytes(buf, have, &n);
        if (n < 2) continue;
        /* The N outputs hold N * size - (N - 1) * props bytes: the first
         * (total mod N) files get one byte more than the others. */
        size_t total = n * have - (n - 1) * props;
        size_t need = strlen(input) + 32;
        if (need > path_capacity) {
            free(path);
            path_capacity = need;
            path = malloc(path_capacity);
            if (path == NULL) die(input);
        }
        for (size_t k = 0; k < n; ++k) {
            snprintf(path, path_capacity, "%s.floor-%zu", input, k);
            write_all(path, buf, total / n + (k < total % n ? 1 : 0));
        }
    }
    free(buf);
    free(path);
    return 0;
}
