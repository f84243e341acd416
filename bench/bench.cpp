// bench.cpp - times the library against GNU tar on the same data in the same
// run: each operation through z9tar-host as a whole process, in this process
// through the entry points, and as a GNU tar process (or against a floor, the
// least its own work can cost); prints medians and ratios.
// It only prints numbers; nothing here passes or fails.
#include <fcntl.h>
#include <glob.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "z9tar.h"

extern char **environ;

namespace {

int g_runs = 5;
std::string g_host;  // z9tar-host
std::string g_dir;   // scratch directory of this run

// The archive of many small members (ops 8, 9 and 18).
constexpr int kSmallCount = 100000;
constexpr size_t kSmallSize = 700;
// The long-name archive (ops 10 and 11): names of 150 bytes.
constexpr int kLongCount = 20000;
constexpr size_t kLongName = 150;
// The compressible 1 GiB archive (ops 12 to 15 and 19).
constexpr int kTextCount = 4096;
constexpr size_t kTextSize = 256u << 10;

// The sparse file of ops 20 to 22: kSparseRegions regions of 1 MiB spread evenly
// over its size, which is 4 GiB less 1 MiB: a member extracted into memory
// holds at most 2^32 - 1 bytes.
constexpr int kSparseRegions = 64;
constexpr uint64_t kSparseSize = (uint64_t{4} << 30) - (1u << 20);

// Op 18 takes every member of the small archive one call at a time; op 19
// takes kGzPicks members chosen at random from the .tar.gz. The library's
// member index makes that fast. Where each call walks the archive from its
// start (Z9TAR_NO_INDEX set, or a library without the index) all of them take
// far too long (about an hour and a half for op 18): then lower kEachCalls and
// kGzCalls (500 and 10 take minutes) and kEachRuns; only that many of the
// names are taken and the time is scaled up to all of them.
constexpr int kEachCalls = kSmallCount;
constexpr int kGzPicks = 1000;
constexpr int kGzCalls = kGzPicks;
constexpr int kEachRuns = 5;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Runs a program with stdout to /dev/null (or a file); returns its exit status.
int run(const std::vector<std::string> &argv, const char *out = "/dev/null") {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Median seconds of `runs` (default g_runs) timed calls after one warm-up;
// `reset` runs untimed before every call (restores what the operation
// changed). Every run's status is checked: a run that fails would pass for a
// very fast one.
double median(const std::string &what, const std::function<int()> &op,
              const std::function<void()> &reset = nullptr, int runs = 0) {
    std::vector<double> t;
    int failed = 0;
    if (runs <= 0) runs = g_runs;
    for (int i = 0; i <= runs; i++) {
        if (reset) reset();
        double start = now();
        int rc = op();
        double took = now() - start;
        if (rc != 0) failed++;
        if (i > 0) t.push_back(took);  // the first run only warms the cache
    }
    if (failed) fprintf(stderr, "  ! %s: %d run(s) failed; its numbers are not valid\n", what.c_str(), failed);
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

int call(bool get, const std::string &line) {
    std::string cmd = line;
    EXITPARAM rec;
    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.nTraceMode = 1;
    rec.pszCmdLine = cmd.data();
    if (get) Z9TAR_GetArchive(&rec); else Z9TAR_PutArchive(&rec);
    free(rec.pOutData);
    static int told;  // a failing loop of calls says so a few times, not each time
    if (rec.nReturnCode != 0 && told++ < 3) fprintf(stderr, "  ! %s: %s\n", line.c_str(), rec.szMessage);
    return rec.nReturnCode;
}

int host(const std::string &verb, const std::string &line) {
    std::vector<std::string> argv = {g_host, verb, "--out", "/dev/null"};
    size_t start = 0;
    while (start <= line.size()) {
        size_t sp = line.find(' ', start);
        if (sp == std::string::npos) sp = line.size();
        if (sp > start) argv.push_back(line.substr(start, sp - start));
        start = sp + 1;
    }
    return run(argv);
}

// ---- data sets ----

std::string P(const std::string &name) { return g_dir + "/" + name; }

// Each data set is made the first time an operation asks for it, once a run,
// so --only makes just what its operations need (the full set is about 5 GB).
std::string dataset(const std::string &name, const std::function<void(const std::string &)> &make) {
    static std::set<std::string> made;
    std::string path = P(name);
    if (made.insert(name).second) {
        fprintf(stderr, "generating %s...\n", name.c_str());
        make(path);
    }
    return path;
}

uint64_t next(uint64_t &x) {
    x ^= x << 13; x ^= x >> 7; x ^= x << 17;
    return x;
}

// Random bytes: data no compressor can shrink.
std::string fill(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i += 8) {
        next(x);
        memcpy(&s[i], &x, std::min<size_t>(8, n - i));
    }
    return s;
}

// Text-like bytes: lines of made-up words drawn with a skew from a fixed
// vocabulary, and now and then a number, so that they compress about as well
// as English prose does (gzip -6 to some 38 per cent, zstd -3 to 35).
std::string text(size_t n, unsigned seed) {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w;
        uint64_t x = 0x2545F4914F6CDD1Dull;
        for (int i = 0; i < 4096; i++) {
            std::string word(2 + next(x) % 9, 'a');
            for (char &c : word) c = static_cast<char>('a' + next(x) % 26);
            w.push_back(word);
        }
        return w;
    }();
    std::string s;
    s.reserve(n + 64);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (int on_line = 1; s.size() < n; on_line++) {
        next(x);
        // A product of uniform numbers favours the first words, as in text.
        uint64_t pick = ((x & 0xfff) * ((x >> 12) & 0xfff) >> 12) * ((x >> 40) & 0xfff) >> 12;
        if (((x >> 24) & 31) == 0) s += std::to_string((x >> 32) % 1000);
        else s += words[pick];
        s += on_line % 12 == 0 ? '\n' : ' ';
    }
    s.resize(n);
    return s;
}

void write_file(const std::string &path, const std::string &data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(2);
    }
    close(fd);
}

