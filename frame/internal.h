// What the frame's own sources share and module sources never call: the steps that
// frame.h's module definition, method descriptors and class statements are run by.
#pragma once

#include "frame/frame.h"

namespace frame {

// ---------------------------------------------------------------------------------------------
// String tables

// Creates (once) and hashes every entry of a table; false with an exception set on failure.
bool make_strings(const StringDef *defs, Kept *out, Py_ssize_t count) noexcept;

// ---------------------------------------------------------------------------------------------
// Modules

// Packs up to four dot-separated groups of decimal digits at the start of `text`, one byte
// each from the most significant down (3.8.18 gives 0x03081200).
uint32_t parse_version(const char *text) noexcept;

// ---------------------------------------------------------------------------------------------
// Methods

// The method's code object: no bytecode, the module's source file name, flags 3.
PyObject *make_code(Module &m, const Method &method) noexcept;

// The method's function object (a NativeFunction), its __annotations__ attached, with the
// module's name and dict.
PyObject *make_function(Module &m, const Method &method, PyObject *code) noexcept;

// Gets the shared function type from the registry module, or makes and registers it.
bool function_type_ready(Module &m) noexcept;

// ---------------------------------------------------------------------------------------------
// Globals and class statements

// Binds a module global.
bool store_global(Module &m, PyObject *name, PyObject *value) noexcept;

// Class statement steps: resolve the bases, calculate the metaclass, prepare the namespace.
PyObject *resolve_bases(Module &m, PyObject *bases) noexcept;
PyObject *calculate_metaclass(PyObject *bases) noexcept;
PyObject *prepare_namespace(Module &m, PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *module_name, PyObject *doc) noexcept;
// Stores into a class namespace: straight into a dict, through __setitem__ otherwise.
bool namespace_set(PyObject *ns, PyObject *key, PyObject *value) noexcept;

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

// Raises KeyError with `key` as its one argument.
void raise_key_error(PyObject *key) noexcept;

// ---------------------------------------------------------------------------------------------
// Traceback records

// Adds the module body's traceback entry, "init <module's dotted name>" at m.line, to the
// exception being raised.
void add_init_traceback(Module &m) noexcept;

} // namespace frame
