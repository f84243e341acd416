/* wrap.cpp - archives wrapped in a compressor: initape has an archive opened
 * for reading sniffed, and then reads it through the decompressor (or, on a
 * pipe or device that is not compressed, first hands back the record the sniff
 * took); a create with -COMPRESS writes through the compressor. Owns the
 * codec reader and writer of the run; sets the archive operations in tapeops. */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../support/run.h"
#include "tape.h"

namespace {

constexpr const char kModule[] = "tape";
constexpr size_t kSniffBytes = kBlockSize;  /* enough to tell a plain archive at once */

/* The codec a create writes through; set by the driver before initape. */
Codec g_write = Codec::none;

/* The run's wrapping: the codec found or written, its reader or writer, the
 * archive's name for messages, and why the last codec read failed. */
struct Wrap {
    Codec codec = Codec::none;
    CodecReader *reader = nullptr;
    GzReader *gz = nullptr;         /* a gzip archive read from a point, or recording them */
    CodecWriter *writer = nullptr;
    char path[kPathSize] = {};
    const char *failed = nullptr;
};
Wrap g_wrap;

/* The first record of a pipe or device, read to sniff it: the run's first
 * read gets it back, as if nobody had looked. */
struct Head {
    unsigned char bytes[kRecordBytes];
    ssize_t got = 0;      /* what that read returned: bytes, 0 or -1 */
    int error = 0;        /* its errno */
    ssize_t served = -1;  /* bytes handed back; -1 once all of it was */
};
Head g_head;

/* Where the gzip reader from a point stands in the output. */
int64_t g_gz_out;

int read_decompressed(void *buf, int length) {
    long got = g_wrap.gz ? gz_read(g_wrap.gz, buf, static_cast<size_t>(length))
                         : codec_read(g_wrap.reader, buf, static_cast<size_t>(length));
    if (got < 0) g_wrap.failed = g_wrap.gz ? gz_error(g_wrap.gz) : codec_error(g_wrap.reader);
    if (got > 0) g_gz_out += got;
    return static_cast<int>(got);
}

/* Drops what the reader gives up to the output offset to. */
bool discard_to(int64_t to) {
    unsigned char buf[kRecordBytes];
    while (g_gz_out < to) {
        size_t want = to - g_gz_out < static_cast<int64_t>(sizeof buf) ? static_cast<size_t>(to - g_gz_out) : sizeof buf;
        if (read_decompressed(buf, static_cast<int>(want)) != static_cast<int>(want)) return false;
    }
    return true;
}

int read_after_head(void *buf, int length) {
    if (g_head.served < 0) return static_cast<int>(read(handle, buf, static_cast<size_t>(length)));
    if (g_head.got <= 0) {
        g_head.served = -1;
        errno = g_head.error;
        return static_cast<int>(g_head.got);
    }
    ssize_t n = g_head.got - g_head.served;
    if (n > length) n = length;
    memcpy(buf, g_head.bytes + g_head.served, static_cast<size_t>(n));
    g_head.served += n;
    if (g_head.served == g_head.got) g_head.served = -1;
    return static_cast<int>(n);
}

int write_compressed(const void *buf, int length) {
    return codec_write(g_wrap.writer, buf, static_cast<size_t>(length)) ? length : -1;
}

/* What the archive starts with. A regular file is looked at in place; a pipe
 * or device gives its first record, which its first read then gets back. */
Codec sniff(bool regular) {
    if (regular) {
        ssize_t n = pread(handle, g_head.bytes, kSniffBytes, 0);
        if (n <= 0 || codec_sniff(g_head.bytes, static_cast<size_t>(n)) == Codec::none) return Codec::none;
        n = pread(handle, g_head.bytes, sizeof g_head.bytes, 0);   // a longer trial
        return n > 0 ? codec_sniff(g_head.bytes, static_cast<size_t>(n)) : Codec::none;
    }
    g_head.got = read(handle, g_head.bytes, sizeof g_head.bytes);
    g_head.error = errno;
    g_head.served = 0;
    tapeops.read = tapeops.run_read = read_after_head;
    return g_head.got > 0 ? codec_sniff(g_head.bytes, static_cast<size_t>(g_head.got)) : Codec::none;
}

}  // namespace