// A classic header with a fixed owner and time, the way any writer makes one.
std::string header(const std::string &name, uint64_t size) {
    std::string b(512, '\0');
    memcpy(&b[0], name.data(), std::min<size_t>(name.size(), 99));
    snprintf(&b[100], 8, "%07o", 0644);
    snprintf(&b[108], 8, "%07o", 0);
    snprintf(&b[116], 8, "%07o", 0);
    snprintf(&b[124], 12, "%011llo", static_cast<unsigned long long>(size));
    snprintf(&b[136], 12, "%011o", 1700000000);
    b[156] = '0';
    memset(&b[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b) sum += c;
    snprintf(&b[148], 8, "%06o", sum);
    b[155] = ' ';
    return b;
}

std::string member_name(int i) {
    char name[32];
    snprintf(name, sizeof name, "m%04d.bin", i);
    return name;
}

// What a member of make_archive holds: the same random bytes in every member,
// or text of its own in each.
enum class Content { kRandom, kText };

// An archive of `count` members of `each` bytes (member_name(i)), then, when
// `last`, a small member "last.txt".
void make_archive(const std::string &path, int count, size_t each, bool last = true,
                  Content content = Content::kRandom) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string data = fill(each, 7);
    for (int i = 0; i < count; i++) {
        if (content == Content::kText) data = text(each, static_cast<unsigned>(i));
        data.resize((each + 511) / 512 * 512, '\0');  // padded to whole blocks
        std::string h = header(member_name(i), each);
        if (write(fd, h.data(), 512) != 512 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            exit(2);
    }
    std::string tail(1024, '\0');  // the two end blocks
    if (last) {
        std::string small = "the small member that stands last\n";
        tail = header("last.txt", small.size()) + small;
        tail.resize(1024 + 1024, '\0');  // data block and two end blocks
    }
    if (write(fd, tail.data(), tail.size()) != static_cast<ssize_t>(tail.size())) exit(2);
    close(fd);
}

// 100 directories of 200 files of 1 KiB and one of 200 files of 1 MiB: random
// bytes, the same in every file, or (for the compressed archives) text of its
// own in each.
void make_tree(const std::string &dir, Content content = Content::kRandom) {
    mkdir(dir.c_str(), 0755);
    std::string kib = fill(1024, 3);
    for (int d = 0; d < 100; d++) {
        std::string sub = dir + "/d" + std::to_string(d);
        mkdir(sub.c_str(), 0755);
        for (int f = 0; f < 200; f++) {
            if (content == Content::kText) kib = text(1024, static_cast<unsigned>(d * 200 + f));
            write_file(sub + "/f" + std::to_string(f), kib);
        }
    }
    std::string big = dir + "/big";
    mkdir(big.c_str(), 0755);
    std::string mib = fill(1 << 20, 5);
    for (int f = 0; f < 200; f++) {
        if (content == Content::kText) mib = text(1 << 20, static_cast<unsigned>(100000 + f));
        write_file(big + "/b" + std::to_string(f), mib);
    }
}

// The i-th name of the long-name archive: kLongName bytes in all.
std::string long_name(int i) {
    char tail[16];
    snprintf(tail, sizeof tail, "-%05d.txt", i);
    std::string name = "long/a-member-whose-name-runs-on-as-the-paths-of-generated-reports-do";
    while (name.size() < kLongName - strlen(tail)) name += "-and-so-on";
    name.resize(kLongName - strlen(tail));
    return name + tail;
}

// GNU tar's archive of kLongCount files of 700 bytes with 150-byte names: in
// its own format, so each name comes in an 'L' member before the header.
void make_long(const std::string &path) {
    mkdir("long", 0755);
    std::string data = fill(kSmallSize, 9);
    for (int i = 0; i < kLongCount; i++) write_file(long_name(i), data);
    if (run({"tar", "--format=gnu", "--sort=name", "-cf", path, "long"}) != 0 || system("rm -rf long") != 0) {
        fprintf(stderr, "cannot make %s\n", path.c_str());
        exit(2);
    }
}

// The compressible archive, compressed by the tools themselves.
void make_compressed(const std::string &path, const std::vector<std::string> &tool) {
    std::string plain = dataset("text.tar", [](const std::string &p) {
        make_archive(p, kTextCount, kTextSize, true, Content::kText);
    });
    std::vector<std::string> argv = tool;
    argv.push_back(plain);
    if (run(argv, path.c_str()) != 0) {
        fprintf(stderr, "cannot make %s\n", path.c_str());
        exit(2);
    }
}

// GNU tar's archive (pax, sparse 1.0) of the sparse file, as sparse/sp4g, so
// that GNU tar's own extraction into the data directory leaves it alone.
std::string sparse_tar() {
    return dataset("sparse.tar", [](const std::string &p) {
        mkdir(P("sparse").c_str(), 0755);
        std::string file = P("sparse/sp4g"), mib = fill(1 << 20, 11);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int i = 0; i < kSparseRegions; i++) {
            off_t at = static_cast<off_t>(kSparseSize / kSparseRegions * static_cast<uint64_t>(i));
            if (pwrite(fd, mib.data(), mib.size(), at) != static_cast<ssize_t>(mib.size())) exit(2);
        }
        if (ftruncate(fd, static_cast<off_t>(kSparseSize)) != 0) exit(2);
        close(fd);
        if (run({"tar", "--sparse", "--format=posix", "-cf", p, "-C", P("sparse"), "sp4g"}) != 0) exit(2);
    });
}

