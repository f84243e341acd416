/* seek.cpp - places in a gzip stream to start decoding from: a reader that
 * records one about every half megabyte of output as it goes (where a deflate
 * block ends: the bit there and the 32 KiB of output before it), and a reader
 * that starts at one of them. zlib's inflate, which can stop at block ends;
 * the points belong to the member index, which keeps them between calls. */
#define ZLIB_CONST
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace {

constexpr size_t kWindow = 32768;          /* the most a deflate back-reference reaches */
constexpr int64_t kSpacing = int64_t{1} << 19;
constexpr size_t kInBytes = 256 * 1024;

/* A point: where decoding can start again. At a member's start its gzip
 * header is read again; elsewhere `bits` of the byte before `in` still belong
 * to the next block, and the window (kept deflated) is its history. */
struct Point {
    int64_t in, out;
    int bits;
    bool member;
    unsigned char *window;
    uLong window_len, window_raw;
};

}  // namespace

struct GzPoints {
    Point *points = nullptr;
    size_t count = 0, cap = 0, bytes = 0;
};

struct GzReader {
    int fd;
    z_stream z;
    bool live;
    unsigned char in[kInBytes];
    int64_t in_at;                  /* file offset of in[0] */
    bool eof, ended, failed;
    bool raw;                       /* resumed inside a member: no gzip wrapper */
    const char *why;
    GzPoints *record;               /* filled as it goes; none when resuming */
    int64_t next_point;             /* output offset the next point waits for */
    unsigned char history[kWindow]; /* the last output, a ring */
    int64_t out;                    /* output so far: total, from the stream's start */
};

namespace {

void remember(GzReader *r, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t at = static_cast<size_t>((r->out + static_cast<int64_t>(i)) % kWindow);
        size_t take = n - i < kWindow - at ? n - i : kWindow - at;
        memcpy(r->history + at, p + i, take);
        i += take;
    }
    r->out += static_cast<int64_t>(n);
}

bool grow(GzPoints *g) {
    if (g->count < g->cap) return true;
    size_t cap = g->cap ? g->cap * 2 : 64;
    auto *p = static_cast<Point *>(realloc(g->points, cap * sizeof(Point)));
    if (!p) return false;
    g->points = p;
    g->cap = cap;
    return true;
}

/* A point here: the window is the output's last 32 KiB in order, deflated. */
void add_point(GzReader *r, int bits, bool member) {
    GzPoints *g = r->record;
    unsigned char raw[kWindow];
    size_t have = r->out < static_cast<int64_t>(kWindow) ? static_cast<size_t>(r->out) : kWindow;
    for (size_t i = 0; i < have; i++)
        raw[i] = r->history[static_cast<size_t>((r->out - static_cast<int64_t>(have) + static_cast<int64_t>(i)) % kWindow)];
    uLong len = compressBound(have);
    auto *w = static_cast<unsigned char *>(malloc(len));
    if (!w || compress2(w, &len, raw, have, 1) != Z_OK || !grow(g)) {
        free(w);
        r->record = nullptr;   // no more points: the index stays without them
        return;
    }
    int64_t in = r->in_at + static_cast<int64_t>(r->z.next_in - r->in);
    g->points[g->count++] = {in, r->out, bits, member, w, len, have};
    g->bytes += sizeof(Point) + len;
    r->next_point = r->out + kSpacing;
}

bool fill(GzReader *r) {
    if (r->z.avail_in > 0 || r->eof) return true;
    r->in_at += static_cast<int64_t>(r->z.next_in - r->in);
    ssize_t got;
    while ((got = read(r->fd, r->in, sizeof r->in)) < 0 && errno == EINTR) continue;
    if (got < 0) {
        r->why = "read error";
        return false;
    }
    r->eof = got == 0;
    r->z.next_in = r->in;
    r->z.avail_in = static_cast<uInt>(got);
    return true;
}

/* After a member: zero padding is passed, another member goes on, anything
 * else ends the data as the codec reader ends it. */
bool next_member(GzReader *r) {
    for (;;) {
        if (!fill(r)) return false;
        while (r->z.avail_in > 0 && *r->z.next_in == 0) r->z.next_in++, r->z.avail_in--;
        if (r->z.avail_in > 0 || r->eof) break;
    }
    if (r->z.avail_in == 0 || *r->z.next_in != 0x1f) {
        r->ended = true;
        return true;
    }
    if (r->record) add_point(r, 0, true);
    return inflateReset2(&r->z, 31) == Z_OK;
}

