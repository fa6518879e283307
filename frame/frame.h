// The frame: what an extension module of this package needs at its boundary with the
// interpreter. Module sources include this header only.
#pragma once

#include "frame/compat.h"
#include "frame/ref.h"

#include <stdint.h>

#include <initializer_list>

namespace frame {

struct Module;

// ---------------------------------------------------------------------------------------------
// String tables

// One entry of a string table. Identifiers (attribute, global, keyword, parameter and module
// names) are interned so that lookups compare them by identity; other texts are plain str.
struct StringDef {
    const char *text;
    bool identifier;
};

// Creates (once) and hashes every entry of a table; false with an exception set on failure.
bool make_strings(const StringDef *defs, Kept *out, Py_ssize_t count) noexcept;

// The names the frame itself uses, in every module's storage.
#define FRAME_STRINGS(X)                                                                          \
    X(__doc__)                                                                                    \
    X(__module__)                                                                                 \
    X(__mro_entries__)                                                                            \
    X(__name__)                                                                                   \
    X(__orig_bases__)                                                                             \
    X(__prepare__)                                                                                \
    X(__qualname__)

// A module's string table is an X-macro LIST(ID, NAME, TEXT): ID(n) an identifier whose text
// is n, NAME(n, "text") an identifier with another text, TEXT(n, "text") a literal that is not
// an identifier. FRAME_STRING_IDS(LIST) declares the ids (id::n) and id::COUNT;
// FRAME_STRING_DEFS(LIST) expands to the table's StringDef entries in the same order.
#define FRAME_STRING_ID_(n) n,
#define FRAME_STRING_NAMED_ID_(n, text) n,
#define FRAME_STRING_IDS(LIST)                                                                    \
    namespace id {                                                                                \
    enum Name : int {                                                                             \
        LIST(FRAME_STRING_ID_, FRAME_STRING_NAMED_ID_, FRAME_STRING_NAMED_ID_) COUNT              \
    };                                                                                            \
    }
#define FRAME_STRING_ID_DEF_(n) {#n, true},
#define FRAME_STRING_NAME_DEF_(n, text) {text, true},
#define FRAME_STRING_TEXT_DEF_(n, text) {text, false},
#define FRAME_STRING_DEFS(LIST)                                                                   \
    LIST(FRAME_STRING_ID_DEF_, FRAME_STRING_NAME_DEF_, FRAME_STRING_TEXT_DEF_)

enum class FrameString : int {
#define FRAME_STRING_ID(n) n,
    FRAME_STRINGS(FRAME_STRING_ID)
#undef FRAME_STRING_ID
        count_
};

// ---------------------------------------------------------------------------------------------
// Modules

// The fixed description of one extension module.
struct ModuleSpec {
    const char *short_name;   // name in the module definition, e.g. "flowsync"
    const char *full_name;    // dotted name: sys.modules key, __module__, messages
    const char *file_name;    // source file name of code objects and traceback records
    const StringDef *strings; // the module's string table
    Py_ssize_t string_count;  // entries in it
    const int *builtins;      // string ids of the built-ins that the body captures
    Py_ssize_t builtin_count; // entries in it
    bool (*body)(Module &m);  // constants and module body; sets m.line per statement
};

// Process-wide storage of one module (its definition declares no per-module state). Every
// reference it holds is kept for the life of the process, or until a failed initialisation
// starts again.
struct Module {
    constexpr Module(const ModuleSpec &s, Kept *string_storage, Kept *builtin_storage) noexcept
        : spec(s), strings(string_storage), captured(builtin_storage)
    {
    }

    const ModuleSpec &spec;
    Kept *strings;  // the string table, spec.string_count entries
    Kept *captured; // captured built-ins, spec.builtin_count entries
    Kept frame_strings[static_cast<int>(FrameString::count_)];

    bool has_interpreter = false;      // set by the first create slot, never cleared
    int64_t interpreter_id = 0;        // that interpreter
    Kept module;                       // the one module object
    PyObject *dict = nullptr;          // its __dict__, borrowed from `module`
    Kept builtins;                     // the builtins module
    PyObject *builtins_dict = nullptr; // its __dict__, borrowed from `builtins`
    Kept empty_tuple;
    Kept empty_bytes;
    Kept full_name;               // spec.full_name as an interned str
    Kept file_name;               // spec.file_name as a str
    Kept function_type;           // NativeFunction, shared by every module
    Kept function_metatype;       // its metatype
    uint32_t runtime_version = 0; // major, minor, micro, next: one byte each
    int line = 0;                 // statement being run by the body, for its record

