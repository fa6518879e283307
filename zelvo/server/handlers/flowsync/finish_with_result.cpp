// DAGHandler._finish_with_result: the one writer of answers.
#include "flowsync.h"

#include <string.h>

namespace flowsync {
namespace {

using frame::Ref;

// The statements of _finish_with_result that a traceback record can name.
enum FinishWithResultLine : int {
    FINISH_DEF = 66,            // def _finish_with_result(self, status_code, result) -> None:
    FINISH_CONTENT_TYPE = 67,   // self.set_header(name="Content-Type", value="application/json")
    FINISH_CONTENT_LENGTH = 68, // self.set_header(name="Content-Length", value=<its length>)
    FINISH_STATUS = 69,         // self.set_status(status_code=int(status_code))
    FINISH_WRITE = 70,          // self.finish(json.dumps(result))
};

// self.set_header(name=name, value=value)
bool
set_header(PyObject *self, PyObject *name, PyObject *value) noexcept
{
    PyObject *args[] = {name, value};
    return frame::discard(
        frame::call_method(self, s(id::set_header), args, 2, keywords.name_value.get()));
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
    line = FINISH_CONTENT_TYPE;
    if (!set_header(self, s(id::content_type), s(id::application_json)))
        return false;

    // The length is taken of the text after escaping: json.dumps writes non-ASCII characters
    // as \uXXXX, so characters and bytes on the wire agree.
    line = FINISH_CONTENT_LENGTH;
    Ref text = Ref::steal(json_dumps(result));
    if (!text)
        return false;
    const Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0)
        return false;
    Ref digits = Ref::steal(decimal_digits(length));
    if (!digits || !set_header(self, s(id::content_length), digits.get()))
        return false;

    line = FINISH_STATUS;
    Ref code = PyLong_CheckExact(status_code) ? Ref::borrow(status_code)
                                              : Ref::steal(PyNumber_Long(status_code));
    if (!code)
        return false;
    PyObject *code_arg = code.get();
    if (!frame::discard(
            frame::call_method(self, s(id::set_status), &code_arg, 1, keywords.status_code.get())))
        return false;

    line = FINISH_WRITE;
    text = Ref::steal(json_dumps(result));
    if (!text)
        return false;
    PyObject *text_arg = text.get();
    return frame::discard(frame::call_method(self, s(id::finish), &text_arg, 1, nullptr));
}

} // namespace

constexpr frame::Method FINISH_WITH_RESULT = {
    "_finish_with_result",
    "DAGHandler._finish_with_result",
    FINISH_DEF,
    frame::Params{{id::self}, {id::status_code}, {id::result, &PyDict_Type}},
    frame::Names{},
    frame::Annotations{
        {id::status_code, id::HTTPStatus}, {id::result, id::a_result}, {id::return_, id::a_none}},
    nullptr,
    frame::method_entry<module, FINISH_WITH_RESULT, finish_body>,
    nullptr};

} // namespace flowsync
