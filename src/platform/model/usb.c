/* The USB stack's answers: opening a controller or a hub by its path, the control
   codes the scan sends them (in the published reply layouts: byte-packed,
   little-endian, names in UTF-16LE), and the host-controller interface list. */
#include "platform/model/inside.h"

#define NAME_SIZE 6        /* USB_ROOT_HUB_NAME, USB_HCD_DRIVERKEY_NAME with one unit */
#define PORT_NAME_SIZE 10  /* USB_NODE_CONNECTION_(DRIVERKEY_)NAME with one unit */
#define NODE_SIZE 76       /* USB_NODE_INFORMATION */
#define CONNECTION_SIZE 35 /* USB_NODE_CONNECTION_INFORMATION(_EX) without pipes */
#define DETAIL_PATH 4      /* SP_DEVICE_INTERFACE_DETAIL_DATA_A.DevicePath */

const uint32_t qvm_codes[QVM_CODES] = {QVM_CODE_ROOT_HUB_NAME,   QVM_CODE_CONNECTION,
                                       QVM_CODE_CONNECTION_NAME, QVM_CODE_CONNECTION_DRIVER_KEY,
                                       QVM_CODE_HCD_DRIVER_KEY,  QVM_CODE_CONNECTION_EX};

/* A reply of `length` bytes, as far as the caller's buffer holds it: every byte
   of that part is written, zero where the reply says nothing. */
struct reply {
    uint8_t *out;
    uint32_t size;
};

static struct reply begin(const struct qvm_request *r, struct qvm_answer *a, uint32_t length) {
    struct reply p = {(uint8_t *)r->out, length < r->out_size ? length : r->out_size};
    if (p.out == NULL) {
        p.size = 0;
    } else if (p.size > 0) {
        memset(p.out, 0, p.size);
    }
    a->length = p.size;
    return p;
}

static void reply_field(struct reply *p, uint32_t at, uint32_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes && at + i < p->size; ++i) {
        p->out[at + i] = (uint8_t)(value >> (8 * i));
    }
}

/* A name reply: ConnectionIndex where the record has one, ActualLength (the
   whole reply unless a fault states another), the name and its terminator. */
static void name_answer(const struct qvm_view *v, const struct qvm_request *r, struct qvm_answer *a,
                        int with_index, uint32_t index, uint32_t name, const struct qvm_fault *f) {
    const uint32_t fixed = with_index ? 8 : 4;
    const uint32_t bytes = text_bytes(v, name, 2);
    const uint32_t length = fixed + bytes + 2;
    struct reply p = begin(r, a, length);
    reply_field(&p, 0, index, with_index ? 4 : 0);
    reply_field(&p, fixed - 4, f != NULL && f->action == QVM_ACTUAL_LENGTH ? f->length : length, 4);
    if (bytes > 0 && p.size > fixed) {
        memcpy(p.out + fixed, v->pool + name, bytes < p.size - fixed ? bytes : p.size - fixed);
    }
}

/* USB_NODE_INFORMATION for a hub: NodeType UsbHub, then its hub descriptor. */
static void node_information(const struct qvm_request *r, struct qvm_answer *a, uint32_t ports) {
    struct reply p = begin(r, a, NODE_SIZE);
    reply_field(&p, 4, 0x2909, 2); /* bDescriptorLength 9, bDescriptorType 0x29 (a hub) */
    reply_field(&p, 6, ports, 1);
    reply_field(&p, 7, 0x0009, 2); /* wHubCharacteristics: power and overcurrent per port */
    reply_field(&p, 9, 50, 1);     /* bPowerOnToPowerGood */
}

/* USB_NODE_CONNECTION_INFORMATION(_EX) without pipes. The older record has a
   LowSpeed flag where the newer one has Speed. */
