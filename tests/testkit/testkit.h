// testkit.h - what every test uses: scratch directories, whole-file reads and
// writes, a host call record with its command line, the listing of a -CAT run,
// a small builder of archives with classic headers, shell helpers, and what
// two independent readers (GNU tar, Python's tarfile) see in an archive.
#ifndef Z9_TESTKIT_H
#define Z9_TESTKIT_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "z9tar.h"

namespace tk {

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    std::string path_;
};

// Changes the working directory for one scope.
struct Chdir {
    explicit Chdir(const std::string &dir);
    ~Chdir();
    std::string old_;
};

// A scratch directory that is the working directory for one scope.
struct TempCwd {
    TempDir dir;
    Chdir cd{dir.path()};
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool exists(const std::string &path);
struct stat status(const std::string &path);                 // lstat; all zero when missing
std::vector<std::string> list_dir(const std::string &dir);   // sorted, no . and ..
int count_fds();                                              // entries of /proc/self/fd
std::string pattern_bytes(size_t n, unsigned seed = 1);       // deterministic bytes
int sh(const std::string &cmd);                               // exit status, or -1
std::string sh_out(const std::string &cmd);                   // its standard output

// One host call: a zeroed 808-byte record with its command line.
struct Call {
    explicit Call(const std::string &cmdline, uint16_t trace_mode = 1);
    ~Call();
    Call(const Call &) = delete;
    int get();                                  // Z9TAR_GetArchive; returns nReturnCode
    int put(const std::string &data = "");      // Z9TAR_PutArchive with data in memory
    std::string got() { return std::to_string(get()).append(" ").append(message()); }   // a get: "rc message"
    std::string out() const;                    // pOutData as bytes
    std::string message() const { return rec.szMessage; }
    std::string filename() const { return rec.szFileName; }
    EXITPARAM rec;
    std::string cmd, in;
};
// One put call; its message goes to *msg when asked for.
int put(const std::string &line, const std::string &data = "", std::string *msg = nullptr);

// A -CAT run: the trace, its listing entries (without the field, block-size
// and skip lines) and its closing totals line.
struct Listed { int rc; std::string message, entries, totals, trace; };
Listed list(const std::string &archive, const std::string &member = "");

// One member of an archive built in memory; no magic unless asked.
struct Member {
    std::string name{}, data{};
    char type = '0';
    unsigned mode = 0644, uid = 0, gid = 0;
    int64_t mtime = 1000000000;
    std::string link{};
    unsigned major = 0, minor = 0;
    int64_t size = -1;          // size field; -1 means data.size()
    std::string magic{};        // written at 257 when not empty
};
// The member's blocks: its header (bytes put in at off, then the checksum
// made), its data padded to whole blocks. An archive: members and end blocks.
std::string blocks(const Member &m, size_t off = 0, const std::string &bytes = "");
std::string archive(const std::vector<Member> &members, int zero_blocks = 2);

// One member as Python's tarfile reads it; data only for regular members.
struct Seen {
    std::string name, type, link, data;
    long long size = 0, mtime = 0;
    unsigned mode = 0, uid = 0, gid = 0;
};
std::vector<Seen> python(const std::string &archive);
// GNU tar's standard output for "tar <args>"; it may only warn of the single end block.
std::string gnu(const std::string &args);
// Both readers see exactly these regular members, in this order, with these bytes.
void expect_members(const std::string &archive, const std::vector<std::pair<std::string, std::string>> &want);

}  // namespace tk

#endif
