// Traceback records of failures, and except clauses.
#include "frame/internal.h"

#include <stdio.h>

namespace frame {
namespace {

// The entry of function `name`: a code object and a frame made for it alone.
void
add_entry(Module &m, const char *name, int line) noexcept
{
    // Set the raised exception aside while the code object and frame are made: making them
    // must not see (or clear) a pending exception.
    PyObject *exc = compat::take_error();
    Ref code =
        Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(m.spec.file_name, name, line)));
    Ref f = code ? Ref::steal(compat::new_frame(code.get(), m.dict, line)) : Ref();
    if (!f)
        PyErr_Clear(); // keep the original error; only its record is lost
    compat::restore_error(exc);
    if (f)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(f.get()));
}

} // namespace

void
add_traceback(Module &m, const Method &method, int line) noexcept
{
    // The module's dotted name, then the qualified name: "package.module.Class.method".
    char name[256];
    snprintf(name, sizeof name, "%s.%s", m.spec.full_name, method.qualname);
    add_entry(m, name, line);
}

void
add_init_traceback(Module &m) noexcept
{
    char name[256];
    snprintf(name, sizeof name, "init %s", m.spec.full_name);
    add_entry(m, name, m.line);
}

ExceptClause::~ExceptClause()
{
    if (entered_)
        compat::set_handled(saved_.release());
}

bool
ExceptClause::enter() noexcept
{
    exc_ = Ref::steal(compat::take_error());
    if (!exc_) {
        PyErr_SetString(PyExc_SystemError, "except clause entered without an exception");
        return false;
    }
    saved_ = Ref::steal(compat::get_handled());
    Py_INCREF(exc_.get());
    compat::set_handled(exc_.get());
    entered_ = true;
    return true;
}

bool
ExceptClause::catch_exception(Module &m, const Method &method, int &line, int except_line) noexcept
{
    add_traceback(m, method, line);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        line = LINE_RECORDED;
        return false;
    }
    line = except_line;
    return enter();
}

} // namespace frame