static void connection(const struct qvm_request *r, struct qvm_answer *a, uint32_t index,
                       const struct qvm_port *port, int older) {
    struct reply p = begin(r, a, CONNECTION_SIZE);
    reply_field(&p, 0, index, 4);
    if (port == NULL) {
        return; /* NoDeviceConnected, everything else zero */
    }
    reply_field(&p, 4, 0x0112, 2); /* the device descriptor: bLength 18, bDescriptorType 1 */
    reply_field(&p, 6, port->speed == 2 ? 0x0200 : 0x0110, 2);
    reply_field(&p, 8, port->device_is_hub ? 9 : 0, 1);
    reply_field(&p, 11, port->speed == 0 ? 8 : 64, 1);
    reply_field(&p, 12, port->vid | (uint32_t)port->pid << 16, 4);
    reply_field(&p, 16, 0x02010100, 4); /* bcdDevice 1.00, iManufacturer 1, iProduct 2 */
    reply_field(&p, 21, 1, 1);          /* bNumConfigurations */
    reply_field(&p, 22, port->status == 1, 1);
    reply_field(&p, 23, older ? port->speed == 0 : port->speed, 1);
    reply_field(&p, 24, port->device_is_hub != 0, 1);
    reply_field(&p, 25, port->port + 1, 2);
    reply_field(&p, 31, port->status, 4);
}

static void controller_reply(const struct qvm_view *v, const struct qvm_request *r,
                             struct qvm_answer *a, const struct qvm_controller *c,
                             const struct qvm_fault *f) {
    if (r->code != QVM_CODE_ROOT_HUB_NAME && r->code != QVM_CODE_HCD_DRIVER_KEY) {
        refuse(a, E_INVALID_FUNCTION, "a host controller does not answer this control code");
    } else if (r->out_size < NAME_SIZE) {
        refuse(a, E_INSUFFICIENT_BUFFER, "output buffer smaller than the reply's fixed part");
    } else {
        const uint32_t name =
            r->code == QVM_CODE_ROOT_HUB_NAME ? v->hubs[c->root_hub].name : c->driver_key;
        name_answer(v, r, a, 0, 0, name, f);
    }
}

static const struct qvm_port *port_on(const struct qvm_view *v, const struct work *w,
                                      const struct qvm_hub *h, uint32_t number) {
    const uint32_t p =
        number >= 1 && number <= h->port_count ? w->slots[h->first_slot + number - 1] : QVM_NONE;
    return p == QVM_NONE ? NULL : &v->ports[p];
}

static void hub_reply(const struct qvm_view *v, const struct work *w, const struct qvm_request *r,
                      struct qvm_answer *a, const struct qvm_hub *h, uint32_t index,
                      const struct qvm_fault *f) {
    const uint32_t code = r->code;
    if (code == QVM_CODE_NODE_INFORMATION) {
        if (r->out_size < NODE_SIZE) {
            refuse(a, E_INSUFFICIENT_BUFFER, "output buffer smaller than USB_NODE_INFORMATION");
        } else {
            node_information(r, a, h->port_count);
        }
        return;
    }
    const int named = code == QVM_CODE_CONNECTION_NAME || code == QVM_CODE_CONNECTION_DRIVER_KEY;
    const uint32_t record = named ? PORT_NAME_SIZE : CONNECTION_SIZE;
    const struct qvm_port *p = port_on(v, w, h, index);
    if (!named && code != QVM_CODE_CONNECTION && code != QVM_CODE_CONNECTION_EX) {
        refuse(a, E_INVALID_FUNCTION, "a hub does not answer this control code");
    } else if (r->in == NULL || r->in_size < record || r->out_size < record) {
        refuse(a, E_INSUFFICIENT_BUFFER, "input or output buffer smaller than the record");
    } else if (index == 0 || index > h->port_count) {
        refuse(a, E_INVALID_PARAMETER, "ConnectionIndex names no port of this hub");
    } else if (!named) {
        /* A port speaks the newer query or, when marked so, only the older one. */
        const int legacy = p != NULL && p->legacy_only;
        if (legacy != (code == QVM_CODE_CONNECTION)) {
            a->error = E_INVALID_FUNCTION;
        } else {
            connection(r, a, index, p, legacy);
        }
    } else if (code == QVM_CODE_CONNECTION_NAME) {
        /* An external hub's name; a port without one answers an empty name. */
        name_answer(v, r, a, 1, index,
                    p != NULL && p->hub != QVM_NONE ? v->hubs[p->hub].name : QVM_NONE, f);
    } else if (p == NULL || p->status == 0) {
        a->error = E_INVALID_PARAMETER; /* no device, so no driver */
    } else if (p->driver_key == QVM_NONE && (f == NULL || f->action != QVM_ACTUAL_LENGTH)) {
        a->error = E_FILE_NOT_FOUND; /* no driver installed yet */
    } else {
        name_answer(v, r, a, 1, index, p->driver_key, f);
    }
}

