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

// What post keeps of its request while it runs.
struct Request {
    Request(PyObject *handler, PyObject *kernel) noexcept : self(handler), kernel_id(kernel) {}

    PyObject *self;                // the handler
    PyObject *kernel_id;           // the kernel's id, a str
    Ref data;                      // the body, a dict once the fields are read
    Fields fields;                 // its fields
    bool updates_pipeline = false; // a successful "pipeline:updated": it carries a pipeline
};

// data = self.get_json_body(), then its four fields. Returns the 400 message for a body that
// a client got wrong; null with an exception set on failure, without one for a sound body.
PyObject *
read_fields(Request &r, int &line) noexcept
{
    line = POST_BODY;
    r.data = Ref::steal(frame::call_method(r.self, s(id::get_json_body)));
    if (!r.data) {
        // The host decodes the body as UTF-8 before parsing it: other bytes are no JSON object.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            return nullptr;
        PyErr_Clear();
    }
    if (!r.data || !PyDict_CheckExact(r.data.get()))
        return PyUnicode_FromString("The body of the request must be a JSON object.");
    for (const Field &field : FIELDS) {
        line = field.line;
        PyObject *value = PyDict_GetItemWithError(r.data.get(), s(field.key));
        if (value == nullptr && PyErr_Occurred())
            return nullptr;
        PyObject *problem = field_problem(field, value);
        if (problem != nullptr || PyErr_Occurred())
            return problem;
        r.fields.*field.slot = Ref::borrow(value);
    }
    r.updates_pipeline = equals(r.fields.procedure.get(), s(id::pipeline_updated)) &&
                         equals(r.fields.status.get(), s(id::successful));
    if (r.updates_pipeline && r.fields.successful.get() == Py_None)
        return PyUnicode_FromString(
            "successful must be an object for a successful pipeline:updated.");
    return nullptr;
}

// A client's mistake in the body: 400 with its reason.
bool
answer_bad_body(PyObject *self, PyObject *result, PyObject *problem, int &line) noexcept
{
    line = POST_STATUS_BAD_REQUEST;
    Ref status_code = Ref::steal(http_status(id::BAD_REQUEST));
    if (!status_code)
        return false;
    line = POST_PROBLEM;
    if (PyDict_SetItem(result, s(id::message), problem) < 0)
        return false;
    line = POST_ANSWER_PROBLEM;
    return frame::discard(answer(self, status_code.get(), result));
}

// dag_info = ZelvoPipelineModel(**successful). Like a call with **successful (a dict: None
// was answered with 400): the model gets a copy, the body keeps its dict.
PyObject *
build_model(PyObject *successful) noexcept
{
    Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
    if (!model_class)
        return nullptr;
    Ref model_fields = Ref::steal(PyDict_Copy(successful));
    if (!model_fields)
        return nullptr;
    return PyObject_Call(model_class.get(), module.empty_tuple.get(), model_fields.get());
}

// The registration's statements as post numbers them.
constexpr RegistrationLines POST_LINES = {
    POST_IDENTIFIER,  POST_REGISTERED,         POST_COMPARE_EMPTY,
    POST_EMPTY_MODEL, POST_COMPARE_REGISTERED, POST_UPDATE_MESSAGE,
    POST_REGISTER,    POST_UPDATED_COMPONENTS, POST_ANY_CHANGE,
};

// DAGHandler.transmit(kernel_id, data) to the kernel's websocket clients, then
// self._remove_unused_kernels_on_cabinet().
bool
relay(Request &r, int &line) noexcept
{
    line = POST_TRANSMIT;
    if (!relay_message(r.kernel_id, r.data.get()))
        return false;
    line = POST_CLEAN_UP;
    return frame::discard(frame::call_method(r.self, s(id::_remove_unused_kernels_on_cabinet)));
}

// How post's try block ended.
enum class Tried {
    through,      // without an exception
    model_failed, // building the model from the body raised: maybe the client's mistake
    failed,       // any other statement raised
};

