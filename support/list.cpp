/* STUB: replaced by the list implementation. */
#include "orv.h"
extern "C" {
OrvList *OrvList_CreateList(void) { return nullptr; }
int OrvList_GetCount(OrvList *) { return -1; }
int OrvList_AddTail(OrvList *, void *) { return -1; }
int OrvList_AddHead(OrvList *, void *) { return -1; }
void *OrvList_RemoveTail(OrvList *) { return nullptr; }
void *OrvList_RemoveHead(OrvList *) { return nullptr; }
void *OrvList_RemoveIndex(OrvList *, int) { return nullptr; }
void *OrvList_ViewData(OrvList *, int) { return nullptr; }
void OrvList_DestroyList(OrvList *) {}
int OrvList_DoForEach(OrvList *, OrvListCallback) { return 0; }
}
