/* codec.cpp - gzip, zstd, xz and bzip2 over a descriptor: the signatures, a streaming
 * reader (ISA-L's inflate for gzip, libzstd, liblzma, libbz2) whose one decoding loop
 * also hands out places to resume from and starts at one, and a streaming writer (zlib,
 * libzstd, liblzma, libbz2). Holds no process-wide state; allocates with malloc only,
 * so the library keeps needing no C++ runtime, and frees all of it on every path. */
#define ZLIB_CONST
#include <bzlib.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace {

// Large reads keep the system calls few against a decoder that runs at a gigabyte a
// second, and are never shorter than a tape's block, which a shorter read would cut.
constexpr size_t kInBytes = 256 * 1024;    // compressed bytes one read of the descriptor asks for
constexpr size_t kOutBytes = 256 * 1024;   // compressed bytes the writer gathers per write
// The codecs count in 32 bits, so no single call gets a longer span than this.
constexpr size_t kSpanMax = size_t{1} << 30;
constexpr size_t kSignatureMax = 6;

struct Signature {
    unsigned char bytes[kSignatureMax];
    size_t len;
};
// Indexed by Codec. bzip2's fourth byte is its block size, a digit '1' to '9'.
constexpr Signature kSignatures[] = {
    {{}, 0},
    {{0x1f, 0x8b}, 2},
    {{0x28, 0xb5, 0x2f, 0xfd}, 4},
    {{0xfd, '7', 'z', 'X', 'Z', 0x00}, 6},
    {{'B', 'Z', 'h'}, 4},
};
constexpr const char *kNames[] = {"none", "gzip", "zstd", "xz", "bzip2"};
constexpr Codec kCodecs[] = {Codec::gzip, Codec::zstd, Codec::xz, Codec::bzip2};

size_t index_of(Codec c) { return static_cast<size_t>(c); }
bool is_codec(Codec c) { return c > Codec::none && c <= Codec::bzip2; }
size_t least(size_t a, size_t b) { return a < b ? a : b; }

// p[0..n) starts with c's signature (n at least its length).
bool has_signature(Codec c, const unsigned char *p, size_t n) {
    const Signature &s = kSignatures[index_of(c)];
    if (n < s.len) return false;
    if (c == Codec::bzip2) return memcmp(p, s.bytes, 3) == 0 && p[3] >= '1' && p[3] <= '9';
    return memcmp(p, s.bytes, s.len) == 0;
}

// zstd's decoder passes over skippable frames (magic 0x184D2A50..5F), which some
// writers put before or between frames; they continue the data like any frame.
bool zstd_skippable(Codec c, const unsigned char *p, size_t n) {
    return c == Codec::zstd && n >= 4 && (p[0] & 0xf0) == 0x50 && p[1] == 0x2a && p[2] == 0x4d &&
           p[3] == 0x18;
}

constexpr size_t kSkippableHead = 8;   // a skippable frame's magic and little-endian size

// Where the first frame starts behind the skippable frames p[0..n) opens with; past n
// when the last of them (or its size field) runs on beyond the bytes at hand.
size_t past_skippable(const unsigned char *p, size_t n) {
    size_t at = 0;
    while (at + kSkippableHead <= n && zstd_skippable(Codec::zstd, p + at, n - at)) {
        const unsigned char *size = p + at + 4;
        at += kSkippableHead + (size[0] | size[1] << 8 | size[2] << 16 | uint32_t{size[3]} << 24);
    }
    return at;
}

// The archive opens with c's signature; a zstd one may have skippable frames before
// it (pzstd writes one), but the first real frame's signature must be among the bytes:
// a plain archive whose first name only looks like a skippable frame stays plain.
bool opens_stream(Codec c, const unsigned char *p, size_t n) {
    size_t at = c == Codec::zstd ? past_skippable(p, n) : 0;
    return at < n && has_signature(c, p + at, n - at);
}

enum class Step { more, end, fail };

}  // namespace

/* ---- reader ---- */

