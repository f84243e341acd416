// testkit.cpp - the shared test helpers declared in testkit.h.
#include "testkit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tk {

TempDir::TempDir() {
    char tmpl[] = "/tmp/z9test.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    (void)system(cmd.c_str());
}

Chdir::Chdir(const std::string &dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf)) old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
}

Chdir::~Chdir() {
    if (!old_.empty()) (void)chdir(old_.c_str());
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool exists(const std::string &path) {
    struct stat s;
    return lstat(path.c_str(), &s) == 0;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int count_fds() { return static_cast<int>(list_dir("/proc/self/fd").size()); }

std::string pattern_bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

int sh(const std::string &cmd) {
    int rc = system(cmd.c_str());
    if (rc == -1 || !WIFEXITED(rc)) return -1;
    return WEXITSTATUS(rc);
}

std::string sh_out(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

Call::Call(const std::string &cmdline, uint16_t trace_mode) : cmd(cmdline) {
    memset(&rec, 0, sizeof rec);
    rec.nSize = sizeof rec;
    rec.nTraceMode = trace_mode;
    rec.pszCmdLine = cmd.data();
}

Call::~Call() { free(rec.pOutData); }

int Call::get() {
    free(rec.pOutData);
    rec.pOutData = nullptr;
    rec.pszCmdLine = cmd.data();
    Z9TAR_GetArchive(&rec);
    return rec.nReturnCode;
}

int Call::put(const std::string &data) {
    in = data;
    rec.pszCmdLine = cmd.data();
    rec.pInData = in.empty() ? nullptr : in.data();
    rec.nInLength = static_cast<uint32_t>(in.size());
    Z9TAR_PutArchive(&rec);
    return rec.nReturnCode;
}

std::string Call::out() const {
    if (!rec.pOutData) return {};
    return std::string(static_cast<const char *>(rec.pOutData), rec.nOutLength);
}

static void octal(std::string &b, int off, int width, uint64_t v) {
    // Classic form: width-1 zero-padded octal digits and a terminating NUL.
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%0*llo", width - 1, static_cast<unsigned long long>(v));
    memcpy(&b[off], tmp, static_cast<size_t>(width - 1));
    b[off + width - 1] = '\0';
}

void TarBuilder::set_checksum(std::string &b) {
    memset(&b[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b.substr(0, 512)) sum += c;
    char tmp[16];
    snprintf(tmp, sizeof tmp, "%06o", sum);
    memcpy(&b[148], tmp, 6);
    b[154] = '\0';
    b[155] = ' ';
}

std::string TarBuilder::header(const Member &m) {
    std::string b(512, '\0');
    memcpy(&b[0], m.name.data(), std::min<size_t>(m.name.size(), 100));
    octal(b, 100, 8, m.mode);
    octal(b, 108, 8, m.uid);
    octal(b, 116, 8, m.gid);
    octal(b, 124, 12, static_cast<uint64_t>(m.size >= 0 ? m.size : static_cast<int64_t>(m.data.size())));
    octal(b, 136, 12, static_cast<uint64_t>(m.mtime));
    b[156] = m.type;
    memcpy(&b[157], m.link.data(), std::min<size_t>(m.link.size(), 100));
    if (!m.magic.empty()) memcpy(&b[257], m.magic.data(), std::min<size_t>(m.magic.size(), 8));
    if (m.type == '3' || m.type == '4') {
        octal(b, 329, 8, m.major);
        octal(b, 337, 8, m.minor);
    }
    set_checksum(b);
    return b;
}

TarBuilder &TarBuilder::add(const Member &m) {
    bytes_ += header(m);
    bytes_ += m.data;
    if (m.data.size() % 512) bytes_.append(512 - m.data.size() % 512, '\0');
    return *this;
}

TarBuilder &TarBuilder::file(const std::string &name, const std::string &data) {
    Member m;
    m.name = name;
    m.data = data;
    return add(m);
}

TarBuilder &TarBuilder::raw(const std::string &block) {
    bytes_ += block;
    return *this;
}

std::string TarBuilder::finish(int zero_blocks) {
    bytes_.append(static_cast<size_t>(zero_blocks) * 512, '\0');
    return bytes_;
}

std::string trace_text(const std::string &path) { return read_file(path); }

}  // namespace tk