/* A device a topology change has taken away answers no more: ERROR_DEVICE_NOT_CONNECTED,
   the model's own choice (no source found; ReactOS's hub driver answers
   STATUS_DEVICE_BUSY once stopped). */
void answer_control(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                    struct qvm_answer *a) {
    const uint32_t port = r->in != NULL && r->in_size >= 4 ? get32((const uint8_t *)r->in) : 0;
    if (r->device >= v->head->devices || !qvm_device_present(v, w->head, r->device)) {
        a->error = E_DEVICE_NOT_CONNECTED;
        return;
    }
    const struct qvm_device *d = &v->devices[r->device];
    const struct qvm_fault *f = take_fault(v, w, QVM_DEVICE_IO_CONTROL, r->code, r->text, port, 0);
    if (f != NULL && f->action == QVM_FAIL) {
        a->error = f->error;
    } else if (f != NULL && f->action == QVM_RAW_REPLY) {
        a->length = deliver(r, 0, v->pool + f->reply, f->reply_length);
    } else if (d->kind == QVM_CONTROLLER) {
        controller_reply(v, r, a, &v->controllers[d->controller], f);
    } else {
        hub_reply(v, w, r, a, &v->hubs[w->device_hub[r->device]], port, f);
    }
}

void answer_open(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                 struct qvm_answer *a) {
    const struct qvm_fault *f = take_fault(v, w, QVM_CREATE_FILE, 0, r->text, 0, 0);
    const uint32_t d = qvm_find_device(v, r->text);
    if (f != NULL) {
        a->error = f->error;
    } else if (d == QVM_NONE || !qvm_device_present(v, w->head, d)) {
        a->error = E_FILE_NOT_FOUND;
    } else {
        a->device = d;
        apply_changes(v, w, QVM_AT_OPEN, d, ++w->opens[d]);
    }
}

const struct qvm_controller *qvm_listed(const struct qvm_view *v, uint32_t index) {
    for (uint32_t i = 0; i < v->head->controllers; ++i) {
        if (v->controllers[i].interface_path != QVM_NONE && index-- == 0) {
            return &v->controllers[i];
        }
    }
    return NULL;
}

/* A step of the list, or the detail of one interface: its path, after the size
   the record needs (the sizing call, with no room, fails with 122). */
void answer_interfaces(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                       struct qvm_answer *a) {
    const struct qvm_controller *c = qvm_listed(v, r->code);
    const char *path = c != NULL ? qvm_text(v, c->interface_path) : NULL;
    if (r->call != QVM_ENUM_INTERFACES && c == NULL) {
        refuse(a, E_INVALID_PARAMETER, "the interface record does not come from this set");
        return;
    }
    const struct qvm_fault *f = take_fault(v, w, r->call, 0, path, 0, 0);
    if (r->call == QVM_ENUM_INTERFACES) {
        a->error = f != NULL ? f->error : c == NULL ? E_NO_MORE_ITEMS : 0;
    } else if (f != NULL && f->action == QVM_ACTUAL_LENGTH) {
        a->length = f->length;
        a->error = E_INSUFFICIENT_BUFFER;
    } else if (f != NULL) {
        a->error = f->error;
    } else {
        const uint32_t bytes = text_bytes(v, c->interface_path, 1) + 1;
        a->length = DETAIL_PATH + bytes;
        if (r->out == NULL || r->out_size < a->length) {
            a->error = E_INSUFFICIENT_BUFFER;
        } else {
            deliver(r, DETAIL_PATH, path, bytes);
        }
    }
}
