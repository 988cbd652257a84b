/* The machine model's table: checking one before it is used, its texts, and
   finding the device a path opens. */
#include "platform/model/inside.h"

/* Each call's Win32 function, and what narrows a fault planted in it. */
static const struct {
    const char *name;
    uint32_t fault_keys;
} calls[QVM_CALLS] = {
    {"CreateFileA", QVM_BY_PATH},
    {"DeviceIoControl",
     QVM_BY_PATH | QVM_BY_CODE | QVM_BY_PORT | QVM_STATES_LENGTH | QVM_GIVES_REPLY},
    {"GlobalAlloc", QVM_BY_SIZE},
    {"WideCharToMultiByte", 0},
    {"SetupDiGetClassDevsA", 0},
    {"SetupDiEnumDeviceInterfaces", 0},
    {"SetupDiGetDeviceInterfaceDetailA", QVM_BY_TEXT | QVM_STATES_LENGTH},
    {"CM_Locate_DevNodeA", QVM_BY_TEXT},
    {"CM_Get_Child", QVM_BY_TEXT},
    {"CM_Get_Sibling", QVM_BY_TEXT},
    {"CM_Get_Parent", QVM_BY_TEXT},
    {"CM_Get_DevNode_Registry_PropertyA", QVM_BY_TEXT | QVM_GIVES_REPLY},
    {"CM_Get_Device_IDA", QVM_BY_TEXT | QVM_GIVES_REPLY},
    {"CM_Get_DevNode_Status", QVM_BY_TEXT},
    {"CM_Open_DevNode_Key", QVM_BY_TEXT},
    {"RegQueryValueExA", QVM_BY_TEXT},
};

const char *qvm_call_name(uint32_t call) {
    return call < QVM_CALLS ? calls[call].name : "";
}

uint32_t qvm_fault_keys(uint32_t call) {
    return call < QVM_CALLS ? calls[call].fault_keys : 0;
}

/* An index of a record or the pool, or none. A text needs no more: the pool ends
   with three zero bytes, so every text in it, ANSI or UTF-16 at either parity,
   ends inside it. */
static int in(uint32_t index, uint32_t count) {
    return index == QVM_NONE || index < count;
}

static int topology_ok(const struct qvm_view *v, const struct qvm_header *h) {
    for (uint32_t i = 0; i < h->controllers; ++i) {
        const struct qvm_controller *c = &v->controllers[i];
        if (c->number < -1 || c->number > 9 || !in(c->interface_path, h->pool) ||
            !in(c->driver_key, h->pool) || c->root_hub >= h->hubs) {
            return 0;
        }
    }
    for (uint32_t i = 0; i < h->devices; ++i) {
        const struct qvm_device *d = &v->devices[i];
        if ((d->kind != QVM_HUB &&
             (d->kind != QVM_CONTROLLER || d->controller >= h->controllers)) ||
            !in(d->path, h->pool)) {
            return 0;
        }
    }
    for (uint32_t i = 0; i < h->hubs; ++i) {
        const struct qvm_hub *hub = &v->hubs[i];
        if (!in(hub->device, h->devices) || !in(hub->name, h->pool) || hub->port_count > 255 ||
            hub->first_port > h->ports || hub->ports > h->ports - hub->first_port ||
            hub->first_slot > h->slots || hub->port_count > h->slots - hub->first_slot) {
            return 0;
        }
        for (uint32_t k = 0; k < hub->ports; ++k) {
            const uint32_t number = v->ports[hub->first_port + k].port;
            if (number == 0 || number > hub->port_count) {
                return 0;
            }
        }
    }
    for (uint32_t i = 0; i < h->ports; ++i) {
        const struct qvm_port *p = &v->ports[i];
        if (!in(p->driver_key, h->pool) || !in(p->hub, h->hubs) || !in(p->node, h->nodes)) {
            return 0;
        }
    }
    return 1;
}

/* The static links of the tree run forward only (the nodes are in pre-order),
   so that no walk can go round in a circle. */
