// The benchmarks' native helpers: the floors (the least work a builtin can do for
// _get_pipeline's "no components" result and for a broadcast), loops that time single C API
// operations, and a counter of the interpreter's allocations.
#include <Python.h>

#include <stddef.h>

namespace {

// The registry the floor reads, set by set_cabinet() (a dict, owned).
PyObject *cabinet;
// ("There are no components in this pipeline.", "error"), built once.
PyObject *no_components;
// Interned names: the three parameters after self, then the two attributes read.
PyObject *param_names[3];
PyObject *graph_name;
PyObject *components_name;

PyObject *
new_ref(PyObject *o)
{
    Py_INCREF(o);
    return o;
}

PyObject *
wrong_count(Py_ssize_t given)
{
    // Counted with self, like the method it stands in for.
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "_get_pipeline", "exactly", Py_ssize_t{4}, "s", given + 1);
    return nullptr;
}

bool
check(PyObject *value, PyTypeObject *type, const char *name)
{
    if (Py_TYPE(value) == type)
        return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", name,
                 type->tp_name, Py_TYPE(value)->tp_name, "", "");
    return false;
}

Py_ssize_t
find_parameter(PyObject *key)
{
    for (Py_ssize_t i = 0; i < 3; i++) {
        if (param_names[i] == key)
            return i;
    }
    for (Py_ssize_t i = 0; i < 3; i++) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(param_names[i], key) == 0)
            return i;
    }
    return -1;
}

// Floor._get_pipeline(kernel_id, cell_ids, ipynb_name): binds by position or keyword, tests
// the exact types, reads cabinet[kernel_id].graph.components and, when that is false,
// returns the prebuilt pair. Anything else is outside what the floor stands for.
PyObject *
floor_get_pipeline(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[3];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs != 3)
            return wrong_count(nargs);
        a[0] = args[0];
        a[1] = args[1];
        a[2] = args[2];
    }
    else {
        if (nargs > 3)
            return wrong_count(nargs);
        for (Py_ssize_t i = 0; i < 3; i++)
            a[i] = i < nargs ? args[i] : nullptr;
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_parameter(key);
            if (i < 0 || a[i] != nullptr) {
                PyErr_SetString(PyExc_TypeError,
                                "_get_pipeline() got an unexpected keyword argument");
                return nullptr;
            }
            a[i] = args[nargs + k];
        }
        for (Py_ssize_t i = nargs; i < 3; i++) {
            if (a[i] == nullptr)
                return wrong_count(i);
        }
    }
    if (!check(a[0], &PyUnicode_Type, "kernel_id") || !check(a[1], &PyList_Type, "cell_ids") ||
        !check(a[2], &PyUnicode_Type, "ipynb_name"))
        return nullptr;
    if (cabinet == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "set_cabinet() first");
        return nullptr;
    }
    PyObject *dag_info = PyDict_GetItemWithError(cabinet, a[0]);
    if (dag_info == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, a[0]);
        return nullptr;
    }
    Py_INCREF(dag_info);
    PyObject *graph = PyObject_GetAttr(dag_info, graph_name);
    Py_DECREF(dag_info);
    if (graph == nullptr)
        return nullptr;
    PyObject *components = PyObject_GetAttr(graph, components_name);
    Py_DECREF(graph);
    if (components == nullptr)
        return nullptr;
    const int truth = PyObject_IsTrue(components);
    Py_DECREF(components);
    if (truth < 0)
        return nullptr;
    if (truth) {
        PyErr_SetString(PyExc_NotImplementedError, "the floor serves the no-components path only");
        return nullptr;
    }
    Py_INCREF(no_components);
    return no_components;
}

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
extern "C" int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

PyObject *
vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
#if PY_VERSION_HEX < 0x03090000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

// obj.name(arg) without a bound method, as the interpreter's own method calls do.
PyObject *
call_method(PyObject *obj, PyObject *name, PyObject *arg)
{
    PyObject *method = nullptr;
    const int unbound = _PyObject_GetMethod(obj, name, &method);
    if (method == nullptr)
        return nullptr;
    PyObject *stack[2] = {obj, arg};
    PyObject *result = unbound ? vectorcall(method, stack, 2, nullptr)
                               : vectorcall(method, stack + 1, 1, nullptr);
    Py_DECREF(method);
    return result;
}

// The websocket handler class and json.dumps, set by set_transmit().
PyObject *socket_class;
PyObject *dumps;
PyObject *registry_name;
PyObject *kernel_id_name;
PyObject *write_message_name;

