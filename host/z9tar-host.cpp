// z9tar-host.cpp - a small stand-in for the host engine: it loads libz9tar.so
// with dlopen, finds the entry points through the library's own description
// record, fills one EXITPARAM per call and reports its return code and message.
// Z9_HOST_LIBDIR (set by the build) is the installed library folder relative
// to the installed host's folder, Z9_HOST_SONAME the library's name there.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "z9tar.h"
#include "../adapter/tokens.h"

namespace {

const char kUsage[] =
    "usage: z9tar-host get|put [--lib PATH] [--in FILE] [--out FILE] [--trace-mode N]\n"
    "                  [--trace-file PATH] [--repeat N | --each FILE] [--] WORD...\n"
    "       z9tar-host help|--version [--lib PATH]\n"
    "       z9tar-host --help\n"
    "The WORDs, joined by single spaces, are the command line, for example\n"
    "  z9tar-host get -ARCHIVE data.tar -MEMBER entry1 -x --out entry1.bin\n"
    "Host options start with -- and come before the command line.\n"
    "--repeat N makes the same call N times in one process. --each FILE makes one\n"
    "call per line of FILE with -MEMBER set to that line (the WORDs then hold no\n"
    "-MEMBER); memory-mode output is discarded unless --out keeps the last one, and\n"
    "a summary goes to standard error: calls, failures, seconds, microseconds per call.\n";

// The tokens the library understands beyond the classic ones of its
// QuickHelp: the rows of the library's token table that carry a help line.
struct HelpLine {
    const char *name, *help;
};
const HelpLine kExtensions[] = {
#define Z9_HELP_LINE(symbol, name, value, flag, help) {name, help},
    Z9TAR_TOKENS(Z9_HELP_LINE)
#undef Z9_HELP_LINE
};

void print_extensions() {
    printf("\nExtension tokens:\n");
    for (const HelpLine &t : kExtensions)
        if (t.help) printf("-%-8s %s\n", t.name, t.help);
}

struct Options {
    std::string verb;
    std::string lib;
    std::string in, out;
    bool has_in = false, has_out = false;
    unsigned trace_mode = 1;
    std::string trace_file;
    long repeat = 1;
    std::string each;  // --each: the file of member names, one call per line
    std::string cmdline;
};

[[noreturn]] void usage(const char *why) {
    if (why) fprintf(stderr, "z9tar-host: %s\n", why);
    fputs(kUsage, stderr);
    exit(2);
}

bool parse_number(const char *s, long lo, long hi, long *out) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Whether the command line holds a token (case-insensitive, as the library
// reads it): a token starts at a blank followed by a dash.
bool has_token(const std::string &cmdline, const char *token) {
    std::string lower;
    for (char c : cmdline) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return (" " + lower + " ").find(" " + std::string(token) + " ") != std::string::npos;
}

// Words that start with "--" are host options wherever they stand (so
// "... -x --out f" works); every other word belongs to the command line, and
// after a lone "--" every word does.
Options parse_args(int argc, char **argv) {
    if (argc < 2) usage(nullptr);
    Options o;
    o.verb = argv[1];
    if (o.verb == "--help") {
        fputs(kUsage, stdout);
        exit(0);
    }
    bool info = o.verb == "help" || o.verb == "--version";
    if (o.verb != "get" && o.verb != "put" && !info) usage("the first word must be get, put, help or --version");
    std::vector<std::string> words;
    bool only_words = false;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (only_words || a.rfind("--", 0) != 0) {
            words.push_back(a);
            continue;
        }
        if (a == "--") { only_words = true; continue; }
        if (i + 1 >= argc) usage(("missing value for " + a).c_str());
        const char *v = argv[++i];
        long n = 0;
        if (a == "--lib") o.lib = v;
        else if (a == "--in") { o.in = v; o.has_in = true; }
        else if (a == "--out") { o.out = v; o.has_out = true; }
        else if (a == "--trace-file") o.trace_file = v;
        else if (a == "--trace-mode") {
            if (!parse_number(v, 0, 65535, &n)) usage("--trace-mode takes a number 0 to 65535");
            o.trace_mode = static_cast<unsigned>(n);
        } else if (a == "--repeat") {
            if (!parse_number(v, 1, 100000000, &n)) usage("--repeat takes a count of 1 or more");
            o.repeat = n;
        } else if (a == "--each") {
            o.each = v;
        } else usage(("unknown host option " + a).c_str());
    }
    for (size_t i = 0; i < words.size(); i++) o.cmdline += (i ? " " : "") + words[i];
    if (o.trace_file.size() >= sizeof(EXITPARAM{}.szTraceFile)) usage("--trace-file is too long");
    if (!info && o.cmdline.empty()) usage("no command line given");
    if (!o.each.empty() && o.repeat != 1) usage("--each and --repeat do not go together");
    if (!o.each.empty() && has_token(o.cmdline, "-member")) usage("--each sets -MEMBER itself");
    return o;
}

// The library beside the host (the build tree), else the one in the
// installed library folder ($ORIGIN/../lib for an installed host), by the
// name the library package holds (libz9tar.so itself comes with the header).
std::string default_library() {
    const char name[] = "libz9tar.so";
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    self[n] = '\0';
    std::string dir(self);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    std::string beside = dir + "/" + name;
    return access(beside.c_str(), F_OK) == 0 ? beside : dir + "/" Z9_HOST_LIBDIR "/" Z9_HOST_SONAME;
}

// The version strings of the loaded library, each within its declared size.
int print_version(void *h) {
    auto version = static_cast<const char *>(dlsym(h, "szVersion"));
    auto full = static_cast<const char *>(dlsym(h, "szFullQRTVersion"));
    auto product = static_cast<const char *>(dlsym(h, "szMainProductName"));
    if (!version || !full || !product) usage("the library has no version strings");
    printf("%.*s %.*s (%.*s)\n", static_cast<int>(sizeof szMainProductName), product,
           static_cast<int>(sizeof szVersion), version, static_cast<int>(sizeof szFullQRTVersion), full);
    return 0;
}

bool read_all(int fd, std::vector<char> &data) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) return true;
        data.insert(data.end(), buf, buf + n);
    }
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The memory-mode input of a put: --in, or standard input when the command
// line does not name a data file of its own.
bool wants_stdin(const Options &o) { return !has_token(o.cmdline, "-file"); }

