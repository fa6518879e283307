// DAGHandler._finish_with_result, the one writer of answers, and DAGHandler.get, the query.
#include "flowsync.h"

#include <string.h>

namespace flowsync {
namespace {

using frame::Ref;

constexpr int FINISH_PARAMS[] = {id::self, id::status_code, id::result};
constexpr frame::Signature FINISH = {
    "_finish_with_result", "zelvo.server.handlers.flowsync.DAGHandler._finish_with_result", 66,
    FINISH_PARAMS, 3};

constexpr int GET_PARAMS[] = {id::self, id::kernel_id};
constexpr frame::Signature GET = {"get", "zelvo.server.handlers.flowsync.DAGHandler.get", 72,
                                  GET_PARAMS, 2};

// self.set_header(name=name, value=value)
bool
set_header(PyObject *self, PyObject *name, PyObject *value) noexcept
{
    PyObject *args[] = {name, value};
    return frame::discard(
        frame::call_method(self, s(id::set_header), args, 2, keywords.name_value));
}

// json.dumps(result), with the module global read afresh.
PyObject *
dumps(PyObject *value) noexcept
{
    Ref json = Ref::steal(FLOWSYNC_GLOBAL(json));
    if (!json)
        return nullptr;
    return frame::call_method(json.get(), s(id::dumps), &value, 1, nullptr);
}

// The decimal digits of a count (not negative) as a new str, as "%zd" writes them; the
// formatter's generic machinery costs more than the whole conversion.
PyObject *
decimal_digits(Py_ssize_t count) noexcept
{
    char digits[24];
    char *const end = digits + sizeof digits;
    char *first = end;
    size_t rest = static_cast<size_t>(count);
    do {
        *--first = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    PyObject *text = PyUnicode_New(end - first, 127);
    if (text != nullptr)
        memcpy(PyUnicode_1BYTE_DATA(text), first, static_cast<size_t>(end - first));
    return text;
}

bool
finish_body(PyObject *self, PyObject *status_code, PyObject *result, int &line) noexcept
{
    line = 67;
    if (!set_header(self, s(id::content_type), s(id::application_json)))
        return false;

    // The length is taken of the text after escaping: json.dumps writes non-ASCII characters
    // as \uXXXX, so characters and bytes on the wire agree.
    line = 68;
    Ref text = Ref::steal(dumps(result));
    if (!text)
        return false;
    const Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0)
        return false;
    Ref digits = Ref::steal(decimal_digits(length));
    if (!digits || !set_header(self, s(id::content_length), digits.get()))
        return false;

    line = 69;
    Ref code = PyLong_CheckExact(status_code) ? Ref::borrow(status_code)
                                              : Ref::steal(PyNumber_Long(status_code));
    if (!code)
        return false;
    PyObject *code_arg = code.get();
    if (!frame::discard(
            frame::call_method(self, s(id::set_status), &code_arg, 1, keywords.status_code)))
        return false;

    line = 70;
    text = Ref::steal(dumps(result));
    if (!text)
        return false;
    PyObject *text_arg = text.get();
    return frame::discard(frame::call_method(self, s(id::finish), &text_arg, 1, nullptr));
}

PyObject *
finish_with_result(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *a[3];
    if (!frame::bind_arguments(module, FINISH, args, nargsf, kwnames, a) ||
        !frame::check_argument(module, a[2], &PyDict_Type, "result"))
        return nullptr;
    int line = FINISH.first_line;
    const bool ok = finish_body(a[0], a[1], a[2], line);
    return frame::method_result(module, FINISH, ok, line);
}

// get_dag_update_info(ZelvoPipelineModel(identifier=kernel_id), dag_cabinet[kernel_id]):
// the registered model as an update from an empty pipeline of the same kernel.
PyObject *
update_info(PyObject *kernel_id, int &line) noexcept
{
    line = 79;
    Ref compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
    if (!compare)
        return nullptr;
    line = 80;
    Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
    if (!model_class)
        return nullptr;
    Ref empty = Ref::steal(frame::compat::vectorcall(model_class.get(), &kernel_id, 0,
                                                     keywords.identifier));
    if (!empty)
        return nullptr;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return nullptr;
    Ref registered = Ref::steal(frame::subscript(cabinet.get(), kernel_id));
    if (!registered)
        return nullptr;
    line = 79;
    PyObject *pair[] = {empty.get(), registered.get()};
    return frame::compat::vectorcall(compare.get(), pair, 2, nullptr);
}

bool
get_body(PyObject *self, PyObject *kernel_id, int &line) noexcept
{
    line = 75;
    Ref status_code = Ref::steal(http_status(id::OK));
    if (!status_code)
        return false;
    line = 76;
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return false;

    line = 78;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    const int registered = PySequence_Contains(cabinet.get(), kernel_id);
    if (registered < 0)
        return false;
    cabinet.reset();
    if (registered) {
        Ref dag_update_info = Ref::steal(update_info(kernel_id, line));
        if (!dag_update_info)
            return false;
        line = 82;
        result = Ref::steal(frame::call_method(dag_update_info.get(), s(id::dict), nullptr, 0,
                                               nullptr));
        if (!result || !frame::check_local(result.get(), &PyDict_Type))
            return false;
    }
    else {
        line = 84;
        status_code = Ref::steal(http_status(id::BAD_REQUEST));
        if (!status_code)
            return false;
        line = 85;
        Ref message = Ref::steal(PyUnicode_Concat(s(id::cannot_get), kernel_id));
        if (!message)
            return false;
        message = Ref::steal(PyUnicode_Concat(message.get(), s(id::full_stop)));
        if (!message || PyDict_SetItem(result.get(), s(id::message), message.get()) < 0)
            return false;
    }

    line = 87;
    PyObject *answer[] = {status_code.get(), result.get()};
    return frame::discard(frame::call_method(self, s(id::_finish_with_result), answer, 2,
                                             keywords.status_code_result));
}

PyObject *
get(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *a[2];
    if (!frame::bind_arguments(module, GET, args, nargsf, kwnames, a) ||
        !frame::check_argument(module, a[1], &PyUnicode_Type, "kernel_id"))
        return nullptr;
    int line = GET.first_line;
    const bool ok = get_body(a[0], a[1], line);
    return frame::method_result(module, GET, ok, line);
}

} // namespace

PyObject *
http_status(id::Name member) noexcept
{
    Ref status = Ref::steal(FLOWSYNC_GLOBAL(HTTPStatus));
    return status ? PyObject_GetAttr(status.get(), s(member)) : nullptr;
}

const frame::MethodDef finish_with_result_def = {"_finish_with_result", nullptr,
                                                 finish_with_result};
const frame::MethodDef get_def = {"get", "Get current updated dag info by kernel_id.", get};

} // namespace flowsync
