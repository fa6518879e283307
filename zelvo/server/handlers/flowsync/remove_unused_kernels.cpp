// DAGHandler._remove_unused_kernels_on_cabinet: drops entries and cache folders of kernels
// that the kernel manager no longer runs.
#include "flowsync.h"

namespace flowsync {
namespace {

using frame::Ref;

// The statements of _remove_unused_kernels_on_cabinet that a traceback record can name.
enum RemoveUnusedKernelsLine : int {
    REMOVE_DEF = 146,       // def _remove_unused_kernels_on_cabinet(self) -> None:
    REMOVE_RUNNING = 147,   // kernel_ids = set(self.kernel_manager.list_kernel_ids())
    REMOVE_UNUSED = 148,    // unused_kernel_ids = set(dag_cabinet.keys()) - kernel_ids
    REMOVE_LOOP = 149,      // for unused_kernel_id in unused_kernel_ids:
    REMOVE_CACHE_DIR = 150, //     unused_diskcache_dir = dag_cabinet[...].diskcache_dir
    REMOVE_RMTREE = 151,    //     shutil.rmtree(unused_diskcache_dir, ignore_errors=True)
    REMOVE_POP = 152,       //     dag_cabinet.pop(unused_kernel_id)
};

// set(self.kernel_manager.list_kernel_ids()): synchronous on the local and the gateway kernel
// manager alike, and it cannot fail while a kernel is starting, as list_kernels() can.
PyObject *
running_kernel_ids(PyObject *self) noexcept
{
    Ref ids = Ref::steal(frame::call_method_of(PyObject_GetAttr(self, s(id::kernel_manager)),
                                               s(id::list_kernel_ids)));
    return ids ? PySet_New(ids.get()) : nullptr;
}

bool
remove_body(PyObject *self, int &line) noexcept
{
    line = REMOVE_RUNNING;
    Ref kernel_ids = Ref::steal(running_kernel_ids(self));
    if (!kernel_ids)
        return false;

    // A snapshot: the walk below never looks at dag_cabinet itself, so removing entries
    // does not disturb it.
    line = REMOVE_UNUSED;
    Ref keys = Ref::steal(frame::call_method_of(FLOWSYNC_GLOBAL(dag_cabinet), s(id::keys)));
    if (!keys)
        return false;
    Ref registered_ids = Ref::steal(PySet_New(keys.get()));
    if (!registered_ids)
        return false;
    Ref unused_kernel_ids = Ref::steal(PyNumber_Subtract(registered_ids.get(), kernel_ids.get()));
    if (!unused_kernel_ids || !frame::check_local(unused_kernel_ids.get(), &PySet_Type))
        return false;

    // Each stopped kernel: its cache folder first, then its entry.
    line = REMOVE_LOOP;
    return frame::for_each(unused_kernel_ids.get(), [&](PyObject *unused_kernel_id) {
        line = REMOVE_CACHE_DIR;
        Ref entry = Ref::steal(registered(unused_kernel_id));
        if (!entry)
            return false;
        Ref unused_diskcache_dir = Ref::steal(PyObject_GetAttr(entry.get(), s(id::diskcache_dir)));
        if (!unused_diskcache_dir ||
            !frame::check_local(unused_diskcache_dir.get(), &PyUnicode_Type))
            return false;
        entry.reset();

        // An entry without a cache folder has nothing to remove. (Handing None to rmtree is
        // ignored by some releases and a TypeError in others, which would keep the entry, and
        // every later clean-up, failing for good.)
        if (unused_diskcache_dir.get() != Py_None) {
            line = REMOVE_RMTREE;
            Ref shutil = Ref::steal(FLOWSYNC_GLOBAL(shutil));
            if (!shutil)
                return false;
            PyObject *rmtree_args[] = {unused_diskcache_dir.get(), Py_True};
            if (!frame::discard(frame::call_method(shutil.get(), s(id::rmtree), rmtree_args, 2,
                                                   keywords.ignore_errors.get())))
                return false;
        }

        line = REMOVE_POP;
        Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
        if (!cabinet || !frame::discard(frame::call_method(cabinet.get(), s(id::pop),
                                                           &unused_kernel_id, 1, nullptr)))
            return false;
        line = REMOVE_LOOP;
        return true;
    });
}

} // namespace

constexpr frame::Method REMOVE_UNUSED_KERNELS = {
    "_remove_unused_kernels_on_cabinet",
    "DAGHandler._remove_unused_kernels_on_cabinet",
    REMOVE_DEF,
    frame::Params{{id::self}},
    frame::Names{id::kernel_ids, id::unused_kernel_ids, id::unused_kernel_id,
                 id::unused_diskcache_dir, id::kernel},
    frame::Annotations{{id::return_, id::a_none}},
    nullptr,
    frame::method_entry<module, REMOVE_UNUSED_KERNELS, remove_body>,
    nullptr};

} // namespace flowsync
