// NativeFunction: the function type of every method, shared by all modules of the package.
#include "frame/internal.h"

#include <stddef.h>
#include <structmember.h>

#include <utility>

namespace frame {
namespace {

// A method: its static definition plus what Python sees of a function.
struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall; // the body, called by the interpreter directly
    const Method *def;                       // name, docstring and body
    PyObject *name;                          // __name__, made from def->name on first read
    PyObject *qualname;                      // __qualname__
    PyObject *module;                        // __module__
    PyObject *globals;                       // __globals__: the module's dict
    PyObject *code;                          // __code__, or null
    PyObject *doc;                           // __doc__ once read or set; null until then
    PyObject *annotations;                   // __annotations__, null until read or set
    PyObject *defaults;                      // __defaults__, null for None
    PyObject *kwdefaults;                    // __kwdefaults__, null for None
    PyObject *dict;                          // __dict__
    PyObject *weakreflist;                   // weak references to the function
    PyObject *is_coroutine;                  // _is_coroutine, computed on first read
};

// Registry module and names under which the first module to initialise leaves the types.
// The version suffix changes with the layout of NativeFunction.
constexpr const char *REGISTRY_MODULE = "_zelvo_frame";
constexpr const char *REGISTRY_TYPE = "_native_function_v1";
constexpr const char *REGISTRY_METATYPE = "_native_function_meta_v1";

NativeFunction *
as_function(PyObject *o) noexcept
{
    return reinterpret_cast<NativeFunction *>(o);
}

PyObject *
none_if_null(PyObject *o) noexcept
{
    if (o == nullptr)
        o = Py_None;
    Py_INCREF(o);
    return o;
}

// Stores the new value before dropping the old one: the decref may run Python code.
void
replace(PyObject **field, PyObject *value) noexcept
{
    PyObject *old = *field;
    Py_XINCREF(value);
    *field = value;
    Py_XDECREF(old);
}

// -- slots -----------------------------------------------------------------------------------

int
func_traverse(PyObject *self, visitproc visit, void *arg)
{
    NativeFunction *f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->is_coroutine);
    return 0;
}

int
func_clear(PyObject *self)
{
    NativeFunction *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->is_coroutine);
    return 0;
}

void
func_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr)
        PyObject_ClearWeakRefs(self);
    func_clear(self);
    PyObject_GC_Del(self);
}

PyObject *
func_repr(PyObject *self)
{
    // A cleared function (tp_clear, in a garbage cycle) has no qualified name left; its
    // definition's name stays.
    NativeFunction *f = as_function(self);
    return PyUnicode_FromFormat("<%s %V at %p>", compat::type_name(Py_TYPE(self)), f->qualname,
                                f->def->name, self);
}

// Like a Python function: through an instance, a bound method; through the class, itself.
PyObject *
func_descr_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// A call through the generic protocol (argument tuple and keyword dict) becomes a fast call.
PyObject *
func_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    vectorcallfunc call = as_function(self)->vectorcall;
    if (nkw == 0)
        return call(self, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);

    PyObject **stack = PyMem_New(PyObject *, nargs + nkw);
    if (stack == nullptr)
        return PyErr_NoMemory();
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    PyObject *result = nullptr;
    if (kwnames) {
        for (Py_ssize_t i = 0; i < nargs; i++)
            stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        bool keys_ok = true;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                keys_ok = false;
                break;
            }
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            stack[nargs + k] = value; // the dict keeps it alive for the call
            k++;
        }
        if (keys_ok)
            result = call(self, stack, static_cast<size_t>(nargs), kwnames.get());
    }
    PyMem_Free(stack);
    return result;
}

// -- attributes ------------------------------------------------------------------------------

// A field made when it is first read: make() gives its value (a new reference, or null with
// an exception set). New reference.
template <typename Make>
PyObject *
made_when_read(PyObject **field, Make make) noexcept
{
    if (*field == nullptr) {
        *field = make();
        if (*field == nullptr)
            return nullptr;
    }
    Py_INCREF(*field);
    return *field;
}

PyObject *
func_get_name(PyObject *self, void *)
{
    NativeFunction *f = as_function(self);
    return made_when_read(&f->name,
                          [f]() noexcept { return PyUnicode_InternFromString(f->def->name); });
}

// The setter of a field that always holds a str, as a Python function's __name__ and
// __qualname__: `message` refuses anything else, and deletion.
int
set_string(PyObject **field, PyObject *value, const char *message)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace(field, value);
    return 0;
}