struct CodecReader {
    Codec codec;
    int fd;                // -1 when sniffing: the head is all the input there is
    unsigned char *in;     // compressed input; in[pos..len) not yet taken by the codec
    size_t cap, pos, len;  // size of in, and the span above
    bool eof;              // the descriptor reported its end (or there is none)
    bool file;             // the descriptor is a regular file, whose reads never wait
    bool between;          // a stream ended: padding, a next stream or the end follow
    int state;             // 0 reading, 1 ended cleanly, -1 failed
    bool cut;              // failed because the input ended inside a stream
    uint64_t made;         // decompressed bytes so far, including a failing call's
    int64_t in_at;         // the descriptor's offset of in[0]
    CodecMark mark;        // given the place where made reaches mark_at, or none
    void *mark_ctx;
    int64_t mark_at;
    const char *why;       // the failure's reason, "" until one
    inflate_state *isal;   // gzip's decoder, allocated at the first stream
    ZSTD_DCtx *zstd;
    lzma_stream xz;        // all zero is liblzma's initial state, and lzma_end accepts it
    bz_stream bz;
    bool bz_live;          // bz holds a decoder BZ2_bzDecompressEnd must release
};

namespace {

Step fail_with(CodecReader *r, const char *why) {
    r->why = why;
    return Step::fail;
}

// Each decoder: start makes it ready for a stream's first byte (false when out of
// memory); step decodes from in[pos..len) into out[0..room), moving pos on and
// telling how many bytes it made; release frees what start took. A decoder whose
// whole state is plain bytes can also lend them (state) and take them back (resume).
struct DecoderOps {
    bool (*start)(CodecReader *r);
    Step (*step)(CodecReader *r, unsigned char *out, size_t room, size_t *made);
    void (*release)(CodecReader *r);
    const void *(*state)(const CodecReader *r, size_t *len) = nullptr;
    bool (*resume)(CodecReader *r, const void *state, size_t len) = nullptr;
};

// ISA-L's inflate decodes about twice as fast as zlib's, byte for byte the same;
// its return codes become the reasons zlib users know.
const char *isal_reason(int rc) {
    switch (rc) {
    case ISAL_INVALID_BLOCK: return "invalid block";
    case ISAL_INVALID_SYMBOL: return "invalid code";
    case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER: return "invalid header";
    case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
    case ISAL_NEED_DICT: return "needs a dictionary";
    default: return "corrupt data";
    }
}

bool isal_start(CodecReader *r) {
    if (!r->isal) r->isal = static_cast<inflate_state *>(calloc(1, sizeof *r->isal));
    if (!r->isal) return false;
    isal_inflate_init(r->isal);
    r->isal->crc_flag = ISAL_GZIP;  // parse the gzip header; check the trailer's CRC and length
    return true;
}

Step isal_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    inflate_state *s = r->isal;
    s->next_in = r->in + r->pos;
    s->avail_in = static_cast<uint32_t>(least(r->len - r->pos, kSpanMax));
    s->next_out = out;
    s->avail_out = static_cast<uint32_t>(room);
    int rc = isal_inflate(s);
    // At a member's end ISA-L gives back the bytes it had read ahead past the trailer,
    // so pos is exactly where a next member starts.
    r->pos = static_cast<size_t>(s->next_in - r->in);
    *made = static_cast<size_t>(s->next_out - out);
    if (rc != ISAL_DECOMP_OK) return fail_with(r, isal_reason(rc));
    return s->block_state == ISAL_BLOCK_FINISH ? Step::end : Step::more;
}

void isal_release(CodecReader *r) { free(r->isal); }

// ISA-L's state holds all a stream needs to go on: its unread bits, its code tables,
// the 32 KiB of history and the sums so far; it holds no pointer that outlives a step.
const void *isal_state(const CodecReader *r, size_t *len) {
    *len = sizeof *r->isal;
    return r->isal;
}

bool isal_resume(CodecReader *r, const void *state, size_t len) {
    if (len != sizeof *r->isal) return false;
    memcpy(r->isal, state, len);
    return true;
}

const char *zstd_reason(size_t rc) {
    switch (ZSTD_getErrorCode(rc)) {
    case ZSTD_error_checksum_wrong: return "incorrect data check";
    case ZSTD_error_corruption_detected: return "corrupt data";
    case ZSTD_error_prefix_unknown: return "unknown frame type";
    case ZSTD_error_memory_allocation: return "out of memory";
    case ZSTD_error_frameParameter_windowTooLarge: return "window too large";
    default: return ZSTD_getErrorName(rc);
    }
}

