// DAGHandler.post: registers a kernel's pipeline, relays the message, cleans up, answers.
#include "flowsync.h"

#include <initializer_list>

namespace flowsync {
namespace {

using frame::Ref;

PyObject *post(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept;

} // namespace

constexpr frame::Method POST = {
    "post",
    "DAGHandler.post",
    89,
    frame::names({id::self, id::kernel_id}),
    frame::names({id::status_code, id::result, id::data, id::procedure, id::status, id::msg,
                  id::successful, id::exp, id::dag_info, id::dag_update_info,
                  id::updated_components, id::fp}),
    frame::annotations({{id::kernel_id, id::a_str}, {id::return_, id::a_none}}),
    "Register dag_info as kernel_id.",
    post,
    frame::Store::authenticated,
};

namespace {

// self._finish_with_result(status_code=status_code, result=result)
bool
answer(PyObject *self, PyObject *status_code, PyObject *result) noexcept
{
    PyObject *args[] = {status_code, result};
    return frame::discard(frame::call_method(self, s(id::_finish_with_result), args, 2,
                                             keywords.status_code_result));
}

// Exact-text comparison of a field (a str or None) with a literal.
bool
equals(PyObject *field, PyObject *literal) noexcept
{
    return field != Py_None && PyUnicode_Compare(field, literal) == 0;
}

// The four fields of the body, read in this order. Held here: the body loses "msg" and
// "successful" on the way.
struct Fields {
    Ref procedure;    // str or None
    Ref status;       // str or None
    Ref msg;          // str or None
    Ref successful;   // dict or None
};

// Reads the fields; a missing or wrongly typed one makes `problem` the 400 message.
bool
read_fields(PyObject *data, Fields &fields, Ref &problem, int &line) noexcept
{
    struct Field {
        int line;
        id::Name key;
        Ref *slot;
    };
    const Field order[] = {{99, id::procedure, &fields.procedure},
                           {100, id::status, &fields.status},
                           {101, id::msg, &fields.msg},
                           {102, id::successful, &fields.successful}};
    for (const Field &field : order) {
        line = field.line;
        PyObject *value = PyDict_GetItemWithError(data, s(field.key));
        if (value == nullptr) {
            if (PyErr_Occurred())
                return false;
            problem = Ref::steal(PyUnicode_Concat(s(field.key), s(id::is_required)));
            return bool(problem);
        }
        const bool object = field.key == id::successful;
        PyTypeObject *type = object ? &PyDict_Type : &PyUnicode_Type;
        if (value != Py_None && Py_TYPE(value) != type) {
            problem = object ? Ref::borrow(s(id::successful_must_be_dict))
                             : Ref::steal(PyUnicode_Concat(s(field.key), s(id::must_be_str)));
            return bool(problem);
        }
        *field.slot = Ref::borrow(value);
    }
    return true;
}

// A successful "pipeline:updated": builds the model, compares it with the registered one,
// registers it and puts the update information into the message. `changed` tells whether
// any component was added, revised or deleted.
bool
register_pipeline(PyObject *kernel_id, PyObject *data, PyObject *successful, bool &changed,
                  int &line) noexcept
{
    line = 115;
    Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
    if (!model_class)
        return false;
    if (successful == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return false;
    }
    // Like a call with **successful: the model gets a copy, the body keeps its dict.
    Ref fields = Ref::steal(PyDict_Copy(successful));
    if (!fields)
        return false;
    Ref dag_info =
        Ref::steal(PyObject_Call(model_class.get(), module.empty_tuple, fields.get()));
    if (!dag_info)
        return false;

    line = 116;
    if (PyObject_SetAttr(dag_info.get(), s(id::identifier), kernel_id) < 0)
        return false;

    line = 118;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    const int registered = PySequence_Contains(cabinet.get(), kernel_id);
    if (registered < 0)
        return false;
    Ref previous;
    Ref compare;
    if (!registered) {
        line = 119;
        compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
        if (!compare)
            return false;
        line = 120;
        model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
        if (!model_class)
            return false;
        previous = Ref::steal(frame::compat::vectorcall(model_class.get(), &kernel_id, 0,
                                                        keywords.identifier));
        if (!previous)
            return false;
        line = 119;
    }
    else {
        line = 123;
        compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
        if (!compare)
            return false;
        cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
        if (!cabinet)
            return false;
        previous = Ref::steal(frame::subscript(cabinet.get(), kernel_id));
        if (!previous)
            return false;
    }
    PyObject *pair[] = {previous.get(), dag_info.get()};
    Ref dag_update_info = Ref::steal(frame::compat::vectorcall(compare.get(), pair, 2, nullptr));
    if (!dag_update_info)
        return false;
    previous.reset();

    line = 125;
    Ref update = Ref::steal(
        frame::call_method(dag_update_info.get(), s(id::dict), nullptr, 0, nullptr));
    if (!update || PyDict_SetItem(data, s(id::successful), update.get()) < 0)
        return false;

    // From here on the kernel's entry is the new model, whatever happens next.
    line = 126;
    cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), kernel_id, dag_info.get()) < 0)
        return false;
    PyObject *entry_arg = entry.get();
    if (!frame::discard(frame::call_method(cabinet.get(), s(id::update), &entry_arg, 1, nullptr)))
        return false;

