/* What the model's files share: its error values, the parts of the caller's
   state, and the helpers every kind of call uses. */
#ifndef QUORVEX_PLATFORM_MODEL_INSIDE_H
#define QUORVEX_PLATFORM_MODEL_INSIDE_H

#include "platform/model/model.h"

#include <stddef.h>
#include <string.h>

/* Win32 errors. */
#define E_INVALID_FUNCTION 1u
#define E_FILE_NOT_FOUND 2u
#define E_NOT_ENOUGH_MEMORY 8u
#define E_INVALID_PARAMETER 87u
#define E_MORE_DATA 234u
#define E_INSUFFICIENT_BUFFER 122u
#define E_NO_MORE_ITEMS 259u
#define E_DEVICE_NOT_CONNECTED 1167u

/* CONFIGRET values. CR_NO_SUCH_DEVNODE is also CR_NO_SUCH_DEVINST. */
#define CR_INVALID_FLAG 0x04u
#define CR_INVALID_DEVNODE 0x05u
#define CR_NO_SUCH_DEVNODE 0x0Du
#define CR_FAILURE 0x13u
#define CR_BUFFER_SMALL 0x1Au
#define CR_NO_SUCH_VALUE 0x25u
#define CR_NO_SUCH_REGISTRY_KEY 0x2Eu
#define CR_INVALID_PROPERTY 0x35u

/* A node's presence: never in the tree, in it now, in it once and gone. */
enum { NEVER = 0, PRESENT = 1, GONE = 2 };

/* The caller's state, past its public record. */
struct work {
    struct qvm_state *head;
    uint32_t *opens;      /* per device: successful opens */
    uint32_t *applied;    /* per change */
    uint32_t *device_hub; /* per device: the hub that answers to it now, or QVM_NONE */
    uint32_t *hub_mark;   /* per hub: the topology it was last found in, plus one */
    uint32_t *slots;      /* per hub port: the port record on it, or QVM_NONE */
    uint32_t *links;      /* per node: parent, first child, next sibling, presence */
    uint32_t *hits;       /* per fault: matching calls */
};

enum { PARENT = 0, CHILD = 1, SIBLING = 2, PRESENCE = 3 };
#define LINK(w, node, which) ((w)->links[4 * (size_t)(node) + (which)])

struct work work_of(const struct qvm_view *v, struct qvm_state *state);

/* The fault planted for this call, if one is due; every matching fault counts it. */
const struct qvm_fault *take_fault(const struct qvm_view *v, struct work *w, uint32_t call,
                                   uint32_t code, const char *text, uint32_t port, uint64_t size);

/* Applies the changes that a time, an open or a call count makes due. */
void apply_changes(const struct qvm_view *v, struct work *w, uint32_t trigger, uint32_t counted,
                   uint64_t value);

/* The order of two texts, byte by byte, with ASCII letters lowered where `fold`. */
int text_order(const char *a, const char *b, int fold);

static inline uint32_t get32(const uint8_t *b) {
    return b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/* Bytes of an ANSI text, or of a UTF-16 one (terminator excluded). */
uint32_t text_bytes(const struct qvm_view *v, uint32_t offset, uint32_t unit);

/* A whole reply or text goes out as far as the caller's buffer holds it. */
uint32_t deliver(const struct qvm_request *r, uint32_t at, const void *bytes, uint32_t length);

static inline void refuse(struct qvm_answer *a, uint32_t error, const char *misuse) {
    a->error = error;
    a->misuse = misuse;
}

/* The answers, by kind of call. */
typedef void answer_fn(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                       struct qvm_answer *a);
answer_fn answer_open, answer_control, answer_interfaces, answer_tree;

#endif
