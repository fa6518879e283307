// ZelvoPipelineExportHandler._get_pipeline: a registered pipeline as JSON export contents.
#include "pipeport.h"

namespace pipeport {
namespace {

using frame::Ref;

// The statements of _get_pipeline that a traceback record can name.
enum GetPipelineLine : int {
    GET_PIPELINE_DEF = 28,       // def _get_pipeline(self, kernel_id, cell_ids, ipynb_name):
    GET_PIPELINE_ENTRY = 30,     // dag_info = dag_cabinet[kernel_id]
    GET_PIPELINE_EMPTY = 32,     // if not dag_info.graph.components:
    GET_PIPELINE_SERIALISE = 36, // pipeline_contents = json.dumps(dag_info.to_zelvo_dict(...))
    GET_PIPELINE_EXCEPT = 38,    // except Exception as exp:
    GET_PIPELINE_ERROR = 39,     // pipeline_contents = str(exp)
    GET_PIPELINE_RESULT = 42,    // return pipeline_contents, pipeline_type
};

// json.dumps(dag_info.to_zelvo_dict(include_captured=False)), a str or None.
PyObject *
serialise(PyObject *dag_info) noexcept
{
    Ref dumps = Ref::steal(PIPEPORT_GLOBAL_ATTR(json, dumps));
    if (!dumps)
        return nullptr;
    PyObject *no_captured = Py_False;
    Ref document = Ref::steal(frame::call_method(dag_info, s(id::to_zelvo_dict), &no_captured, 1,
                                                 constants.include_captured.get()));
    if (!document)
        return nullptr;
    PyObject *document_arg = document.get();
    Ref text = Ref::steal(frame::call(dumps.get(), &document_arg, 1, nullptr));
    if (!text || !frame::check_local(text.get(), &PyUnicode_Type))
        return nullptr;
    return text.release();
}

// Returns the result pair; `line` says where a failure left the method.
PyObject *
get_pipeline_body(PyObject *, PyObject *kernel_id, PyObject *, PyObject *, int &line) noexcept
{
    line = GET_PIPELINE_ENTRY;
    Ref cabinet = Ref::steal(PIPEPORT_GLOBAL(dag_cabinet));
    if (!cabinet)
        return nullptr;
    Ref dag_info = Ref::steal(frame::subscript(cabinet.get(), kernel_id));
    if (!dag_info)
        return nullptr;
    cabinet.reset();

    line = GET_PIPELINE_EMPTY;
    Ref graph = Ref::steal(PyObject_GetAttr(dag_info.get(), s(id::graph)));
    if (!graph)
        return nullptr;
    Ref components = Ref::steal(PyObject_GetAttr(graph.get(), s(id::components)));
    if (!components)
        return nullptr;
    const int has_components = PyObject_IsTrue(components.get());
    if (has_components < 0)
        return nullptr;
    if (!has_components) {
        // The one prebuilt result: this path allocates nothing.
        return Ref::borrow(constants.no_components.get()).release();
    }
    components.reset();
    graph.reset();

    // try: ... except Exception as exp: the error's text becomes the contents.
    line = GET_PIPELINE_SERIALISE;
    Ref pipeline_contents = Ref::steal(serialise(dag_info.get()));
    PyObject *pipeline_type = s(id::json_type);
    if (!pipeline_contents) {
        frame::ExceptClause clause;
        if (!clause.catch_exception(module, GET_PIPELINE, line, GET_PIPELINE_EXCEPT))
            return nullptr;
        line = GET_PIPELINE_ERROR;
        pipeline_contents = Ref::steal(PyObject_Str(clause.exception()));
        if (!pipeline_contents)
            return nullptr;
        pipeline_type = s(id::error_type);
    }

    line = GET_PIPELINE_RESULT;
    return PyTuple_Pack(2, pipeline_contents.get(), pipeline_type);
}

} // namespace

constexpr frame::Method GET_PIPELINE = {
    "_get_pipeline",
    "ZelvoPipelineExportHandler._get_pipeline",
    GET_PIPELINE_DEF,
    frame::Params{{id::self},
                  {id::kernel_id, &PyUnicode_Type},
                  {id::cell_ids, &PyList_Type},
                  {id::ipynb_name, &PyUnicode_Type}},
    frame::Names{id::dag_info, id::pipeline_contents, id::pipeline_type, id::exp},
    frame::Annotations{{id::kernel_id, id::a_str},
                       {id::cell_ids, id::a_list_of_str},
                       {id::ipynb_name, id::a_str},
                       {id::return_, id::a_pair_of_str}},
    nullptr,
    frame::method_entry<module, GET_PIPELINE, get_pipeline_body>,
    nullptr};

} // namespace pipeport
