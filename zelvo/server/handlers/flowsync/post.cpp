// DAGHandler.post: registers a kernel's pipeline, relays the message, cleans up, answers.
#include "flowsync.h"

#include <initializer_list>

namespace flowsync {
namespace {

using frame::Ref;

// The statements of post that a traceback record can name.
enum PostLine : int {
    POST_DEF = 89,                 // def post(self, kernel_id: str) -> None:
    POST_STATUS_OK = 93,           // status_code = HTTPStatus.OK
    POST_RESULT = 94,              // result = {"message": "Success."}
    POST_BODY = 96,                // data = self.get_json_body()
    POST_PROCEDURE = 99,           // procedure = data["procedure"]
    POST_STATUS = 100,             // status = data["status"]
    POST_MSG = 101,                // msg = data["msg"]
    POST_SUCCESSFUL = 102,         // successful = data["successful"]
    POST_STATUS_BAD_REQUEST = 104, // status_code = HTTPStatus.BAD_REQUEST
    POST_PROBLEM = 105,            // result["message"] = <what is wrong with the body>
    POST_ANSWER_PROBLEM = 106,     // self._finish_with_result(status_code=..., result=...)
    POST_DROP_MSG = 112,           // data.pop("msg")
    POST_IS_UPDATE = 114,          // if procedure == "pipeline:updated" and status == ...:
    POST_MODEL = 115,              // dag_info = ZelvoPipelineModel(**successful)
    POST_IDENTIFIER = 116,         // dag_info.identifier = kernel_id
    POST_REGISTERED = 118,         // if kernel_id not in dag_cabinet:
    POST_COMPARE_EMPTY = 119,      // dag_update_info = get_dag_update_info(
    POST_EMPTY_MODEL = 120,        //     ZelvoPipelineModel(identifier=kernel_id), dag_info)
    POST_COMPARE_REGISTERED = 123, // dag_update_info = get_dag_update_info(dag_cabinet[...], ...)
    POST_UPDATE_MESSAGE = 125,     // data["successful"] = dag_update_info.dict()
    POST_REGISTER = 126,           // dag_cabinet.update({kernel_id: dag_info})
    POST_UPDATED_COMPONENTS = 129, // updated_components = dag_update_info.updated_components
    POST_ANY_CHANGE = 130,         // if not (updated_components.added or .revised or .deleted)
    POST_TRANSMIT = 135,           // DAGHandler.transmit(kernel_id, data)
    POST_CLEAN_UP = 136,           // self._remove_unused_kernels_on_cabinet()
    POST_EXCEPT = 137,             // except Exception as exp:
    POST_STATUS_ERROR = 138,       // status_code = HTTPStatus.INTERNAL_SERVER_ERROR (or 400)
    POST_ERROR_MESSAGE = 139,      // result["message"] = str(exp)
    POST_LOG = 141,                // self.log.error(traceback.format_exc()) (or a warning)
    POST_ANSWER = 144,             // self._finish_with_result(status_code=..., result=...)
};

PyObject *post(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept;

} // namespace

constexpr frame::Method POST = {
    "post",
    "DAGHandler.post",
    POST_DEF,
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

// Exact-text comparison of a field (a str or None) with a literal.
bool
equals(PyObject *field, PyObject *literal) noexcept
{
    return field != Py_None && PyUnicode_Compare(field, literal) == 0;
}

// The four fields of the body, read in this order. Held here: the body loses "msg" and
// "successful" on the way.
struct Fields {
    Ref procedure;  // str or None
    Ref status;     // str or None
    Ref msg;        // str or None
    Ref successful; // dict or None
};

// How one field is read.
struct Field {
    PostLine line;     // its statement
    id::Name key;      // its key in the body
    Ref Fields::*slot; // where it is held
    bool object;       // a dict (else a str), or None
};

constexpr Field FIELDS[] = {
    {POST_PROCEDURE, id::procedure, &Fields::procedure, false},
    {POST_STATUS, id::status, &Fields::status, false},
    {POST_MSG, id::msg, &Fields::msg, false},
    {POST_SUCCESSFUL, id::successful, &Fields::successful, true},
};

// The 400 message for a missing field (`value` null) or one of the wrong type; null, with no
// exception set, when the value is fine.
PyObject *
field_problem(const Field &field, PyObject *value) noexcept
{
    if (value == nullptr)
        return PyUnicode_FromFormat("%U is required in the body of the request.", s(field.key));
    PyTypeObject *type = field.object ? &PyDict_Type : &PyUnicode_Type;
    if (value == Py_None || Py_TYPE(value) == type)
        return nullptr;
    if (field.object)
        return PyUnicode_FromString("successful must be an object or null.");
    return PyUnicode_FromFormat("%U must be a string or null.", s(field.key));
}

// Whether updated_components.added, .revised or .deleted is true, taken in this order up to
// the first true one; -1 on error.
int
any_change(PyObject *updated_components) noexcept
{
    for (id::Name kind : {id::added, id::revised, id::deleted}) {
        Ref value = Ref::steal(PyObject_GetAttr(updated_components, s(kind)));
        if (!value)
            return -1;
        const int truth = PyObject_IsTrue(value.get());
        if (truth != 0)
            return truth;
    }
    return 0;
}

// The method's body; `line` is the statement being run.
bool
post_body(PyObject *self, PyObject *kernel_id, int &line) noexcept
{
    line = POST_STATUS_OK;
    Ref status_code = Ref::steal(http_status(id::OK));
    if (!status_code)
        return false;
    line = POST_RESULT;
    Ref result = Ref::steal(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), s(id::message), s(id::success)) < 0)
        return false;