    PyObject *
    str(int id) const noexcept
    {
        return strings[id].get();
    }
    PyObject *
    str(FrameString id) const noexcept
    {
        return frame_strings[static_cast<int>(id)].get();
    }
};

PyObject *module_create(Module &m, PyObject *spec) noexcept;
int module_exec(Module &m, PyObject *module) noexcept;

// Slot functions of a module definition, bound to that module's storage.
template <Module &M>
PyObject *
create_slot(PyObject *spec, PyModuleDef *) noexcept
{
    return module_create(M, spec);
}

template <Module &M>
int
exec_slot(PyObject *module) noexcept
{
    return module_exec(M, module);
}

// Defines, at global scope, the module definition `name` (no docstring, no state, no
// functions; create and exec slots bound to `storage`) and its init function PyInit_<name>.
#define FRAME_MODULE_DEFINITION(name, storage)                                                    \
    namespace {                                                                                   \
    PyMethodDef frame_no_functions_[] = {{nullptr, nullptr, 0, nullptr}};                         \
    PyModuleDef_Slot frame_slots_[] = {                                                           \
        {Py_mod_create, reinterpret_cast<void *>(::frame::create_slot<storage>)},                 \
        {Py_mod_exec, reinterpret_cast<void *>(::frame::exec_slot<storage>)},                     \
        {0, nullptr},                                                                             \
    };                                                                                            \
    PyModuleDef frame_definition_ = {                                                             \
        PyModuleDef_HEAD_INIT, #name,   nullptr, 0,       frame_no_functions_,                    \
        frame_slots_,          nullptr, nullptr, nullptr,                                         \
    };                                                                                            \
    }                                                                                             \
    FRAME_MODINIT_FUNC PyInit_##name()                                                            \
    {                                                                                             \
        return PyModuleDef_Init(&frame_definition_);                                              \
    }

// Packs up to four dot-separated groups of decimal digits at the start of `text`, one byte
// each from the most significant down (3.8.18 gives 0x03081200).
uint32_t parse_version(const char *text) noexcept;

// ---------------------------------------------------------------------------------------------
// Methods

// Room for the parameters or locals of a method; the longest has 14.
constexpr int MAX_NAMES = 16;

// String ids of a method's parameters or locals, in order; `names({id::self, ...})`.
struct Names {
    int ids[MAX_NAMES]; // string ids
    Py_ssize_t count;   // entries used
};

constexpr Names
names(std::initializer_list<int> ids) noexcept
{
    Names list{};
    for (int name : ids)
        list.ids[list.count++] = name; // more than MAX_NAMES does not compile
    return list;
}

// One entry of __annotations__.
struct Annotation {
    int name; // string id of the annotated name, or of "return"
    int text; // string id of the annotation's text
};

// Room for a method's annotations; the most annotated has 4.
constexpr int MAX_ANNOTATIONS = 5;

// A method's __annotations__ in order; `annotations({{id::kernel_id, id::a_str}, ...})`.
struct Annotations {
    Annotation items[MAX_ANNOTATIONS]; // in the order of the `def` line
    Py_ssize_t count;                  // entries used
};

constexpr Annotations
annotations(std::initializer_list<Annotation> items) noexcept
{
    Annotations list{};
    for (const Annotation &item : items)
        list.items[list.count++] = item; // more than MAX_ANNOTATIONS does not compile
    return list;
}

// How a class body stores a method's function object.
enum class Store {
    plain,         // the function itself
    authenticated, // decorated with the host's tornado.web.authenticated
    staticmethod,  // wrapped in staticmethod()
};

// The one description of a method, beside its body: binding, the code object, the function
// object and the class body's entry are all made from it.
struct Method {
    const char *name;        // __name__, co_name and the name in binding messages
    const char *qualname;    // __qualname__, e.g. "DAGHandler.post"
    int first_line;          // the `def` line: co_firstlineno, binding failures' record
    Names params;            // parameters in order, `self` included
    Names locals;            // the other local variables of co_varnames
    Annotations annotations; // __annotations__
    const char *doc;         // __doc__, or null
    vectorcallfunc body;     // called with the interpreter's fast-call convention
    Store store;             // how the class stores the function
};

// The method's code object: no bytecode, the module's source file name, flags 3.
PyObject *make_code(Module &m, const Method &method) noexcept;

// The method's function object (a NativeFunction), its __annotations__ attached, with the
// module's name and dict.
PyObject *make_function(Module &m, const Method &method, PyObject *code) noexcept;

// Gets the shared function type from the registry module, or makes and registers it.
bool function_type_ready(Module &m) noexcept;

// ---------------------------------------------------------------------------------------------
// Argument binding and type tests

// bind_arguments() for a call with keywords or a wrong count.
bool bind_keywords(Module &m, const Method &method, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, PyObject **out) noexcept;

// Binds a fast call's arguments to the parameters of method M: out[i] is a borrowed reference
// to the value of parameter i. On failure raises the binding TypeError and records the
// traceback entry. Inline: the usual call, all arguments by position, costs a count test and
// the copy.
template <const Method &M, size_t N>
inline bool
bind_arguments(Module &m, PyObject *const *args, size_t nargsf, PyObject *kwnames,
               PyObject *(&out)[N]) noexcept
{
    static_assert(N == static_cast<size_t>(M.params.count), "one slot per parameter");
    if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != static_cast<Py_ssize_t>(N))
        return bind_keywords(m, M, args, nargsf, kwnames, out);
    for (size_t i = 0; i < N; i++)
        out[i] = args[i];
    return true;
}

