/* list.cpp - the doubly linked list of untyped data pointers (OrvList_*).
 * Owns only the list records and nodes it allocates; the data pointers belong
 * to the caller and are never freed or looked into. No process-wide state. */
#include <cstdlib>

#include "orv.h"

extern "C" {

OrvList *OrvList_CreateList(void) {
    // calloc gives head = tail = none and count = 0 in one step.
    return static_cast<OrvList *>(calloc(1, sizeof(OrvList)));
}

int OrvList_GetCount(OrvList *list) {
    return list ? list->count : -1;
}

static OrvListNode *new_node(void *data) {
    auto *node = static_cast<OrvListNode *>(calloc(1, sizeof(OrvListNode)));
    if (node) node->data = data;
    return node;
}

int OrvList_AddTail(OrvList *list, void *data) {
    if (!list) return -1;
    OrvListNode *node = new_node(data);
    if (!node) return -1;
    if (list->count == 0) {
        list->head = list->tail = node;
    } else {
        node->prev = list->tail;
        list->tail->next = node;
        list->tail = node;
    }
    return ++list->count;
}

int OrvList_AddHead(OrvList *list, void *data) {
    if (!list) return -1;
    OrvListNode *node = new_node(data);
    if (!node) return -1;
    if (list->count == 0) {
        list->head = list->tail = node;
    } else {
        node->next = list->head;
        list->head->prev = node;
        list->head = node;
    }
    return ++list->count;
}

void *OrvList_RemoveTail(OrvList *list) {
    if (!list || list->count < 1) return nullptr;
    OrvListNode *old = list->tail;
    void *data = old->data;
    if (list->count == 1) {
        list->head = list->tail = nullptr;
    } else {
        list->tail = old->prev;
        list->tail->next = nullptr;
    }
    free(old);
    list->count--;
    return data;
}

void *OrvList_RemoveHead(OrvList *list) {
    if (!list || list->count < 1) return nullptr;
    OrvListNode *old = list->head;
    void *data = old->data;
    if (list->count == 1) {
        list->head = list->tail = nullptr;
    } else {
        list->head = old->next;
        list->head->prev = nullptr;
    }
    free(old);
    list->count--;
    return data;
}

/* The node at a 0-based position, or none outside 0..count-1. Walks from the
 * head: positional access costs the position's number of steps. */
static OrvListNode *node_at(OrvList *list, int position) {
    if (!list || list->count < 1 || position < 0 || position > list->count - 1) return nullptr;
    OrvListNode *node = list->head;
    for (int i = 0; i < position; i++) node = node->next;
    return node;
}

void *OrvList_RemoveIndex(OrvList *list, int position) {
    OrvListNode *node = node_at(list, position);
    if (!node) return nullptr;
    // The ends keep head and tail right; an inner node has both neighbours.
    if (position == 0) return OrvList_RemoveHead(list);
    if (position == list->count - 1) return OrvList_RemoveTail(list);
    void *data = node->data;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    free(node);
    list->count--;
    return data;
}

void *OrvList_ViewData(OrvList *list, int position) {
    OrvListNode *node = node_at(list, position);
    return node ? node->data : nullptr;
}

void OrvList_DestroyList(OrvList *list) {
    if (!list) return;
    OrvListNode *node = list->head;
    while (node) {
        OrvListNode *next = node->next;
        free(node);
        node = next;
    }
    free(list);
}

int OrvList_DoForEach(OrvList *list, OrvListCallback callback) {
    // Callers must pass a list; refusing a null one is cheaper than a crash.
    if (!list || !callback) return 0;
    int calls = 0;
    for (OrvListNode *node = list->head; node;) {
        // The callback may free the data, so nothing of it is read afterwards.
        callback(node->data, calls);
        node = node->next;
        calls++;
    }
    return calls;
}

}  // extern "C"