std::string small_tar() {
    return dataset("small.tar", [](const std::string &p) { make_archive(p, kSmallCount, kSmallSize, false); });
}
std::string gib_tar() {
    return dataset("gib.tar", [](const std::string &p) { make_archive(p, 256, 4u << 20); });
}
std::string text_gz() {
    return dataset("text.tar.gz", [](const std::string &p) { make_compressed(p, {"gzip", "-6", "-c"}); });
}
std::string text_zst() {
    return dataset("text.tar.zst", [](const std::string &p) { make_compressed(p, {"zstd", "-3", "-q", "-c"}); });
}

// Copies a file (in the kernel where it can); false when that fails.
bool copy_file(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat s;
    bool ok = in >= 0 && out >= 0 && fstat(in, &s) == 0;
    bool kernel = true;  // until the first copy_file_range says this file system has none
    for (off_t left = ok ? s.st_size : 0; left > 0;) {
        ssize_t n = kernel ? copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0) : -1;
        if (n < 0 && kernel && left == s.st_size) kernel = false;
        if (!kernel) {
            static char buf[1 << 20];
            n = read(in, buf, sizeof buf);
            if (n > 0 && write(out, buf, static_cast<size_t>(n)) != n) n = -1;
        }
        if (n <= 0) { ok = false; break; }
        left -= n;
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return ok;
}