// Raises the TypeError of an argument that is not of exactly `type`; returns false.
bool raise_argument_type(PyObject *value, PyTypeObject *type, const char *name) noexcept;

// The value must be of exactly `type` (None and subclass instances refused). Inline: a
// passing test is one comparison.
inline bool
check_argument(PyObject *value, PyTypeObject *type, const char *name) noexcept
{
    return Py_TYPE(value) == type || raise_argument_type(value, type, name);
}

// A typed local holds exactly `type` or None.
bool check_local(PyObject *value, PyTypeObject *type) noexcept;

// ---------------------------------------------------------------------------------------------
// Globals, imports and class statements

// One reading site of a module global: the value found there, valid while neither the module
// dict nor the builtins dict changed.
struct GlobalCache {
    uint64_t globals_version = 0;
    uint64_t builtins_version = 0;
    PyObject *value = nullptr; // borrowed: the dict that held it still does
};

// load_global() when the site's cache does not hold the value: looks it up and fills the cache.
PyObject *load_global_uncached(Module &m, PyObject *name, GlobalCache &cache) noexcept;

// Reads a module global as Python code does: the module's dict, then the builtins; NameError
// when neither has it. New reference. Inline: while neither dict changed, a read is two stamp
// comparisons.
inline PyObject *
load_global(Module &m, PyObject *name, GlobalCache &cache) noexcept
{
    if (cache.value != nullptr && cache.globals_version == compat::dict_version(m.dict) &&
        cache.builtins_version == compat::dict_version(m.builtins_dict)) {
        Py_INCREF(cache.value);
        return cache.value;
    }
    return load_global_uncached(m, name, cache);
}

// Reads the global `name` (a string id of module `m`) with a cache of its own for this site.
#define FRAME_GLOBAL(m, name)                                                                     \
    ([]() noexcept {                                                                              \
        static ::frame::GlobalCache site_cache_;                                                  \
        return ::frame::load_global((m), (m).str(name), site_cache_);                             \
    }())

// Binds a module global.
bool store_global(Module &m, PyObject *name, PyObject *value) noexcept;

// `name = {}` in a module body.
bool store_new_dict(Module &m, PyObject *name) noexcept;

// One import statement of a module body: `import name` when `count` is 0, else
// `from name import names...`.
struct ImportStatement {
    int line;         // source line, for the initialisation's traceback record
    int name;         // string id of the name as written
    int level;        // 0 absolute, 1 or 2 relative
    int absolute;     // string id of the absolute name that sys.modules is probed under
    int names[3];     // string ids of the names to take
    Py_ssize_t count; // how many
};

// Runs an import statement and binds its names as module globals.
bool run_import(Module &m, const ImportStatement &stmt) noexcept;

// Runs a module body's import statements in order, each at its own line.
template <size_t N>
bool
run_imports(Module &m, const ImportStatement (&statements)[N]) noexcept
{
    for (const ImportStatement &stmt : statements) {
        m.line = stmt.line;
        if (!run_import(m, stmt))
            return false;
    }
    return true;
}

// Class statement steps: resolve the bases, calculate the metaclass, prepare the namespace.
PyObject *resolve_bases(Module &m, PyObject *bases) noexcept;
PyObject *calculate_metaclass(PyObject *bases) noexcept;
PyObject *prepare_namespace(Module &m, PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *module_name, PyObject *doc) noexcept;
// Stores into a class namespace: straight into a dict, through __setitem__ otherwise.
bool namespace_set(PyObject *ns, PyObject *key, PyObject *value) noexcept;

// `def name(...)` in a class body: stores `stored` (the function, or what wraps it) under the
// method's name.
bool store_method(PyObject *ns, const Method &method, PyObject *stored) noexcept;

