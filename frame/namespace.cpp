// Module globals, import statements and the steps of a class statement.
#include "frame/internal.h"

#include <utility>

namespace frame {

PyObject *
load_global_uncached(Module &m, PyObject *name, GlobalCache &cache) noexcept
{
    // Read the stamps before the lookup: should the lookup itself change a dict (a key's
    // __eq__ can), the stamp is already stale and the next read looks again.
    const uint64_t globals_version = compat::dict_version(m.dict);
    const uint64_t builtins_version = compat::dict_version(m.builtins_dict);
    PyObject *value = PyDict_GetItemWithError(m.dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred())
            return nullptr;
        value = PyDict_GetItemWithError(m.builtins_dict, name);
        if (value == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return nullptr;
        }
    }
    cache = {globals_version, builtins_version, value};
    Py_INCREF(value);
    return value;
}

bool
store_global(Module &m, PyObject *name, PyObject *value) noexcept
{
    return PyDict_SetItem(m.dict, name, value) == 0;
}

bool
store_new_dict(Module &m, PyObject *name) noexcept
{
    Ref dict = Ref::steal(PyDict_New());
    return dict && store_global(m, name, dict.get());
}

namespace {

// sys.modules[name] as a new reference, or null (with an exception set only on error).
PyObject *
probe_sys_modules(PyObject *name) noexcept
{
    PyObject *module = PyImport_GetModule(name);
    if (module == nullptr && PyErr_Occurred())
        return nullptr;
    return module;
}

// Whether a module found in sys.modules already provides every name of the statement.
bool
has_names(Module &m, PyObject *module, const ImportStatement &stmt) noexcept
{
    for (Py_ssize_t i = 0; i < stmt.names.count; i++) {
        PyObject *value = nullptr;
        const int found = compat::lookup_attr(module, m.str(stmt.names.items[i]), &value);
        if (found <= 0) {
            PyErr_Clear(); // the import machinery will say what is wrong
            return false;
        }
        Py_DECREF(value);
    }
    return true;
}

// `from module import name`: the attribute, else the submodule of that name; ImportError
// when neither is there.
PyObject *
import_from(Module &m, PyObject *module, PyObject *name) noexcept
{
    PyObject *value = nullptr;
    const int found = compat::lookup_attr(module, name, &value);
    if (found > 0)
        return value;
    if (found == 0) {
        Ref package = Ref::steal(PyObject_GetAttr(module, m.str(FrameString::__name__)));
        Ref full = package && PyUnicode_Check(package.get())
                       ? Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name))
                       : Ref();
        Ref submodule = full ? Ref::steal(probe_sys_modules(full.get())) : Ref();
        if (submodule)
            return submodule.release();
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

} // namespace

// 1. Probe sys.modules under the absolute name; a plain import uses what it finds (unless it
//    is None), a from-import only when the module has every name to take.
// 2. Otherwise call the import machinery with the name as written, the module's globals, a
//    new locals dict, a new list of the names and the level.
// 3. Bind the module, or each name taken from it, as a module global.
bool
run_import(Module &m, const ImportStatement &stmt) noexcept
{
    Ref module = Ref::steal(probe_sys_modules(m.str(stmt.absolute)));
    if (!module && PyErr_Occurred())
        return false;
    // None in sys.modules blocks the import on purpose: the machinery raises the
    // interpreter's ModuleNotFoundError for it.
    if (module.get() == Py_None)
        module.reset();
    if (module && stmt.names.count > 0 && !has_names(m, module.get(), stmt))
        module.reset();
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        if (!locals)
            return false;
        Ref fromlist = Ref::borrow(Py_None);
        if (stmt.names.count > 0) {
            fromlist = Ref::steal(PyList_New(stmt.names.count));
            if (!fromlist)
                return false;
            for (Py_ssize_t i = 0; i < stmt.names.count; i++) {
                PyObject *name = m.str(stmt.names.items[i]);
                Py_INCREF(name);
                PyList_SET_ITEM(fromlist.get(), i, name);
            }
        }
        module = Ref::steal(PyImport_ImportModuleLevelObject(
            m.str(stmt.name), m.dict, locals.get(), fromlist.get(), stmt.level));
        if (!module)
            return false;
    }
    if (stmt.names.count == 0)
        return store_global(m, m.str(stmt.name), module.get());
    for (Py_ssize_t i = 0; i < stmt.names.count; i++) {
        PyObject *name = m.str(stmt.names.items[i]);
        Ref value = Ref::steal(import_from(m, module.get(), name));
        if (!value || !store_global(m, name, value.get()))
            return false;
    }
    return true;
}

