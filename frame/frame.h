// The frame: what an extension module of this package needs at its boundary with the
// interpreter. Module sources include this header only; what only the frame's own sources
// share is in frame/internal.h.
#pragma once

#include "frame/compat.h"
#include "frame/ref.h"

#include <stdint.h>

#include <initializer_list>
#include <type_traits>
#include <utility>

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

// The names the frame itself uses, in every module's storage.
#define FRAME_STRINGS(X)                                                                          \
    X(__doc__)                                                                                    \
    X(__module__)                                                                                 \
    X(__mro_entries__)                                                                            \
    X(__name__)                                                                                   \
    X(__orig_bases__)                                                                             \
    X(__prepare__)                                                                                \
    X(__qualname__)                                                                               \
    X(__test__)

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
// In a module's shared header, within its namespace: the string ids of its table LIST, the
// module's storage `module` (defined by its init source), and s(id::n), the string of an id.
#define FRAME_MODULE_STRINGS(LIST)                                                                \
    FRAME_STRING_IDS(LIST)                                                                        \
    extern ::frame::Module module;                                                                \
    inline PyObject *s(id::Name name) noexcept                                                    \
    {                                                                                             \
        return module.str(name);                                                                  \
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

// The description of a module whose body captures the built-ins named in `builtins`.
template <size_t S, size_t B>
constexpr ModuleSpec
module_spec(const char *short_name, const char *full_name, const char *file_name,
            const StringDef (&strings)[S], const int (&builtins)[B],
            bool (*body)(Module &m)) noexcept
{
    return {short_name, full_name, file_name, strings, S, builtins, B, body};
}

// The description of a module whose body captures no built-in.
template <size_t S>
constexpr ModuleSpec
module_spec(const char *short_name, const char *full_name, const char *file_name,
            const StringDef (&strings)[S], bool (*body)(Module &m)) noexcept
{
    return {short_name, full_name, file_name, strings, S, nullptr, 0, body};
}

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

// ---------------------------------------------------------------------------------------------
// Methods

// A short list written in place, `{a, b, ...}`, with room for up to N items; the count is that
// of the items written, and more than N do not compile where the list is a constant.
template <typename T, int N> struct List {
    constexpr List() noexcept = default;
    constexpr List(std::initializer_list<T> written) noexcept
    {
        for (const T &item : written)
            items[count++] = item;
    }

    T items[N] = {};      // in the order written
    Py_ssize_t count = 0; // entries used
};

// Room for the parameters or locals of a method; the longest has 14.
constexpr int MAX_NAMES = 16;

// String ids in order: a method's locals, or the names an import statement takes.
using Names = List<int, MAX_NAMES>;

// One parameter of a method: `{id::self}` takes any object, `{id::kernel_id, &PyUnicode_Type}`
// an argument of exactly that type.
struct Param {
    constexpr Param() noexcept = default;
    constexpr Param(int n) noexcept : name(n) {}
    constexpr Param(int n, PyTypeObject *t) noexcept : name(n), type(t), typed(true) {}

    int name = 0;                 // its string id
    PyTypeObject *type = nullptr; // the exact type its argument must have
    bool typed = false;           // whether it has one (told apart without comparing addresses,
                                  // which is no constant expression under the sanitizers)
};

// A method's parameters in the order of the `def` line, `{{id::self}, {id::kernel_id,
// &PyUnicode_Type}}`.
using Params = List<Param, MAX_NAMES>;

// One entry of __annotations__.
struct Annotation {
    int name = 0; // string id of the annotated name, or of "return"
    int text = 0; // string id of the annotation's text
};

// Room for a method's annotations; the most annotated has 4.
constexpr int MAX_ANNOTATIONS = 5;

// A method's __annotations__ in the order of the `def` line, `{{id::kernel_id, id::a_str}}`.
using Annotations = List<Annotation, MAX_ANNOTATIONS>;

// What a class body stores in place of a method's function, as a decorator line does: a new
// reference made from the function, or null with an exception set. The module that uses a
// decorator provides it.
using Wrapper = PyObject *(*)(PyObject *function) noexcept;

// The one description of a method, beside its body: binding, the argument types, the code
// object, the function object and the class body's entry are all made from it.
struct Method {
    const char *name;        // __name__, co_name and the name in binding messages
    const char *qualname;    // __qualname__, e.g. "DAGHandler.post"
    int first_line;          // the `def` line: co_firstlineno, binding failures' record
    Params params;           // parameters in order, `self` included, with their types
    Names locals;            // the other local variables of co_varnames
    Annotations annotations; // __annotations__
    const char *doc;         // __doc__, or null
    vectorcallfunc entry;    // the fast call: method_entry<module, method, body>
    Wrapper wrapper;         // what the class stores; null: the function itself
};

// The keyword names of a call (a tuple of the strings of `names`), kept in `slot`.
bool make_keywords(Module &m, Kept &slot, const Names &names) noexcept;

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
bool raise_argument_type(PyObject *value, PyTypeObject *type, PyObject *name) noexcept;

// The argument of parameter I of method M must be of exactly the parameter's type (None and
// subclass instances refused); a parameter without one takes any object. Inline: a passing
// test is one comparison.
template <const Method &M, size_t I>
inline bool
check_argument(Module &m, PyObject *value) noexcept
{
    constexpr Param param = M.params.items[I];
    if constexpr (!param.typed)
        return true;
    else
        return Py_TYPE(value) == param.type ||
               raise_argument_type(value, param.type, m.str(param.name));
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

// owned.name, taking over the reference `owned` (null: a failure already raised, passed on).
// New reference or null.
inline PyObject *
attribute_of(PyObject *owned, PyObject *name) noexcept
{
    Ref object = Ref::steal(owned);
    return object ? PyObject_GetAttr(object.get(), name) : nullptr;
}

// `name.attr` of the global `name` (string ids of module `m`), the global read as
// FRAME_GLOBAL does.
#define FRAME_GLOBAL_ATTR(m, name, attr)                                                          \
    ::frame::attribute_of(FRAME_GLOBAL(m, name), (m).str(attr))

// `name = {}` in a module body.
bool store_new_dict(Module &m, PyObject *name) noexcept;

// One import statement of a module body: `import name` when `names` is empty, else
// `from name import names...`.
struct ImportStatement {
    int line;     // source line, for the initialisation's traceback record
    int name;     // string id of the name as written
    int level;    // 0 absolute, 1 or 2 relative
    int absolute; // string id of the absolute name that sys.modules is probed under
    Names names;  // string ids of the names to take
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

// String id of a class without a docstring.
constexpr int NO_DOC = -1;

// `class <name>(<base>):` in a module body, whose body defines its methods in order.
struct ClassDef {
    int line;                     // the `class` line
    int name;                     // string id of the class name
    int base;                     // string id of the module global that is the one base
    int doc;                      // string id of the docstring, or NO_DOC
    const Method *const *methods; // in the order of the body
    Kept *codes;                  // their code objects, module constants (make_codes)
    size_t count;                 // how many methods
};

template <size_t N>
constexpr ClassDef
class_def(int line, int name, int base, int doc, const Method *const (&methods)[N],
          Kept (&codes)[N]) noexcept
{
    return {line, name, base, doc, methods, codes, N};
}

// Makes the code objects of the class's methods.
bool make_codes(Module &m, const ClassDef &def) noexcept;

// Runs the class statement at its line: each method's function (its code object made
// before), stored as its description says, at its `def` line.
bool run_class(Module &m, const ClassDef &def) noexcept;

// ---------------------------------------------------------------------------------------------
// Operations of method bodies

// callable(*args) with the interpreter's fast-call convention: `nargs` positional arguments,
// then one value per name of `kwnames` (a tuple of str, or null).
inline PyObject *
call(PyObject *callable, PyObject *const *args, size_t nargs, PyObject *kwnames) noexcept
{
    return compat::vectorcall(callable, args, nargs, kwnames);
}

// callable(*args) as call() does, taking over the reference `owned` to the callable (null: a
// failure already raised, passed on).
inline PyObject *
call_of(PyObject *owned, PyObject *const *args, size_t nargs, PyObject *kwnames) noexcept
{
    Ref callable = Ref::steal(owned);
    return callable ? call(callable.get(), args, nargs, kwnames) : nullptr;
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

// obj.name() with no arguments.
inline PyObject *
call_method(PyObject *obj, PyObject *name) noexcept
{
    return call_method(obj, name, nullptr, 0, nullptr);
}

// obj.name() as call_method() makes it, taking over the reference `owned` to obj (null: a
// failure already raised, passed on).
inline PyObject *
call_method_of(PyObject *owned, PyObject *name) noexcept
{
    Ref obj = Ref::steal(owned);
    return obj ? call_method(obj.get(), name) : nullptr;
}

// obj[key]: a dict's own lookup for an exact dict (KeyError(key) when absent), else
// __getitem__.
PyObject *subscript(PyObject *obj, PyObject *key) noexcept;

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
// dict as globals: a method's full dotted name at `line` (the module body's entry:
// add_init_traceback in frame/internal.h).
void add_traceback(Module &m, const Method &method, int line) noexcept;

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
    // `except Exception:` after the `try` block of a method failed at `line`: records the
    // block's traceback entry (before the clause sees the exception, as Python does); when the
    // clause takes the exception, `line` becomes `except_line` and the clause is entered.
    // False when the exception passes (KeyboardInterrupt and the like; `line` becomes
    // LINE_RECORDED) or entering failed.
    bool catch_exception(Module &m, const Method &method, int &line, int except_line) noexcept;
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

// ---------------------------------------------------------------------------------------------
// Method entries

// The type of a body's argument I: a borrowed reference.
template <size_t> using Argument = PyObject *;

// Whether Body takes one argument per index I, then the line.
template <auto Body, size_t... I>
constexpr bool
takes_arguments(std::index_sequence<I...>) noexcept
{
    return std::is_invocable_v<decltype(Body), Argument<I>..., int &>;
}

// Tests every bound argument of method M against its parameter's type, in parameter order.
template <const Method &M, size_t... I>
inline bool
check_arguments(Module &m, PyObject *const *a, std::index_sequence<I...>) noexcept
{
    return (check_argument<M, I>(m, a[I]) && ...);
}

// Body(a[0], ..., line): the bound arguments as the body's parameters.
template <auto Body, size_t... I>
inline auto
run_body(PyObject *const *a, int &line, std::index_sequence<I...>) noexcept
{
    return Body(a[I]..., line);
}

// The fast-call entry of method M of module Mod: binds the arguments, tests their types, runs
// Body(argument..., line) and returns its result (see method_result). Body takes a borrowed
// reference per parameter and sets `line` at its statements; it returns true (for None) or
// false, or a new reference or null.
template <Module &Mod, const Method &M, auto Body>
PyObject *
method_entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    constexpr size_t N = static_cast<size_t>(M.params.count);
    constexpr std::make_index_sequence<N> each{};
    static_assert(takes_arguments<Body>(each), "the body takes one argument per parameter");
    PyObject *a[N];
    if (!bind_arguments<M>(Mod, args, nargsf, kwnames, a) || !check_arguments<M>(Mod, a, each))
        return nullptr;
    int line = M.first_line;
    auto result = run_body<Body>(a, line, each);
    return method_result(Mod, M, result, line);
}

} // namespace frame
