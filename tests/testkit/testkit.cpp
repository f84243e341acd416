// testkit.cpp - the shared test helpers declared in testkit.h.
#include "testkit.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace tk {

const std::string kGot = "0 GetArchive_succeeded", kPut = "0 PutArchive_succeeded";

TempDir::TempDir() {
    char tmpl[] = "/tmp/z9test.XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "/nonexistent";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

Cwd::Cwd(const std::string &dir) : old(std::filesystem::current_path()) {
    std::filesystem::current_path(dir.empty() ? scratch.path : dir);
}

Cwd::~Cwd() { std::filesystem::current_path(old); }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary).write(data.data(), std::ssize(data));
}

struct stat status(const std::string &path) {
    struct stat s = {};
    lstat(path.c_str(), &s);
    return s;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code none;
    for (const auto &entry : std::filesystem::directory_iterator(dir, none))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

int count_fds() { return static_cast<int>(list_dir("/proc/self/fd").size()); }

std::string pattern_bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

int sh(const std::string &cmd) {
    int rc = system(cmd.c_str());
    return rc == -1 || !WIFEXITED(rc) ? -1 : WEXITSTATUS(rc);
}

std::string sh_out(const std::string &cmd) {
    std::string out;
    char buf[4096];
    FILE *p = popen(cmd.c_str(), "r");
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

Call::Call(const std::string &cmdline, uint16_t trace_mode) : rec{}, cmd(cmdline) {
    rec.nSize = sizeof rec;
    rec.nTraceMode = trace_mode;
    rec.pszCmdLine = cmd.data();
}

std::string Call::get() {
    free(rec.pOutData);
    rec.pOutData = nullptr;
    Z9TAR_GetArchive(&rec);
    return std::to_string(rec.nReturnCode) + " " + rec.szMessage;
}

std::string Call::put(const std::string &data) {
    in = data;
    rec.pInData = in.empty() ? nullptr : in.data();
    rec.nInLength = static_cast<uint32_t>(in.size());
    Z9TAR_PutArchive(&rec);
    return std::to_string(rec.nReturnCode) + " " + rec.szMessage;
}

std::string Call::out() const {
    return rec.pOutData ? std::string(static_cast<const char *>(rec.pOutData), rec.nOutLength) : "";
}

std::string extract(const std::string &archive, const std::string &member) {
    Call c("-ARCHIVE " + archive + " -MEMBER " + member + " -x");
    std::string outcome = c.get();
    return outcome == kGot ? c.out() : outcome;
}

Listed list(const std::string &archive, const std::string &member) {
    TempDir traces;
    std::string line = "-ARCHIVE " + archive + " -CAT -T " + (traces / "t");
    Listed out{Call(line + (member.empty() ? "" : " -MEMBER " + member)).get(), "", "", ""};
    out.trace = read_file(traces / "t");
    size_t from = out.trace.find("successfully\n\n") + 14, to = out.trace.find("Total ");
    if (from < 14 || to == std::string::npos) return out;
    out.entries = std::regex_replace(out.trace.substr(from, to - from),
        std::regex("(name=|blocksize = |blocks to read in this file )[^\n]*\n\n\n(\n\n)?"), "");
    out.totals = out.trace.substr(to, out.trace.find('\n', to) - to);
    return out;
}

// Classic numeric form: width-1 zero-padded octal digits and a zero byte; a
// value too wide keeps its lowest digits, as a writer with no room would.
static void octal(std::string &b, size_t off, size_t width, uint64_t v) {
    char digits[40];
    int n = snprintf(digits, sizeof digits, "%032llo", static_cast<unsigned long long>(v));
    b.replace(off, width, std::string(digits + n - (width - 1), width - 1) + '\0');
}

std::string blocks(const Member &m, size_t off, const std::string &bytes) {
    std::string b(512, '\0');
    b.replace(0, std::min<size_t>(m.name.size(), 100), m.name.substr(0, 100));
    octal(b, 100, 8, m.mode);
    octal(b, 108, 8, m.uid);
    octal(b, 116, 8, m.gid);
    octal(b, 124, 12, m.size >= 0 ? m.size : m.data.size());
    octal(b, 136, 12, m.mtime);
    b[156] = m.type;
    b.replace(157, std::min<size_t>(m.link.size(), 100), m.link.substr(0, 100));
    b.replace(257, std::min<size_t>(m.magic.size(), 8), m.magic.substr(0, 8));
    if (m.type == '3' || m.type == '4') {
        octal(b, 329, 8, m.major);
        octal(b, 337, 8, m.minor);
    }
    b.replace(off, bytes.size(), bytes);
    // The checksum: every byte summed with the checksum field as blanks.
    unsigned sum = 8 * ' ';
    for (int i = 0; i < 512; i++) sum += i >= 148 && i < 156 ? 0 : static_cast<unsigned char>(b[i]);
    octal(b, 148, 7, sum);
    b[155] = ' ';
    return b + m.data + std::string((512 - m.data.size() % 512) % 512, '\0');
}

std::string archive(const std::vector<Member> &members, int zero_blocks) {
    std::string a;
    for (const Member &m : members) a += blocks(m);
    return a + std::string(zero_blocks * 512u, '\0');
}

std::vector<Seen> python(const std::string &archive) {
    std::string out = sh_out(
        "python3 -c \"import sys, tarfile\nfor m in tarfile.open(sys.argv[1]):\n"
        " d = tarfile.open(sys.argv[1]).extractfile(m).read() if m.isreg() else b''\n"
        " print(m.name, '0' if m.isreg() else m.type.decode(), m.linkname or '-', "
        "d.hex() or '-', m.size, int(m.mtime), m.uid, sep='\\t')\" " + archive);
    std::vector<Seen> seen;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string x; std::getline(in, x, '\t');) f.push_back(x == "-" ? "" : x);
        if (f.size() != 7) continue;
        std::string data;
        for (size_t i = 0; i + 1 < f[3].size(); i += 2)
            data += static_cast<char>(std::stoi(f[3].substr(i, 2), nullptr, 16));
        seen.push_back(
            {f[0], f[1], f[2], data, std::stoll(f[4]), std::stoll(f[5]), std::stoll(f[6])});
    }
    return seen;
}

}  // namespace tk
