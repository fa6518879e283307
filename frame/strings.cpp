// String tables: every name and text a module uses, made once at exec time.
#include "frame/frame.h"

namespace frame {

bool
make_strings(const StringDef *defs, PyObject **out, Py_ssize_t count) noexcept
{
    for (Py_ssize_t i = 0; i < count; i++) {
        if (out[i] != nullptr)
            continue;   // made by an earlier, failed initialisation
        PyObject *s = defs[i].identifier ? PyUnicode_InternFromString(defs[i].text)
                                         : PyUnicode_FromString(defs[i].text);
        if (s == nullptr)
            return false;
        // Hash now so that no lookup has to later.
        if (PyObject_Hash(s) == -1) {
            Py_DECREF(s);
            return false;
        }
        out[i] = s;
    }
    return true;
}

} // namespace frame
