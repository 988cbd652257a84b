/* The configuration manager's device tree. A DEVINST stays bound to its node:
   after a change has taken a node out of the tree, the calls that ask the tree
   about it (where it hangs, its state) answer CR_NO_SUCH_DEVINST, while its
   device ID (the configuration manager keeps it with the handle) and its
   registry properties (its key stays, as for any device not present) are still
   read. */
#include "platform/model/inside.h"

#define PROPERTY_DEVICEDESC 0x01u
#define PROPERTY_HARDWAREID 0x02u
#define PROPERTY_SERVICE 0x05u
#define PROPERTY_DRIVER 0x0Au
#define PROPERTY_INSTALL_STATE 0x23u
#define REG_SZ 1u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define PROBLEM_REINSTALL 18u
#define PROBLEM_FAILED_INSTALL 28u

#define LOCATE_PHANTOM 0x01u
#define LOCATE_FLAGS 0x07u     /* PHANTOM, CANCELREMOVE, NOVALIDATION */
#define LONGEST_DEVICE_ID 199u /* MAX_DEVICE_ID_LEN 200, terminator included */

/* The largest property number a version knows (the SDK's CM_DRP_ list grew
   with the versions): 0x1E up to Windows 2000, 0x23 on XP, 0x24
   (CM_DRP_LOCATION_PATHS) on Server 2003 and Vista, 0x25
   (CM_DRP_BASE_CONTAINERID) from Windows 7 on. 4, 6 and 7 are unused. */
static int known_property(const struct qvm_header *h, uint32_t property) {
    const uint32_t version = h->major << 8 | h->minor;
    const uint32_t largest = version < 0x501   ? 0x1E
                             : version < 0x502 ? 0x23
                             : version < 0x601 ? 0x24
                                               : 0x25;
    return property >= 1 && property <= largest && property != 4 && property != 6 && property != 7;
}

/* The node a DEVINST stands for: one that has been in the tree. */
static const struct qvm_node *asked(const struct qvm_view *v, const struct work *w,
                                    const struct qvm_request *r, struct qvm_answer *a) {
    if (r->node == 0 || r->node > v->head->nodes || LINK(w, r->node - 1, PRESENCE) == NEVER) {
        refuse(a, CR_INVALID_DEVNODE, "not a device node");
        return NULL;
    }
    return &v->nodes[r->node - 1];
}

/* A device instance ID: three parts, none empty, between two backslashes. */
static int well_formed(const char *id) {
    uint32_t separators = 0, part = 0, length = 0;
    for (; id[length] != '\0'; ++length) {
        if (id[length] != '\\') {
            ++part;
        } else if (part == 0) {
            return 0;
        } else {
            ++separators;
            part = 0;
        }
    }
    return separators == 2 && part > 0 && length <= LONGEST_DEVICE_ID;
}

static void locate(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                   struct qvm_answer *a) {
    const char *id = r->text != NULL ? r->text : "";
    if ((r->code & ~LOCATE_FLAGS) != 0) {
        refuse(a, CR_INVALID_FLAG, "flags beyond CM_LOCATE_DEVNODE_BITS");
        return;
    }
    const struct qvm_fault *f = take_fault(v, w, r->call, 0, id, 0, 0);
    if (f != NULL && f->action == QVM_FAIL) {
        a->error = f->error != 0 ? f->error : CR_FAILURE;
    } else if (*id == '\0') {
        a->node = 1;               /* the root */
    } else if (!well_formed(id)) { /* CR_INVALID_DEVINST, as ReactOS's validation answers */
        a->error = CR_INVALID_DEVNODE;
    } else { /* device IDs compare without regard to the case of ASCII letters */
        a->error = CR_NO_SUCH_DEVNODE;
        for (uint32_t n = 0; n < v->head->nodes && a->node == 0; ++n) {
            const uint32_t presence = LINK(w, n, PRESENCE);
            if ((presence == PRESENT || (presence == GONE && (r->code & LOCATE_PHANTOM))) &&
                text_order(qvm_text(v, v->nodes[n].device_id), id, 1) == 0) {
                a->node = n + 1;
                a->error = 0;
            }
        }
    }
}

/* CM_DRP_INSTALL_STATE, on every version that knows it (XP on): a REG_DWORD,
   CM_INSTALL_STATE_NEEDS_REINSTALL (1) for a node with problem 18,
   _FAILED_INSTALL (2) for one with problem 28, _INSTALLED (0) for the others. */
static void install_state(const struct qvm_request *r, struct qvm_answer *a,
                          const struct qvm_node *n) {
    const uint32_t state = n->problem == PROBLEM_REINSTALL        ? 1u
                           : n->problem == PROBLEM_FAILED_INSTALL ? 2u
                                                                  : 0u;
    a->length = sizeof state;
    if (r->out_size < sizeof state) {
        a->error = CR_BUFFER_SMALL;
        return;
    }
    deliver(r, 0, &state, sizeof state);
    a->data_type = REG_DWORD;
}

/* A property's data: a text with its terminator, or a list whose texts each
   end with one, then one more; the install state as a number. */
