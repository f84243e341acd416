// codec_test.cpp - our writer read back by our reader and the tools, with and without
// workers, at the edges of their blocks; what the tools write (concatenated, padded) read
// through pipes; cut and damaged streams; failed writes; sniffing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "codec/codec.h"
#include "tests/testkit/testkit.h"

namespace {

// fd's data via the codec sniffed from its first 4 KiB, read in odd pieces, or "error: why".
// Only the last piece may come short; the end or the error then stays.
std::string decode(int fd, Codec want, int threads = 1) {
    unsigned char head[4096];
    size_t n = 0;
    for (ssize_t got; n < sizeof head && (got = read(fd, head + n, sizeof head - n)) > 0;) n += got;
    EXPECT_STREQ(codec_name(codec_sniff(head, n)), codec_name(want));
    CodecReader *r = codec_reader_open(want, fd, head, n, threads);  // none: null, and reads fail
    std::string out;
    char buf[7777];
    long got;
    for (; (got = codec_read(r, buf, sizeof buf)) > 0; out.append(buf, static_cast<size_t>(got)))
        EXPECT_EQ(out.size() % sizeof buf, 0u) << "a short piece before the end";
    if (got < 0)  // after full pieces only
        out = (out.size() % sizeof buf ? "short: " : "error: ") + std::string(codec_error(r));
    EXPECT_EQ(codec_read(r, buf, sizeof buf), got < 0 ? -1 : 0);
    codec_reader_close(r);
    return out;
}

// What cmd, run in dir, writes to its standard output, decoded through a pipe.
std::string decode_cmd(const tk::TempDir &dir, const std::string &cmd, Codec want) {
    FILE *p = popen(("cd " + dir.path + " && (" + cmd + ")").c_str(), "r");
    std::string out = decode(fileno(p), want);
    return pclose(p), out;
}

// Each codec at its workers' block (the first round's, for xz): an empty stream, a byte,
// one block, one more byte, and many blocks (more than two workers hold at once); written
// by 1, 2 and 7 threads in odd pieces, read back by the codec's tool and by our reader.
// One thread writes exactly the stream of the codec's library alone, as the tool (or
// zlib) makes it, and so do bzip2's workers for what fits in one piece.
TEST(Codec, WorkersWriteWhatOneThreadWouldDecode) {
    tk::TempDir dir;
    const std::string py = "python3 -c \"import sys, zlib; c = zlib.compressobj(6, zlib.DEFLATED, 31); "
                           "sys.stdout.buffer.write(c.compress(open('in', 'rb').read()) + c.flush())\"";
    const struct { Codec codec; size_t block, many; std::string alone; } codecs[] = {
        {Codec::gzip, 1 << 20, 5, py}, {Codec::xz, 4 << 20, 2, "xz -6 -T1 -c in"},
        {Codec::bzip2, 900000, 5, "bzip2 -9 -c in"}, {Codec::zstd, 1 << 20, 2, ""}};
    // Compressible enough to be quick, varied enough to be checked.
    std::string text;
    for (size_t i = 0; text.size() < (9u << 20); i++) text += std::to_string(i * 7919 % 100003) + " bytes\n";
    for (const auto &[c, block, many, alone] : codecs) {
        for (size_t size : {size_t{0}, size_t{1}, block, block + 1, many * block + 12345}) {
            const std::string data = text.substr(0, size), name = codec_name(c), path = dir / "out";
            tk::write_file(dir / "in", data);
            for (int threads : {1, 2, 7}) {
                SCOPED_TRACE(name + " " + std::to_string(size) + " bytes, threads " + std::to_string(threads));
                int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
                CodecWriter *w = codec_writer_open(c, fd, threads);
                for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 1)
                    ASSERT_TRUE(codec_write(w, &data[at], std::min(piece, size - at)));
                EXPECT_TRUE(codec_finish(w));
                codec_writer_close(w);
                EXPECT_TRUE(lseek(fd, 0, SEEK_SET) == 0 && decode(fd, c, threads) == data);
                close(fd);
                EXPECT_TRUE(tk::sh_out(name + " -dc " + path) == data);
                // xz's workers each get a first block: 4 + 4 MiB, then a larger one.
                if (c == Codec::xz && size > many * block) {
                    EXPECT_EQ(tk::sh_out("xz --robot -l " + path + " | awk '$1 == \"totals\" {print $3}'"),
                              threads == 1 ? "1\n" : "3\n");
                }
                if (!alone.empty() && (threads == 1 || (c == Codec::bzip2 && size <= block))) {
                    EXPECT_TRUE(tk::read_file(path) == tk::sh_out("cd " + dir.path + " && " + alone));
                }
            }
        }
    }
}

