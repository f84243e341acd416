/* items.cpp - the two bookkeeping lists of a run (the time list of update mode,
 * the link list of the store) and `_done`, which ends every host call by
 * releasing the lists, the archive's descriptors, a scratch file still open
 * and the record buffers. Owns timehead and linkhead. */
#include <unistd.h>
#include <cstdlib>
#include <cstring>

#include "tar.h"
#include "../tape/tape.h"

extern "C" {

ITEM *timehead;  /* names seen in the archive with their newest time; filled by uplist, used by savefile */
ITEM *linkhead;  /* multiply-linked files stored in this run; filled and used by savefile */

/* Walks the list while the name sorts after the node's; strcmp compares as
 * unsigned bytes, which is the order the list keeps. */
ITEM *finditem(const char *name, ITEM **insert, ITEM *head) {
    *insert = nullptr;
    ITEM *node = head;
    while (node && strcmp(name, node->name) > 0) {
        *insert = node;
        node = node->next;
    }
    return node && strcmp(name, node->name) == 0 ? node : nullptr;
}

/* One allocation holds the node and its name, so delitem frees both. */
ITEM *additem(const char *name, ITEM *insert, ITEM **head) {
    size_t len = strlen(name);
    auto *node = static_cast<ITEM *>(calloc(1, sizeof(ITEM) + len + 1));
    if (!node) return nullptr;
    node->name = reinterpret_cast<char *>(node + 1);
    memcpy(node->name, name, len + 1);
    if (insert) {
        node->prev = insert;
        node->next = insert->next;
        if (insert->next) insert->next->prev = node;
        insert->next = node;
    } else {
        node->next = *head;
        if (*head) (*head)->prev = node;
        *head = node;
    }
    return node;
}

void delitem(ITEM *node, ITEM **head) {
    if (node == *head) {
        *head = node->next;
        if (*head) (*head)->prev = nullptr;
    } else {
        if (node->prev) node->prev->next = node->next;
        if (node->next) node->next->prev = node->prev;
    }
    free(node);
}

}  // extern "C"

static void free_list(ITEM **head) {
    ITEM *node = *head;
    while (node) {
        ITEM *next = node->next;
        free(node);
        node = next;
    }
    *head = nullptr;
}

/* hwrite differs from handle only in a delete run, where it is the scratch
 * file: a scratch file still open here belongs to a run that did not finish,
 * so it is removed rather than left beside the archive. */
static void release_descriptors() {
    if (hwrite >= 0) {
        close(hwrite);
        if (hwrite != handle) {
            if (scratch) unlink(scratch);
        } else {
            handle = -1;
        }
        hwrite = -1;
    }
    if (handle >= 0) {
        close(handle);
        handle = -1;
    }
    free(scratch);
    scratch = nullptr;
}

extern "C" void _done(void) {
    free_list(&timehead);
    free_list(&linkhead);
    ext_release();
    symlinks_release();
    z9_release_codec();
    names_release();
    release_descriptors();
    if (io_2nd && io_2nd != io_buf) free(io_2nd);
    free(io_buf);
    io_buf = nullptr;
    io_2nd = nullptr;
}