// Floor.transmit(kernel_id, data): the least a builtin can do for a broadcast: serialise
// once, walk the registry, compare each connection's kernel id and call its write_message.
// No binding by keyword, no type tests, no traceback records.
PyObject *
floor_transmit(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || socket_class == nullptr) {
        PyErr_SetString(PyExc_TypeError, "transmit(kernel_id, data) after set_transmit()");
        return nullptr;
    }
    PyObject *kernel_id = args[0];
    PyObject *payload = vectorcall(dumps, &args[1], 1, nullptr);
    if (payload == nullptr)
        return nullptr;
    PyObject *registry = PyObject_GetAttr(socket_class, registry_name);
    if (registry == nullptr || !PyList_CheckExact(registry)) {
        Py_XDECREF(registry);
        Py_DECREF(payload);
        return registry == nullptr ? nullptr : PyErr_Format(PyExc_TypeError, "a list");
    }
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(registry); i++) {
        PyObject *handler = PyList_GET_ITEM(registry, i);
        Py_INCREF(handler);
        PyObject *kernel = PyObject_GetAttr(handler, kernel_id_name);
        if (kernel == nullptr)
            ok = false;
        else if (kernel == kernel_id ||
                 (PyUnicode_CheckExact(kernel) && PyUnicode_Compare(kernel, kernel_id) == 0)) {
            PyObject *written = call_method(handler, write_message_name, payload);
            ok = written != nullptr;
            Py_XDECREF(written);
        }
        Py_XDECREF(kernel);
        Py_DECREF(handler);
    }
    Py_DECREF(registry);
    Py_DECREF(payload);
    if (!ok)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef floor_methods[] = {
    {"_get_pipeline",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_get_pipeline)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"transmit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_transmit)),
     METH_FASTCALL | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject floor_type = {PyVarObject_HEAD_INIT(nullptr, 0) "_floor.Floor"};

// -- allocation counter ----------------------------------------------------------------------

// The allocator of each domain before the counter was put in front of it.
PyMemAllocatorEx saved[3];
constexpr PyMemAllocatorDomain DOMAINS[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
// Allocations seen (malloc, calloc and realloc of every domain) since the last reset.
size_t allocations;

void *
count_malloc(void *ctx, size_t size)
{
    auto *a = static_cast<PyMemAllocatorEx *>(ctx);
    allocations++;
    return a->malloc(a->ctx, size);
}

void *
count_calloc(void *ctx, size_t nelem, size_t elsize)
{
    auto *a = static_cast<PyMemAllocatorEx *>(ctx);
    allocations++;
    return a->calloc(a->ctx, nelem, elsize);
}

void *
count_realloc(void *ctx, void *ptr, size_t size)
{
    auto *a = static_cast<PyMemAllocatorEx *>(ctx);
    allocations++;
    return a->realloc(a->ctx, ptr, size);
}

void
count_free(void *ctx, void *ptr)
{
    auto *a = static_cast<PyMemAllocatorEx *>(ctx);
    a->free(a->ctx, ptr);
}

// count_allocations(func, args, kwnames, n): calls func(*args) n times (the last
// len(kwnames) items of args by keyword) and returns how many allocations the interpreter's
// allocators served meanwhile. The calls are made from here so that no Python loop adds its
// own.
PyObject *
count_allocations(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 4 || !PyTuple_CheckExact(args[1]) ||
        (args[2] != Py_None && !PyTuple_CheckExact(args[2]))) {
        PyErr_SetString(PyExc_TypeError, "count_allocations(func, args: tuple, kwnames, n)");
        return nullptr;
    }
    PyObject *func = args[0];
    PyObject *call_args = args[1];
    PyObject *kwnames = args[2] == Py_None ? nullptr : args[2];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const Py_ssize_t n = PyLong_AsSsize_t(args[3]);
    if (n < 0)
        return PyErr_Occurred() ? nullptr : PyLong_FromLong(0);
    const size_t npos = static_cast<size_t>(PyTuple_GET_SIZE(call_args) - nkw);

    for (int d = 0; d < 3; d++)
        PyMem_GetAllocator(DOMAINS[d], &saved[d]);
    PyMemAllocatorEx hooks[3];
    for (int d = 0; d < 3; d++) {
        hooks[d] = {&saved[d], count_malloc, count_calloc, count_realloc, count_free};
        PyMem_SetAllocator(DOMAINS[d], &hooks[d]);
    }
    allocations = 0;
    bool ok = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *result = vectorcall(func, &PyTuple_GET_ITEM(call_args, 0), npos, kwnames);
        if (result == nullptr) {
            ok = false;
            break;
        }
        Py_DECREF(result);
    }
    const size_t counted = allocations;
    for (int d = 0; d < 3; d++)
        PyMem_SetAllocator(DOMAINS[d], &saved[d]);
    if (!ok)
        return nullptr;
    return PyLong_FromSize_t(counted);
}