    line = POST_BODY;
    Ref data = Ref::steal(frame::call_method(self, s(id::get_json_body), nullptr, 0, nullptr));
    if (!data) {
        // The host decodes the body as UTF-8 before parsing it: other bytes are no JSON object.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return false;
        PyErr_Clear();
    }

    // A client's mistake in the body is answered with 400 and its reason.
    Fields fields;
    Ref problem;
    if (!data || !PyDict_CheckExact(data.get())) {
        problem =
            Ref::steal(PyUnicode_FromString("The body of the request must be a JSON object."));
        if (!problem)
            return false;
    }
    for (const Field &field : FIELDS) {
        if (problem)
            break;
        line = field.line;
        PyObject *value = PyDict_GetItemWithError(data.get(), s(field.key));
        if (value == nullptr && PyErr_Occurred())
            return false;
        problem = Ref::steal(field_problem(field, value));
        if (!problem && PyErr_Occurred())
            return false;
        fields.*field.slot = Ref::borrow(value);
    }
    // A successful "pipeline:updated" carries a pipeline.
    const bool updates_pipeline = !problem &&
                                  equals(fields.procedure.get(), s(id::pipeline_updated)) &&
                                  equals(fields.status.get(), s(id::successful));
    if (updates_pipeline && fields.successful.get() == Py_None) {
        problem = Ref::steal(PyUnicode_FromString(
            "successful must be an object for a successful pipeline:updated."));
        if (!problem)
            return false;
    }
    if (problem) {
        line = POST_STATUS_BAD_REQUEST;
        status_code = Ref::steal(http_status(id::BAD_REQUEST));
        if (!status_code)
            return false;
        line = POST_PROBLEM;
        if (PyDict_SetItem(result.get(), s(id::message), problem.get()) < 0)
            return false;
        line = POST_ANSWER_PROBLEM;
        return frame::discard(answer(self, status_code.get(), result.get()));
    }