std::vector<char> load_input(const Options &o) {
    std::vector<char> data;
    if (o.verb != "put" || (!o.has_in && !wants_stdin(o))) return data;
    int fd = o.has_in ? open(o.in.c_str(), O_RDONLY) : 0;
    if (fd < 0 || !read_all(fd, data)) {
        fprintf(stderr, "z9tar-host: cannot read %s\n", o.has_in ? o.in.c_str() : "standard input");
        exit(2);
    }
    if (fd > 0) close(fd);
    if (data.size() > UINT32_MAX) usage("the input is larger than a record can carry (4 GiB)");
    return data;
}

// Writes a member returned in memory to --out or standard output. A regular
// file that cannot be written whole is removed and the host fails: its caller
// must not take a short file for the member. Anything else named there (a
// device, a FIFO) is left as it is.
bool save_output(const Options &o, const EXITPARAM &rec) {
    if (!rec.pOutData) return true;
    const char *name = o.has_out ? o.out.c_str() : "standard output";
    int fd = o.has_out ? open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666) : 1;
    struct stat st = {};
    bool regular = fd > 1 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = fd >= 0 && write_all(fd, static_cast<const char *>(rec.pOutData), rec.nOutLength);
    int err = errno;
    if (fd > 1 && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok) return true;
    fprintf(stderr, "z9tar-host: cannot write %s: %s\n", name, strerror(err));
    if (regular) unlink(name);
    return false;
}

// One call: a zeroed record with the host's settings and this command line.
void call(Z9TAR_ENTRY entry, const Options &o, std::vector<char> &input, char *line, EXITPARAM *rec) {
    memset(rec, 0, sizeof *rec);
    rec->nSize = sizeof *rec;
    rec->nTraceMode = static_cast<uint16_t>(o.trace_mode);
    snprintf(rec->szTraceFile, sizeof rec->szTraceFile, "%s", o.trace_file.c_str());
    rec->pszCmdLine = line;
    rec->pInData = input.empty() ? nullptr : input.data();
    rec->nInLength = static_cast<uint32_t>(input.size());
    entry(rec);
}