// Saves the tail of a file so an append can be undone before the next run.
struct Tail {
    std::string path;
    off_t size = 0;
    std::string bytes;
    explicit Tail(const std::string &p) : path(p) {
        struct stat s;
        stat(p.c_str(), &s);
        size = s.st_size;
        off_t from = std::max<off_t>(0, size - (1 << 16));
        bytes.resize(static_cast<size_t>(size - from));
        int fd = open(p.c_str(), O_RDONLY);
        if (pread(fd, bytes.data(), bytes.size(), from) < 0) exit(2);
        close(fd);
    }
    void restore() const {
        int fd = open(path.c_str(), O_WRONLY);
        if (ftruncate(fd, size) != 0 ||
            pwrite(fd, bytes.data(), bytes.size(), size - static_cast<off_t>(bytes.size())) < 0)
            exit(2);
        close(fd);
    }
};

// Writes the names of a --each run, one a line.
std::string names_file(const std::string &name, const std::vector<std::string> &names) {
    std::string all;
    for (const auto &n : names) all += n + "\n";
    write_file(P(name), all);
    return P(name);
}

// ---- report ----

// A number in `width` columns with as many decimals (at most `places`) as fit.
std::string num(double v, int width, int places) {
    char b[48];
    for (int p = places; p >= 0; p--) {
        snprintf(b, sizeof b, "%*.*f", width, p, v);
        if (strlen(b) <= static_cast<size_t>(width)) break;
    }
    return b;
}

// A row: the library through the host and in this process (negative: not
// timed), the reference (GNU tar or a floor), and host / reference.
void row(const std::string &name, double lib_host, double lib_in, double ref, const std::string &target) {
    printf("%-44s %s %9s %s %s   %s\n", name.c_str(), num(lib_host, 9, 4).c_str(),
           lib_in >= 0 ? num(lib_in, 9, 4).c_str() : "-", num(ref, 9, 4).c_str(), num(lib_host / ref, 7, 2).c_str(),
           target.c_str());
    fflush(stdout);
}

// A floor: the least the operation's own work costs, against the library's
// host time of the row above it.
void floor_row(const std::string &name, double floor, double lib_host, const std::string &target) {
    printf("%-44s %9s %9s %s %s   %s\n", name.c_str(), "", "", num(floor, 9, 4).c_str(),
           num(lib_host / floor, 7, 2).c_str(), target.c_str());
    fflush(stdout);
}

// One operation three ways: through z9tar-host, as a call in this process, and
// as GNU tar (its standard output to `tar_out`); `reset` restores what a run
// changed. Prints the row and returns the host time.
double compare(const std::string &name, bool get, const std::string &line, const std::vector<std::string> &tar,
               const std::string &target, const std::string &tar_out = "/dev/null",
               const std::function<void()> &reset = nullptr) {
    double h = median(name + " host", [&] { return host(get ? "get" : "put", line); }, reset);
    double c = median(name + " call", [&] { return call(get, line); }, reset);
    double t = median(name + " tar", [&] { return run(tar, tar_out.c_str()); }, reset);
    row(name, h, c, t, target);
    return h;
}

// Members taken one call each through `z9tar-host get --each` (the first
// `calls` of `names`, scaled up to all of them) against one GNU tar run.
void each_row(const std::string &name, const std::string &archive, const std::vector<std::string> &names,
              size_t calls, const std::vector<std::string> &tar, double target) {
    std::vector<std::string> taken(names.begin(), names.begin() + static_cast<long>(std::min(calls, names.size())));
    std::string list = names_file("names.txt", taken);
    int runs = std::min(g_runs, kEachRuns);
    double h = median(name + " host", [&] { return run({g_host, "get", "--each", list, "-ARCHIVE", archive, "-x"}); },
                      nullptr, runs);
    double t = median(name + " tar", [&] { return run(tar); }, nullptr, runs);
    double scale = static_cast<double>(names.size()) / static_cast<double>(taken.size());
    char note[200];
    int used = snprintf(note, sizeof note, "<= %.1f; %.1f us per call", target,
                        h / static_cast<double>(taken.size()) * 1e6);
    if (taken.size() < names.size())
        snprintf(note + used, sizeof note - static_cast<size_t>(used), " (%zu of %zu calls timed, x %.0f; median of %d)",
                 taken.size(), names.size(), scale, runs);
    row(name, h * scale, -1, t, note);
}


