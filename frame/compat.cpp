// Version-specific pieces of the frame that need storage of their own.
#include "frame/compat.h"

#if PY_VERSION_HEX >= 0x030C0000

namespace frame::compat {
namespace {

int watcher_id = -1;

// Any change to a watched dict invalidates every cached global read of this module.
int
on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *)
{
    watched_dicts_epoch++;
    return 0;
}

} // namespace

uint64_t watched_dicts_epoch = 1;

int
watch_dict(PyObject *dict)
{
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0)
            return -1;
    }
    return PyDict_Watch(watcher_id, dict);
}

} // namespace frame::compat

#endif
