// Traceback records of failures, and except clauses.
#include "frame/frame.h"

namespace frame {
namespace {

// The code object of a record, made once per (function, line) while the cache has room.
PyObject *
traceback_code(Module &m, const char *qualified, int line) noexcept
{
    const uintptr_t key = reinterpret_cast<uintptr_t>(qualified) ^ static_cast<uintptr_t>(line);
    const int start = static_cast<int>((key >> 3) % TRACEBACK_CACHE_SIZE);
    TracebackCode *slot = nullptr;
    for (int probe = 0; probe < TRACEBACK_CACHE_SIZE; probe++) {
        TracebackCode &entry = m.traceback_codes[(start + probe) % TRACEBACK_CACHE_SIZE];
        if (entry.code == nullptr) {
            slot = &entry;
            break;
        }
        if (entry.name == qualified && entry.line == line) {
            Py_INCREF(entry.code);
            return entry.code;
        }
    }
    PyObject *code = reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(m.spec.file_name, qualified, line));
    if (code != nullptr && slot != nullptr) {
        Py_INCREF(code);
        *slot = {qualified, line, code};
    }
    return code;
}

} // namespace

void
add_traceback(Module &m, const char *qualified, int line) noexcept
{
    // Set the raised exception aside while the code object and frame are made: making them
    // must not see (or clear) a pending exception.
    PyObject *exc = compat::take_error();
    Ref code = Ref::steal(traceback_code(m, qualified, line));
    Ref f = code ? Ref::steal(compat::new_frame(code.get(), m.dict, line)) : Ref();
    if (!f)
        PyErr_Clear();   // keep the original error; only its record is lost
    compat::restore_error(exc);
    if (f)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(f.get()));
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

} // namespace frame