// A class statement of a module body: begin() resolves the bases, calculates the metaclass and
// prepares the namespace (with __orig_bases__ when the bases changed); the body then stores
// its methods with namespace_set(ns(), ...); end() calls the metaclass and binds the class as
// the module global `name`.
class ClassStatement {
  public:
    bool begin(Module &m, PyObject *bases, PyObject *name, PyObject *doc) noexcept;
    // `class name(base):` with the one base that both module bodies use.
    bool begin_with_base(Module &m, PyObject *base, PyObject *name, PyObject *doc) noexcept;
    PyObject *
    ns() const noexcept
    {
        return ns_.get();
    }
    bool end(Module &m) noexcept;

  private:
    Ref name_;
    Ref resolved_;
    Ref metaclass_;
    Ref ns_;
};

// ---------------------------------------------------------------------------------------------
// Operations of method bodies

// callable(*args) with the interpreter's fast-call convention: `nargs` positional arguments,
// then one value per name of `kwnames` (a tuple of str, or null).
inline PyObject *
call(PyObject *callable, PyObject *const *args, size_t nargs, PyObject *kwnames) noexcept
{
    return compat::vectorcall(callable, args, nargs, kwnames);
}

// Drops the result of a call whose value is not used: true when the call succeeded.
inline bool
discard(PyObject *result) noexcept
{
    Py_XDECREF(result);
    return result != nullptr;
}

// obj.name(*args) where the last PyTuple_GET_SIZE(kwnames) of `args` are keyword values;
// calls a plain method without building a bound method. At most 4 arguments.
PyObject *call_method(PyObject *obj, PyObject *name, PyObject *const *args, Py_ssize_t count,
                      PyObject *kwnames) noexcept;

// obj[key]: a dict's own lookup for an exact dict (KeyError(key) when absent), else
// __getitem__.
PyObject *subscript(PyObject *obj, PyObject *key) noexcept;

// Raises KeyError with `key` as its one argument.
void raise_key_error(PyObject *key) noexcept;

// Walks `iterable` as a for statement does: a list or tuple by position, re-reading its
// length before each step, anything else through its iterator. `visit(item)` gets a
// borrowed item and returns false (with an exception set) to stop with a failure.
template <typename Visit>
bool
for_each(PyObject *iterable, Visit &&visit) noexcept
{
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < Py_SIZE(iterable); i++) {
            Ref item = Ref::borrow(PyList_CheckExact(iterable) ? PyList_GET_ITEM(iterable, i)
                                                               : PyTuple_GET_ITEM(iterable, i));
            if (!visit(item.get()))
                return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!visit(item.get()))
            return false;
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------------------------
// Traceback records and except clauses

// Adds a traceback entry to the exception being raised, of the module's source file with its
// dict as globals: for a method, its full dotted name at `line`; for the module body,
// "init <module's dotted name>" at m.line.
void add_traceback(Module &m, const Method &method, int line) noexcept;
void add_init_traceback(Module &m) noexcept;

// A method body's `line` after a failure whose traceback entry is already recorded.
constexpr int LINE_RECORDED = 0;

// What a method returns after its body: `result` (None for a body that returns nothing), or
// null after recording the traceback entry of the statement at `line` that failed.
inline PyObject *
method_result(Module &m, const Method &method, PyObject *result, int line) noexcept
{
    if (result == nullptr && line != LINE_RECORDED)
        add_traceback(m, method, line);
    return result;
}

inline PyObject *
method_result(Module &m, const Method &method, bool ok, int line) noexcept
{
    if (!ok)
        return method_result(m, method, static_cast<PyObject *>(nullptr), line);
    Py_RETURN_NONE;
}

// A `try` block of a method failed at `line`: records its traceback entry (before any handler
// sees the exception, as Python does) and tells whether `except Exception` takes the
// exception. When it does not (KeyboardInterrupt and the like pass through), `line` becomes
// LINE_RECORDED.
inline bool
caught_as_exception(Module &m, const Method &method, int &line) noexcept
{
    add_traceback(m, method, line);
    if (PyErr_ExceptionMatches(PyExc_Exception))
        return true;
    line = LINE_RECORDED;
    return false;
}

// An `except` clause: while it runs, the exception that was raised is the handled one
// (sys.exc_info()); when it ends, the exception handled before comes back.
class ExceptClause {
  public:
    ExceptClause() = default;
    ExceptClause(const ExceptClause &) = delete;
    ExceptClause &operator=(const ExceptClause &) = delete;
    ~ExceptClause();

    // Takes the raised exception; false with an exception set if that fails.
    bool enter() noexcept;
    // The exception being handled (borrowed).
    PyObject *
    exception() const noexcept
    {
        return exc_.get();
    }

  private:
    Ref exc_;   // the exception being handled
    Ref saved_; // the one handled before the clause
    bool entered_ = false;
};

} // namespace frame
