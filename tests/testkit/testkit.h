// testkit.h - what the tests share: scratch directories, whole files, shell
// commands, a host call record, the listing of a -CAT run, and a builder of
// archives with classic headers (owner, group and time fixed unless given).
#ifndef Z9_TESTKIT_H
#define Z9_TESTKIT_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "z9tar.h"

namespace tk {

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

// The working directory for one scope: the given one, or a fresh scratch one.
struct Cwd {
    explicit Cwd(const std::string &dir = "");
    ~Cwd();
    TempDir scratch;
    std::string old;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
struct stat status(const std::string &path);                // lstat; all zero when missing
std::vector<std::string> list_dir(const std::string &dir);  // sorted, without . and ..
int count_fds();                                             // entries of /proc/self/fd
std::string pattern_bytes(size_t n, unsigned seed = 1);      // the same bytes every run
int sh(const std::string &cmd);                              // exit status, or -1
std::string sh_out(const std::string &cmd);                  // its standard output

// One host call: a zeroed 808-byte record with its command line. get and
// put (of data in memory) return the outcome as "rc message".
struct Call {
    explicit Call(const std::string &cmdline, uint16_t trace_mode = 1);
    ~Call() { free(rec.pOutData); }
    std::string get();
    std::string put(const std::string &data = "");
    std::string out() const;   // pOutData as bytes
    std::string filename() const { return rec.szFileName; }
    EXITPARAM rec;
    std::string cmd, in;
};
extern const std::string kGot, kPut;   // the outcomes of a get and a put that succeed

// A member's bytes as the library extracts them into memory, or the outcome.
std::string extract(const std::string &archive, const std::string &member);

// A -CAT run: the trace, its listing entries (without the field, block size
// and skip lines) and its closing totals line.
struct Listed { std::string outcome, entries, totals, trace; };
Listed list(const std::string &archive, const std::string &member = "");

// One member of an archive built in memory; no magic unless asked. Its
// blocks: the header (bytes put in at off, then the checksum made) and the
// data padded to whole blocks. An archive: members, then end blocks.
struct Member {
    std::string name{}, data{};
    char type = '0';
    unsigned mode = 0644, uid = 0, gid = 0;
    int64_t mtime = 1000000000;
    std::string link{};
    unsigned major = 0, minor = 0;
    int64_t size = -1;     // size field; -1 means data.size()
    std::string magic{};   // written at 257 when not empty
};
std::string blocks(const Member &m, size_t off = 0, const std::string &bytes = "");

// One member as Python's tarfile reads it: typeflag '0' for regular files,
// whose bytes come along. The reader of the modern dialect's tests.
struct Seen { std::string name, type, link, data; long long size = 0, mtime = 0, uid = 0; };
std::vector<Seen> python(const std::string &archive);
std::string archive(const std::vector<Member> &members, int zero_blocks = 2);

}  // namespace tk

#endif
