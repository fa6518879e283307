// Argument binding of the fast-call convention, and exact-type tests of arguments and locals.
#include "frame/frame.h"

namespace frame {
namespace {

// The texts of the latest TypeErrors for a wrong count and for a wrong argument type. A
// caller that gets a call wrong tends to repeat it, and formatting a text costs more than the
// rest of the failure; each text depends on nothing but its key.
constexpr int MESSAGE_CACHE_SIZE = 8;

struct CountMessage {
    const Method *method;   // the method
    Py_ssize_t given;       // the count reported
    PyObject *text;         // owned
};

struct TypeMessage {
    const char *name;         // the argument
    PyTypeObject *expected;   // its type
    PyObject *given;          // owned, so that no other type can take its address meanwhile
    PyObject *given_name;     // owned: a class's name object then (renaming replaces it)
    bool subclass;            // whether it was a subclass of `expected` then
    PyObject *text;           // owned
};

CountMessage count_messages[MESSAGE_CACHE_SIZE];
TypeMessage type_messages[MESSAGE_CACHE_SIZE];
int next_count_message;   // the entry that the next new text replaces
int next_type_message;

void
release(const CountMessage &entry) noexcept
{
    Py_XDECREF(entry.text);
}

void
release(const TypeMessage &entry) noexcept
{
    Py_XDECREF(entry.text);
    Py_XDECREF(entry.given_name);
    Py_XDECREF(entry.given);
}

// The object behind a class's tp_name: its name str for a class made in Python (null for a
// static type, whose name never changes).
PyObject *
name_object(PyTypeObject *type) noexcept
{
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return nullptr;
    return reinterpret_cast<PyHeapTypeObject *>(type)->ht_name;
}

// Puts `entry` (whose references it takes) in place of the oldest entry of `cache`. The old
// entry is released after the new one is stored: releasing a type can run Python code.
template <typename Entry>
void
keep_message(Entry (&cache)[MESSAGE_CACHE_SIZE], int &next, const Entry &entry) noexcept
{
    const Entry old = cache[next];
    cache[next] = entry;
    next = (next + 1) % MESSAGE_CACHE_SIZE;
    release(old);
}

// Like a Python function with positional-or-keyword parameters and no defaults.
bool
wrong_count(Module &m, const Method &method, Py_ssize_t given) noexcept
{
    Ref text;
    for (const CountMessage &entry : count_messages) {
        if (entry.method == &method && entry.given == given) {
            text = Ref::borrow(entry.text);
            break;
        }
    }
    if (!text) {
        text = Ref::steal(
            PyUnicode_FromFormat("%.200s() takes exactly %zd positional argument%s (%zd given)",
                                 method.name, method.params.count,
                                 method.params.count == 1 ? "" : "s", given));
        if (text) {
            Py_INCREF(text.get());
            keep_message(count_messages, next_count_message, {&method, given, text.get()});
        }
    }
    if (text)
        PyErr_SetObject(PyExc_TypeError, text.get());
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
        if (m.str(method.params.ids[i]) == key)
            return i;
    }
    // str's own hash and text, even for a str subclass that overrides them.
    const Py_hash_t hash = PyUnicode_Type.tp_hash(key);
    if (hash == -1) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < method.params.count; i++) {
        PyObject *param = m.str(method.params.ids[i]);
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
        while (k < nkw && PyTuple_GET_ITEM(kwnames, k) == m.str(method.params.ids[nargs + k]))
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
raise_argument_type(PyObject *value, PyTypeObject *type, const char *name) noexcept
{
    PyTypeObject *given = Py_TYPE(value);
    // A class's name and bases can change: the text is reused only while both are the same.
    const bool subclass = PyType_IsSubtype(given, type);
    Ref text;
    for (const TypeMessage &entry : type_messages) {
        if (entry.given == reinterpret_cast<PyObject *>(given) && entry.expected == type &&
            entry.name == name && entry.given_name == name_object(given) &&
            entry.subclass == subclass) {
            text = Ref::borrow(entry.text);
            break;
        }
    }
    if (!text) {
        text = Ref::steal(
            subclass ? PyUnicode_FromFormat(
                           "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                           "Subclasses of built-in types are rejected: the value must be of "
                           "exactly that type.",
                           name, type->tp_name, given->tp_name)
                     : PyUnicode_FromFormat(
                           "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                           name, type->tp_name, given->tp_name));
        if (!text)
            return false;
        PyObject *given_name = name_object(given);
        Py_INCREF(text.get());
        Py_INCREF(given);
        Py_XINCREF(given_name);
        keep_message(type_messages, next_type_message,
                     {name, type, reinterpret_cast<PyObject *>(given), given_name, subclass,
                      text.get()});
    }
    PyErr_SetObject(PyExc_TypeError, text.get());
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
