// DAGHandler._remove_unused_kernels_on_cabinet: drops entries and cache folders of kernels
// that the kernel manager no longer runs.
#include "flowsync.h"

namespace flowsync {
namespace {

using frame::Ref;

constexpr int REMOVE_PARAMS[] = {id::self};
constexpr frame::Signature REMOVE = {
    "_remove_unused_kernels_on_cabinet",
    "zelvo.server.handlers.flowsync.DAGHandler._remove_unused_kernels_on_cabinet", 146,
    REMOVE_PARAMS, 1};

// set(self.kernel_manager.list_kernel_ids()): synchronous on the local and the gateway kernel
// manager alike, and it cannot fail while a kernel is starting, as list_kernels() can.
PyObject *
running_kernel_ids(PyObject *self) noexcept
{
    Ref manager = Ref::steal(PyObject_GetAttr(self, s(id::kernel_manager)));
    if (!manager)
        return nullptr;
    Ref ids =
        Ref::steal(frame::call_method(manager.get(), s(id::list_kernel_ids), nullptr, 0, nullptr));
    if (!ids)
        return nullptr;
    return PySet_New(ids.get());
}

// Removes one stopped kernel: its cache folder first, then its entry.
bool
remove_kernel(PyObject *unused_kernel_id, int &line) noexcept
{
    line = 150;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    Ref entry = Ref::steal(frame::subscript(cabinet.get(), unused_kernel_id));
    if (!entry)
        return false;
    Ref unused_diskcache_dir = Ref::steal(PyObject_GetAttr(entry.get(), s(id::diskcache_dir)));
    if (!unused_diskcache_dir || !frame::check_local(unused_diskcache_dir.get(), &PyUnicode_Type))
        return false;
    entry.reset();
    cabinet.reset();

    // An entry without a cache folder has nothing to remove. (Handing None to rmtree is
    // ignored by some releases and a TypeError in others, which would keep the entry, and
    // every later clean-up, failing for good.)
    if (unused_diskcache_dir.get() != Py_None) {
        line = 151;
        Ref shutil = Ref::steal(FLOWSYNC_GLOBAL(shutil));
        if (!shutil)
            return false;
        PyObject *rmtree_args[] = {unused_diskcache_dir.get(), Py_True};
        if (!frame::discard(frame::call_method(shutil.get(), s(id::rmtree), rmtree_args, 2,
                                               keywords.ignore_errors)))
            return false;
    }

    line = 152;
    cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    return frame::discard(
        frame::call_method(cabinet.get(), s(id::pop), &unused_kernel_id, 1, nullptr));
}

bool
remove_body(PyObject *self, int &line) noexcept
{
    line = 147;
    Ref kernel_ids = Ref::steal(running_kernel_ids(self));
    if (!kernel_ids)
        return false;

    // A snapshot: the walk below never looks at dag_cabinet itself, so removing entries
    // does not disturb it.
    line = 148;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    Ref keys = Ref::steal(frame::call_method(cabinet.get(), s(id::keys), nullptr, 0, nullptr));
    if (!keys)
        return false;
    cabinet.reset();
    Ref registered = Ref::steal(PySet_New(keys.get()));
    if (!registered)
        return false;
    Ref unused_kernel_ids = Ref::steal(PyNumber_Subtract(registered.get(), kernel_ids.get()));
    if (!unused_kernel_ids || !frame::check_local(unused_kernel_ids.get(), &PySet_Type))
        return false;

    line = 149;
    return frame::for_each(unused_kernel_ids.get(), [&](PyObject *unused_kernel_id) {
        if (!remove_kernel(unused_kernel_id, line))
            return false;
        line = 149;
        return true;
    });
}

PyObject *
remove_unused_kernels(PyObject *, PyObject *const *args, size_t nargsf,
                      PyObject *kwnames) noexcept
{
    PyObject *self;
    if (!frame::bind_arguments(module, REMOVE, args, nargsf, kwnames, &self))
        return nullptr;
    int line = REMOVE.first_line;
    const bool ok = remove_body(self, line);
    return frame::method_result(module, REMOVE, ok, line);
}

} // namespace

const frame::MethodDef remove_unused_kernels_def = {"_remove_unused_kernels_on_cabinet",
                                                    nullptr, remove_unused_kernels};

} // namespace flowsync
