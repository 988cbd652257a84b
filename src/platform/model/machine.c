/* The machine model's state: the topology as changes leave it (which port is on
   each hub port, which hub answers to each name, how the device tree hangs
   together), and planted faults. */
#include "platform/model/inside.h"

struct work work_of(const struct qvm_view *v, struct qvm_state *state) {
    const struct qvm_header *h = v->head;
    struct work w;
    w.head = state;
    w.opens = (uint32_t *)(state + 1);
    w.applied = w.opens + h->devices;
    w.device_hub = w.applied + h->changes;
    w.hub_mark = w.device_hub + h->devices;
    w.slots = w.hub_mark + h->hubs;
    w.links = w.slots + h->slots;
    w.hits = w.links + 4 * (size_t)h->nodes;
    return w;
}

uint32_t qvm_state_size(const struct qvm_view *v) {
    const struct qvm_header *h = v->head;
    return (uint32_t)sizeof(struct qvm_state) +
           4 * (2 * h->devices + h->changes + h->hubs + h->slots + 4 * h->nodes + h->faults);
}

static void find_hubs(const struct qvm_view *v, struct work *w, uint32_t hub) {
    const struct qvm_hub *h = &v->hubs[hub];
    if (w->hub_mark[hub] == w->head->topology + 1) {
        return;
    }
    w->hub_mark[hub] = w->head->topology + 1;
    if (h->device != QVM_NONE && w->device_hub[h->device] == QVM_NONE) {
        w->device_hub[h->device] = hub; /* the first hub of a name answers to it */
    }
    for (uint32_t n = 0; n < h->port_count; ++n) {
        const uint32_t p = w->slots[h->first_slot + n];
        if (p != QVM_NONE && v->ports[p].hub != QVM_NONE) {
            find_hubs(v, w, v->ports[p].hub);
        }
    }
}

static void link_below(const struct qvm_view *v, struct work *w, uint32_t node);

static void attach(const struct qvm_view *v, struct work *w, uint32_t parent, uint32_t child,
                   uint32_t *previous) {
    if (LINK(w, child, PRESENCE) == PRESENT) {
        return; /* a node is in the tree once */
    }
    LINK(w, child, PRESENCE) = PRESENT;
    LINK(w, child, PARENT) = parent;
    *(*previous == QVM_NONE ? &LINK(w, parent, CHILD) : &LINK(w, *previous, SIBLING)) = child;
    *previous = child;
    link_below(v, w, child);
}

/* The node's children: those that stay, then the devices on its hub's ports. */
static void link_below(const struct qvm_view *v, struct work *w, uint32_t node) {
    const struct qvm_node *n = &v->nodes[node];
    uint32_t previous = QVM_NONE;
    for (uint32_t c = n->first_child; c != QVM_NONE; c = v->nodes[c].next_sibling) {
        attach(v, w, node, c, &previous);
    }
    if (n->hub != QVM_NONE) {
        const struct qvm_hub *h = &v->hubs[n->hub];
        for (uint32_t k = 0; k < h->port_count; ++k) {
            const uint32_t p = w->slots[h->first_slot + k];
            if (p != QVM_NONE && v->ports[p].node != QVM_NONE) {
                attach(v, w, node, v->ports[p].node, &previous);
            }
        }
    }
}

/* After a change: which hub answers to each name, and the tree as it hangs now.
   A node that was in the tree and is no longer is gone; its DEVINST stays its. */
static void relink(const struct qvm_view *v, struct work *w) {
    const struct qvm_header *h = v->head;
    for (uint32_t d = 0; d < h->devices; ++d) {
        w->device_hub[d] = QVM_NONE;
    }
    for (uint32_t c = 0; c < h->controllers; ++c) {
        find_hubs(v, w, v->controllers[c].root_hub);
    }
    for (uint32_t n = 0; n < h->nodes; ++n) {
        const uint32_t was = LINK(w, n, PRESENCE);
        LINK(w, n, PRESENCE) = was == NEVER ? NEVER : GONE;
        LINK(w, n, PARENT) = LINK(w, n, CHILD) = LINK(w, n, SIBLING) = QVM_NONE;
    }
    LINK(w, 0, PRESENCE) = PRESENT;
    link_below(v, w, 0);
}

