/* wrap.cpp - archives wrapped in a compressor: initape has an archive opened
 * for reading sniffed, and then reads it through the decompressor (or, on a
 * pipe or device that is not compressed, first hands back the reads the sniff
 * made, as they came); a create with -COMPRESS writes through the compressor.
 * Owns the codec reader and writer of the run, and so their worker threads, which
 * z9_release_codec joins at the end of every run; sets the archive operations in
 * tapeops. */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../support/run.h"
#include "tape.h"

namespace {

constexpr const char kModule[] = "tape";
constexpr size_t kSniffBytes = kBlockSize;  /* enough to tell a plain archive at once */
constexpr int kPiecesMax = 16;              /* reads a sniff of a pipe makes at most */
constexpr int64_t kReadOnBytes = int64_t{1} << 20;   /* decoded on rather than resumed */

/* The codec a create writes through; set by the driver before initape. */
Codec g_write = Codec::none;

/* The run's wrapping: the codec found or written, its reader or writer, the
 * archive's name for messages, and why the last codec read failed. */
struct Wrap {
    Codec codec = Codec::none;
    CodecReader *reader = nullptr;
    CodecWriter *writer = nullptr;
    char path[kPathSize] = {};
    const char *failed = nullptr;
};
Wrap g_wrap;

/* The first reads of a pipe or device, made to sniff it: the run's reads get
 * them back one by one, as if nobody had looked. A writer's first piece may be
 * shorter than a signature, so the sniff reads on until it holds enough to
 * tell. Each read asks for a whole record, as the block layer's reads do until
 * they learn the blocking factor, and the pieces go back as they came: a plain
 * archive's reads are the ones the block layer would have made. */
struct Head {
    unsigned char bytes[2 * kRecordBytes];
    size_t ends[kPiecesMax] = {};   /* where each read's bytes end in bytes */
    int pieces = 0;
    ssize_t last = 1;     /* the read that stopped the sniff: 0 or -1, or 1 for none */
    int error = 0;        /* its errno */
    int served = -1;      /* pieces handed back; -1 once all of them (and last) were */
    size_t at = 0;        /* bytes handed back */
};
Head g_head;

int read_decompressed(void *buf, int length) {
    long got = codec_read(g_wrap.reader, buf, static_cast<size_t>(length));
    if (got < 0) g_wrap.failed = codec_error(g_wrap.reader);
    return static_cast<int>(got);
}

/* Drops what the reader gives up to the output offset to. */
bool discard_to(int64_t to) {
    unsigned char buf[kRecordBytes];
    for (int64_t left; (left = to - codec_reader_out(g_wrap.reader)) > 0;) {
        int want = left < static_cast<int64_t>(sizeof buf) ? static_cast<int>(left) : static_cast<int>(sizeof buf);
        if (read_decompressed(buf, want) != want) return false;
    }
    return true;
}

int read_after_head(void *buf, int length) {
    Head &h = g_head;
    if (h.served < 0) return static_cast<int>(read(handle, buf, static_cast<size_t>(length)));
    if (h.served == h.pieces) {   // then what ended the sniff, if anything did
        h.served = -1;
        if (h.last > 0) return read_after_head(buf, length);
        errno = h.error;
        return static_cast<int>(h.last);
    }
    size_t n = h.ends[h.served] - h.at;
    if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
    memcpy(buf, h.bytes + h.at, n);
    h.at += n;
    if (h.at == h.ends[h.served]) h.served++;
    return static_cast<int>(n);
}

/* Reads the pipe or device until the head holds what the sniff wants to see,
 * the end of the input, an error, or the most pieces kept. */
void read_head() {
    Head &h = g_head;
    h.pieces = 0;
    h.last = 1;
    size_t got = 0;
    while (h.pieces < kPiecesMax && sizeof h.bytes - got >= kRecordBytes && got < codec_sniff_wants(h.bytes, got)) {
        ssize_t n = read(handle, h.bytes + got, kRecordBytes);
        if (n <= 0) {
            h.last = n;
            h.error = errno;
            break;
        }
        got += static_cast<size_t>(n);
        h.ends[h.pieces++] = got;
    }
    h.served = 0;
    h.at = 0;
}

int write_compressed(const void *buf, int length) {
    return codec_write(g_wrap.writer, buf, static_cast<size_t>(length)) ? length : -1;
}

/* What the archive starts with. A regular file is looked at in place (a zstd
 * one's skippable frames may take more than a block); a pipe or device gives
 * its first reads, which the run's reads then get back. */
Codec sniff(bool regular) {
    if (regular) {
        ssize_t n = pread(handle, g_head.bytes, kSniffBytes, 0);
        if (n <= 0) return Codec::none;
        auto got = static_cast<size_t>(n);
        if (codec_sniff(g_head.bytes, got) == Codec::none && codec_sniff_wants(g_head.bytes, got) <= got)
            return Codec::none;
        n = pread(handle, g_head.bytes, kRecordBytes, 0);   // a longer trial
        return n > 0 ? codec_sniff(g_head.bytes, static_cast<size_t>(n)) : Codec::none;
    }
    read_head();
    tapeops.read = tapeops.run_read = read_after_head;
    size_t got = g_head.pieces > 0 ? g_head.ends[g_head.pieces - 1] : 0;
    return got > 0 ? codec_sniff(g_head.bytes, got) : Codec::none;
}

}  // namespace

void z9_compress_with(Codec c) { g_write = c; }

Codec z9_archive_codec(void) { return g_wrap.codec; }

bool z9_wrap_archive(const char *path) {
    z9_copy(g_wrap.path, sizeof g_wrap.path, path);
    if (c_flag) {
        if (g_write == Codec::none) return true;
        g_wrap.writer = codec_writer_open(g_write, handle, codec_threads());
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
    // The head is the stream's start: on a pipe it cannot be read again.
    size_t got = regular || g_head.pieces == 0 ? 0 : g_head.ends[g_head.pieces - 1];
    g_wrap.reader = codec_reader_open(g_wrap.codec, handle, regular ? nullptr : g_head.bytes, got, codec_threads());
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
    if (!g_wrap.reader) return true;
    // A stream's check comes at its end: damage a walk would not reach
    // behind the end marker still counts.
    unsigned char buf[kRecordBytes];
    int got;
    while ((got = read_decompressed(buf, sizeof buf)) > 0) continue;
    return got == 0 || !z9_codec_read_failed();
}

bool z9_gzip_recording(GzPoints *points) {
    if (g_wrap.codec != Codec::gzip || !S_ISREG(sa.st_mode)) return false;
    return codec_reader_mark(g_wrap.reader, gz_points_mark, points);
}

bool z9_gzip_seek(const GzPoints *points, int64_t out) {
    // Forward within reach, the reader in hand goes on; else one resumes at a point.
    int64_t at = codec_reader_out(g_wrap.reader);
    if (!g_wrap.reader || at > out || out - at > kReadOnBytes) {
        CodecReader *r = gz_points_reader(points, handle, out);
        if (!r) return false;
        codec_reader_close(g_wrap.reader);
        g_wrap.reader = r;
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
    if (g_wrap.writer) codec_writer_close(g_wrap.writer);
    g_wrap.reader = nullptr;
    g_wrap.writer = nullptr;
    g_wrap.codec = Codec::none;
    g_wrap.failed = nullptr;
    g_head.served = -1;
    g_head.pieces = 0;
}