bool zstd_start(CodecReader *r) {
    if (!r->zstd) return (r->zstd = ZSTD_createDCtx()) != nullptr;
    return !ZSTD_isError(ZSTD_DCtx_reset(r->zstd, ZSTD_reset_session_only));
}

Step zstd_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    ZSTD_inBuffer src = {r->in + r->pos, r->len - r->pos, 0};
    ZSTD_outBuffer dst = {out, room, 0};
    size_t rc = ZSTD_decompressStream(r->zstd, &dst, &src);
    r->pos += src.pos;
    *made = dst.pos;
    if (ZSTD_isError(rc)) return fail_with(r, zstd_reason(rc));
    return rc == 0 ? Step::end : Step::more;  // 0: a frame is decoded and all of it handed out
}

void zstd_release(CodecReader *r) { ZSTD_freeDCtx(r->zstd); }

const char *xz_reason(lzma_ret rc) {
    switch (rc) {
    case LZMA_DATA_ERROR: return "corrupt data";
    case LZMA_FORMAT_ERROR: return "unknown format";
    case LZMA_OPTIONS_ERROR: return "unsupported options";
    case LZMA_MEM_ERROR: return "out of memory";
    case LZMA_MEMLIMIT_ERROR: return "memory limit reached";
    default: return "decoder error";
    }
}

// One stream per decoder, not LZMA_CONCATENATED: the reader itself decides what may
// follow a stream, the same way for every codec.
bool xz_start(CodecReader *r) { return lzma_stream_decoder(&r->xz, UINT64_MAX, 0) == LZMA_OK; }

/* liblzma and libbz2 decoders have the same shape: point one at the input
 * not yet taken and at the output, run one step, see how far both moved. */
template <typename Stream, typename Step>
auto decode(CodecReader *r, Stream &s, unsigned char *out, size_t room, size_t *made, Step step) {
    unsigned char *from = r->in + r->pos;
    s.next_in = reinterpret_cast<decltype(s.next_in)>(from);
    s.avail_in = static_cast<decltype(s.avail_in)>(least(r->len - r->pos, kSpanMax));
    s.next_out = reinterpret_cast<decltype(s.next_out)>(out);
    s.avail_out = static_cast<decltype(s.avail_out)>(room);
    auto rc = step();
    r->pos += static_cast<size_t>(reinterpret_cast<const unsigned char *>(s.next_in) - from);
    *made = static_cast<size_t>(reinterpret_cast<unsigned char *>(s.next_out) - out);
    return rc;
}

Step xz_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    lzma_ret rc = decode(r, r->xz, out, room, made, [&] { return lzma_code(&r->xz, LZMA_RUN); });
    if (rc == LZMA_STREAM_END) return Step::end;
    // LZMA_BUF_ERROR only says nothing moved; the reader tells whether input ran out.
    if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return Step::more;
    return fail_with(r, xz_reason(rc));
}

void xz_release(CodecReader *r) { lzma_end(&r->xz); }

// libbz2 cannot restart a decoder, so every stream gets a fresh one.
bool bz_start(CodecReader *r) {
    if (r->bz_live) BZ2_bzDecompressEnd(&r->bz);
    memset(&r->bz, 0, sizeof r->bz);
    r->bz_live = BZ2_bzDecompressInit(&r->bz, 0, 0) == BZ_OK;
    return r->bz_live;
}

Step bz_step(CodecReader *r, unsigned char *out, size_t room, size_t *made) {
    int rc = decode(r, r->bz, out, room, made, [&] { return BZ2_bzDecompress(&r->bz); });
    if (rc == BZ_STREAM_END) return Step::end;
    if (rc == BZ_OK) return Step::more;
    if (rc == BZ_MEM_ERROR) return fail_with(r, "out of memory");
    // libbz2 tells a failed block CRC from broken structure by no code of its own.
    return fail_with(r, rc == BZ_DATA_ERROR_MAGIC ? "bad signature" : "corrupt data");
}

void bz_release(CodecReader *r) {
    if (r->bz_live) BZ2_bzDecompressEnd(&r->bz);
}