static int rest_ok(const struct qvm_view *v, const struct qvm_header *h) {
    for (uint32_t i = 0; i < h->nodes; ++i) {
        const struct qvm_node *n = &v->nodes[i];
        if (!in(n->device_id, h->pool) || !in(n->driver_key, h->pool) ||
            !in(n->description, h->pool) || !in(n->service, h->pool) ||
            !in(n->hardware_ids, h->pool) || !in(n->driver_values, h->pool) ||
            !in(n->failing_value, h->pool) || !in(n->hub, h->hubs) ||
            (n->first_child != QVM_NONE && (n->first_child <= i || n->first_child >= h->nodes)) ||
            (n->next_sibling != QVM_NONE &&
             (n->next_sibling <= i || n->next_sibling >= h->nodes))) {
            return 0;
        }
    }
    for (uint32_t i = 0; i < h->changes; ++i) {
        const struct qvm_change *c = &v->changes[i];
        if (c->trigger < QVM_AT_MS || c->trigger > QVM_AT_CALL ||
            !in(c->counted, c->trigger == QVM_AT_CALL ? QVM_CALLS : h->devices) ||
            c->controller >= h->controllers || c->depth == 0 || c->depth > 64 ||
            c->path > h->pool || 4 * c->depth > h->pool - c->path || !in(c->port, h->ports)) {
            return 0;
        }
    }
    for (uint32_t i = 0; i < h->faults; ++i) {
        const struct qvm_fault *f = &v->faults[i];
        if (f->call >= QVM_CALLS || !in(f->device, h->pool) || f->action > QVM_RAW_REPLY ||
            f->reply > h->pool || f->reply_length > h->pool - f->reply) {
            return 0;
        }
    }
    return h->nodes > 0;
}

int qvm_load(struct qvm_view *v, const void *table, uint32_t size) {
    const uint8_t *bytes = (const uint8_t *)table;
    const struct qvm_header *h = (const struct qvm_header *)table;
    if (size < sizeof *h || h->magic != QVM_MAGIC || h->size != size || h->controllers > 10 ||
        h->devices > QVM_LIMIT || h->hubs > QVM_LIMIT || h->ports > QVM_LIMIT ||
        h->nodes > QVM_LIMIT || h->changes > QVM_LIMIT || h->faults > QVM_LIMIT ||
        h->slots > QVM_LIMIT || h->pool > QVM_LIMIT) {
        return 1;
    }
    const uint64_t need = sizeof *h + (uint64_t)h->controllers * sizeof(struct qvm_controller) +
                          (uint64_t)h->devices * sizeof(struct qvm_device) +
                          (uint64_t)h->hubs * sizeof(struct qvm_hub) +
                          (uint64_t)h->ports * sizeof(struct qvm_port) +
                          (uint64_t)h->nodes * sizeof(struct qvm_node) +
                          (uint64_t)h->changes * sizeof(struct qvm_change) +
                          (uint64_t)h->faults * sizeof(struct qvm_fault) + h->pool;
    if (need != size) {
        return 1;
    }
    v->head = h;
    v->controllers = (const struct qvm_controller *)(bytes + sizeof *h);
    v->devices = (const struct qvm_device *)(v->controllers + h->controllers);
    v->hubs = (const struct qvm_hub *)(v->devices + h->devices);
    v->ports = (const struct qvm_port *)(v->hubs + h->hubs);
    v->nodes = (const struct qvm_node *)(v->ports + h->ports);
    v->changes = (const struct qvm_change *)(v->nodes + h->nodes);
    v->faults = (const struct qvm_fault *)(v->changes + h->changes);
    v->pool = (const uint8_t *)(v->faults + h->faults);
    const uint8_t *end = v->pool + h->pool;
    const int ended = h->pool >= 3 && end[-1] == 0 && end[-2] == 0 && end[-3] == 0;
    return ended && topology_ok(v, h) && rest_ok(v, h) ? 0 : 1;
}

const char *qvm_text(const struct qvm_view *v, uint32_t offset) {
    return offset == QVM_NONE ? "" : (const char *)v->pool + offset;
}

uint32_t text_bytes(const struct qvm_view *v, uint32_t offset, uint32_t unit) {
    uint32_t n = 0;
    if (offset == QVM_NONE) {
        return 0;
    }
    while (offset + n + unit <= v->head->pool &&
           (v->pool[offset + n] != 0 || (unit == 2 && v->pool[offset + n + 1] != 0))) {
        n += unit;
    }
    return n;
}

static int lowered(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

int text_order(const char *a, const char *b, int fold) {
    const unsigned char *x = (const unsigned char *)a, *y = (const unsigned char *)b;
    while (*x != 0 && (fold ? lowered(*x) == lowered(*y) : *x == *y)) {
        ++x;
        ++y;
    }
    return fold ? lowered(*x) - lowered(*y) : *x - *y;
}

/* The devices are sorted by their paths with ASCII letters lowered. */
uint32_t qvm_find_device(const struct qvm_view *v, const char *path) {
    uint32_t low = 0, high = v->head->devices;
    while (path != NULL && low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const int order = text_order(path, qvm_text(v, v->devices[mid].path), 1);
        if (order == 0) {
            return mid;
        }
        if (order < 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return QVM_NONE;
}

uint32_t deliver(const struct qvm_request *r, uint32_t at, const void *bytes, uint32_t length) {
    if (at >= r->out_size || r->out == NULL || length == 0) {
        return 0;
    }
    const uint32_t n = length < r->out_size - at ? length : r->out_size - at;
    memcpy((uint8_t *)r->out + at, bytes, n);
    return n;
}
