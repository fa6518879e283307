// String tables: every name and text a module uses, made once at exec time.
#include "frame/internal.h"

#include <utility>

namespace frame {

bool
make_strings(const StringDef *defs, Kept *out, Py_ssize_t count) noexcept
{
    for (Py_ssize_t i = 0; i < count; i++) {
        if (out[i])
            continue; // made by an earlier, failed initialisation
        Ref s = Ref::steal(defs[i].identifier ? PyUnicode_InternFromString(defs[i].text)
                                              : PyUnicode_FromString(defs[i].text));
        // Hash now so that no lookup has to later.
        if (!s || PyObject_Hash(s.get()) == -1)
            return false;
        out[i] = std::move(s);
    }
    return true;
}

bool
make_keywords(Module &m, Kept &slot, const Names &names) noexcept
{
    Ref tuple = Ref::steal(PyTuple_New(names.count));
    if (!tuple)
        return false;
    for (Py_ssize_t i = 0; i < names.count; i++) {
        PyObject *name = m.str(names.items[i]);
        Py_INCREF(name);
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    slot = std::move(tuple);
    return true;
}

} // namespace frame
