// bench.cpp - times the library against GNU tar on the same data in the same
// run: each operation through z9tar-host as a whole process, in this process
// through the entry points, and as a GNU tar process; prints medians and ratios.
// It only prints numbers; nothing here passes or fails.
#include <fcntl.h>
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
#include <string>
#include <vector>

#include "z9tar.h"

extern char **environ;

namespace {

int g_runs = 5;
std::string g_host;  // z9tar-host
std::string g_dir;   // scratch directory of this run

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

// Median seconds of g_runs timed calls after one warm-up; `reset` runs
// untimed before every call (restores what the operation changed). Every
// run's status is checked: a run that fails would pass for a very fast one.
double median(const char *what, const std::function<int()> &op, const std::function<void()> &reset = nullptr) {
    std::vector<double> t;
    int failed = 0;
    for (int i = 0; i <= g_runs; i++) {
        if (reset) reset();
        double start = now();
        int rc = op();
        double took = now() - start;
        if (rc != 0) failed++;
        if (i > 0) t.push_back(took);  // the first run only warms the cache
    }
    if (failed) fprintf(stderr, "  ! %s: %d run(s) failed; its numbers are not valid\n", what, failed);
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

std::string fill(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i += 8) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        memcpy(&s[i], &x, std::min<size_t>(8, n - i));
    }
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

// An archive of `count` members of `each` bytes, then a small member "last.txt".
void make_archive(const std::string &path, int count, size_t each) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The data of each member, padded to whole blocks.
    std::string data = fill(each, 7);
    data.resize((each + 511) / 512 * 512, '\0');
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof name, "m%04d.bin", i);
        std::string h = header(name, each);
        if (write(fd, h.data(), 512) != 512 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            exit(2);
    }
    std::string small = "the small member that stands last\n";
    std::string tail = header("last.txt", small.size()) + small;
    tail.resize(1024 + 1024, '\0');  // data block and two end blocks
    if (write(fd, tail.data(), tail.size()) != static_cast<ssize_t>(tail.size())) exit(2);
    close(fd);
}

void make_tree(const std::string &dir) {
    mkdir(dir.c_str(), 0755);
    std::string kib = fill(1024, 3);
    for (int d = 0; d < 100; d++) {
        std::string sub = dir + "/d" + std::to_string(d);
        mkdir(sub.c_str(), 0755);
        for (int f = 0; f < 200; f++) write_file(sub + "/f" + std::to_string(f), kib);
    }
    std::string big = dir + "/big";
    mkdir(big.c_str(), 0755);
    std::string mib = fill(1 << 20, 5);
    for (int f = 0; f < 200; f++) write_file(big + "/b" + std::to_string(f), mib);
}

void copy_file(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat s;
    fstat(in, &s);
    off_t left = s.st_size;
    while (left > 0) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n <= 0) break;
        left -= n;
    }
    close(in);
    close(out);
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

// ---- report ----

void row(const char *name, double lib_host, double lib_in, double tar, const char *target) {
    printf("%-44s %9.4f %9.4f %9.4f %7.2f   %s\n", name, lib_host, lib_in, tar, lib_host / tar, target);
    fflush(stdout);
}

