// Module creation and execution: the guards, the version check and the common start.
#include "frame/internal.h"

// The interpreter version the module was built for: that of the headers, unless a build
// claims another one (a test does, to see the mismatch warning).
#ifndef FRAME_BUILT_FOR_MAJOR
#define FRAME_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#define FRAME_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {
namespace {

constexpr StringDef FRAME_STRING_DEFS[] = {
#define FRAME_STRING_DEF(n) {#n, true},
    FRAME_STRINGS(FRAME_STRING_DEF)
#undef FRAME_STRING_DEF
};

// Copies spec.<attribute> into the new module's dict as `key`; a spec without the attribute
// is skipped, and so is None when `skip_none` holds.
bool
copy_spec_attribute(PyObject *spec, PyObject *dict, const char *attribute, const char *key,
                    bool skip_none) noexcept
{
    Ref name = Ref::steal(PyUnicode_InternFromString(attribute));
    if (!name)
        return false;
    PyObject *found = nullptr;
    const int present = compat::lookup_attr(spec, name.get(), &found);
    if (present < 0)
        return false;
    Ref value = Ref::steal(found);
    if (present == 0 || (skip_none && value.get() == Py_None))
        return true;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Warns when the interpreter running the module is not the one it was built for.
bool
check_version(Module &m) noexcept
{
    m.runtime_version = parse_version(Py_GetVersion());
    const int major = static_cast<int>(m.runtime_version >> 24);
    const int minor = static_cast<int>((m.runtime_version >> 16) & 0xff);
    if (major == FRAME_BUILT_FOR_MAJOR && minor == FRAME_BUILT_FOR_MINOR)
        return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' does not "
                            "match runtime version %d.%d",
                            FRAME_BUILT_FOR_MAJOR, FRAME_BUILT_FOR_MINOR, m.spec.full_name, major,
                            minor) == 0;
}

// The common start: the builtins, the version check, the frame's constants, the strings.
// Their failures carry no traceback record.
bool
start(Module &m) noexcept
{
    m.builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!m.builtins)
        return false;
    m.builtins_dict = PyModule_GetDict(m.builtins.get());
    if (compat::watch_dict(m.builtins_dict) < 0)
        return false;
    if (PyObject_SetAttrString(m.module.get(), "__builtins__", m.builtins.get()) < 0)
        return false;
    if (!check_version(m))
        return false;
    // Made anew by an initialisation that starts again: what an earlier one made with them
    // holds references of its own.
    m.empty_tuple = Ref::steal(PyTuple_New(0));
    if (!m.empty_tuple)
        return false;
    m.empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!m.empty_bytes)
        return false;
    m.full_name = Ref::steal(PyUnicode_InternFromString(m.spec.full_name));
    if (!m.full_name)
        return false;
    m.file_name = Ref::steal(PyUnicode_FromString(m.spec.file_name));
    if (!m.file_name)
        return false;
    return make_strings(FRAME_STRING_DEFS, m.frame_strings,
                        static_cast<Py_ssize_t>(FrameString::count_)) &&
           make_strings(m.spec.strings, m.strings, m.spec.string_count);
}

// The rest of an initialisation: the function type, the entry in sys.modules, the captured
// built-ins, then the module body and `__test__ = {}`. A failure records the statement's line (1
// for the frame's own).
bool
run(Module &m) noexcept
{
    m.line = 1;
    if (!function_type_ready(m))
        return false;
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, m.full_name.get()) == nullptr) {
        if (PyErr_Occurred() || PyDict_SetItem(modules, m.full_name.get(), m.module.get()) < 0)
            return false;
    }
    for (Py_ssize_t i = 0; i < m.spec.builtin_count; i++) {
        PyObject *name = m.str(m.spec.builtins[i]);
        PyObject *value = PyDict_GetItemWithError(m.builtins_dict, name);
        if (value == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return false;
        }
        m.captured[i] = Ref::borrow(value);
    }
    if (!m.spec.body(m))
        return false;
    // Every module ends with `__test__ = {}`, a statement of the frame's own.
    m.line = 1;
    return store_new_dict(m, m.str(FrameString::__test__));
}

} // namespace

uint32_t
parse_version(const char *text) noexcept
{
    uint32_t version = 0;
    int groups = 0;
    const char *p = text;
    while (groups < 4 && *p >= '0' && *p <= '9') {
        uint32_t group = 0;
        while (*p >= '0' && *p <= '9') {
            group = group * 10 + static_cast<uint32_t>(*p - '0');
            p++;
        }
        version |= (group & 0xff) << (24 - 8 * groups);
        groups++;
        if (*p != '.')
            break;
        p++;
    }
    return version;
}

PyObject *
module_create(Module &m, PyObject *spec) noexcept
{
    const int64_t id = compat::current_interpreter_id();
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (!m.has_interpreter) {
        m.interpreter_id = id;
        m.has_interpreter = true;
    }
    else if (m.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    // A repeated import gets the module that is already initialised. The import system
    // forgets the state block of whatever a create slot returns and allocates a new one when
    // it executes the module, so the old block is freed here: else every re-import leaks it.
    if (m.module) {
        if (compat::free_module_state(m.module.get()) < 0)
            return nullptr;
        return Ref::borrow(m.module.get()).release();
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

int
module_exec(Module &m, PyObject *module) noexcept
{
    if (m.module) {
        if (m.module.get() == module)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     m.spec.short_name);
        return -1;
    }
    m.module = Ref::borrow(module);
    m.dict = PyModule_GetDict(module);
    bool ok = compat::watch_dict(m.dict) == 0 && start(m);
    if (ok) {
        ok = run(m);
        if (!ok)
            add_init_traceback(m);
    }
    if (ok)
        return 0;
    // Forget the half-built module, so that the next import starts again from create.
    m.dict = nullptr;
    m.module.reset();
    return -1;
}

} // namespace frame