// The member names of --each, one a line; blank lines are passed over.
std::vector<std::string> read_names(const std::string &path) {
    std::vector<char> data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || !read_all(fd, data)) {
        fprintf(stderr, "z9tar-host: cannot read %s\n", path.c_str());
        exit(2);
    }
    close(fd);
    std::vector<std::string> names;
    std::string name;
    data.push_back('\n');
    for (char c : data) {
        if (c != '\n') { name += c; continue; }
        if (!name.empty()) names.push_back(name);
        name.clear();
    }
    if (names.empty()) usage(("--each " + path + " holds no names").c_str());
    return names;
}

double seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// --each: one call per name in one process. Only --out keeps an output (the
// last call's); the first few failures are told, every one is counted.
int run_each(Z9TAR_ENTRY entry, const Options &o, std::vector<char> &input) {
    const long kTold = 10;
    std::vector<std::string> names = read_names(o.each);
    EXITPARAM rec;
    long failed = 0;
    double start = seconds();
    for (size_t i = 0; i < names.size(); i++) {
        std::string line = o.cmdline + " -MEMBER " + names[i];
        call(entry, o, input, line.data(), &rec);
        if (rec.nReturnCode != 0 && failed++ < kTold)
            fprintf(stderr, "z9tar-host: %s: rc=%d %.*s\n", names[i].c_str(), rec.nReturnCode,
                    static_cast<int>(sizeof rec.szMessage), rec.szMessage);
        if (i + 1 < names.size()) free(rec.pOutData);
    }
    double took = seconds() - start;
    bool saved = !o.has_out || save_output(o, rec);
    free(rec.pOutData);
    fprintf(stderr, "each: %zu calls, %ld failed, %.6f s, %.1f us per call\n", names.size(), failed, took,
            took / static_cast<double>(names.size()) * 1e6);
    return failed == 0 && saved ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_args(argc, argv);
    std::string lib = o.lib.empty() ? default_library() : o.lib;
    void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        fprintf(stderr, "z9tar-host: cannot load %s: %s\n", lib.c_str(), dlerror());
        return 2;
    }
    if (o.verb == "help") {
        auto help = reinterpret_cast<int (*)(void)>(dlsym(h, "QuickHelp"));
        if (!help) usage("the library has no QuickHelp");
        help();
        print_extensions();
        return 0;
    }
    if (o.verb == "--version") return print_version(h);
    // The entry points are found by the names the library's record holds.
    auto cfg = static_cast<const Z9TAR_CONFIG50 *>(dlsym(h, "z9tar_config50"));
    if (!cfg || cfg->nLength != sizeof(Z9TAR_CONFIG50)) usage("the library has no valid z9tar_config50");
    const char *name = o.verb == "get" ? cfg->pNames[2] : cfg->pNames[3];
    auto entry = reinterpret_cast<Z9TAR_ENTRY>(dlsym(h, name));
    if (!entry) usage("the library does not export its entry point");

    std::vector<char> input = load_input(o);
    if (!o.each.empty()) return run_each(entry, o, input);
    std::string line = o.cmdline;
    EXITPARAM rec;
    for (long i = 0; i < o.repeat; i++) {
        call(entry, o, input, line.data(), &rec);
        if (i + 1 < o.repeat) free(rec.pOutData);  // the host owns it; only the last is kept
    }
    bool saved = save_output(o, rec);
    free(rec.pOutData);
    if (rec.szFileName[0])
        fprintf(stderr, "rc=%d %.*s file=%.*s\n", rec.nReturnCode, static_cast<int>(sizeof rec.szMessage),
                rec.szMessage, static_cast<int>(sizeof rec.szFileName), rec.szFileName);
    else
        fprintf(stderr, "rc=%d %.*s\n", rec.nReturnCode, static_cast<int>(sizeof rec.szMessage), rec.szMessage);
    return rec.nReturnCode == 0 && saved ? 0 : 1;
}
