// utilList: a circular doubly linked list with a sentinel head; every node owns a copy of its
// bytes. The array view is built on demand and dropped whenever the nodes change.
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "util/util.h"

namespace {

void dropArray(UTIL_LIST* list) {
    std::free(list->array);
    list->array = nullptr;
}

}  // namespace

UTIL_LIST* utilCreateList(UTIL_LIST* list) {
    bool allocated = false;
    if (list == nullptr) {
        list = static_cast<UTIL_LIST*>(std::malloc(sizeof(UTIL_LIST)));
        if (list == nullptr) {
            platSetError(WSAENOBUFS);
            return nullptr;
        }
        allocated = true;
    }
    list->head.next = &list->head;
    list->head.prev = &list->head;
    list->head.data = nullptr;
    list->head.length = 0;
    list->count = 0;
    list->array = nullptr;
    list->allocated = allocated;
    return list;
}

bool utilAppendEntry(UTIL_LIST* list, const void* data, size_t length) {
    if (list == nullptr || (data == nullptr && length > 0)) {
        platSetError(WSAEINVAL);
        return false;
    }
    if (length == 0) return true;
    auto* node = static_cast<UTIL_LIST_NODE*>(std::malloc(sizeof(UTIL_LIST_NODE)));
    void* copy = std::malloc(length);
    if (node == nullptr || copy == nullptr) {
        std::free(node);
        std::free(copy);
        platSetError(WSAENOBUFS);
        return false;
    }
    std::memcpy(copy, data, length);
    node->data = copy;
    node->length = length;
    node->prev = list->head.prev;
    node->next = &list->head;
    list->head.prev->next = node;
    list->head.prev = node;
    ++list->count;
    dropArray(list);
    return true;
}

UTIL_LIST_NODE* utilFirstNode(UTIL_LIST* list) {
    if (list == nullptr || list->head.next == &list->head) return nullptr;
    return list->head.next;
}

UTIL_LIST_NODE* utilNextNode(UTIL_LIST* list, UTIL_LIST_NODE* node) {
    if (list == nullptr || node == nullptr || node->next == &list->head) return nullptr;
    return node->next;
}

bool utilRemoveNode(UTIL_LIST* list, UTIL_LIST_NODE* node) {
    if (list == nullptr || node == nullptr || node == &list->head) {
        platSetError(WSAEINVAL);
        return false;
    }
    node->prev->next = node->next;
    node->next->prev = node->prev;
    std::free(node->data);
    std::free(node);
    --list->count;
    dropArray(list);
    return true;
}

bool utilArrayifyList(UTIL_LIST* list) {
    if (list == nullptr) {
        platSetError(WSAEINVAL);
        return false;
    }
    dropArray(list);
    if (list->count == 0) return true;
    list->array = static_cast<void**>(std::malloc(size_t(list->count) * sizeof(void*)));
    if (list->array == nullptr) {
        platSetError(WSAENOBUFS);
        return false;
    }
    long i = 0;
    for (UTIL_LIST_NODE* node = utilFirstNode(list); node != nullptr;
         node = utilNextNode(list, node)) {
        list->array[i++] = node->data;
    }
    return true;
}

void utilDestroyList(UTIL_LIST* list) {
    if (list == nullptr) return;
    while (list->head.next != &list->head) utilRemoveNode(list, list->head.next);
    dropArray(list);
    if (list->allocated) std::free(list);
}
