// Every use of the interpreter's C API that differs between CPython releases, in one place.
//
// Everything else in the frame and the modules is written against these helpers, so that
// the same sources build for 3.8 and later releases without changing what Python sees.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <stdint.h>

#if PY_VERSION_HEX < 0x03080000
#error "the frame needs CPython 3.8 or later"
#endif

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter but not declared by these releases' public headers.
extern "C" int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

// The init function stays visible although the modules hide every other symbol; 3.8's
// PyMODINIT_FUNC does not mark it exported itself.
#define FRAME_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *

namespace frame::compat {

// Vectorcall: private names in 3.8, public from 3.9.
#if PY_VERSION_HEX < 0x03090000
constexpr unsigned long HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject *
vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#else
constexpr unsigned long HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject *
vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

// Sets the type of a statically allocated object (a static type's metatype).
inline void
set_type(PyObject *o, PyTypeObject *type)
{
#if PY_VERSION_HEX < 0x03090000
    Py_TYPE(o) = type;
#else
    Py_SET_TYPE(o, type);
#endif
}

// Whether a call with a keyword dict reaches the callee without its keys being checked for
// str (3.8); later releases raise "keywords must be strings" before the call.
constexpr bool UNCHECKED_KEYWORD_DICTS = PY_VERSION_HEX < 0x03090000;

// Looks `name` up on `obj` the way the interpreter does for a method call: for a plain
// function found on the type, *method is that function and the result is 1 (call it with
// `obj` prepended); otherwise *method is the attribute itself and the result is 0. No bound
// method is built. On failure *method is null and an exception is set.
inline int
get_method(PyObject *obj, PyObject *name, PyObject **method)
{
    // The interpreter leaves *method untouched on some failures.
    *method = nullptr;
    return _PyObject_GetMethod(obj, name, method);
}

// getattr() that reports a missing attribute as 0 without an exception (1 found, -1 error).
inline int
lookup_attr(PyObject *obj, PyObject *name, PyObject **result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Identifier of the interpreter running the calling thread.
inline int64_t
current_interpreter_id()
{
#if PY_VERSION_HEX < 0x03090000
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#else
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#endif
}

// The exception being raised, taken out of the thread state as one normalised object
// (its traceback attached), or null when none is set.
inline PyObject *
take_error()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises `exc` again (an object from take_error()); steals the reference.
inline void
restore_error(PyObject *exc)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc == nullptr)
        return;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// The exception that an `except` clause is handling (sys.exc_info()[1]), new reference or
// null; and its replacement, as entering or leaving an `except` clause does (steals `exc`).
inline PyObject *
get_handled()
{
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *exc = PyErr_GetHandledException();
    if (exc == Py_None) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
#else
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (value == Py_None) {
        Py_DECREF(value);
        return nullptr;
    }
    return value;
#endif
}

inline void
set_handled(PyObject *exc)
{
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(exc);
    Py_XDECREF(exc);
#else
    if (exc == nullptr) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
#endif
}

// A type's name after the last dot, as repr() shows it. Private: the public PyType_GetName
// (3.11 on) makes a new str instead.
inline const char *
type_name(PyTypeObject *type)
{
    return _PyType_Name(type);
}

// Frees the state block of a module that a create slot hands back a second time: the import
// system allocated it with PyMem_Malloc for that module and, on exec, overwrites the pointer
// without freeing it. Relies on that allocation, an interpreter detail, not public API.
inline int
free_module_state(PyObject *module)
{
    void *state = PyModule_GetState(module);
    if (state == nullptr && PyErr_Occurred())
        return -1;
    PyMem_Free(state);
    return 0;
}

// A code object with no bytecode, as the module bodies describe their methods.
inline PyObject *
new_code(int argcount, PyObject *varnames, PyObject *filename, PyObject *name, int firstlineno,
         PyObject *empty_bytes, PyObject *empty_tuple)
{
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030B0000
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
#else
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
#endif
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, name, firstlineno, empty_bytes, empty_bytes);
    // The constructor raises a stack size of 0 to 1, room for code that these objects never
    // run: they describe methods whose bodies are native.
    if (code != nullptr)
        code->co_stacksize = 0;
    return reinterpret_cast<PyObject *>(code);
#else
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, firstlineno, empty_bytes);
#if PY_VERSION_HEX < 0x030B0000
    // Added by the constructor for a code object without free variables; the flags say
    // exactly optimised and new locals.
    if (code != nullptr)
        code->co_flags &= ~CO_NOFREE;
#endif
    return reinterpret_cast<PyObject *>(code);
#endif
}

// A frame of `code` whose current line is `line`, for a traceback record. The frame has not
// run, so from 3.11 its line is read from the code object, whose first line is `line`.
inline PyObject *
new_frame(PyObject *code, PyObject *globals, int line)
{
    PyFrameObject *f =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
    if (f != nullptr)
        f->f_lineno = line;
#else
    (void)line;
#endif
    return reinterpret_cast<PyObject *>(f);
}

// A stamp of a dict's contents that changes whenever the dict is changed, for the
// module-global caches. 3.8 to 3.11 keep one in every dict; later releases report changes
// to watchers instead, and watch_dict() must have been called for the dict.
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t watched_dicts_epoch;
inline uint64_t
dict_version(PyObject *)
{
    return watched_dicts_epoch;
}
int watch_dict(PyObject *dict);
#else
inline uint64_t
dict_version(PyObject *dict)
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
inline int
watch_dict(PyObject *)
{
    return 0;
}
#endif

} // namespace frame::compat