// -- what the interpreter charges a builtin ---------------------------------------------------

// call_method_n(obj, name, arg, n): obj.name(arg), n times, from native code.
PyObject *
call_method_n(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 4 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "call_method_n(obj, name, arg, n)");
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(args[3]);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *result = call_method(args[0], args[1], args[2]);
        if (result == nullptr)
            return nullptr;
        Py_DECREF(result);
    }
    return PyErr_Occurred() ? nullptr : new_ref(Py_None);
}

// getattr_n(obj, name, n): obj.name, n times, through the generic attribute protocol.
PyObject *
getattr_n(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "getattr_n(obj, name, n)");
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(args[2]);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *result = PyObject_GetAttr(args[0], args[1]);
        if (result == nullptr)
            return nullptr;
        Py_DECREF(result);
    }
    return PyErr_Occurred() ? nullptr : new_ref(Py_None);
}

// set_transmit(socket_class, dumps): what Floor.transmit reads.
PyObject *
set_transmit(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "set_transmit(socket_class, dumps)");
        return nullptr;
    }
    Py_XSETREF(socket_class, new_ref(args[0]));
    Py_XSETREF(dumps, new_ref(args[1]));
    Py_RETURN_NONE;
}

// set_cabinet(registry): the dict that Floor._get_pipeline reads.
PyObject *
set_cabinet(PyObject *, PyObject *registry)
{
    if (!PyDict_CheckExact(registry)) {
        PyErr_SetString(PyExc_TypeError, "set_cabinet() takes a dict");
        return nullptr;
    }
    Py_INCREF(registry);
    Py_XSETREF(cabinet, registry);
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"count_allocations",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_allocations)), METH_FASTCALL,
     nullptr},
    {"set_cabinet", set_cabinet, METH_O, nullptr},
    {"set_transmit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_transmit)),
     METH_FASTCALL, nullptr},
    {"call_method_n", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_method_n)),
     METH_FASTCALL, nullptr},
    {"getattr_n", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getattr_n)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_floor",
                          nullptr,
                          -1,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

extern "C" __attribute__((visibility("default"))) PyObject *
PyInit__floor()
{
    const char *names[3] = {"kernel_id", "cell_ids", "ipynb_name"};
    for (int i = 0; i < 3; i++) {
        if (param_names[i] == nullptr &&
            (param_names[i] = PyUnicode_InternFromString(names[i])) == nullptr)
            return nullptr;
    }
    if (graph_name == nullptr && (graph_name = PyUnicode_InternFromString("graph")) == nullptr)
        return nullptr;
    if (registry_name == nullptr &&
        ((registry_name = PyUnicode_InternFromString("registry")) == nullptr ||
         (kernel_id_name = PyUnicode_InternFromString("kernel_id")) == nullptr ||
         (write_message_name = PyUnicode_InternFromString("write_message")) == nullptr))
        return nullptr;
    if (components_name == nullptr &&
        (components_name = PyUnicode_InternFromString("components")) == nullptr)
        return nullptr;
    if (no_components == nullptr &&
        (no_components = Py_BuildValue("(ss)", "There are no components in this pipeline.",
                                       "error")) == nullptr)
        return nullptr;

    floor_type.tp_basicsize = sizeof(PyObject);
    floor_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    floor_type.tp_doc = "A handler class whose one method is the floor of _get_pipeline.";
    floor_type.tp_methods = floor_methods;
    floor_type.tp_new = PyType_GenericNew;
    if (PyType_Ready(&floor_type) < 0)
        return nullptr;

    PyObject *module = PyModule_Create(&module_def);
    if (module == nullptr)
        return nullptr;
    Py_INCREF(&floor_type);
    if (PyModule_AddObject(module, "Floor", reinterpret_cast<PyObject *>(&floor_type)) < 0) {
        Py_DECREF(&floor_type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