off_t file_size(const std::string &path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 ? s.st_size : 0;
}

// One operation with -COMPRESS (or on a compressed archive): compare's row, whose
// note adds the library's host time with one thread (Z9TAR_THREADS=1, no worker),
// and for a create the size of its archive against GNU tar's (`out`).
void compress_row(const std::string &name, bool get, const std::string &line, const std::vector<std::string> &tar,
                  const std::string &target, const std::string &out, const std::string &tar_out = "/dev/null") {
    auto rm_out = [&] { if (!get) unlink(out.c_str()); };
    double h = median(name + " host", [&] { return host(get ? "get" : "put", line); }, rm_out);
    off_t ours = file_size(out);
    double c = median(name + " call", [&] { return call(get, line); }, rm_out);
    setenv("Z9TAR_THREADS", "1", 1);
    double one = median(name + " one thread", [&] { return host(get ? "get" : "put", line); }, rm_out);
    unsetenv("Z9TAR_THREADS");
    double t = median(name + " tar", [&] { return run(tar, tar_out.c_str()); }, rm_out);
    char note[160];
    int used = snprintf(note, sizeof note, "%s; 1 thread %.2f (%.2f)", target.c_str(), one, one / t);
    if (!get)
        snprintf(note + used, sizeof note - static_cast<size_t>(used), "; size %.4f x tar's",
                 static_cast<double>(ours) / static_cast<double>(file_size(out)));
    row(name, h, c, t, note);
    rm_out();
}

// A tree of `files` files of 1 MiB of text each.
void make_text_tree(const std::string &dir, int files) {
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < files; f++) write_file(dir + "/t" + std::to_string(f), text(1 << 20, static_cast<unsigned>(300 + f)));
}

}  // namespace