std::string P(const std::string &name) { return g_dir + "/" + name; }

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

    printf("z9tar benchmark: median of %d runs after a warm-up, seconds; ratio = library (host process) / GNU tar\n",
           g_runs);
    printf("data in %s\n\n", g_dir.c_str());
    fprintf(stderr, "generating data sets...\n");
    // Only what the chosen operations need: the full set is about 2.5 GB.
    if (want(1)) make_tree(P("tree"));
    if (want(2)) make_archive(P("big256.tar"), 1, 256u << 20);
    if (want(3) || want(4) || want(5)) make_archive(P("gib.tar"), 256, 4u << 20);
    if (want(6)) make_archive(P("del256.tar"), 64, 4u << 20);
    if (want(7)) make_archive(P("ten.tar"), 9, 100);
    if (want(5)) write_file(P("small.bin"), "a small member appended at the end\n");

    printf("%-44s %9s %9s %9s %7s   %s\n", "operation", "lib/host", "lib/call", "GNU tar", "ratio", "target");

    if (want(1)) {
        std::string out = P("out.tar");
        std::string line = "-ARCHIVE " + out + " -MEMBER tree -c -FILE tree";
        auto rm_out = [&] { unlink(out.c_str()); };
        double h = median("1 host", [&] { return host("put", line); }, rm_out);
        double c = median("1 call", [&] { return call(false, line); }, rm_out);
        double t = median("1 tar", [&] { return run({"tar", "cf", out, "tree"}); }, rm_out);
        row("1 create 20000 x 1 KiB + 200 x 1 MiB", h, c, t, "<= 1.0");
        rm_out();
    }

    if (want(2)) {
        std::string big = P("big256.tar");
        std::string line = "-ARCHIVE " + big + " -MEMBER m0000.bin -x";
        // The floor: one fresh buffer of the member's size (and its header)
        // filled by reading the archive, as the host's buffer must be.
        double floor = median("2 dd", [&] {
            return run({"dd", "if=" + big, "of=/dev/null", "bs=" + std::to_string((256 << 20) + 512), "count=1",
                        "iflag=fullblock"});
        });
        double h = median("2 host", [&] { return host("get", line); });
        double c = median("2 call", [&] { return call(true, line); });
        double t = median("2 tar", [&] { return run({"tar", "xOf", big, "m0000.bin"}); });
        row("2 extract a 256 MiB member into memory", h, c, t, "<= 1.0");
        printf("%-44s %9.4f %29s %.2f x floor (target <= 1.3)\n", "  floor: dd of one 256 MiB buffer", floor, "",
               h / floor);
    }

    std::string gib = P("gib.tar");
    if (want(3)) {
        std::string line = "-ARCHIVE " + gib + " -MEMBER last.txt -x";
        double h = median("3 host", [&] { return host("get", line); });
        double c = median("3 call", [&] { return call(true, line); });
        double t = median("3 tar", [&] { return run({"tar", "xOf", gib, "last.txt"}); });
        row("3 extract the last small member of 1 GiB", h, c, t, "<= 1.0");
    }
    if (want(4)) {
        // The library writes its listing into the trace file, which every run
        // empties; GNU tar writes its listing to a file beside it the same way.
        std::string line = "-ARCHIVE " + gib + " -CAT -T " + P("list.log");
        double h = median("4 host", [&] { return host("get", line); });
        double c = median("4 call", [&] { return call(true, line); });
        double t = median("4 tar", [&] { return run({"tar", "tvf", gib}, P("tar-list.txt").c_str()); });
        double null = median("4 tar", [&] { return run({"tar", "tvf", gib}); });
        row("4 list a 1 GiB archive of 4 MiB members", h, c, t, "<= 1.0");
        printf("%-44s %29.4f %7.2f   (GNU tar listing to /dev/null)\n", "  GNU tar tvf > /dev/null", null, h / null);
    }
    if (want(5)) {
        std::string line = "-ARCHIVE " + gib + " -MEMBER small.bin -a -FILE small.bin";
        Tail tail(gib);
        auto undo = [&] { tail.restore(); };
        double h = median("5 host", [&] { return host("put", line); }, undo);
        double c = median("5 call", [&] { return call(false, line); }, undo);
        double t = median("5 tar", [&] { return run({"tar", "rf", gib, "small.bin"}); }, undo);
        row("5 append a small member to 1 GiB", h, c, t, "<= 1.0");
        undo();
    }

    if (want(6)) {
        std::string del = P("del.tar"), orig = P("del256.tar");
        std::string line = "-ARCHIVE " + del + " -MEMBER m0032.bin -d";
        auto fresh = [&] { copy_file(orig, del); };
        double h = median("6 host", [&] { return host("get", line); }, fresh);
        double c = median("6 call", [&] { return call(true, line); }, fresh);
        double t = median("6 tar", [&] { return run({"tar", "--delete", "-f", del, "m0032.bin"}); }, fresh);
        row("6 delete one member of 256 MiB", h, c, t, "<= 1.0");
    }

    if (want(7)) {
        const int calls = 10000;
        std::string ten = P("ten.tar");
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
        printf("%-44s %7.1f us %7.1f us %7.0f us %7s   <= 30 us per call (GNU tar: one process, for scale)\n",
               "7 per call: get -x of 100 bytes, 10 members", per_host, per_call, tar_one, "");
    }

    std::string cleanup = "rm -rf '" + g_dir + "'";
    if (chdir("/") != 0 || system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", g_dir.c_str());
    return 0;
}
