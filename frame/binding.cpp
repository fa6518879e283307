// Argument binding of the fast-call convention, and exact-type tests of arguments and locals.
#include "frame/frame.h"

namespace frame {
namespace {

// Like a Python function with positional-or-keyword parameters and no defaults.
bool
wrong_count(Module &m, const Signature &sig, Py_ssize_t given) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", sig.count, sig.count == 1 ? "" : "s", given);
    add_traceback(m, sig.qualified, sig.first_line);
    return false;
}

bool
keyword_error(Module &m, const Signature &sig, const char *format, PyObject *key) noexcept
{
    PyErr_Format(PyExc_TypeError, format, sig.name, key);
    add_traceback(m, sig.qualified, sig.first_line);
    return false;
}

// Index of the parameter named `key`, or -1. Names compare by identity first (the
// interpreter interns keyword names, and so does the string table), then as text.
Py_ssize_t
find_parameter(Module &m, const Signature &sig, PyObject *key) noexcept
{
    for (Py_ssize_t i = 0; i < sig.count; i++) {
        if (m.str(sig.params[i]) == key)
            return i;
    }
    // str's own hash and text, even for a str subclass that overrides them.
    const Py_hash_t hash = PyUnicode_Type.tp_hash(key);
    if (hash == -1) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; i++) {
        PyObject *param = m.str(sig.params[i]);
        if (PyUnicode_Type.tp_hash(param) == hash && PyUnicode_Compare(param, key) == 0)
            return i;
    }
    return -1;
}

} // namespace

// 1. Without keywords, exactly sig.count positional arguments.
// 2. With keywords, at most sig.count positional ones; each keyword binds a parameter not
//    bound by position, or raises.
// 3. Then every parameter must be bound; the first unbound one is reported with its index
//    as the number given.
bool
bind_arguments(Module &m, const Signature &sig, PyObject *const *args, size_t nargsf,
               PyObject *kwnames, PyObject **out) noexcept
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs != sig.count)
            return wrong_count(m, sig, nargs);
        for (Py_ssize_t i = 0; i < nargs; i++)
            out[i] = args[i];
        return true;
    }
    if (nargs > sig.count)
        return wrong_count(m, sig, nargs);
    for (Py_ssize_t i = 0; i < sig.count; i++)
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
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            add_traceback(m, sig.qualified, sig.first_line);
            return false;
        }
        const Py_ssize_t i = find_parameter(m, sig, key);
        if (i < 0)
            return keyword_error(m, sig, "%s() got an unexpected keyword argument '%U'", key);
        if (out[i] != nullptr)
            return keyword_error(m, sig, "%s() got multiple values for keyword argument '%U'",
                                 key);
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < sig.count; i++) {
        if (out[i] == nullptr)
            return wrong_count(m, sig, i);
    }
    return true;
}

bool
check_argument(Module &m, PyObject *value, PyTypeObject *type, const char *name) noexcept
{
    if (Py_TYPE(value) == type)
        return true;
    const bool subclass = PyType_IsSubtype(Py_TYPE(value), type);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", name,
                 type->tp_name, Py_TYPE(value)->tp_name, subclass ? ". " : "",
                 subclass ? m.exact_type_note : m.empty_str);
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
