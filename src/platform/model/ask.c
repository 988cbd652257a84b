/* The way in for every request: the changes it makes due, then its answer. */
#include "platform/model/inside.h"

/* The calls that only a planted fault can fail, and GlobalAlloc's largest block. */
static void answer_plain(const struct qvm_view *v, struct work *w, const struct qvm_request *r,
                         struct qvm_answer *a) {
    const struct qvm_fault *f = take_fault(v, w, r->call, 0, NULL, 0, r->size);
    if (f != NULL) {
        a->error = f->error;
    } else if (r->call == QVM_GLOBAL_ALLOC && r->size > v->head->largest_block) {
        a->error = E_NOT_ENOUGH_MEMORY;
    }
}

static answer_fn *const answers[QVM_CALLS] = {
    [QVM_CREATE_FILE] = answer_open,
    [QVM_DEVICE_IO_CONTROL] = answer_control,
    [QVM_GLOBAL_ALLOC] = answer_plain,
    [QVM_WIDE_CHAR_TO_MULTI_BYTE] = answer_plain,
    [QVM_GET_CLASS_DEVS] = answer_plain,
    [QVM_ENUM_INTERFACES] = answer_interfaces,
    [QVM_INTERFACE_DETAIL] = answer_interfaces,
    [QVM_LOCATE_DEVNODE] = answer_tree,
    [QVM_GET_CHILD] = answer_tree,
    [QVM_GET_SIBLING] = answer_tree,
    [QVM_GET_PARENT] = answer_tree,
    [QVM_GET_PROPERTY] = answer_tree,
    [QVM_GET_DEVICE_ID] = answer_tree,
    [QVM_GET_STATUS] = answer_tree,
    [QVM_OPEN_DEVNODE_KEY] = answer_tree,
    [QVM_QUERY_VALUE] = answer_tree,
};

void qvm_ask(const struct qvm_view *v, struct qvm_state *state, const struct qvm_request *r,
             struct qvm_answer *a) {
    struct work w = work_of(v, state);
    memset(a, 0, sizeof *a);
    a->length = QVM_NONE;
    a->device = QVM_NONE;
    if (r->call >= QVM_CALLS) {
        refuse(a, E_INVALID_FUNCTION, "not a call the machine answers");
        return;
    }
    apply_changes(v, &w, QVM_AT_MS, 0, r->now_ms);
    apply_changes(v, &w, QVM_AT_CALL, r->call, ++state->calls[r->call]);
    answers[r->call](v, &w, r, a);
}