// try: the message without an empty msg; for a pipeline, its registration (register.cpp, as
// DAGHandler.register runs it); the relay (unless the pipeline did not change) and the
// clean-up.
Tried
try_block(Request &r, int &line) noexcept
{
    if (r.fields.msg.get() == Py_None || PyUnicode_GET_LENGTH(r.fields.msg.get()) == 0) {
        line = POST_DROP_MSG;
        if (PyDict_DelItem(r.data.get(), s(id::msg)) < 0)
            return Tried::failed;
    }
    line = POST_IS_UPDATE;
    if (r.updates_pipeline) {
        line = POST_MODEL;
        Ref dag_info = Ref::steal(build_model(r.fields.successful.get()));
        if (!dag_info)
            return Tried::model_failed;
        bool changed = false;
        Ref dag_update_info = Ref::steal(register_pipeline(
            r.kernel_id, dag_info.get(), Py_None, r.data.get(), POST_LINES, changed, line));
        if (!dag_update_info)
            return Tried::failed;
        if (!changed)
            return Tried::through; // nothing to relay; the answer still says success
    }
    return relay(r, line) ? Tried::through : Tried::failed;
}

// self.log.warning(...) for a pipeline the model refused: no traceback, headers or body, the
// kernel id and what the model said.
bool
log_refusal(PyObject *self, PyObject *kernel_id, PyObject *message) noexcept
{
    Ref log = Ref::steal(PyObject_GetAttr(self, s(id::log)));
    if (!log)
        return false;
    Ref format =
        Ref::steal(PyUnicode_FromString("zelvo: refused the pipeline posted for kernel %s: %s"));
    if (!format)
        return false;
    PyObject *args[] = {format.get(), kernel_id, message};
    return frame::discard(frame::call_method(log.get(), s(id::warning), args, 3, nullptr));
}

// self.log.error(traceback.format_exc()): one ERROR record through the handler's own logger.
bool
log_traceback(PyObject *self) noexcept
{
    Ref text = Ref::steal(frame::call_method_of(FLOWSYNC_GLOBAL(traceback), s(id::format_exc)));
    if (!text)
        return false;
    Ref log = Ref::steal(PyObject_GetAttr(self, s(id::log)));
    if (!log)
        return false;
    PyObject *text_arg = text.get();
    return frame::discard(frame::call_method(log.get(), s(id::error), &text_arg, 1, nullptr));
}

// except Exception as exp: the answer's status and message, and a record in the server's log.
// The traceback record is made before the clause sees the exception, as Python does. A
// pipeline that the model refused while being built from the body is the client's mistake:
// 400 and one warning line. Anything else is a fault of the server: 500 and the traceback.
bool
answer_failure(Request &r, bool model_failed, Ref &status_code, PyObject *result,
               int &line) noexcept
{
    frame::ExceptClause clause;
    if (!clause.catch_exception(module, POST, line, POST_EXCEPT))
        return false;
    bool refused = false;
    if (model_failed) {
        Ref refusal = Ref::steal(FLOWSYNC_GLOBAL(InvalidPipelineError));
        if (!refusal)
            return false;
        refused = PyErr_GivenExceptionMatches(clause.exception(), refusal.get());
    }
    line = POST_STATUS_ERROR;
    status_code = Ref::steal(http_status(refused ? id::BAD_REQUEST : id::INTERNAL_SERVER_ERROR));
    if (!status_code)
        return false;
    line = POST_ERROR_MESSAGE;
    Ref message = Ref::steal(PyObject_Str(clause.exception()));
    if (!message || PyDict_SetItem(result, s(id::message), message.get()) < 0)
        return false;
    line = POST_LOG;
    return refused ? log_refusal(r.self, r.kernel_id, message.get()) : log_traceback(r.self);
}

// The method's body: read the fields, then try to register and relay; a failure is answered
// in the except clause.
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

    Request request{self, kernel_id};
    Ref problem = Ref::steal(read_fields(request, line));
    if (problem)
        return answer_bad_body(self, result.get(), problem.get(), line);
    if (PyErr_Occurred())
        return false;

    const Tried tried = try_block(request, line);
    if (tried != Tried::through &&
        !answer_failure(request, tried == Tried::model_failed, status_code, result.get(), line))
        return false;

    line = POST_ANSWER;
    return frame::discard(answer(self, status_code.get(), result.get()));
}

} // namespace

constexpr frame::Method POST = {
    "post",
    "DAGHandler.post",
    POST_DEF,
    frame::Params{{id::self}, {id::kernel_id, &PyUnicode_Type}},
    frame::Names{id::status_code, id::result, id::data, id::procedure, id::status, id::msg,
                 id::successful, id::exp, id::dag_info, id::dag_update_info,
                 id::updated_components, id::fp},
    frame::Annotations{{id::kernel_id, id::a_str}, {id::return_, id::a_none}},
    "Register dag_info as kernel_id.",
    frame::method_entry<module, POST, post_body>,
    authenticated};

} // namespace flowsync