// Like a class statement: a base that is not a class but has __mro_entries__ is replaced by
// the items that __mro_entries__ returns. The tuple itself comes back when nothing changed.
PyObject *
resolve_bases(Module &m, PyObject *bases) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved; // a list, made at the first replacement
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *base = PyTuple_GET_ITEM(bases, i);
        PyObject *entries_fn = nullptr;
        if (!PyType_Check(base)) {
            if (compat::lookup_attr(base, m.str(FrameString::__mro_entries__), &entries_fn) < 0)
                return nullptr;
        }
        if (entries_fn == nullptr) {
            if (resolved && PyList_Append(resolved.get(), base) < 0)
                return nullptr;
            continue;
        }
        Ref fn = Ref::steal(entries_fn);
        Ref entries = Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), bases, nullptr));
        if (!entries)
            return nullptr;
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return nullptr;
        }
        if (!resolved) {
            Ref before = Ref::steal(PyTuple_GetSlice(bases, 0, i));
            resolved = before ? Ref::steal(PySequence_List(before.get())) : Ref();
            if (!resolved)
                return nullptr;
        }
        const Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0)
            return nullptr;
    }
    if (!resolved) {
        Py_INCREF(bases);
        return bases;
    }
    return PyList_AsTuple(resolved.get());
}

// The most derived metaclass of the bases; `type` without bases.
PyObject *
calculate_metaclass(PyObject *bases) noexcept
{
    PyTypeObject *winner = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); i++) {
        PyTypeObject *type = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (winner == nullptr || PyType_IsSubtype(type, winner)) {
            winner = type;
            continue;
        }
        if (PyType_IsSubtype(winner, type))
            continue;
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    if (winner == nullptr)
        winner = &PyType_Type;
    Py_INCREF(winner);
    return reinterpret_cast<PyObject *>(winner);
}

bool
namespace_set(PyObject *ns, PyObject *key, PyObject *value) noexcept
{
    if (PyDict_CheckExact(ns))
        return PyDict_SetItem(ns, key, value) == 0;
    return PyObject_SetItem(ns, key, value) == 0;
}

// The metaclass's __prepare__(name, bases), or a new dict; then __module__, __qualname__
// and (when the class has one) __doc__, in this order.
PyObject *
prepare_namespace(Module &m, PyObject *metaclass, PyObject *bases, PyObject *name,
                  PyObject *qualname, PyObject *module_name, PyObject *doc) noexcept
{
    PyObject *prepare_fn = nullptr;
    if (compat::lookup_attr(metaclass, m.str(FrameString::__prepare__), &prepare_fn) < 0)
        return nullptr;
    Ref prepare = Ref::steal(prepare_fn);
    Ref ns = prepare
                 ? Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name, bases, nullptr))
                 : Ref::steal(PyDict_New());
    if (!ns)
        return nullptr;
    if (!namespace_set(ns.get(), m.str(FrameString::__module__), module_name) ||
        !namespace_set(ns.get(), m.str(FrameString::__qualname__), qualname))
        return nullptr;
    if (doc != nullptr && !namespace_set(ns.get(), m.str(FrameString::__doc__), doc))
        return nullptr;
    return ns.release();
}

bool
ClassStatement::begin(Module &m, PyObject *bases, PyObject *name, PyObject *doc) noexcept
{
    name_ = Ref::borrow(name);
    resolved_ = Ref::steal(resolve_bases(m, bases));
    if (!resolved_)
        return false;
    metaclass_ = Ref::steal(calculate_metaclass(resolved_.get()));
    if (!metaclass_)
        return false;
    // Classes of module bodies are top-level: the qualified name is the name.
    ns_ = Ref::steal(prepare_namespace(m, metaclass_.get(), resolved_.get(), name, name,
                                       m.full_name.get(), doc));
    if (!ns_)
        return false;
    return resolved_.get() == bases ||
           namespace_set(ns_.get(), m.str(FrameString::__orig_bases__), bases);
}

bool
ClassStatement::begin_with_base(Module &m, PyObject *base, PyObject *name, PyObject *doc) noexcept
{
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    return bases && begin(m, bases.get(), name, doc);
}

bool
ClassStatement::end(Module &m) noexcept
{
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(metaclass_.get(), name_.get(),
                                                      resolved_.get(), ns_.get(), nullptr));
    return cls && store_global(m, name_.get(), cls.get());
}

bool
make_codes(Module &m, const ClassDef &def) noexcept
{
    for (size_t i = 0; i < def.count; i++) {
        def.codes[i] = Ref::steal(make_code(m, *def.methods[i]));
        if (!def.codes[i])
            return false;
    }
    return true;
}

bool
run_class(Module &m, const ClassDef &def) noexcept
{
    m.line = def.line;
    GlobalCache site;
    Ref base = Ref::steal(load_global(m, m.str(def.base), site));
    if (!base)
        return false;
    ClassStatement statement;
    PyObject *doc = def.doc == NO_DOC ? nullptr : m.str(def.doc);
    if (!statement.begin_with_base(m, base.get(), m.str(def.name), doc))
        return false;
    for (size_t i = 0; i < def.count; i++) {
        const Method &method = *def.methods[i];
        m.line = method.first_line;
        Ref function = Ref::steal(make_function(m, method, def.codes[i].get()));
        if (!function)
            return false;
        Ref stored = method.wrapper == nullptr ? std::move(function)
                                               : Ref::steal(method.wrapper(function.get()));
        Ref name = Ref::steal(PyUnicode_InternFromString(method.name));
        if (!stored || !name || !namespace_set(statement.ns(), name.get(), stored.get()))
            return false;
    }
    m.line = def.line;
    return statement.end(m);
}

} // namespace frame
