// The scan module's one list: circular and doubly linked, through a pair of links
// that each record on it carries. The list itself is a bare pair of links, its
// head, linked to itself both ways while the list is empty, so that a static
// initialiser makes an empty list. A record is found again from its link by the
// link's offset within it; a head is never read as a record.
#pragma once

#include <cstddef>

struct list_link {
    list_link *next;
    list_link *prev;
};

// Links `entry` in at the tail: after every record already on the list.
inline void list_add_tail(list_link *head, list_link *entry) {
    entry->next = head;
    entry->prev = head->prev;
    head->prev->next = entry;
    head->prev = entry;
}

// Unlinks `entry`: its neighbours, either of them possibly the head, are linked
// to each other.
inline void list_del(list_link *entry) {
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
}

inline bool list_empty(const list_link *head) {
    return head->next == head;
}

// The record of type T whose link member, at `link_offset` within it, is `link`.
template <typename T> T *list_entry(list_link *link, std::size_t link_offset) {
    return reinterpret_cast<T *>(reinterpret_cast<char *>(link) - link_offset);
}
