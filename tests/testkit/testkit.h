// testkit.h - what every test uses: scratch directories, whole-file reads and
// writes, a host call record with its command line, a small archive builder
// that writes classic tar headers, and shell helpers for GNU tar and Python.
#ifndef Z9_TESTKIT_H
#define Z9_TESTKIT_H

#include <cstdint>
#include <string>
#include <vector>
#include "z9tar.h"

namespace tk {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

// Changes the working directory for one scope.
class Chdir {
public:
    explicit Chdir(const std::string &dir);
    ~Chdir();
private:
    std::string old_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &dir);   // sorted, no . and ..
int count_fds();                                              // entries of /proc/self/fd
std::string pattern_bytes(size_t n, unsigned seed = 1);       // deterministic bytes

// Runs a shell command; returns its exit status (or -1).
int sh(const std::string &cmd);
// Runs a shell command and returns what it printed on standard output.
std::string sh_out(const std::string &cmd);

// One host call: a zeroed 808-byte record with its command line.
struct Call {
    explicit Call(const std::string &cmdline, uint16_t trace_mode = 1);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    int get();                                  // Z9TAR_GetArchive; returns nReturnCode
    int put(const std::string &data = "");      // Z9TAR_PutArchive with data in memory
    std::string out() const;                    // pOutData as bytes
    std::string message() const { return rec.szMessage; }
    std::string filename() const { return rec.szFileName; }
    EXITPARAM rec;
    std::string cmd;
    std::string in;
};

// Builds an archive in memory with classic headers (no magic unless asked).
struct Member {
    std::string name;
    std::string data;
    char type = '0';
    unsigned mode = 0644;
    unsigned uid = 0, gid = 0;
    int64_t mtime = 1000000000;
    std::string link;
    unsigned major = 0, minor = 0;
    int64_t size = -1;          // size field; -1 means data.size()
    std::string magic;          // written at 257 when not empty
};

class TarBuilder {
public:
    TarBuilder &add(const Member &m);
    TarBuilder &file(const std::string &name, const std::string &data);
    TarBuilder &raw(const std::string &block);   // appends bytes as they are
    std::string finish(int zero_blocks = 2);     // archive with end blocks
    static std::string header(const Member &m);  // one 512-byte header
    static void set_checksum(std::string &block);
private:
    std::string bytes_;
};

// The trace file's text after a call that named it.
std::string trace_text(const std::string &path);

}  // namespace tk

#endif