void qvm_start(const struct qvm_view *v, struct qvm_state *state) {
    memset(state, 0, qvm_state_size(v));
    struct work w = work_of(v, state);
    for (uint32_t i = 0; i < v->head->slots; ++i) {
        w.slots[i] = QVM_NONE;
    }
    for (uint32_t i = 0; i < v->head->hubs; ++i) {
        const struct qvm_hub *h = &v->hubs[i];
        for (uint32_t k = 0; k < h->ports; ++k) {
            w.slots[h->first_slot + v->ports[h->first_port + k].port - 1] = h->first_port + k;
        }
    }
    relink(v, &w);
}

int qvm_device_present(const struct qvm_view *v, const struct qvm_state *state, uint32_t device) {
    struct work w = work_of(v, (struct qvm_state *)state);
    return device < v->head->devices &&
           (v->devices[device].kind == QVM_CONTROLLER || w.device_hub[device] != QVM_NONE);
}

/* Replaces the port the change names, if its path leads to one now. */
static int apply_one(const struct qvm_view *v, struct work *w, uint32_t i) {
    const struct qvm_change *c = &v->changes[i];
    uint32_t hub = v->controllers[c->controller].root_hub;
    w->applied[i] = 1;
    for (uint32_t k = 0;; ++k) {
        const struct qvm_hub *h = &v->hubs[hub];
        const uint32_t number = get32(v->pool + c->path + 4 * (size_t)k);
        if (number == 0 || number > h->port_count) {
            return 0;
        }
        uint32_t *slot = &w->slots[h->first_slot + number - 1];
        if (k + 1 == c->depth) {
            *slot = c->port;
            return 1;
        }
        if (*slot == QVM_NONE || v->ports[*slot].hub == QVM_NONE) {
            return 0;
        }
        hub = v->ports[*slot].hub;
    }
}

/* Timed changes in time order, equal times as listed; the others at their count. */
void apply_changes(const struct qvm_view *v, struct work *w, uint32_t trigger, uint32_t counted,
                   uint64_t value) {
    int changed = 0;
    for (;;) {
        uint32_t next = QVM_NONE;
        for (uint32_t i = 0; i < v->head->changes; ++i) {
            const struct qvm_change *c = &v->changes[i];
            if (!w->applied[i] && c->trigger == trigger &&
                (trigger == QVM_AT_MS ? c->at <= value : c->counted == counted && c->at == value) &&
                (next == QVM_NONE || c->at < v->changes[next].at)) {
                next = i;
            }
        }
        if (next == QVM_NONE) {
            break;
        }
        changed |= apply_one(v, w, next);
    }
    if (changed) {
        ++w->head->topology;
        relink(v, w);
    }
}

int qvm_fault_acts(const struct qvm_fault *f, const char *device, uint32_t code, const char *text,
                   uint32_t port, uint64_t size, uint32_t *hits) {
    return (f->code == 0 || f->code == code) && (f->port == 0 || f->port == port) &&
           (f->size == 0 || f->size == size) &&
           (device == NULL || text_order(device, text != NULL ? text : "", 0) == 0) &&
           (++*hits == f->nth || f->nth == 0);
}

const struct qvm_fault *take_fault(const struct qvm_view *v, struct work *w, uint32_t call,
                                   uint32_t code, const char *text, uint32_t port, uint64_t size) {
    const struct qvm_fault *hit = NULL;
    for (uint32_t i = 0; i < v->head->faults; ++i) {
        const struct qvm_fault *f = &v->faults[i];
        const char *device = f->device != QVM_NONE ? qvm_text(v, f->device) : NULL;
        if (f->call == call && qvm_fault_acts(f, device, code, text, port, size, &w->hits[i]) &&
            hit == NULL) {
            hit = f;
        }
    }
    return hit;
}