static void property_data(const struct qvm_view *v, const struct qvm_request *r,
                          struct qvm_answer *a, const struct qvm_node *n) {
    const uint32_t p = r->code;
    if (p == PROPERTY_INSTALL_STATE) {
        install_state(r, a, n);
        return;
    }
    const uint32_t at = p == PROPERTY_DRIVER       ? n->driver_key
                        : p == PROPERTY_DEVICEDESC ? n->description
                        : p == PROPERTY_SERVICE    ? n->service
                        : p == PROPERTY_HARDWAREID ? n->hardware_ids
                                                   : QVM_NONE;
    if (at == QVM_NONE) {
        a->error = CR_NO_SUCH_VALUE;
        return;
    }
    uint32_t length = 0;
    do {
        length += text_bytes(v, at + length, 1) + 1;
    } while (p == PROPERTY_HARDWAREID && at + length < v->head->pool && v->pool[at + length] != 0);
    length += p == PROPERTY_HARDWAREID;
    a->length = length;
    if (r->out_size < length) {
        a->error = CR_BUFFER_SMALL;
        return;
    }
    deliver(r, 0, v->pool + at, length);
    a->data_type = p == PROPERTY_HARDWAREID ? REG_MULTI_SZ : REG_SZ;
}

/* An ID that exactly fills the buffer is delivered without its terminator and
   counts as success; a longer one fills the buffer and counts as too long. */
static void device_id(const struct qvm_view *v, const struct qvm_request *r, struct qvm_answer *a,
                      const struct qvm_node *n) {
    const uint32_t length = text_bytes(v, n->device_id, 1);
    const uint32_t room = r->out_size;
    deliver(r, 0, v->pool + n->device_id, length < room ? length + 1 : room);
    a->error = length > room ? CR_BUFFER_SMALL : 0;
}

/* CM_Open_DevNode_Key for the node's software key: there where the node has a
   driver key (the key's name), CR_NO_SUCH_REGISTRY_KEY where not, as an
   existing key is asked for; the key stays with a node taken away. */
static void software_key(const struct qvm_request *r, struct qvm_answer *a,
                         const struct qvm_node *n) {
    if (n->software_key_error != 0) {
        a->error = n->software_key_error;
    } else if (n->driver_key == QVM_NONE) {
        a->error = CR_NO_SUCH_REGISTRY_KEY;
    } else {
        a->node = r->node;
    }
}

/* RegQueryValueExA on a software key: a value is REG_SZ, its size with the
   terminator; no buffer asks the size alone, a short one answers
   ERROR_MORE_DATA with the size; the failing value fails with its error. Value
   names compare without regard to case. */
static void key_value(const struct qvm_view *v, const struct qvm_request *r, struct qvm_answer *a,
                      const struct qvm_node *n) {
    const char *name = r->text != NULL ? r->text : "";
    uint32_t at = n->driver_values;
    a->error = E_FILE_NOT_FOUND;
    if (n->failing_value != QVM_NONE && text_order(qvm_text(v, n->failing_value), name, 1) == 0) {
        a->error = n->value_error;
        return;
    }
    while (at != QVM_NONE && at < v->head->pool && v->pool[at] != 0) {
        const uint32_t value = at + text_bytes(v, at, 1) + 1;
        const uint32_t length = text_bytes(v, value, 1) + 1;
        if (text_order(qvm_text(v, at), name, 1) == 0) {
            a->error = r->out != NULL && r->out_size < length ? E_MORE_DATA : 0;
            a->length = length;
            a->data_type = REG_SZ;
            if (a->error == 0) {
                deliver(r, 0, v->pool + value, length);
            }
            return;
        }
        at = value + length;
    }
}

static void tree_relative(const struct work *w, const struct qvm_request *r, struct qvm_answer *a) {
    const uint32_t node = r->node - 1;
    const uint32_t which = r->call == QVM_GET_CHILD     ? CHILD
                           : r->call == QVM_GET_SIBLING ? SIBLING
                                                        : PARENT;
    if (LINK(w, node, PRESENCE) != PRESENT || LINK(w, node, which) == QVM_NONE) {
        a->error = CR_NO_SUCH_DEVNODE;
    } else {
        a->node = LINK(w, node, which) + 1;
    }
}

void answer_tree(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                 struct qvm_answer *a) {
    if (r->call == QVM_LOCATE_DEVNODE) {
        locate(v, w, r, a);
        return;
    }
    if (r->call == QVM_GET_PROPERTY && !known_property(v->head, r->code)) {
        a->error = CR_INVALID_PROPERTY;
        return;
    }
    const struct qvm_node *n = asked(v, w, r, a);
    if (n == NULL) {
        return;
    }
    const struct qvm_fault *f = take_fault(v, w, r->call, 0, qvm_text(v, n->device_id), 0, 0);
    const int present = LINK(w, r->node - 1, PRESENCE) == PRESENT;
    if (f != NULL && f->action == QVM_FAIL) {
        a->error = f->error != 0 ? f->error : CR_FAILURE;
    } else if (f != NULL && f->action == QVM_RAW_REPLY &&
               (r->call == QVM_GET_PROPERTY || r->call == QVM_GET_DEVICE_ID)) {
        a->length = deliver(r, 0, v->pool + f->reply, f->reply_length);
    } else if (r->call == QVM_GET_PROPERTY) {
        property_data(v, r, a, n);
    } else if (r->call == QVM_GET_DEVICE_ID) {
        device_id(v, r, a, n);
    } else if (r->call == QVM_OPEN_DEVNODE_KEY) {
        software_key(r, a, n);
    } else if (r->call == QVM_QUERY_VALUE) {
        key_value(v, r, a, n);
    } else if (r->call == QVM_GET_STATUS && !present) {
        a->error = CR_NO_SUCH_DEVNODE;
    } else if (r->call == QVM_GET_STATUS && n->status_error != 0) {
        a->error = n->status_error;
    } else if (r->call == QVM_GET_STATUS) {
        a->status = n->status;
        a->problem = n->problem;
    } else {
        tree_relative(w, r, a);
    }
}
