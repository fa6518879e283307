// DAGHandler.get: the registered pipeline of a kernel, as an update from an empty one.
#include "flowsync.h"

namespace flowsync {
namespace {

using frame::Ref;

PyObject *get(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept;

} // namespace

constexpr frame::Method GET = {
    "get",
    "DAGHandler.get",
    72,
    frame::names({id::self, id::kernel_id}),
    frame::names({id::status_code, id::result, id::dag_update_info}),
    frame::annotations({{id::kernel_id, id::a_str}, {id::return_, id::a_none}}),
    "Get current updated dag info by kernel_id.",
    get,
    frame::Store::authenticated,
};

namespace {

// get_dag_update_info(ZelvoPipelineModel(identifier=kernel_id), dag_cabinet[kernel_id]):
// the registered model as an update from an empty pipeline of the same kernel.
PyObject *
update_info(PyObject *kernel_id, int &line) noexcept
{
    line = 79;
    Ref compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
    if (!compare)
        return nullptr;
    line = 80;
    Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
    if (!model_class)
        return nullptr;
    Ref empty = Ref::steal(frame::compat::vectorcall(model_class.get(), &kernel_id, 0,
                                                     keywords.identifier));
    if (!empty)
        return nullptr;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return nullptr;
    Ref registered = Ref::steal(frame::subscript(cabinet.get(), kernel_id));
    if (!registered)
        return nullptr;
    line = 79;
    PyObject *pair[] = {empty.get(), registered.get()};
    return frame::compat::vectorcall(compare.get(), pair, 2, nullptr);
}

bool
get_body(PyObject *self, PyObject *kernel_id, int &line) noexcept
{
    line = 75;
    Ref status_code = Ref::steal(http_status(id::OK));
    if (!status_code)
        return false;
    line = 76;
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return false;

    line = 78;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return false;
    const int registered = PySequence_Contains(cabinet.get(), kernel_id);
    if (registered < 0)
        return false;
    cabinet.reset();
    if (registered) {
        Ref dag_update_info = Ref::steal(update_info(kernel_id, line));
        if (!dag_update_info)
            return false;
        line = 82;
        result = Ref::steal(frame::call_method(dag_update_info.get(), s(id::dict), nullptr, 0,
                                               nullptr));
        if (!result || !frame::check_local(result.get(), &PyDict_Type))
            return false;
    }
    else {
        line = 84;
        status_code = Ref::steal(http_status(id::BAD_REQUEST));
        if (!status_code)
            return false;
        line = 85;
        Ref message = Ref::steal(PyUnicode_Concat(s(id::cannot_get), kernel_id));
        if (!message)
            return false;
        message = Ref::steal(PyUnicode_Concat(message.get(), s(id::full_stop)));
        if (!message || PyDict_SetItem(result.get(), s(id::message), message.get()) < 0)
            return false;
    }

    line = 87;
    PyObject *answer[] = {status_code.get(), result.get()};
    return frame::discard(frame::call_method(self, s(id::_finish_with_result), answer, 2,
                                             keywords.status_code_result));
}

PyObject *
get(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *a[2];
    if (!frame::bind_arguments<GET>(module, args, nargsf, kwnames, a) ||
        !frame::check_argument(module, a[1], &PyUnicode_Type, "kernel_id"))
        return nullptr;
    int line = GET.first_line;
    const bool ok = get_body(a[0], a[1], line);
    return frame::method_result(module, GET, ok, line);
}

} // namespace

} // namespace flowsync