int
func_set_name(PyObject *self, PyObject *value, void *)
{
    return set_string(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject *
func_get_qualname(PyObject *self, void *)
{
    return none_if_null(as_function(self)->qualname);
}

int
func_set_qualname(PyObject *self, PyObject *value, void *)
{
    return set_string(&as_function(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject *
func_get_doc(PyObject *self, void *)
{
    NativeFunction *f = as_function(self);
    return made_when_read(&f->doc, [f]() noexcept -> PyObject * {
        if (f->def->doc != nullptr)
            return PyUnicode_FromString(f->def->doc);
        Py_RETURN_NONE;
    });
}

int
func_set_doc(PyObject *self, PyObject *value, void *)
{
    // Deleting __doc__ leaves None, as for Python functions.
    replace(&as_function(self)->doc, value == nullptr ? Py_None : value);
    return 0;
}

PyObject *
func_get_closure(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyObject *
func_get_defaults(PyObject *self, void *)
{
    return none_if_null(as_function(self)->defaults);
}

// Calls bind their arguments from the static definition, so a stored value changes nothing.
int
warn_ignored(const char *attribute)
{
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changes to the %s of a native function will not currently affect "
                            "the values used in function calls",
                            attribute);
}

// The setter of a field that holds an instance of `type` or nothing (None or deletion), as
// a Python function's are; `message` refuses anything else. `ignored` names an attribute
// whose stored value calls do not use, which is warned of; null for the others.
int
set_optional(PyObject **field, PyObject *value, PyTypeObject *type, const char *message,
             const char *ignored)
{
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyObject_TypeCheck(value, type)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (ignored != nullptr && warn_ignored(ignored) < 0)
        return -1;
    replace(field, value);
    return 0;
}

int
func_set_defaults(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->defaults, value, &PyTuple_Type,
                        "__defaults__ must be set to a tuple object", "__defaults__");
}

PyObject *
func_get_kwdefaults(PyObject *self, void *)
{
    return none_if_null(as_function(self)->kwdefaults);
}

int
func_set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->kwdefaults, value, &PyDict_Type,
                        "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}

PyObject *
func_get_annotations(PyObject *self, void *)
{
    return made_when_read(&as_function(self)->annotations, []() noexcept { return PyDict_New(); });
}

int
func_set_annotations(PyObject *self, PyObject *value, void *)
{
    return set_optional(&as_function(self)->annotations, value, &PyDict_Type,
                        "__annotations__ must be set to a dict object", nullptr);
}

// No method of the package is a coroutine function.
PyObject *
func_get_is_coroutine(PyObject *self, void *)
{
    return made_when_read(&as_function(self)->is_coroutine,
                          []() noexcept -> PyObject * { Py_RETURN_FALSE; });
}

// Pickling refers to the function by its qualified name.
PyObject *
func_reduce(PyObject *self, PyObject *)
{
    return none_if_null(as_function(self)->qualname);
}

PyGetSetDef func_getset[] = {
    {"__name__", func_get_name, func_set_name, nullptr, nullptr},
    {"__qualname__", func_get_qualname, func_set_qualname, nullptr, nullptr},
    {"__doc__", func_get_doc, func_set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", func_get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", func_get_defaults, func_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", func_get_kwdefaults, func_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", func_get_annotations, func_set_annotations, nullptr, nullptr},
    {"_is_coroutine", func_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(NativeFunction, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The metatype keeps the function type's own attributes fixed, with one message on every
// version: a static type refuses them by itself, but with "can't set attributes of
// built-in/extension type" before 3.10 and this text from 3.10 on.
int
meta_setattro(PyObject *type, PyObject *name, PyObject *)
{
    PyErr_Format(PyExc_TypeError, "cannot set %R attribute of immutable type '%s'", name,
                 reinterpret_cast<PyTypeObject *>(type)->tp_name);
    return -1;
}

// Filled in by ready_types(): C++17 has no designated initialisers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_metatype = {
    PyVarObject_HEAD_INIT(nullptr, 0)  //
    "_zelvo_frame.NativeFunctionType", // tp_name
};

PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0) //
    "_zelvo_frame.NativeFunction",    // tp_name
};
#pragma GCC diagnostic pop

// Fills the two static type objects of this module's copy of the frame and readies them.
bool
ready_types() noexcept
{
    function_metatype.tp_base = &PyType_Type;
    function_metatype.tp_flags = Py_TPFLAGS_DEFAULT;
    function_metatype.tp_setattro = meta_setattro;
    function_metatype.tp_doc = "Metatype of NativeFunction.";
    if (PyType_Ready(&function_metatype) < 0)
        return false;

    compat::set_type(reinterpret_cast<PyObject *>(&function_type), &function_metatype);
    function_type.tp_basicsize = sizeof(NativeFunction);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_METHOD_DESCRIPTOR | compat::HAVE_VECTORCALL;
    function_type.tp_doc = "Function implemented natively by a module of this package.";
    function_type.tp_dealloc = func_dealloc;
    function_type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    function_type.tp_repr = func_repr;
    function_type.tp_call = func_call;
    function_type.tp_getattro = PyObject_GenericGetAttr;
    function_type.tp_setattro = PyObject_GenericSetAttr;
    function_type.tp_traverse = func_traverse;
    function_type.tp_clear = func_clear;
    function_type.tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
    function_type.tp_methods = func_methods;
    function_type.tp_members = func_members;
    function_type.tp_getset = func_getset;
    function_type.tp_descr_get = func_descr_get;
    function_type.tp_dictoffset = offsetof(NativeFunction, dict);
    return PyType_Ready(&function_type) == 0;
}

// A type found in the registry must have this build's instance layout.
bool
check_registered(PyObject *type) noexcept
{
    if (PyType_Check(type) && reinterpret_cast<PyTypeObject *>(type)->tp_basicsize ==
                                  static_cast<Py_ssize_t>(sizeof(NativeFunction)))
        return true;
    PyErr_Format(PyExc_TypeError, "%s.%s is not the expected native function type",
                 REGISTRY_MODULE, REGISTRY_TYPE);
    return false;
}

} // namespace

bool
function_type_ready(Module &m) noexcept
{
    if (m.function_type)
        return true;
    Ref registry = Ref::borrow(PyImport_AddModule(REGISTRY_MODULE));
    if (!registry)
        return false;
    Ref type_name = Ref::steal(PyUnicode_InternFromString(REGISTRY_TYPE));
    if (!type_name)
        return false;
    PyObject *found = nullptr;
    if (compat::lookup_attr(registry.get(), type_name.get(), &found) < 0)
        return false;
    Ref type = Ref::steal(found);
    Ref metatype;
    if (type) {
        // Made by another module of the package: use it if its layout is this build's.
        if (!check_registered(type.get()))
            return false;
        metatype = Ref::steal(PyObject_GetAttrString(registry.get(), REGISTRY_METATYPE));
        if (!metatype)
            return false;
    }
    else {
        if (!ready_types())
            return false;
        type = Ref::borrow(reinterpret_cast<PyObject *>(&function_type));
        metatype = Ref::borrow(reinterpret_cast<PyObject *>(&function_metatype));
        if (PyObject_SetAttr(registry.get(), type_name.get(), type.get()) < 0 ||
            PyObject_SetAttrString(registry.get(), REGISTRY_METATYPE, metatype.get()) < 0)
            return false;
    }
    m.function_type = std::move(type);
    m.function_metatype = std::move(metatype);
    return true;
}

namespace {

// A new function object of `def` with the given __qualname__ and __module__.
PyObject *
function_new(Module &m, const Method &def, PyObject *qualname, PyObject *module_name,
             PyObject *code) noexcept
{
    NativeFunction *f =
        PyObject_GC_New(NativeFunction, reinterpret_cast<PyTypeObject *>(m.function_type.get()));
    if (f == nullptr)
        return nullptr;
    f->vectorcall = def.entry;
    f->def = &def;
    f->name = nullptr;
    f->qualname = qualname;
    f->module = module_name;
    f->globals = m.dict;
    f->code = code;
    f->doc = nullptr;
    f->annotations = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->is_coroutine = nullptr;
    Py_INCREF(qualname);
    Py_INCREF(module_name);
    Py_INCREF(m.dict);
    Py_XINCREF(code);
    PyObject *self = reinterpret_cast<PyObject *>(f);
    PyObject_GC_Track(self);
    return self;
}

// co_varnames: the parameters' names, then those of the other locals.
PyObject *
varnames_of(Module &m, const Method &method) noexcept
{
    PyObject *t = PyTuple_New(method.params.count + method.locals.count);
    if (t == nullptr)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); i++) {
        const bool param = i < method.params.count;
        PyObject *item = m.str(param ? method.params.items[i].name
                                     : method.locals.items[i - method.params.count]);
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i, item);
    }
    return t;
}

} // namespace

PyObject *
make_code(Module &m, const Method &method) noexcept
{
    Ref varnames = Ref::steal(varnames_of(m, method));
    if (!varnames)
        return nullptr;
    Ref name = Ref::steal(PyUnicode_InternFromString(method.name));
    if (!name)
        return nullptr;
    return compat::new_code(static_cast<int>(method.params.count), varnames.get(),
                            m.file_name.get(), name.get(), method.first_line, m.empty_bytes.get(),
                            m.empty_tuple.get());
}

PyObject *
make_function(Module &m, const Method &method, PyObject *code) noexcept
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations)
        return nullptr;
    for (Py_ssize_t i = 0; i < method.annotations.count; i++) {
        const Annotation &item = method.annotations.items[i];
        if (PyDict_SetItem(annotations.get(), m.str(item.name), m.str(item.text)) < 0)
            return nullptr;
    }
    Ref qualname = Ref::steal(PyUnicode_InternFromString(method.qualname));
    if (!qualname)
        return nullptr;
    Ref function = Ref::steal(function_new(m, method, qualname.get(), m.full_name.get(), code));
    if (function)
        replace(&as_function(function.get())->annotations, annotations.get());
    return function.release();
}

} // namespace frame
