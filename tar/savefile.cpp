/* savefile.cpp - storing one regular file, or the host's buffer, whose status is
 * already in `st`: the update and archive-itself rules, the size limit, the
 * header, hard links through the link list, and the data blocks. Reads st, sa,
 * u_flag and file_flag; uses up timehead, fills linkhead. */
#include <fcntl.h>
#include <sys/stat.h>
#include <cstring>

#include "tar.h"
#include "../tape/tape.h"

namespace {

constexpr const char kModule[] = "savefile";
constexpr const char kFunc[] = "savefile";

/* Set once the lost-links note has been logged; never cleared, so a process
 * that keeps running short of memory is told only once. */
bool links_lost;

/* Update: a name the archive already holds at least as new is passed over.
 * The item is used up either way, so a later file of the same name in this
 * run is stored. */
bool archived_as_new(const char *path) {
    ITEM *insert;
    ITEM *item = finditem(path, &insert, timehead);
    if (!item) return false;
    int64_t archived = item->mtime;
    delitem(item, &timehead);
    return archived >= static_cast<int64_t>(st.st_mtime);
}

/* The archive's own file met in a walk: storing it would copy it into itself
 * while it grows. */
bool is_the_archive() {
    return S_ISREG(sa.st_mode) && st.st_dev == sa.st_dev && st.st_ino == sa.st_ino;
}

/* Closes the member's file on every way out of savefile. In memory mode
 * nothing was opened, and the memory close would only rewind. */
struct SourceGuard {
    int fd;
    ~SourceGuard() {
        if (file_flag) pclosefile(fd);
    }
};

/* The link list is ordered by inode, then device. Returns the item of this
 * file, or none with *insert at the last item that sorts below it. */
ITEM *find_link(ITEM **insert) {
    *insert = nullptr;
    for (ITEM *item = linkhead; item; item = item->next) {
        if (item->ino > st.st_ino || (item->ino == st.st_ino && item->dev >= st.st_dev))
            return item->ino == st.st_ino && item->dev == st.st_dev ? item : nullptr;
        *insert = item;
    }
    return nullptr;
}

/* A later name of a file stored earlier in this run: its header is a link
 * member naming the first, and the file's data are not written again. */
void link_member(const char *path, ITEM *item) {
    sealhead(hblock);
    Z9_LOG(kSevInfo, kFunc, "a %s link to %s", path, item->name);
    if (--item->links < 1) delitem(item, &linkhead);
}

/* The first name of a multiply-linked file: remembered so that its other
 * names become links. Without memory the file is simply stored in full. */
void remember_link(const char *path, ITEM *insert) {
    ITEM *item = additem(path, insert, &linkhead);
    if (!item) {
        if (!links_lost) Z9_LOG(kSevInfo, kFunc, "%s", "out of memory; link(s) lost\n");
        links_lost = true;
        return;
    }
    item->ino = st.st_ino;
    item->dev = st.st_dev;
    item->links = static_cast<int>(st.st_nlink) - 1;
}

/* The data blocks after the header. A source that ends early is padded with
 * zero blocks so that the archive still matches the header's size. */
[[nodiscard]] bool write_data(int fd, const char *path) {
    int64_t size = static_cast<int64_t>(st.st_size);
    long blocks = static_cast<long>(data_blocks(size));
    Z9_LOG(kSevInfo, kFunc, "a %s %ld blocks", path, blocks);
    // The checksum must be in place before writearch can write the record
    // holding the header out.
    sealhead(hblock);
    long done = writearch(fd, static_cast<uint64_t>(size), path);
    if (done == 0 && size > 0) return false;
    if (done < blocks) {
        Z9_LOG(kSevError, kFunc, "'%s' decreased size", path);
        for (; done < blocks; done++) {
            unsigned char *b = steptape();
            if (!b) return false;
            nullblock(b);
        }
    }
    return true;
}

}  // namespace

extern "C" int savefile(char *path, const char *name) {
    if (u_flag && archived_as_new(path)) return 1;
    if (is_the_archive()) return 1;
    // The size field holds eleven octal digits; a larger member would get a
    // header that lies about its size, so it is refused before any is written
    // (under -POSIX a pax record carries the size instead).
    if (!posix_flag && static_cast<long long>(st.st_size) > kMaxMemberSize) {
        z9_error(kModule, __LINE__, kFunc, "'%s' too large to archive (%lld bytes)", path,
                 static_cast<long long>(st.st_size));
        return 0;
    }
    okwork('a', ' ', &st, path);
    int fd = 0;
    if (file_flag) {
        fd = popenfile(path, O_RDONLY);
        if (fd < 0) {
            z9_error(kModule, __LINE__, kFunc, "Can't open file %s", path);
            return 0;
        }
    }
    SourceGuard source{fd};
    ITEM *insert = nullptr, *item = st.st_nlink > 1 ? find_link(&insert) : nullptr;
    const char *stored = file_flag && name ? name : path;
    if (!puthead(stored, static_cast<int64_t>(st.st_size), item ? kTypeLink : kTypeRegOld, item ? item->name : nullptr))
        return 0;
    if (item) {
        link_member(path, item);
        return 1;
    }
    if (st.st_nlink > 1) remember_link(path, insert);
    return write_data(fd, path) ? 1 : 0;
}
