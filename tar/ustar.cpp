/* ustar.cpp - starting a member's header in the output buffer: the classic
 * header of newhead, or under -POSIX a standard ustar header, behind a pax
 * header exactly when a name, the size, an id or the time does not fit its
 * field. Reads st; writes through steptape like newhead. */
#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "../tape/tape.h"
#include "posix.h"
#include "tar.h"

namespace {

constexpr int64_t kOctal11 = (int64_t{1} << 33) - 1;  /* largest size or time in 11 */
constexpr char kPaxName[] = "././@PaxHeader";

/* The owner and group names of the last ids looked up: a tree's files mostly
 * share them, and each lookup may read the whole user database. */
struct OwnerNames {
    int64_t uid = -1, gid = -1;
    char user[kOwnerNameLen] = {}, group[kOwnerNameLen] = {};
};
OwnerNames g_names;

/* One cached lookup: the name of the id, or "" when the database has none. */
template <typename Rec, typename Id, typename Lookup>
void look_up(int64_t *cached, char *name, Id id, Lookup lookup, char *Rec::*field) {
    if (*cached == static_cast<int64_t>(id)) return;
    char buf[4096];
    Rec rec, *found = nullptr;
    *cached = id;
    name[0] = '\0';
    if (lookup(id, &rec, buf, sizeof buf, &found) == 0 && found) z9_copy(name, kOwnerNameLen, found->*field);
}

void look_up_names(uid_t uid, gid_t gid) {
    look_up(&g_names.uid, g_names.user, uid, getpwuid_r, &passwd::pw_name);
    look_up(&g_names.gid, g_names.group, gid, getgrgid_r, &group::gr_name);
}

/* A numeric field: the value when it fits, else 0 and a pax record. */
void number(unsigned char *b, int off, int len, int64_t value, const char *key, char *recs, size_t *n,
            size_t room) {
    if (put_ustar_octal({b + off, static_cast<size_t>(len)}, value)) return;
    put_ustar_octal({b + off, static_cast<size_t>(len)}, 0);
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    *n += pax_record(recs + *n, room - *n, key, text);
}

/* The fields every ustar header has. */
void ustar_fields(unsigned char *b, int type, int64_t mtime) {
    put_ustar_octal({b + kModeOff, kModeLen}, st.st_mode & 07777);
    b[kTypeOff] = static_cast<unsigned char>(type);
    memcpy(b + kMagicOff, "ustar\0" "00", 8);
    int64_t t = mtime < 0 ? 0 : mtime > kOctal11 ? kOctal11 : mtime;
    put_ustar_octal({b + kMtimeOff, kMtimeLen}, t);
}

/* Name and link fields: whole, split at a '/' into prefix and name, or cut
 * with a pax record holding all of it. */
void names(unsigned char *b, const char *name, const char *link, char *recs, size_t *n, size_t room) {
    size_t len = strlen(name);
    int split = ustar_split(name);
    if (split >= 0) {
        memcpy(b + kPrefixOff, name, static_cast<size_t>(split));
        memcpy(b + kNameOff, name + split + 1, len - static_cast<size_t>(split) - 1);
    } else {
        memcpy(b + kNameOff, name, len < kNameLen ? len : kNameLen);
        if (len > kNameLen) *n += pax_record(recs + *n, room - *n, "path", name);
    }
    if (!link) return;
    size_t llen = strlen(link);
    memcpy(b + kLinkOff, link, llen < kLinkLen ? llen : kLinkLen);
    if (llen > kLinkLen) *n += pax_record(recs + *n, room - *n, "linkpath", link);
}

/* The pax header and its records, before the member's own header. */
bool put_pax(const char *recs, size_t n) {
    unsigned char *b = steptape();
    if (!b) return false;
    nullblock(b);
    memcpy(b + kNameOff, kPaxName, sizeof kPaxName - 1);
    put_ustar_octal({b + kUidOff, kUidLen}, 0);
    put_ustar_octal({b + kGidOff, kGidLen}, 0);
    put_ustar_octal({b + kSizeOff, kSizeLen}, static_cast<int64_t>(n));
    ustar_fields(b, kTypePaxLocal, st.st_mtime);
    put_ustar_octal({b + kModeOff, kModeLen}, 0644);
    sealhead(b);
    for (size_t at = 0; at < n; at += kBlockSize) {
        unsigned char *d = steptape();
        if (!d) return false;
        nullblock(d);
        memcpy(d, recs + at, n - at < kBlockSize ? n - at : kBlockSize);
    }
    return true;
}

bool posix_head(const char *name, int64_t size, int type, const char *link) {
    // The member's header is built aside first: whether a pax header must
    // go before it is known only when every field has been tried.
    unsigned char head[kBlockSize] = {};
    char recs[2 * kLongNameMax + 256];
    size_t n = 0, room = sizeof recs;
    names(head, name, link, recs, &n, room);
    number(head, kUidOff, kUidLen, st.st_uid, "uid", recs, &n, room);
    number(head, kGidOff, kGidLen, st.st_gid, "gid", recs, &n, room);
    number(head, kSizeOff, kSizeLen, type == kTypeLink ? 0 : size, "size", recs, &n, room);
    int64_t mtime = st.st_mtime;
    if (mtime < 0 || mtime > kOctal11) {
        char text[40];
        struct timespec t = {st.st_mtime, 0};
        pax_time(text, sizeof text, t);
        n += pax_record(recs + n, room - n, "mtime", text);
    }
    ustar_fields(head, type == kTypeRegOld ? kTypeReg : type, mtime);
    look_up_names(st.st_uid, st.st_gid);
    memcpy(head + kUnameOff, g_names.user, strnlen(g_names.user, kOwnerNameLen - 1));
    memcpy(head + kGnameOff, g_names.group, strnlen(g_names.group, kOwnerNameLen - 1));
    if (device_type(type)) {
        put_ustar_octal({head + kDevMajorOff, kDevLen}, major(st.st_rdev));
        put_ustar_octal({head + kDevMinorOff, kDevLen}, minor(st.st_rdev));
    }
    if (n > 0 && !put_pax(recs, n)) return false;
    unsigned char *b = steptape();
    if (!b) return false;
    memcpy(b, head, kBlockSize);
    hblock = b;
    return true;
}

}  // namespace

bool puthead(const char *name, int64_t size, int type, const char *link) {
    if (posix_flag) return posix_head(name, size, type, link);
    if (!newhead(name, size)) return false;
    if (type != kTypeRegOld) hblock[kTypeOff] = static_cast<unsigned char>(type);
    if (link) memcpy(hblock + kLinkOff, link, strnlen(link, kLinkLen));
    if (device_type(type)) {
        // The classic split of the device number: major in bits 8-15, minor in 0-7.
        procts(hblock + kDevMajorOff, static_cast<short>((st.st_rdev >> 8) & 0xff), ' ');
        procts(hblock + kDevMinorOff, static_cast<short>(st.st_rdev & 0xff), ' ');
    }
    return true;
}

void sealhead(unsigned char *block) { put_checksum(block, posix_flag ? Format::ustar : Format::old); }

void names_release(void) { g_names = OwnerNames{}; }