// Indexed by Codec.
constexpr DecoderOps kDecoders[] = {
    {},
    {.start = isal_start, .step = isal_step, .release = isal_release, .state = isal_state,
     .resume = isal_resume},
    {.start = zstd_start, .step = zstd_step, .release = zstd_release},
    {.start = xz_start, .step = xz_step, .release = xz_release},
    {.start = bz_start, .step = bz_step, .release = bz_release},
};

void fail(CodecReader *r, const char *why) {
    r->state = -1;
    r->why = why;
}

// Moves the input not yet taken to the front and reads more behind it. A read error
// fails the reader with the descriptor's errno left as it was.
void fill(CodecReader *r) {
    memmove(r->in, r->in + r->pos, r->len - r->pos);
    r->in_at += static_cast<int64_t>(r->pos);
    r->len -= r->pos;
    r->pos = 0;
    if (r->eof) return;
    ssize_t got;
    do got = read(r->fd, r->in + r->len, r->cap - r->len);
    while (got < 0 && errno == EINTR);
    if (got < 0) fail(r, "read error");
    else if (got == 0) r->eof = true;
    else r->len += static_cast<size_t>(got);
}

// The codec took nothing and made nothing: it wants more input than is buffered. When
// there is no more, the stream was cut short; a codec stuck on input it holds (never
// seen) fails too, so no input can keep a reader turning in place.
void stalled(CodecReader *r) {
    if (!r->eof && r->len - r->pos < r->cap) return fill(r);
    if (r->pos < r->len) return fail(r, "stream makes no progress");
    r->cut = true;
    fail(r, "unexpected end of data");
}

// After a stream's end, zero bytes are tape padding and skipped; a next stream of the
// same codec is read on (a gzip member, a zstd frame); anything else, or nothing,
// ends the data cleanly, as gzip ignores trailing garbage. A next stream that then
// fails to decode is an error like any other.
void next_stream(CodecReader *r) {
    while (r->pos < r->len && r->in[r->pos] == 0) r->pos++;
    size_t have = r->len - r->pos;
    if (have < kSignatures[index_of(r->codec)].len && !r->eof) return fill(r);
    const unsigned char *p = r->in + r->pos;
    if (!has_signature(r->codec, p, have) && !zstd_skippable(r->codec, p, have)) {
        r->state = 1;
        return;
    }
    r->between = false;
    if (!kDecoders[index_of(r->codec)].start(r)) fail(r, "out of memory");
}

// Lends the place between two steps to the mark, which tells where it wants the
// next one, if anywhere.
void mark_place(CodecReader *r) {
    CodecPlace place = {r->in_at + static_cast<int64_t>(r->pos), static_cast<int64_t>(r->made), nullptr, 0};
    place.state = kDecoders[index_of(r->codec)].state(r, &place.len);
    r->mark_at = r->mark(r->mark_ctx, &place);
    if (r->mark_at <= place.out) r->mark = nullptr;
}

// The room a step may fill: what the caller still wants, and no more than takes
// the output to the mark's next place, so that the step ends right there.
size_t room_for(const CodecReader *r, size_t want) {
    want = least(want, kSpanMax);
    int64_t to_mark = r->mark_at - static_cast<int64_t>(r->made);
    return r->mark && to_mark > 0 && static_cast<uint64_t>(to_mark) < want ? static_cast<size_t>(to_mark) : want;
}

}  // namespace

CodecReader *codec_reader_open(Codec c, int fd, const unsigned char *head, size_t nhead) {
    if (!is_codec(c) || (nhead > 0 && !head)) return nullptr;
    auto *r = static_cast<CodecReader *>(calloc(1, sizeof(CodecReader)));
    if (!r) return nullptr;
    r->codec = c;
    r->fd = fd;
    r->eof = fd < 0;
    struct stat st;
    r->file = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    r->why = "";
    // Sniffing has only the head, so its buffer is the head's size (and never 0 bytes).
    r->cap = fd < 0 ? nhead + 1 : (nhead > kInBytes ? nhead : kInBytes);
    r->in = static_cast<unsigned char *>(malloc(r->cap));
    if (!r->in || !kDecoders[index_of(c)].start(r)) {
        codec_reader_close(r);
        return nullptr;
    }
    // The head is the stream's start whatever fd is: on a pipe it cannot be read again.
    if (nhead > 0) memcpy(r->in, head, nhead);
    r->len = nhead;
    return r;
}