/* The trailer after a member resumed without its wrapper. */
bool skip_trailer(GzReader *r) {
    for (int need = 8; need > 0;) {
        if (!fill(r)) return false;
        if (r->z.avail_in == 0) {
            r->why = "unexpected end of data";
            return false;
        }
        uInt take = r->z.avail_in < static_cast<uInt>(need) ? r->z.avail_in : static_cast<uInt>(need);
        r->z.next_in += take;
        r->z.avail_in -= take;
        need -= static_cast<int>(take);
    }
    return true;
}

GzReader *open_reader(int fd, int64_t at) {
    auto *r = static_cast<GzReader *>(calloc(1, sizeof(GzReader)));
    if (!r) return nullptr;
    r->fd = fd;
    r->why = "";
    r->in_at = at;
    r->z.next_in = r->in;
    if (lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) {
        free(r);
        return nullptr;
    }
    return r;
}

}  // namespace

GzPoints *gz_points_new(void) { return static_cast<GzPoints *>(calloc(1, sizeof(GzPoints))); }

void gz_points_free(GzPoints *g) {
    if (!g) return;
    for (size_t i = 0; i < g->count; i++) free(g->points[i].window);
    free(g->points);
    free(g);
}

size_t gz_points_bytes(const GzPoints *g) { return g ? g->bytes : 0; }

GzReader *gz_open_recording(int fd, GzPoints *record) {
    GzReader *r = open_reader(fd, 0);
    if (!r) return nullptr;
    r->record = record;
    r->live = inflateInit2(&r->z, 31) == Z_OK;
    if (!r->live) {
        gz_close(r);
        return nullptr;
    }
    if (record) add_point(r, 0, true);
    return r;
}

GzReader *gz_open_at(int fd, const GzPoints *g, int64_t out, int64_t *from) {
    size_t i = 0;
    while (i + 1 < g->count && g->points[i + 1].out <= out) i++;
    if (g->count == 0 || g->points[i].out > out) return nullptr;
    const Point &p = g->points[i];
    GzReader *r = open_reader(fd, p.in - (p.bits ? 1 : 0));
    if (!r) return nullptr;
    r->out = p.out;
    *from = p.out;
    r->raw = !p.member;
    r->live = inflateInit2(&r->z, p.member ? 31 : -15) == Z_OK;
    bool ok = r->live;
    if (ok && p.bits) {
        ok = fill(r) && r->z.avail_in > 0;
        if (ok) {
            int byte = *r->z.next_in++;
            r->z.avail_in--;
            ok = inflatePrime(&r->z, p.bits, byte >> (8 - p.bits)) == Z_OK;
        }
    }
    // Inside a member the next block may reach back into the window.
    if (ok && !p.member) {
        unsigned char raw[kWindow];
        uLongf have = p.window_raw;
        ok = uncompress(raw, &have, p.window, p.window_len) == Z_OK &&
             inflateSetDictionary(&r->z, raw, static_cast<uInt>(have)) == Z_OK;
    }
    if (!ok) {
        gz_close(r);
        return nullptr;
    }
    return r;
}

long gz_read(GzReader *r, void *buf, size_t len) {
    if (r->failed) return -1;
    auto *out = static_cast<unsigned char *>(buf);
    size_t done = 0;
    while (done < len && !r->ended) {
        if (!fill(r)) break;
        if (r->z.avail_in == 0 && r->eof) {
            r->why = "unexpected end of data";
            break;
        }
        r->z.next_out = out + done;
        r->z.avail_out = static_cast<uInt>(len - done);
        // Recording stops at every block's end, to see where points may go.
        int rc = inflate(&r->z, r->record ? Z_BLOCK : Z_NO_FLUSH);
        size_t made = len - done - r->z.avail_out;
        if (r->record) remember(r, out + done, made);
        else r->out += static_cast<int64_t>(made);
        done += made;
        if (rc == Z_STREAM_END) {
            // A member resumed without its wrapper has its trailer still to pass.
            if ((r->raw && !skip_trailer(r)) || !next_member(r)) break;
            r->raw = false;
            continue;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            r->why = r->z.msg ? r->z.msg : "corrupt data";
            break;
        }
        bool block_end = (r->z.data_type & 128) && !(r->z.data_type & 64);
        if (r->record && block_end && r->out >= r->next_point) add_point(r, r->z.data_type & 7, false);
    }
    if (done < len && !r->ended) {
        r->failed = true;
        return -1;
    }
    return static_cast<long>(done);
}

const char *gz_error(const GzReader *r) { return r->why; }

void gz_close(GzReader *r) {
    if (!r) return;
    if (r->live) inflateEnd(&r->z);
    free(r);
}
