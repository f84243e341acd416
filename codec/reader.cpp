/* reader.cpp - decompressed bytes out of a descriptor, whatever the codec: the
 * signatures and the sniff, and the one decoding loop (each codec's decoder steps
 * in it) that also hands out places to resume from and starts at one. Holds no
 * process-wide state; allocates with malloc only, so the library keeps needing no
 * C++ runtime, and frees all of it on every path. */
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec_ops.h"

namespace {

// Large reads keep the system calls few against a decoder that runs at a gigabyte a
// second, and are never shorter than a tape's block, which a shorter read would cut.
constexpr size_t kInBytes = 256 * 1024;    // compressed bytes one read of the descriptor asks for
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

}  // namespace

/* ---- reader ---- */

namespace {

// Indexed by Codec.
const DecoderOps *const kDecoders[] = {nullptr, &kGzipDecoder, &kZstdDecoder, &kXzDecoder, &kBzip2Decoder};

const DecoderOps &decoder(Codec c) { return *kDecoders[index_of(c)]; }

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
    if (!decoder(r->codec).start(r)) fail(r, "out of memory");
}

// Lends the place between two steps to the mark, which tells where it wants the
// next one, if anywhere.
void mark_place(CodecReader *r) {
    CodecPlace place = {r->in_at + static_cast<int64_t>(r->pos), static_cast<int64_t>(r->made), nullptr, 0};
    place.state = decoder(r->codec).state(r, &place.len);
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

CodecReader *codec_reader_open(Codec c, int fd, const unsigned char *head, size_t nhead, int threads) {
    if (!is_codec(c) || (nhead > 0 && !head)) return nullptr;
    auto *r = static_cast<CodecReader *>(calloc(1, sizeof(CodecReader)));
    if (!r) return nullptr;
    r->codec = c;
    r->fd = fd;
    r->threads = threads;
    r->eof = fd < 0;
    struct stat st;
    r->file = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    r->why = "";
    // Sniffing has only the head, so its buffer is the head's size (and never 0 bytes).
    r->cap = fd < 0 ? nhead + 1 : (nhead > kInBytes ? nhead : kInBytes);
    r->in = static_cast<unsigned char *>(malloc(r->cap));
    if (!r->in || !decoder(c).start(r)) {
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
    const DecoderOps &ops = decoder(r->codec);
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
    if (!r || !decoder(r->codec).state || r->made > 0 || r->in_at + r->pos > 0) return false;
    r->mark = mark;
    r->mark_ctx = ctx;
    return true;
}

CodecReader *codec_reader_resume(Codec c, int fd, const CodecPlace *place) {
    if (!is_codec(c) || !decoder(c).resume || place->in < 0 || place->out < 0) return nullptr;
    if (lseek(fd, static_cast<off_t>(place->in), SEEK_SET) < 0) return nullptr;
    CodecReader *r = codec_reader_open(c, fd, nullptr, 0);
    if (!r) return nullptr;
    r->in_at = place->in;
    r->made = static_cast<uint64_t>(place->out);
    if (place->state && !decoder(c).resume(r, place->state, place->len)) {
        codec_reader_close(r);
        return nullptr;
    }
    return r;
}

void codec_reader_close(CodecReader *r) {
    if (!r) return;
    decoder(r->codec).release(r);
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