long codec_read(CodecReader *r, void *buf, size_t len) {
    if (!r || r->state < 0 || (len > 0 && !buf)) return -1;
    const DecoderOps &ops = kDecoders[index_of(r->codec)];
    auto *out = static_cast<unsigned char *>(buf);
    len = least(len, LONG_MAX);
    size_t done = 0;
    // On a pipe the codec runs before any refill, so output it still holds is handed
    // out at once instead of after a wait; only a step that moves nothing reads more.
    // A file, whose reads never wait, is read on as soon as all its input is taken:
    // the codec then holds little output back, which keeps the states a mark takes small.
    while (done < len && r->state == 0) {
        if (r->between) {
            next_stream(r);
            continue;
        }
        if (r->file && r->pos == r->len && !r->eof) {
            fill(r);
            continue;
        }
        size_t made = 0, was = r->pos;
        Step step = ops.step(r, out + done, room_for(r, len - done), &made);
        done += made;
        r->made += made;
        if (step == Step::fail) r->state = -1;
        else if (step == Step::end) r->between = true;
        else if (made == 0 && r->pos == was) stalled(r);
        else if (r->mark && static_cast<int64_t>(r->made) >= r->mark_at) mark_place(r);
    }
    // Bytes made before a failure are not handed out: a short count means the end.
    return r->state < 0 ? -1 : static_cast<long>(done);
}

const char *codec_error(const CodecReader *r) { return r && r->why ? r->why : ""; }

int64_t codec_reader_out(const CodecReader *r) { return r ? static_cast<int64_t>(r->made) : 0; }

bool codec_reader_mark(CodecReader *r, CodecMark mark, void *ctx) {
    if (!r || !kDecoders[index_of(r->codec)].state || r->made > 0 || r->in_at + r->pos > 0) return false;
    r->mark = mark;
    r->mark_ctx = ctx;
    return true;
}

CodecReader *codec_reader_resume(Codec c, int fd, const CodecPlace *place) {
    if (!is_codec(c) || !kDecoders[index_of(c)].resume || place->in < 0 || place->out < 0) return nullptr;
    if (lseek(fd, static_cast<off_t>(place->in), SEEK_SET) < 0) return nullptr;
    CodecReader *r = codec_reader_open(c, fd, nullptr, 0);
    if (!r) return nullptr;
    r->in_at = place->in;
    r->made = static_cast<uint64_t>(place->out);
    if (place->state && !kDecoders[index_of(c)].resume(r, place->state, place->len)) {
        codec_reader_close(r);
        return nullptr;
    }
    return r;
}

void codec_reader_close(CodecReader *r) {
    if (!r) return;
    kDecoders[index_of(r->codec)].release(r);
    free(r->in);
    free(r);
}

/* ---- names and sniffing ---- */

const char *codec_name(Codec c) { return is_codec(c) ? kNames[index_of(c)] : kNames[0]; }

bool codec_from_name(const char *text, Codec *out) {
    if (!text || !out) return false;
    for (Codec c : kCodecs) {
        if (strcasecmp(text, kNames[index_of(c)]) == 0) {
            *out = c;
            return true;
        }
    }
    return false;
}

// Decoding up to the first output byte tells a real stream from bytes that only start
// like one; a damaged stream that has already produced data stays compressed, so its
// reader can report the damage. Without memory to try, the bytes are read as they lie.
Codec codec_sniff(const unsigned char *p, size_t n) {
    if (!p) return Codec::none;
    for (Codec c : kCodecs) {
        if (!opens_stream(c, p, n)) continue;
        CodecReader *r = codec_reader_open(c, -1, p, n);
        if (!r) return Codec::none;
        unsigned char first;
        bool real = codec_read(r, &first, 1) >= 0 || r->cut || r->made > 0;
        codec_reader_close(r);
        return real ? c : Codec::none;
    }
    return Codec::none;
}

