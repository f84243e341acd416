// testkit.cpp - the shared test helpers declared in testkit.h.
#include "testkit.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace tk {

TempDir::TempDir() {
    char tmpl[] = "/tmp/z9test.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() { sh("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'"); }

Chdir::Chdir(const std::string &dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf)) old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
}

Chdir::~Chdir() { (void)chdir(old_.c_str()); }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(data.size()));
}


struct stat status(const std::string &path) {
    struct stat s = {};
    lstat(path.c_str(), &s);
    return s;
}

bool exists(const std::string &path) { return status(path).st_nlink != 0; }

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int count_fds() { return static_cast<int>(list_dir("/proc/self/fd").size()); }

std::string pattern_bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return s;
}

int sh(const std::string &cmd) {
    int rc = system(cmd.c_str());
    return rc == -1 || !WIFEXITED(rc) ? -1 : WEXITSTATUS(rc);
}

std::string sh_out(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

Call::Call(const std::string &cmdline, uint16_t trace_mode) : rec{}, cmd(cmdline) {
    rec.nSize = sizeof rec;
    rec.nTraceMode = trace_mode;
    rec.pszCmdLine = cmd.data();
}

Call::~Call() { free(rec.pOutData); }

int Call::get() {
    free(rec.pOutData);
    rec.pOutData = nullptr;
    Z9TAR_GetArchive(&rec);
    return rec.nReturnCode;
}

int Call::put(const std::string &data) {
    in = data;
    rec.pInData = in.empty() ? nullptr : in.data();
    rec.nInLength = static_cast<uint32_t>(in.size());
    Z9TAR_PutArchive(&rec);
    return rec.nReturnCode;
}

std::string Call::out() const {
    return rec.pOutData ? std::string(static_cast<const char *>(rec.pOutData), rec.nOutLength) : "";
}

int put(const std::string &line, const std::string &data, std::string *msg) {
    Call c(line);
    int rc = c.put(data);
    if (msg) *msg = c.message();
    return rc;
}

Listed list(const std::string &archive, const std::string &member) {
    TempDir traces;
    Call call("-ARCHIVE " + archive + " -CAT" + (member.empty() ? "" : " -MEMBER " + member) + " -T " + (traces / "t"));
    Listed out{call.get(), call.message(), "", "", read_file(traces / "t")};
    size_t from = out.trace.find("successfully\n\n"), to = out.trace.find("Total ");
    if (from == std::string::npos || to == std::string::npos) return out;
    out.entries = std::regex_replace(out.trace.substr(from + 14, to - from - 14),
        std::regex("(name=|blocksize = |blocks to read in this file )[^\n]*\n\n\n(\n\n)?"), "");
    out.totals = out.trace.substr(to, out.trace.find('\n', to) - to);
    return out;
}

// Classic numeric form: width-1 zero-padded octal digits and a zero byte.
static void octal(std::string &b, int off, int width, uint64_t v) {
    snprintf(&b[off], static_cast<size_t>(width), "%0*llo", width - 1, static_cast<unsigned long long>(v));
}

std::string blocks(const Member &m, size_t off, const std::string &bytes) {
    std::string b(512, '\0');
    memcpy(&b[0], m.name.data(), std::min<size_t>(m.name.size(), 100));
    octal(b, 100, 8, m.mode);
    octal(b, 108, 8, m.uid);
    octal(b, 116, 8, m.gid);
    octal(b, 124, 12, static_cast<uint64_t>(m.size >= 0 ? m.size : static_cast<int64_t>(m.data.size())));
    octal(b, 136, 12, static_cast<uint64_t>(m.mtime));
    b[156] = m.type;
    memcpy(&b[157], m.link.data(), std::min<size_t>(m.link.size(), 100));
    memcpy(&b[257], m.magic.data(), std::min<size_t>(m.magic.size(), 8));
    if (m.type == '3' || m.type == '4') octal(b, 329, 8, m.major), octal(b, 337, 8, m.minor);
    b.replace(off, bytes.size(), bytes);
    // The checksum: every byte summed with the checksum field as blanks.
    memset(&b[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b) sum += c;
    snprintf(&b[148], 7, "%06o", sum);
    b[155] = ' ';
    return b + m.data + std::string((512 - m.data.size() % 512) % 512, '\0');
}

std::string archive(const std::vector<Member> &members, int zero_blocks) {
    std::string a;
    for (const Member &m : members) a += blocks(m);
    return a + std::string(static_cast<size_t>(zero_blocks) * 512, '\0');
}

std::vector<Seen> python(const std::string &archive) {
    write_file(archive + ".py", "import sys, tarfile\n"
                                "with tarfile.open(sys.argv[1]) as t:\n"
                                "    for m in t:\n"
                                "        d = t.extractfile(m).read() if m.isreg() else b''\n"
                                "        ty = '0' if m.type in (b'0', b'\\0') else m.type.decode()\n"
                                "        print('\\t'.join([m.name, ty, m.linkname or '-', d.hex() or '-', str(m.size),"
                                " str(m.mtime), '%o' % m.mode, str(m.uid), str(m.gid)]))\n");
    std::istringstream lines(sh_out("python3 " + archive + ".py " + archive));
    std::vector<Seen> seen;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fs(line);
        std::vector<std::string> f;
        for (std::string x; std::getline(fs, x, '\t');) f.push_back(x == "-" ? "" : x);
        if (f.size() != 9) continue;
        std::string data;
        for (size_t i = 0; i + 1 < f[3].size(); i += 2) data += static_cast<char>(std::stoi(f[3].substr(i, 2), nullptr, 16));
        seen.push_back({f[0], f[1], f[2], data, std::stoll(f[4]), std::stoll(f[5]),
                        static_cast<unsigned>(std::stoul(f[6], nullptr, 8)), static_cast<unsigned>(std::stoul(f[7])),
                        static_cast<unsigned>(std::stoul(f[8]))});
    }
    return seen;
}

std::string gnu(const std::string &args) {
    TempDir errs;
    std::string out = sh_out("tar " + args + " 2>" + (errs / "e"));
    std::istringstream lines(read_file(errs / "e"));
    for (std::string e; std::getline(lines, e);) EXPECT_NE(std::string::npos, e.find("A lone zero block at")) << e;
    return out;
}

void expect_members(const std::string &archive, const std::vector<std::pair<std::string, std::string>> &want) {
    std::string names, bytes;
    for (const auto &[name, data] : want) names += name + "\n", bytes += data;
    EXPECT_EQ(names, gnu("tf " + archive));
    EXPECT_TRUE(bytes == gnu("xOf " + archive)) << archive;
    std::vector<Seen> py = python(archive);
    ASSERT_EQ(want.size(), py.size());
    for (size_t i = 0; i < want.size(); i++) EXPECT_TRUE(py[i].name == want[i].first && py[i].data == want[i].second) << i;
}

}  // namespace tk
