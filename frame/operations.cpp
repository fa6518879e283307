// Operations that method bodies use on the objects they are given.
#include "frame/internal.h"

namespace frame {

PyObject *
call_method(PyObject *obj, PyObject *name, PyObject *const *args, Py_ssize_t count,
            PyObject *kwnames) noexcept
{
    constexpr Py_ssize_t MAX_ARGS = 4;
    // One slot in front, so that a bound callee may prepend its `self` in place.
    PyObject *stack[1 + MAX_ARGS];
    if (count > MAX_ARGS) {
        PyErr_SetString(PyExc_SystemError, "call_method: too many arguments");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; i++)
        stack[1 + i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const size_t npos = static_cast<size_t>(count - nkw);

    PyObject *found = nullptr;
    const int unbound = compat::get_method(obj, name, &found);
    Ref method = Ref::steal(found);
    if (!method)
        return nullptr;
    if (unbound) {
        stack[0] = obj;
        return compat::vectorcall(method.get(), stack, npos + 1, kwnames);
    }
    return compat::vectorcall(method.get(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                              kwnames);
}

void
raise_key_error(PyObject *key) noexcept
{
    // A tuple value makes the exception's arguments: KeyError(key), whatever key is.
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args)
        PyErr_SetObject(PyExc_KeyError, args.get());
}

PyObject *
subscript(PyObject *obj, PyObject *key) noexcept
{
    if (!PyDict_CheckExact(obj))
        return PyObject_GetItem(obj, key);
    PyObject *value = PyDict_GetItemWithError(obj, key);
    if (value == nullptr) {
        if (!PyErr_Occurred())
            raise_key_error(key);
        return nullptr;
    }
    Py_INCREF(value);
    return value;
}

} // namespace frame