size_t codec_sniff_wants(const unsigned char *p, size_t n) {
    // Behind skippable frames (or none) lies a signature or the head of another
    // skippable frame; the longer of the two is the most it can take to tell.
    static_assert(kSkippableHead >= kSignatureMax);
    return p ? past_skippable(p, n) + kSkippableHead : kSkippableHead;
}

/* ---- writer ---- */

struct CodecWriter {
    Codec codec;
    int fd;
    unsigned char *out;  // compressed bytes waiting for the descriptor: out[0..used)
    size_t used;
    bool failed;         // a codec error or a failed write; every later call fails
    bool finished;       // the stream's end is written
    z_stream z;
    bool z_live;         // z holds an encoder deflateEnd must release
    ZSTD_CCtx *zstd;
    lzma_stream xz;      // all zero is liblzma's initial state, and lzma_end accepts it
    bz_stream bz;
    bool bz_live;
};

namespace {

enum class Put { more, end, fail };

// Each encoder: start sets it up at the codec's default level; put takes what it can
// of in[0..*n) (moving in and n on) into out[used..kOutBytes); with finish (and no
// input) it ends the stream and says end once all of it is in out.
struct EncoderOps {
    bool (*start)(CodecWriter *w);
    Put (*put)(CodecWriter *w, const unsigned char **in, size_t *n, bool finish);
    void (*release)(CodecWriter *w);
};

// Window bits 15 + 16: zlib wraps the deflate data in a gzip header and trailer.
bool gz_start(CodecWriter *w) {
    w->z_live = deflateInit2(&w->z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return w->z_live;
}

/* zlib, libbz2 and liblzma streams have the same shape: point one at the
 * input and at the free output, run one step, see how far both moved. */
template <typename Stream, typename Step>
auto pump(CodecWriter *w, Stream &s, const unsigned char **in, size_t *n, Step step) {
    size_t give = least(*n, kSpanMax);
    s.next_in = reinterpret_cast<decltype(s.next_in)>(const_cast<unsigned char *>(*in));
    s.avail_in = static_cast<decltype(s.avail_in)>(give);
    s.next_out = reinterpret_cast<decltype(s.next_out)>(w->out + w->used);
    s.avail_out = static_cast<decltype(s.avail_out)>(kOutBytes - w->used);
    auto rc = step();
    *in += give - s.avail_in;
    *n -= give - s.avail_in;
    w->used = kOutBytes - s.avail_out;
    return rc;
}

Put gz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    // Z_BUF_ERROR only says nothing could move; pump decides whether that is a fault.
    int rc = pump(w, w->z, in, n, [&] { return deflate(&w->z, finish ? Z_FINISH : Z_NO_FLUSH); });
    if (rc == Z_STREAM_END) return Put::end;
    return rc == Z_OK || rc == Z_BUF_ERROR ? Put::more : Put::fail;
}

void gz_release(CodecWriter *w) {
    if (w->z_live) deflateEnd(&w->z);
}

// Level 3 with the content checksum, as the zstd tool writes by default; the checksum
// costs about 2 per cent of the time.
constexpr int kZstdLevel = ZSTD_CLEVEL_DEFAULT;

bool zstd_wstart(CodecWriter *w) {
    w->zstd = ZSTD_createCCtx();
    if (!w->zstd || ZSTD_isError(ZSTD_CCtx_setParameter(w->zstd, ZSTD_c_compressionLevel, kZstdLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(w->zstd, ZSTD_c_checksumFlag, 1)))
        return false;
    // One worker thread compresses while the caller reads the next files, as a
    // zstd process beside tar would. A library built without threads says no,
    // and compresses in the caller's thread: the same stream, only slower.
    ZSTD_CCtx_setParameter(w->zstd, ZSTD_c_nbWorkers, 1);
    return true;
}

Put zstd_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    ZSTD_inBuffer src = {*in, *n, 0};
    ZSTD_outBuffer dst = {w->out + w->used, kOutBytes - w->used, 0};
    size_t rc = ZSTD_compressStream2(w->zstd, &dst, &src, finish ? ZSTD_e_end : ZSTD_e_continue);
    *in += src.pos;
    *n -= src.pos;
    w->used += dst.pos;
    if (ZSTD_isError(rc)) return Put::fail;
    return finish && rc == 0 ? Put::end : Put::more;
}

void zstd_wrelease(CodecWriter *w) { ZSTD_freeCCtx(w->zstd); }

// Preset 6 with CRC64, as the xz tool writes by default.
bool xz_wstart(CodecWriter *w) { return lzma_easy_encoder(&w->xz, 6, LZMA_CHECK_CRC64) == LZMA_OK; }

Put xz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    lzma_ret rc = pump(w, w->xz, in, n, [&] { return lzma_code(&w->xz, finish ? LZMA_FINISH : LZMA_RUN); });
    if (rc == LZMA_STREAM_END) return Put::end;
    return rc == LZMA_OK || rc == LZMA_BUF_ERROR ? Put::more : Put::fail;
}