TEST(Codec, ReadsWritesAndRefuses) {
    tk::TempDir dir;
    const std::string a = tk::sh_out("seq 40000") + tk::pattern_bytes(99999);
    const struct { Codec codec; const char *flipped; } codecs[] = {
        {Codec::gzip, "incorrect data check"}, {Codec::zstd, "incorrect data check"},
        {Codec::xz, "corrupt data"}, {Codec::bzip2, "corrupt data"}};
    for (const auto &[c, flipped] : codecs) {
        const std::string name = codec_name(c), path = dir / name;
        SCOPED_TRACE(name);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        CodecWriter *w = codec_writer_open(c, fd);
        EXPECT_TRUE(codec_write(w, a.data(), 999) && codec_write(w, &a[999], a.size() - 999));
        EXPECT_TRUE(codec_finish(w) && !codec_write(w, "x", 1));
        codec_writer_close(w);
        EXPECT_TRUE(lseek(fd, 0, SEEK_SET) == 0 && decode(fd, c) == a);  // a regular file
        close(fd);
        EXPECT_TRUE(tk::sh_out(name + " -dc " + path) == a);
        EXPECT_EQ(decode_cmd(dir, "head -c -9 " + name, c), "error: unexpected end of data");
        std::string z = tk::read_file(path);
        z[z.size() / 2] ^= 0x10;
        tk::write_file(path, z);
        EXPECT_EQ(decode_cmd(dir, "cat " + name, c), std::string("error: ") + flipped);
        for (int threads : {1, 3}) {   // every write fails, and so does all that follows
            w = codec_writer_open(c, -1, threads);
            EXPECT_FALSE(codec_write(w, a.data(), a.size()) && codec_finish(w));
            EXPECT_FALSE(codec_write(w, "x", 1) || codec_finish(w));
            codec_writer_close(w);
        }
    }
    // After a stream, zero padding and other bytes end the data cleanly; sniffing refuses junk.
    tk::write_file(dir / "a", a);
    const struct { Codec codec; const char *cmd; std::string want; } cases[] = {
        {Codec::gzip, "gzip -c a >a.gz && cat a.gz a.gz", a + a},
        {Codec::gzip, "gzip -c a; head -c 10240 /dev/zero", a},
        {Codec::gzip, "gzip -c a; echo trailing garbage", a},
        {Codec::gzip, "gzip -c a; printf '\\037'", a},   // a lone 1f is no next member
        {Codec::zstd, "printf 'P*M\\030\\004\\000\\000\\000four'; zstd -qc a", a},   // pzstd's
        {Codec::none, "printf 'P*M\\030\\377\\377\\377\\177'; tar cf - a", "error: "},
        {Codec::zstd, "zstd -qc a; zstd -qc --no-check a", a + a},
        {Codec::xz, "xz -c a; head -c 8 /dev/zero; xz -ec a", a + a},
        {Codec::bzip2, "bzip2 -c a; bzip2 -1c a", a + a},
        {Codec::none, "printf '\\037\\213not gzip'", "error: "},
        {Codec::none, "printf '\\050\\265\\057\\375junk that starts no frame'", "error: "},
        {Codec::none, "printf '\\3757zXZ\\000junk that starts no stream'", "error: "},
        {Codec::none, "tar cf - a", "error: "},
        {Codec::gzip, "gzip -c a | head -c 10", "error: unexpected end of data"},
    };
    for (const auto &t : cases) EXPECT_TRUE(decode_cmd(dir, t.cmd, t.codec) == t.want) << t.cmd;
    Codec got = Codec::none;
    EXPECT_TRUE(codec_from_name("Xz", &got) && got == Codec::xz && !codec_from_name("gz", &got));
}

}  // namespace
