// Argument binding of the fast-call convention, and exact-type tests of arguments and locals.
#include "frame/internal.h"

namespace frame {
namespace {

// Like a Python function with positional-or-keyword parameters and no defaults.
bool
wrong_count(Module &m, const Method &method, Py_ssize_t given) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%s (%zd given)",
                 method.name, method.params.count, method.params.count == 1 ? "" : "s", given);
    add_traceback(m, method, method.first_line);
    return false;
}

bool
keyword_error(Module &m, const Method &method, const char *format, PyObject *key) noexcept
{
    PyErr_Format(PyExc_TypeError, format, method.name, key);
    add_traceback(m, method, method.first_line);
    return false;
}

// Index of the parameter named `key`, or -1. Names compare by identity first (the
// interpreter interns keyword names, and so does the string table), then as text.
Py_ssize_t
find_parameter(Module &m, const Method &method, PyObject *key) noexcept
{
    for (Py_ssize_t i = 0; i < method.params.count; i++) {
        if (m.str(method.params.items[i].name) == key)
            return i;
    }
    // str's own hash and text, even for a str subclass that overrides them.
    const Py_hash_t hash = PyUnicode_Type.tp_hash(key);
    if (hash == -1) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < method.params.count; i++) {
        PyObject *param = m.str(method.params.items[i].name);
        if (PyUnicode_Type.tp_hash(param) == hash && PyUnicode_Compare(param, key) == 0)
            return i;
    }
    return -1;
}

} // namespace

// 1. Without keywords, exactly method.params.count positional arguments.
// 2. With keywords, at most that many positional ones; each keyword binds a parameter not
//    bound by position, or raises.
// 3. Then every parameter must be bound; the first unbound one is reported with its index
//    as the number given.
bool
bind_keywords(Module &m, const Method &method, PyObject *const *args, size_t nargsf,
              PyObject *kwnames, PyObject **out) noexcept
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs != method.params.count)
            return wrong_count(m, method, nargs);
        for (Py_ssize_t i = 0; i < nargs; i++)
            out[i] = args[i];
        return true;
    }
    if (nargs > method.params.count)
        return wrong_count(m, method, nargs);
    // Callers mostly name the remaining parameters in their own order, with the interned
    // names: then the arguments already stand in parameter order.
    if (nargs + nkw == method.params.count) {
        Py_ssize_t k = 0;
        while (k < nkw &&
               PyTuple_GET_ITEM(kwnames, k) == m.str(method.params.items[nargs + k].name))
            k++;
        if (k == nkw) {
            for (Py_ssize_t i = 0; i < method.params.count; i++)
                out[i] = args[i];
            return true;
        }
    }
    for (Py_ssize_t i = 0; i < method.params.count; i++)
        out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            // Where the interpreter passes a keyword dict's keys on unchecked, only that
            // dict can have brought the name: answer as the generic call does elsewhere.
            if (compat::UNCHECKED_KEYWORD_DICTS) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method.name);
            add_traceback(m, method, method.first_line);
            return false;
        }
        const Py_ssize_t i = find_parameter(m, method, key);
        if (i < 0)
            return keyword_error(m, method, "%s() got an unexpected keyword argument '%U'", key);
        if (out[i] != nullptr)
            return keyword_error(m, method, "%s() got multiple values for keyword argument '%U'",
                                 key);
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < method.params.count; i++) {
        if (out[i] == nullptr)
            return wrong_count(m, method, i);
    }
    return true;
}

bool
raise_argument_type(PyObject *value, PyTypeObject *type, PyObject *name) noexcept
{
    PyTypeObject *given = Py_TYPE(value);
    if (PyType_IsSubtype(given, type))
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200U' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are rejected: the value must be of exactly "
                     "that type.",
                     name, type->tp_name, given->tp_name);
    else
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)", name,
                     type->tp_name, given->tp_name);
    return false;
}

bool
check_local(PyObject *value, PyTypeObject *type) noexcept
{
    if (value == Py_None || Py_TYPE(value) == type)
        return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name,
                 Py_TYPE(value)->tp_name);
    return false;
}

} // namespace frame
