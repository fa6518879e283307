// DAGHandler.get: the registered pipeline of a kernel, as an update from an empty one.
#include "flowsync.h"

namespace flowsync {
namespace {

using frame::Ref;

// The statements of get that a traceback record can name.
enum GetLine : int {
    GET_DEF = 72,                // def get(self, kernel_id: str) -> None:
    GET_STATUS_OK = 75,          // status_code = HTTPStatus.OK
    GET_RESULT = 76,             // result = {}
    GET_REGISTERED = 78,         // if kernel_id in dag_cabinet:
    GET_COMPARE = 79,            // dag_update_info = get_dag_update_info(
    GET_EMPTY_MODEL = 80,        //     ZelvoPipelineModel(identifier=kernel_id), dag_cabinet[k])
    GET_RESULT_DICT = 82,        // result = dag_update_info.dict()
    GET_STATUS_BAD_REQUEST = 84, // status_code = HTTPStatus.BAD_REQUEST
    GET_MESSAGE = 85,            // result["message"] = f"Cannot get dag data in {kernel_id}."
    GET_ANSWER = 87,             // self._finish_with_result(status_code=..., result=...)
};

bool
get_body(PyObject *self, PyObject *kernel_id, int &line) noexcept
{
    line = GET_STATUS_OK;
    Ref status_code = Ref::steal(http_status(id::OK));
    if (!status_code)
        return false;
    line = GET_RESULT;
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return false;

    line = GET_REGISTERED;
    const int is_known = is_registered(kernel_id);
    if (is_known < 0)
        return false;
    if (is_known) {
        // The registered model as an update from an empty pipeline of the same kernel.
        line = GET_COMPARE;
        Ref compare = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
        if (!compare)
            return false;
        line = GET_EMPTY_MODEL;
        Ref empty = Ref::steal(empty_model(kernel_id));
        if (!empty)
            return false;
        Ref entry = Ref::steal(registered(kernel_id));
        if (!entry)
            return false;
        line = GET_COMPARE;
        PyObject *pair[] = {empty.get(), entry.get()};
        Ref dag_update_info = Ref::steal(frame::call(compare.get(), pair, 2, nullptr));
        if (!dag_update_info)
            return false;
        line = GET_RESULT_DICT;
        result = Ref::steal(frame::call_method(dag_update_info.get(), s(id::dict)));
        if (!result || !frame::check_local(result.get(), &PyDict_Type))
            return false;
    }
    else {
        line = GET_STATUS_BAD_REQUEST;
        status_code = Ref::steal(http_status(id::BAD_REQUEST));
        if (!status_code)
            return false;
        line = GET_MESSAGE;
        Ref message = Ref::steal(PyUnicode_FromFormat("Cannot get dag data in %U.", kernel_id));
        if (!message || PyDict_SetItem(result.get(), s(id::message), message.get()) < 0)
            return false;
    }

    line = GET_ANSWER;
    return frame::discard(answer(self, status_code.get(), result.get()));
}

} // namespace

constexpr frame::Method GET = {
    "get",
    "DAGHandler.get",
    GET_DEF,
    frame::Params{{id::self}, {id::kernel_id, &PyUnicode_Type}},
    frame::Names{id::status_code, id::result, id::dag_update_info},
    frame::Annotations{{id::kernel_id, id::a_str}, {id::return_, id::a_none}},
    "Get current updated dag info by kernel_id.",
    frame::method_entry<module, GET, get_body>,
    authenticated};

} // namespace flowsync