void xz_wrelease(CodecWriter *w) { lzma_end(&w->xz); }

// Block size 9 (900 kB), as the bzip2 tool writes by default.
bool bz_wstart(CodecWriter *w) {
    w->bz_live = BZ2_bzCompressInit(&w->bz, 9, 0, 0) == BZ_OK;
    return w->bz_live;
}

Put bz_put(CodecWriter *w, const unsigned char **in, size_t *n, bool finish) {
    int rc = pump(w, w->bz, in, n, [&] { return BZ2_bzCompress(&w->bz, finish ? BZ_FINISH : BZ_RUN); });
    if (rc == BZ_STREAM_END) return Put::end;
    return rc == BZ_RUN_OK || rc == BZ_FINISH_OK ? Put::more : Put::fail;
}

void bz_wrelease(CodecWriter *w) {
    if (w->bz_live) BZ2_bzCompressEnd(&w->bz);
}

// Indexed by Codec.
constexpr EncoderOps kEncoders[] = {
    {},
    {.start = gz_start, .put = gz_put, .release = gz_release},
    {.start = zstd_wstart, .put = zstd_put, .release = zstd_wrelease},
    {.start = xz_wstart, .put = xz_put, .release = xz_wrelease},
    {.start = bz_wstart, .put = bz_put, .release = bz_wrelease},
};

// Writes out[0..used) in one write. A short write is a failure, as it is for the block
// layer's records: on a tape it means the end of the medium.
bool drain(CodecWriter *w) {
    if (w->used == 0) return true;
    ssize_t put;
    do put = write(w->fd, w->out, w->used);
    while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(w->used)) return false;
    w->used = 0;
    return true;
}

// Runs the encoder until it has taken all of in[0..n) and holds no output back for want
// of room (with finish: until the stream's end is written), writing out each full buffer.
bool pump(CodecWriter *w, const unsigned char *in, size_t n, bool finish) {
    if (!w || w->failed || w->finished) return false;
    const EncoderOps &ops = kEncoders[index_of(w->codec)];
    for (;;) {
        if (w->used == kOutBytes && !drain(w)) break;
        size_t was_n = n, was_used = w->used;
        Put put = ops.put(w, &in, &n, finish);
        if (put == Put::fail) break;
        if (put == Put::end) {
            w->finished = true;
            if (drain(w)) return true;
            break;
        }
        if (!finish && n == 0 && w->used < kOutBytes) return true;
        if (n == was_n && w->used == was_used) break;  // room and nothing moved: never ends
    }
    w->failed = true;
    return false;
}

}  // namespace

CodecWriter *codec_writer_open(Codec c, int fd) {
    if (!is_codec(c)) return nullptr;
    auto *w = static_cast<CodecWriter *>(calloc(1, sizeof(CodecWriter)));
    if (!w) return nullptr;
    w->codec = c;
    w->fd = fd;
    w->out = static_cast<unsigned char *>(malloc(kOutBytes));
    if (!w->out || !kEncoders[index_of(c)].start(w)) {
        codec_writer_close(w);
        return nullptr;
    }
    return w;
}

bool codec_write(CodecWriter *w, const void *buf, size_t len) {
    if (len == 0) return w && !w->failed && !w->finished;
    if (!buf) return false;
    return pump(w, static_cast<const unsigned char *>(buf), len, false);
}

bool codec_finish(CodecWriter *w) { return pump(w, nullptr, 0, true); }

void codec_writer_close(CodecWriter *w) {
    if (!w) return;
    kEncoders[index_of(w->codec)].release(w);
    free(w->out);
    free(w);
}
