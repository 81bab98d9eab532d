// genmodel: writes a synthetic ZELK2-style model for benchmarking propslice.
//
//   genmodel [-b BYTES] LINES PROPS end|scattered SEED OUT
//   genmodel -n COUNT LINES PROPS end|scattered SEED DIR
//
// Ordinary lines look like "17 and 1 12 9" and never contain "bad";
// property lines look like "400001 bad 3992". Every line is numbered with
// its 1-based position. With -b, LINES must be 0 and the line count is
// chosen so that the file is about BYTES long.
//
// Layout "end" puts all property lines in one block at the end; "scattered"
// puts them at random distinct positions. The same arguments always give
// the same file.
//
// With -n, writes a set of COUNT models into the existing directory DIR,
// DIR/mK.zelk for K = 0..COUNT-1 (K zero-padded to the digits of COUNT-1),
// model K made with seed SEED+K, so that no two are alike.
//
// On success prints one line to stdout:
//   lines=M props=P bytes=B prop_bytes=Q
// where Q is the total size of the property lines, newlines included. With
// -n it starts with models=COUNT, and M, P, B and Q are those of each model
// (M, P) or added up over the set (B, Q).

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

// None of these may contain "bad"; some contain 'b' and "ba" so that a
// scanner cannot skip lines by looking for 'b' alone.
constexpr std::string_view kWords[] = {"and", "or",  "not",   "ite",   "eq",    "add",
                                       "mul", "sub", "latch", "input", "bvadd", "ult"};

void put_num(std::string& out, std::uint64_t v) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) out.push_back(buf[--n]);
}

void put_ordinary(std::string& out, std::uint64_t lineno, Rng& rng) {
    put_num(out, lineno);
    out.push_back(' ');
    out.append(kWords[rng.below(std::size(kWords))]);
    const int args = 3 + static_cast<int>(rng.below(2));
    for (int i = 0; i < args; ++i) {
        out.push_back(' ');
        put_num(out, rng.below(1000));
    }
    out.push_back('\n');
}

void put_property(std::string& out, std::uint64_t lineno, Rng& rng) {
    put_num(out, lineno);
    out.append(" bad ");
    put_num(out, 1 + rng.below(9999));
    out.push_back('\n');
}

[[noreturn]] void usage() {
    std::fputs("usage: genmodel [-b BYTES] LINES PROPS end|scattered SEED OUT\n"
               "       genmodel -n COUNT LINES PROPS end|scattered SEED DIR\n",
               stderr);
    std::exit(2);
}

std::uint64_t parse_u64(const char* s) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || *s == '-') usage();
    return v;
}

// Number of lines such that an all-ordinary file with this seed reaches
// `bytes`; the property lines shift the size by a few bytes only.
std::uint64_t lines_for_bytes(std::uint64_t bytes, std::uint64_t seed) {
    Rng rng{seed};
    std::string line;
    std::uint64_t total = 0, n = 0;
    while (total < bytes) {
        line.clear();
        put_ordinary(line, ++n, rng);
        total += line.size();
    }
    return n;
}

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// One model of `lines` lines, `props` of them property lines; adds the
// size of its property lines to `prop_bytes`.
std::string make_model(std::uint64_t lines, std::uint64_t props, std::string_view layout,
                       std::uint64_t seed, std::size_t reserve, std::uint64_t& prop_bytes) {
    // Mark property positions (0-based).
    std::vector<char> is_prop(lines, 0);
    if (layout == "end") {
        for (std::uint64_t k = lines - props; k < lines; ++k) is_prop[k] = 1;
    } else {
        // Floyd's sampling: `props` distinct positions, uniformly.
        Rng pick{seed ^ 0x5eed5eed5eedULL};
        for (std::uint64_t j = lines - props; j < lines; ++j) {
            const std::uint64_t t = pick.below(j + 1);
            if (is_prop[t]) is_prop[j] = 1;
            else is_prop[t] = 1;
        }
    }

    Rng rng{seed};
    Rng prop_rng{seed ^ 0xbadc0ffeeULL};
    std::string out;
    out.reserve(reserve);
    for (std::uint64_t k = 0; k < lines; ++k) {
        if (is_prop[k]) {
            const std::size_t before = out.size();
            put_property(out, k + 1, prop_rng);
            prop_bytes += out.size() - before;
        } else {
            put_ordinary(out, k + 1, rng);
        }
    }

    // Guard against a generator bug: exactly `props` lines contain "bad".
    std::uint64_t found = 0;
    for (std::size_t at = out.find("bad"); at != std::string::npos;
         at = out.find("bad", out.find('\n', at))) {
        ++found;
    }
    if (found != props) {
        std::fprintf(stderr, "genmodel: internal error: %llu lines contain \"bad\"\n",
                     static_cast<unsigned long long>(found));
        std::exit(2);
    }
    return out;
}

void write_file(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || !write_all(fd, bytes.data(), bytes.size()) || ::close(fd) != 0) {
        std::fprintf(stderr, "genmodel: %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t target_bytes = 0;
    std::uint64_t count = 0;  // 0: one model at OUT; else a set in DIR
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "-b") == 0) {
        target_bytes = parse_u64(argv[i + 1]);
        i += 2;
    } else if (i + 1 < argc && std::strcmp(argv[i], "-n") == 0) {
        count = parse_u64(argv[i + 1]);
        if (count == 0) usage();
        i += 2;
    }
    if (argc - i != 5) usage();
    std::uint64_t lines = parse_u64(argv[i]);
    const std::uint64_t props = parse_u64(argv[i + 1]);
    const std::string_view layout = argv[i + 2];
    const std::uint64_t seed = parse_u64(argv[i + 3]);
    const std::string out_path = argv[i + 4];

    if (layout != "end" && layout != "scattered") usage();
    if (target_bytes != 0) {
        if (lines != 0) usage();
        lines = lines_for_bytes(target_bytes, seed) + props;
    }
    if (props > lines) {
        std::fputs("genmodel: more properties than lines\n", stderr);
        return 2;
    }

    const std::size_t reserve = target_bytes != 0 ? target_bytes + target_bytes / 16 : lines * 28;
    std::uint64_t prop_bytes = 0;
    std::size_t bytes = 0;
    if (count == 0) {
        const std::string out = make_model(lines, props, layout, seed, reserve, prop_bytes);
        write_file(out_path, out);
        bytes = out.size();
    } else {
        const int width = static_cast<int>(std::to_string(count - 1).size());
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::string out = make_model(lines, props, layout, seed + k, reserve, prop_bytes);
            char name[48];
            std::snprintf(name, sizeof name, "/m%0*llu.zelk", width,
                          static_cast<unsigned long long>(k));
            write_file(out_path + name, out);
            bytes += out.size();
        }
        std::printf("models=%llu ", static_cast<unsigned long long>(count));
    }
    std::printf("lines=%llu props=%llu bytes=%zu prop_bytes=%llu\n",
                static_cast<unsigned long long>(lines),
                static_cast<unsigned long long>(props), bytes,
                static_cast<unsigned long long>(prop_bytes));
    return 0;
}