void z9_compress_with(Codec c) { g_write = c; }

Codec z9_archive_codec(void) { return g_wrap.codec; }

bool z9_wrap_archive(const char *path) {
    z9_copy(g_wrap.path, sizeof g_wrap.path, path);
    if (c_flag) {
        if (g_write == Codec::none) return true;
        g_wrap.writer = codec_writer_open(g_write, handle);
        if (!g_wrap.writer) return false;
        g_wrap.codec = g_write;
        tapeops.write = tapeops.run_write = write_compressed;
        return true;
    }
    // Append and delete look at a file only to refuse a compressed one; a
    // pipe or device they read exactly as it comes.
    bool regular = S_ISREG(sa.st_mode);
    bool changes = a_flag || d_flag;
    if (changes && !regular) return true;
    g_wrap.codec = sniff(regular);
    if (g_wrap.codec == Codec::none || changes) return true;
    const unsigned char *head = regular ? nullptr : g_head.bytes;
    g_wrap.reader = codec_reader_open(g_wrap.codec, handle, head, regular ? 0 : static_cast<size_t>(g_head.got));
    if (!g_wrap.reader) return false;
    tapeops.read = tapeops.run_read = read_decompressed;
    return true;
}

bool z9_codec_read_failed(void) {
    if (!g_wrap.failed) return false;
    z9_error(kModule, __LINE__, "readbuf", "compressed data error in '%s': %s", g_wrap.path, g_wrap.failed);
    return true;
}

bool z9_codec_drained(void) {
    if (!g_wrap.reader && !g_wrap.gz) return true;
    // A stream's check comes at its end: damage a walk would not reach
    // behind the end marker still counts.
    unsigned char buf[kRecordBytes];
    int got;
    while ((got = read_decompressed(buf, sizeof buf)) > 0) continue;
    return got == 0 || !z9_codec_read_failed();
}

bool z9_gzip_recording(GzPoints *points) {
    if (g_wrap.codec != Codec::gzip || !S_ISREG(sa.st_mode) || g_wrap.gz) return false;
    g_wrap.gz = gz_open_recording(handle, points);
    if (!g_wrap.gz) return false;
    g_gz_out = 0;
    codec_reader_close(g_wrap.reader);
    g_wrap.reader = nullptr;
    return true;
}

bool z9_gzip_seek(const GzPoints *points, int64_t out) {
    // Forward within reach, the reader in hand goes on; else from a point.
    int64_t from = 0;
    if (!g_wrap.gz || g_gz_out > out || out - g_gz_out > (int64_t{1} << 20)) {
        GzReader *r = gz_open_at(handle, points, out, &from);
        if (!r) return false;
        gz_close(g_wrap.gz);
        codec_reader_close(g_wrap.reader);
        g_wrap.reader = nullptr;
        g_wrap.gz = r;
        g_gz_out = from;
    }
    if (!discard_to(out)) return false;
    return z9_read_from(out);
}

bool z9_codec_failed(void) { return g_wrap.failed != nullptr; }

bool z9_finish_archive(void) {
    if (!g_wrap.writer || codec_finish(g_wrap.writer)) return true;
    z9_error_text(kModule, __LINE__, "endtape", "tape write error");
    return false;
}

void z9_release_codec(void) {
    g_write = Codec::none;
    if (g_wrap.reader) codec_reader_close(g_wrap.reader);
    gz_close(g_wrap.gz);
    g_wrap.gz = nullptr;
    if (g_wrap.writer) codec_writer_close(g_wrap.writer);
    g_wrap.reader = nullptr;
    g_wrap.writer = nullptr;
    g_wrap.codec = Codec::none;
    g_wrap.failed = nullptr;
    g_head.served = -1;
}