    line = 129;
    Ref updated_components =
        Ref::steal(PyObject_GetAttr(dag_update_info.get(), s(id::updated_components)));
    if (!updated_components)
        return false;
    line = 130;
    changed = false;
    for (id::Name kind : {id::added, id::revised, id::deleted}) {
        Ref value = Ref::steal(PyObject_GetAttr(updated_components.get(), s(kind)));
        if (!value)
            return false;
        const int truth = PyObject_IsTrue(value.get());
        if (truth < 0)
            return false;
        if (truth) {
            changed = true;
            break;
        }
    }
    return true;
}

// The guarded block: registration, relay and clean-up.
bool
process(PyObject *self, PyObject *kernel_id, PyObject *data, const Fields &fields,
        int &line) noexcept
{
    if (fields.msg.get() == Py_None || PyUnicode_GET_LENGTH(fields.msg.get()) == 0) {
        line = 112;
        if (PyDict_DelItem(data, s(id::msg)) < 0)
            return false;
    }
    line = 114;
    if (equals(fields.procedure.get(), s(id::pipeline_updated)) &&
        equals(fields.status.get(), s(id::successful))) {
        bool changed;
        if (!register_pipeline(kernel_id, data, fields.successful.get(), changed, line))
            return false;
        if (!changed)
            return true;   // nothing to relay; the answer still says success
    }

    line = 135;
    Ref handler_class = Ref::steal(FLOWSYNC_GLOBAL(DAGHandler));
    if (!handler_class)
        return false;
    Ref transmit = Ref::steal(PyObject_GetAttr(handler_class.get(), s(id::transmit)));
    if (!transmit)
        return false;
    PyObject *relay[] = {kernel_id, data};
    if (!frame::discard(frame::compat::vectorcall(transmit.get(), relay, 2, nullptr)))
        return false;

    line = 136;
    return frame::discard(frame::call_method(self, s(id::_remove_unused_kernels_on_cabinet),
                                             nullptr, 0, nullptr));
}

// except Exception as exp: the 500 answer's message, and the traceback in the server's log.
bool
handle_failure(PyObject *self, Ref &status_code, PyObject *result, int &line) noexcept
{
    line = 137;
    frame::ExceptClause clause;
    if (!clause.enter())
        return false;
    line = 138;
    status_code = Ref::steal(http_status(id::INTERNAL_SERVER_ERROR));
    if (!status_code)
        return false;
    line = 139;
    Ref message = Ref::steal(PyObject_Str(clause.exception()));
    if (!message || PyDict_SetItem(result, s(id::message), message.get()) < 0)
        return false;
    // One ERROR record with the formatted traceback, through the handler's own logger.
    line = 141;
    Ref traceback = Ref::steal(FLOWSYNC_GLOBAL(traceback));
    if (!traceback)
        return false;
    Ref text =
        Ref::steal(frame::call_method(traceback.get(), s(id::format_exc), nullptr, 0, nullptr));
    if (!text)
        return false;
    Ref log = Ref::steal(PyObject_GetAttr(self, s(id::log)));
    if (!log)
        return false;
    PyObject *text_arg = text.get();
    return frame::discard(frame::call_method(log.get(), s(id::error), &text_arg, 1, nullptr));
}

bool
post_body(PyObject *self, PyObject *kernel_id, int &line) noexcept
{
    line = 93;
    Ref status_code = Ref::steal(http_status(id::OK));
    if (!status_code)
        return false;
    line = 94;
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), s(id::message), s(id::success)) < 0)
        return false;

    line = 96;
    Ref data = Ref::steal(frame::call_method(self, s(id::get_json_body), nullptr, 0, nullptr));
    if (!data)
        return false;

    // A client's mistake in the body is answered with 400 and its reason.
    Fields fields;
    Ref problem;
    if (!PyDict_CheckExact(data.get()))
        problem = Ref::borrow(s(id::body_must_be_object));
    else if (!read_fields(data.get(), fields, problem, line))
        return false;
    if (problem) {
        line = 104;
        status_code = Ref::steal(http_status(id::BAD_REQUEST));
        if (!status_code)
            return false;
        line = 105;
        if (PyDict_SetItem(result.get(), s(id::message), problem.get()) < 0)
            return false;
        line = 106;
        return answer(self, status_code.get(), result.get());
    }

    if (!process(self, kernel_id, data.get(), fields, line)) {
        if (!frame::caught_as_exception(module, POST, line) ||
            !handle_failure(self, status_code, result.get(), line))
            return false;
    }

    line = 144;
    return answer(self, status_code.get(), result.get());
}

PyObject *
post(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *a[2];
    if (!frame::bind_arguments<POST>(module, args, nargsf, kwnames, a) ||
        !frame::check_argument(module, a[1], &PyUnicode_Type, "kernel_id"))
        return nullptr;
    int line = POST.first_line;
    const bool ok = post_body(a[0], a[1], line);
    return frame::method_result(module, POST, ok, line);
}

} // namespace

} // namespace flowsync