int main(int argc, char **argv) {
    std::string tmp = "/tmp";
    std::string only;  // operation numbers to run, e.g. "3" or "2,7"; empty: all
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) g_runs = std::max(1, atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc) tmp = argv[++i];
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else {
            fprintf(stderr, "usage: z9bench [--runs N] [--dir DIR] [--only N[,N...]]\n");
            return 2;
        }
    }
    auto want = [&](int op) { return only.empty() || ("," + only + ",").find("," + std::to_string(op) + ",") != std::string::npos; };
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    g_host = std::string(self).substr(0, std::string(self).rfind('/')) + "/z9tar-host";
    std::string tmpl = tmp + "/z9bench.XXXXXX";
    if (!mkdtemp(tmpl.data())) return 2;
    g_dir = tmpl;
    if (chdir(g_dir.c_str()) != 0) return 2;

    printf("z9tar benchmark: median of %d runs after a warm-up, seconds; ratio = library (host process) / "
           "reference (GNU tar, or the floor)\n", g_runs);
    printf("lib/call: calls in this process, whose member index outlives a call, so an extraction after the\n"
           "warm-up may go straight to its member; lib/host starts a process (and its index) every run\n");
    printf("data in %s\n\n", g_dir.c_str());
    printf("%-44s %9s %9s %9s %7s   %s\n", "operation", "lib/host", "lib/call", "GNU tar", "ratio", "target");

    if (want(1)) {
        dataset("tree", [](const std::string &p) { make_tree(p); });
        std::string out = P("out.tar");
        auto rm_out = [&] { unlink(out.c_str()); };
        compare("1 create 20000 x 1 KiB + 200 x 1 MiB", false, "-ARCHIVE " + out + " -MEMBER tree -c -FILE tree",
                {"tar", "cf", out, "tree"}, "<= 1.0", "/dev/null", rm_out);
        rm_out();
    }

    if (want(2)) {
        std::string big = dataset("big256.tar", [](const std::string &p) { make_archive(p, 1, 256u << 20); });
        double h = compare("2 extract a 256 MiB member into memory", true, "-ARCHIVE " + big + " -MEMBER m0000.bin -x",
                           {"tar", "xOf", big, "m0000.bin"}, "GNU tar streams: judged by the floor");
        // The floor: one fresh buffer of the member's size (and its header)
        // filled by reading the archive, as the host's buffer must be.
        double floor = median("2 dd", [&] {
            return run({"dd", "if=" + big, "of=/dev/null", "bs=" + std::to_string((256 << 20) + 512), "count=1",
                        "iflag=fullblock"});
        });
        floor_row("  floor: dd into one fresh 256 MiB buffer", floor, h, "op 2 <= 1.0 x floor");
    }

    if (want(3)) {
        std::string gib = gib_tar();
        compare("3 extract the last small member of 1 GiB", true, "-ARCHIVE " + gib + " -MEMBER last.txt -x",
                {"tar", "xOf", gib, "last.txt"}, "<= 1.0");
    }
    if (want(4)) {
        // The library writes its listing into the trace file, which every run
        // empties; GNU tar writes its listing to a file beside it the same way.
        std::string gib = gib_tar();
        double h = compare("4 list a 1 GiB archive of 4 MiB members", true, "-ARCHIVE " + gib + " -CAT -T " +
                           P("list.log"), {"tar", "tvf", gib}, "<= 1.0", P("tar-list.txt"));
        double null = median("4 tar", [&] { return run({"tar", "tvf", gib}); });
        floor_row("  GNU tar tvf > /dev/null", null, h, "(for scale)");
    }
    if (want(5)) {
        std::string gib = gib_tar();
        dataset("small.bin", [](const std::string &p) {
            write_file(p, "a small member appended at the end\n");
        });
        Tail tail(gib);
        auto undo = [&] { tail.restore(); };
        std::string line = "-ARCHIVE " + gib + " -MEMBER small.bin -a -FILE small.bin";
        compare("5 append a small member to 1 GiB", false, line, {"tar", "rf", gib, "small.bin"}, "<= 1.0",
                "/dev/null", undo);
        // With -SYNC the change is on disk before the call returns: against
        // GNU tar followed by sync(1) of the archive's data.
        compare("5s the same with -SYNC (tar rf; sync -d)", false, line + " -SYNC",
                {"sh", "-c", "tar rf " + gib + " small.bin && sync -d " + gib}, "(for scale)", "/dev/null", undo);
        undo();
    }

    if (want(6)) {
        std::string orig = dataset("del256.tar", [](const std::string &p) { make_archive(p, 64, 4u << 20); });
        std::string del = P("del.tar"), scratch = P("del.tar.new");
        auto fresh = [&] { copy_file(orig, del); };
        double h = compare("6 delete one member of 256 MiB", true, "-ARCHIVE " + del + " -MEMBER m0032.bin -d",
                           {"tar", "--delete", "-f", del, "m0032.bin"}, "GNU tar shifts in place: judged by the floor",
                           "/dev/null", fresh);
        // The floor, in this process: copy the archive into a new file,
        // remove the old name, link the new one in its place.
        double floor = median("6 floor", [&] {
            bool ok = copy_file(del, scratch) && unlink(del.c_str()) == 0 && link(scratch.c_str(), del.c_str()) == 0 &&
                      unlink(scratch.c_str()) == 0;
            return ok ? 0 : 1;
        }, fresh);
        floor_row("  floor: copy, unlink, link (in-process)", floor, h, "op 6 <= 1.15 x floor");
        compare("6s the same with -SYNC (tar --delete; sync -d)", true, "-ARCHIVE " + del + " -MEMBER m0032.bin -d -SYNC",
                {"sh", "-c", "tar --delete -f " + del + " m0032.bin && sync -d " + del}, "(for scale)", "/dev/null",
                fresh);
    }

    if (want(7)) {
        const int calls = 10000;
        std::string ten = dataset("ten.tar", [](const std::string &p) { make_archive(p, 9, 100); });
        std::string line = "-ARCHIVE " + ten + " -MEMBER m0004.bin -x";
        double per_host = median("7 host", [&] {
            return run({g_host, "get", "--out", "/dev/null", "--repeat", std::to_string(calls), "-ARCHIVE", ten,
                        "-MEMBER", "m0004.bin", "-x"});
        }) / calls * 1e6;
        double per_call = median("7 call", [&] {
            int rc = 0;
            for (int i = 0; i < calls; i++) rc |= call(true, line);
            return rc;
        }) / calls * 1e6;
        double tar_one = median("7 tar", [&] { return run({"tar", "xOf", ten, "m0004.bin"}); }) * 1e6;
        printf("%-44s %6.1f us %6.1f us %6.0f us %7s   <= 30 us per call (GNU tar: one process, for scale)\n",
               "7 per call: get -x of 100 bytes, 10 members", per_host, per_call, tar_one, "");
        fflush(stdout);
    }

    if (want(8)) {
        std::string small = small_tar();
        compare("8 list 100,000 members of 700 bytes", true, "-ARCHIVE " + small + " -CAT -T " + P("list.log"),
                {"tar", "tvf", small}, "<= 1.0", P("tar-list.txt"));
    }
    if (want(9)) {
        std::string small = small_tar(), last = member_name(kSmallCount - 1);
        compare("9 extract the last of 100,000 small members", true, "-ARCHIVE " + small + " -MEMBER " + last + " -x",
                {"tar", "xOf", small, last}, "<= 1.0");
    }

    // -POSIX: GNU tar's long names. -MEMBER takes at most 99 characters, so
    // the last member is selected by the pattern of its end.
    if (want(10)) {
        std::string lng = dataset("long.tar", make_long);
        compare("10 list 20,000 150-byte names (-POSIX)", true, "-ARCHIVE " + lng + " -POSIX -CAT -T " + P("list.log"),
                {"tar", "tvf", lng}, "<= 1.0", P("tar-list.txt"));
    }
    if (want(11)) {
        std::string lng = dataset("long.tar", make_long), last = long_name(kLongCount - 1);
        std::string pattern = "*" + last.substr(last.rfind('-'));
        compare("11 extract the last 150-byte name (-POSIX)", true,
                "-ARCHIVE " + lng + " -POSIX -MEMBER " + pattern + " -x", {"tar", "xOf", lng, last}, "<= 1.0");
    }

    // Compressed: 4096 members of 256 KiB of text and last.txt, 1 GiB in all.
    if (want(12)) {
        std::string gz = text_gz();
        compare("12 list a 1 GiB .tar.gz", true, "-ARCHIVE " + gz + " -CAT -T " + P("list.log"), {"tar", "tzf", gz},
                "<= 0.7", P("tar-list.txt"));
    }
    if (want(13)) {
        std::string gz = text_gz();
        compare("13 extract the last member of 1 GiB .tar.gz", true, "-ARCHIVE " + gz + " -MEMBER last.txt -x",
                {"tar", "xzOf", gz, "last.txt"}, "<= 0.7");
    }
    if (want(14)) {
        std::string zst = text_zst();
        compare("14 list a 1 GiB .tar.zst", true, "-ARCHIVE " + zst + " -CAT -T " + P("list.log"),
                {"tar", "--zstd", "-tf", zst}, "<= 1.0", P("tar-list.txt"));
    }
    if (want(15)) {
        std::string zst = text_zst();
        compare("15 extract the last member of 1 GiB .tar.zst", true, "-ARCHIVE " + zst + " -MEMBER last.txt -x",
                {"tar", "--zstd", "-xOf", zst, "last.txt"}, "<= 1.0");
    }
    // The tree of op 1 in shape, with text in its files: random bytes would
    // time a compressor on data it cannot shrink.
    for (int op : {16, 17}) {
        if (!want(op)) continue;
        dataset("text-tree", [](const std::string &p) { make_tree(p, Content::kText); });
        bool gz = op == 16;
        std::string out = P(gz ? "out.tar.gz" : "out.tar.zst");
        std::vector<std::string> tar = gz ? std::vector<std::string>{"tar", "czf", out, "text-tree"}
                                          : std::vector<std::string>{"tar", "--zstd", "-cf", out, "text-tree"};
        compress_row(gz ? "16 create a .tar.gz of the tree (text)" : "17 create a .tar.zst of the tree (text)", false,
                     "-ARCHIVE " + out + " -MEMBER text-tree -c -FILE text-tree -COMPRESS " + (gz ? "gzip" : "zstd"),
                     tar, gz ? "<= 0.45" : "<= 1.0", out);
    }

    // One call per member: every member of op 8's archive, spread evenly when
    // fewer are timed; and members picked at random (fixed seed) from the .tar.gz.
    if (want(18)) {
        std::string small = small_tar();
        // Every member once; the first kEachCalls of them every step-th one.
        std::vector<std::string> names;
        int step = kSmallCount / std::min(kEachCalls, kSmallCount), per = kSmallCount / step;
        for (int i = 0; i < kSmallCount; i++) names.push_back(member_name(i % per * step + step - 1 - i / per));
        each_row("18 get each of 100,000 members (--each)", small, names, kEachCalls, {"tar", "xOf", small}, 10.0);
    }
    if (want(19)) {
        std::string gz = text_gz();
        std::vector<int> order(kTextCount);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(19));
        std::vector<std::string> names;
        for (int i = 0; i < kGzPicks; i++) names.push_back(member_name(order[i]));
        each_row("19 get 1,000 random members of .tar.gz", gz, names, kGzCalls, {"tar", "xzOf", gz}, 1.0);
    }

    // A sparse file: GNU tar made the archive; listed, extracted into memory,
    // and to a file that must keep its holes (its blocks are counted).
    if (want(20)) {
        std::string sp = sparse_tar();
        compare("20 list a 4 GiB sparse file (-POSIX)", true, "-ARCHIVE " + sp + " -POSIX -CAT -T " + P("list.log"),
                {"tar", "tvf", sp}, "<= 1.0", P("tar-list.txt"));
    }
    if (want(21)) {
        std::string sp = sparse_tar();
        compare("21 extract it into memory (tar xOf)", true, "-ARCHIVE " + sp + " -POSIX -MEMBER sp4g -x",
                {"tar", "xOf", sp, "sp4g"}, "<= 1.0");
    }
    if (want(22)) {
        std::string sp = sparse_tar();
        auto rm_out = [&] { if (system(("rm -f '" + P("sp4g") + "' '" + g_dir + "'/out.*").c_str()) != 0) exit(2); };
        compare("22 extract it to a file (tar xf)", true, "-ARCHIVE " + sp + " -POSIX -MEMBER sp4g -x -FILE " +
                P("out.XXXXXX"), {"tar", "xf", sp}, "<= 1.0", "/dev/null", rm_out);
        // The holes must stay holes: the blocks each extraction left on disk.
        call(true, "-ARCHIVE " + sp + " -POSIX -MEMBER sp4g -x -FILE " + P("out.XXXXXX"));
        run({"tar", "xf", sp});
        glob_t g = {};
        struct stat ours = {}, gnu = {};
        if (glob(P("out.*").c_str(), 0, nullptr, &g) == 0 && g.gl_pathc == 1) stat(g.gl_pathv[0], &ours);
        globfree(&g);
        stat(P("sp4g").c_str(), &gnu);
        printf("%-44s %6.1f MiB on disk of %.0f MiB (GNU tar's file: %.1f MiB)\n", "  blocks of the file extracted",
               static_cast<double>(ours.st_blocks) * 512 / (1 << 20), static_cast<double>(ours.st_size) / (1 << 20),
               static_cast<double>(gnu.st_blocks) * 512 / (1 << 20));
        rm_out();
    }

    // xz and bzip2 with workers: 8 MiB of text written, and a 64 MiB-of-text
    // .tar.xz of several blocks (as `xz -T2` writes it) listed.
    for (int op : {23, 24}) {
        if (!want(op)) continue;
        dataset("text8", [](const std::string &p) { make_text_tree(p, 8); });
        bool xz = op == 23;
        std::string out = P(xz ? "out.tar.xz" : "out.tar.bz2");
        compress_row(xz ? "23 create a .tar.xz of 8 MiB of text" : "24 create a .tar.bz2 of 8 MiB of text", false,
                     "-ARCHIVE " + out + " -MEMBER text8 -c -FILE text8 -COMPRESS " + (xz ? "xz" : "bzip2"),
                     {"tar", xz ? "cJf" : "cjf", out, "text8"}, "<= 0.6", out);
    }
    if (want(25)) {
        std::string xz = dataset("text64.tar.xz", [](const std::string &p) {
            std::string plain = P("text64.tar");
            make_archive(plain, 256, kTextSize, true, Content::kText);
            if (run({"xz", "-T2", "-6", "-c", plain}, p.c_str()) != 0) exit(2);
            unlink(plain.c_str());
        });
        compress_row("25 list a 64 MiB .tar.xz (xz -T2 -6)", true, "-ARCHIVE " + xz + " -CAT -T " + P("list.log"),
                     {"tar", "tJf", xz}, "<= 0.7", xz, P("tar-list.txt"));
    }

    std::string cleanup = "rm -rf '" + g_dir + "'";
    if (chdir("/") != 0 || system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", g_dir.c_str());
    return 0;
}