    // try: registration, relay and clean-up.
    const bool tried = [&]() noexcept {
        if (fields.msg.get() == Py_None || PyUnicode_GET_LENGTH(fields.msg.get()) == 0) {
            line = POST_DROP_MSG;
            if (PyDict_DelItem(data.get(), s(id::msg)) < 0)
                return false;
        }
        line = POST_IS_UPDATE;
        if (updates_pipeline) {
            line = POST_MODEL;
            Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
            if (!model_class)
                return false;
            // Like a call with **successful (a dict: None was answered with 400 above): the
            // model gets a copy, the body keeps its dict.
            Ref model_fields = Ref::steal(PyDict_Copy(fields.successful.get()));
            if (!model_fields)
                return false;
            Ref dag_info = Ref::steal(
                PyObject_Call(model_class.get(), module.empty_tuple.get(), model_fields.get()));
            if (!dag_info)
                return false;

            line = POST_IDENTIFIER;
            if (PyObject_SetAttr(dag_info.get(), s(id::identifier), kernel_id) < 0)
                return false;

            line = POST_REGISTERED;
            Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
            if (!cabinet)
                return false;
            const int registered = PySequence_Contains(cabinet.get(), kernel_id);
            if (registered < 0)
                return false;
            Ref previous;
            Ref compare;
            if (!registered) {
                line = POST_COMPARE_EMPTY;
                compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
                if (!compare)
                    return false;
                line = POST_EMPTY_MODEL;
                previous = Ref::steal(empty_model(kernel_id));
                if (!previous)
                    return false;
                line = POST_COMPARE_EMPTY;
            }
            else {
                line = POST_COMPARE_REGISTERED;
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
            Ref dag_update_info = Ref::steal(frame::call(compare.get(), pair, 2, nullptr));
            if (!dag_update_info)
                return false;
            previous.reset();

            line = POST_UPDATE_MESSAGE;
            Ref update = Ref::steal(
                frame::call_method(dag_update_info.get(), s(id::dict), nullptr, 0, nullptr));
            if (!update || PyDict_SetItem(data.get(), s(id::successful), update.get()) < 0)
                return false;

            // From here on the kernel's entry is the new model, whatever happens next.
            line = POST_REGISTER;
            cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
            if (!cabinet)
                return false;
            Ref entry = Ref::steal(PyDict_New());
            if (!entry || PyDict_SetItem(entry.get(), kernel_id, dag_info.get()) < 0)
                return false;
            PyObject *entry_arg = entry.get();
            if (!frame::discard(
                    frame::call_method(cabinet.get(), s(id::update), &entry_arg, 1, nullptr)))
                return false;

            line = POST_UPDATED_COMPONENTS;
            Ref updated_components =
                Ref::steal(PyObject_GetAttr(dag_update_info.get(), s(id::updated_components)));
            if (!updated_components)
                return false;
            line = POST_ANY_CHANGE;
            const int changed = any_change(updated_components.get());
            if (changed < 0)
                return false;
            if (!changed)
                return true; // nothing to relay; the answer still says success
        }

        line = POST_TRANSMIT;
        Ref handler_class = Ref::steal(FLOWSYNC_GLOBAL(DAGHandler));
        if (!handler_class)
            return false;
        Ref transmit = Ref::steal(PyObject_GetAttr(handler_class.get(), s(id::transmit)));
        if (!transmit)
            return false;
        PyObject *relay[] = {kernel_id, data.get()};
        if (!frame::discard(frame::call(transmit.get(), relay, 2, nullptr)))
            return false;

        line = POST_CLEAN_UP;
        return frame::discard(frame::call_method(self, s(id::_remove_unused_kernels_on_cabinet),
                                                 nullptr, 0, nullptr));
    }();

    // except Exception as exp: the answer's message, and a record in the server's log. The
    // record is made before the handler sees the exception, as Python does. A pipeline that
    // the model refused while being built from the body is the client's mistake: 400 and one
    // warning line. Anything else is a fault of the server: 500 and the traceback.
    if (!tried) {
        const bool building = line == POST_MODEL;
        if (!frame::caught_as_exception(module, POST, line))
            return false;
        line = POST_EXCEPT;
        frame::ExceptClause clause;
        if (!clause.enter())
            return false;
        bool refused = false;
        if (building) {
            Ref refusal = Ref::steal(FLOWSYNC_GLOBAL(InvalidPipelineError));
            if (!refusal)
                return false;
            refused = PyErr_GivenExceptionMatches(clause.exception(), refusal.get());
        }
        line = POST_STATUS_ERROR;
        status_code =
            Ref::steal(http_status(refused ? id::BAD_REQUEST : id::INTERNAL_SERVER_ERROR));
        if (!status_code)
            return false;
        line = POST_ERROR_MESSAGE;
        Ref message = Ref::steal(PyObject_Str(clause.exception()));
        if (!message || PyDict_SetItem(result.get(), s(id::message), message.get()) < 0)
            return false;
        line = POST_LOG;
        if (refused) {
            // No traceback, headers or body: the kernel id and what the model said.
            Ref log = Ref::steal(PyObject_GetAttr(self, s(id::log)));
            if (!log)
                return false;
            Ref format = Ref::steal(
                PyUnicode_FromString("zelvo: refused the pipeline posted for kernel %s: %s"));
            if (!format)
                return false;
            PyObject *warning_args[] = {format.get(), kernel_id, message.get()};
            if (!frame::discard(
                    frame::call_method(log.get(), s(id::warning), warning_args, 3, nullptr)))
                return false;
        }
        else {
            // One ERROR record with the formatted traceback, through the handler's own logger.
            Ref traceback = Ref::steal(FLOWSYNC_GLOBAL(traceback));
            if (!traceback)
                return false;
            Ref text = Ref::steal(
                frame::call_method(traceback.get(), s(id::format_exc), nullptr, 0, nullptr));
            if (!text)
                return false;
            Ref log = Ref::steal(PyObject_GetAttr(self, s(id::log)));
            if (!log)
                return false;
            PyObject *text_arg = text.get();
            if (!frame::discard(
                    frame::call_method(log.get(), s(id::error), &text_arg, 1, nullptr)))
                return false;
        }
    }

    line = POST_ANSWER;
    return frame::discard(answer(self, status_code.get(), result.get()));
}

PyObject *
post(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *a[2];
    if (!frame::bind_arguments<POST>(module, args, nargsf, kwnames, a) ||
        !frame::check_argument(a[1], &PyUnicode_Type, "kernel_id"))
        return nullptr;
    int line = POST.first_line;
    const bool ok = post_body(a[0], a[1], line);
    return frame::method_result(module, POST, ok, line);
}

} // namespace

} // namespace flowsync
