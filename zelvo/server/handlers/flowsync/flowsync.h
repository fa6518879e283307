// What the sources of the flowsync module share: its storage, string table and methods.
#pragma once

#include "frame/frame.h"

namespace flowsync {

// The module's string table (see FRAME_STRING_IDS).
#define FLOWSYNC_STRINGS(ID, NAME, TEXT)                                                          \
    ID(APIHandler)                                                                                \
    ID(Any)                                                                                       \
    ID(BAD_REQUEST)                                                                               \
    ID(DAGHandler)                                                                                \
    ID(Dict)                                                                                      \
    ID(HTTPStatus)                                                                                \
    ID(INTERNAL_SERVER_ERROR)                                                                     \
    ID(InvalidPipelineError)                                                                      \
    ID(OK)                                                                                        \
    ID(Set)                                                                                       \
    ID(ZelvoDagUpdateComponentModel)                                                              \
    ID(ZelvoDagUpdateModel)                                                                       \
    ID(ZelvoPipelineModel)                                                                        \
    ID(ZelvoWebSocketHandler)                                                                     \
    ID(_finish_with_result)                                                                       \
    ID(_remove_unused_kernels_on_cabinet)                                                         \
    ID(added)                                                                                     \
    ID(authenticated)                                                                             \
    ID(dag_cabinet)                                                                               \
    ID(dag_info)                                                                                  \
    ID(dag_update_info)                                                                           \
    ID(data)                                                                                      \
    ID(deleted)                                                                                   \
    ID(dict)                                                                                      \
    ID(diskcache_dir)                                                                             \
    ID(dumps)                                                                                     \
    ID(error)                                                                                     \
    ID(exp)                                                                                       \
    ID(finish)                                                                                    \
    ID(format_exc)                                                                                \
    ID(fp)                                                                                        \
    ID(get_dag_update_info)                                                                       \
    ID(get_json_body)                                                                             \
    ID(handler)                                                                                   \
    ID(http)                                                                                      \
    ID(identifier)                                                                                \
    ID(ignore_errors)                                                                             \
    ID(json)                                                                                      \
    ID(kernel)                                                                                    \
    ID(kernel_id)                                                                                 \
    ID(kernel_ids)                                                                                \
    ID(kernel_manager)                                                                            \
    ID(keys)                                                                                      \
    ID(list_kernel_ids)                                                                           \
    ID(log)                                                                                       \
    ID(message)                                                                                   \
    ID(msg)                                                                                       \
    ID(name)                                                                                      \
    ID(payload)                                                                                   \
    ID(pop)                                                                                       \
    ID(procedure)                                                                                 \
    ID(registry)                                                                                  \
    ID(result)                                                                                    \
    ID(revised)                                                                                   \
    ID(rmtree)                                                                                    \
    ID(self)                                                                                      \
    ID(set_header)                                                                                \
    ID(set_status)                                                                                \
    ID(shutil)                                                                                    \
    ID(staticmethod)                                                                              \
    ID(status)                                                                                    \
    ID(status_code)                                                                               \
    ID(successful)                                                                                \
    ID(tornado)                                                                                   \
    ID(traceback)                                                                                 \
    ID(transmit)                                                                                  \
    ID(typing)                                                                                    \
    ID(unused_diskcache_dir)                                                                      \
    ID(unused_kernel_id)                                                                          \
    ID(unused_kernel_ids)                                                                         \
    ID(update)                                                                                    \
    ID(updated_components)                                                                        \
    ID(value)                                                                                     \
    ID(warning)                                                                                   \
    ID(web)                                                                                       \
    ID(write_message)                                                                             \
    ID(ws_handler)                                                                                \
    NAME(return_, "return")                                                                       \
    NAME(jupyter_server_base_handlers, "jupyter_server.base.handlers")                            \
    NAME(zelvo_core_misc_models, "zelvo_core.misc.models")                                        \
    NAME(zelvo_server_update, "zelvo.server.update")                                              \
    NAME(zelvo_server_handlers_ws_handler, "zelvo.server.handlers.ws_handler")                    \
    TEXT(a_str, "str")                                                                            \
    TEXT(a_none, "None")                                                                          \
    TEXT(a_result, "Dict[str, Any]")                                                              \
    TEXT(a_optional_update, "Optional[ZelvoDagUpdateModel]")                                      \
    TEXT(content_type, "Content-Type")                                                            \
    TEXT(content_length, "Content-Length")                                                        \
    TEXT(application_json, "application/json")                                                    \
    TEXT(success, "Success.")                                                                     \
    TEXT(pipeline_updated, "pipeline:updated")                                                    \
    TEXT(class_doc, DAG_HANDLER_DOC)

// String ids (id::json is the entry for "json"), the module's storage and s(id::json).
FRAME_MODULE_STRINGS(FLOWSYNC_STRINGS)

// Keyword-name tuples of the calls the methods make, made once with the module.
struct KeywordNames {
    frame::Kept name_value;         // set_header(name=..., value=...)
    frame::Kept status_code;        // set_status(status_code=...)
    frame::Kept status_code_result; // _finish_with_result(status_code=..., result=...)
    frame::Kept identifier;         // ZelvoPipelineModel(identifier=...)
    frame::Kept ignore_errors;      // rmtree(path, ignore_errors=True)
};
extern KeywordNames keywords;

// Built-ins captured when the module is initialised.
enum Captured : int { CAPTURED_staticmethod, CAPTURED_COUNT };

// Reads a module global, with a cache for this reading site. New reference or null.
#define FLOWSYNC_GLOBAL(name) FRAME_GLOBAL(::flowsync::module, ::flowsync::id::name)
// `name.attr` of a module global, likewise.
#define FLOWSYNC_GLOBAL_ATTR(name, attr)                                                          \
    FRAME_GLOBAL_ATTR(::flowsync::module, ::flowsync::id::name, ::flowsync::id::attr)

// What DAGHandler's body stores for a decorated method: @tornado.web.authenticated (read
// from the module's globals, as the decorator line does), and @staticmethod (the built-in
// captured with the module). New reference or null.
PyObject *authenticated(PyObject *function) noexcept;
PyObject *static_method(PyObject *function) noexcept;

// The calls that several methods make, each written once. New reference or null.

// HTTPStatus.<member>, with the module global read afresh.
PyObject *http_status(id::Name member) noexcept;

// self._finish_with_result(status_code=status_code, result=result)
PyObject *answer(PyObject *self, PyObject *status_code, PyObject *result) noexcept;

// json.dumps(value), with the module global read afresh.
PyObject *json_dumps(PyObject *value) noexcept;

// `kernel_id in dag_cabinet`: 1, 0, or -1 on error.
int is_registered(PyObject *kernel_id) noexcept;

// dag_cabinet[kernel_id]
PyObject *registered(PyObject *kernel_id) noexcept;

// ZelvoPipelineModel(identifier=kernel_id): an empty pipeline of the kernel.
PyObject *empty_model(PyObject *kernel_id) noexcept;

// DAGHandler.transmit(kernel_id, data), the class read from the module's globals: true when
// the call succeeded.
bool relay_message(PyObject *kernel_id, PyObject *data) noexcept;

// The statements of a registration, as the method that runs it numbers them.
struct RegistrationLines {
    int identifier;         // dag_info.identifier = kernel_id
    int registered;         // if kernel_id not in dag_cabinet:
    int compare_empty;      //     dag_update_info = get_dag_update_info(
    int empty_model;        //         ZelvoPipelineModel(identifier=kernel_id), dag_info)
    int compare_registered; //     dag_update_info = get_dag_update_info(dag_cabinet[...], ...)
    int update_message;     // data["successful"] = dag_update_info.dict()
    int store;              // dag_cabinet.update({kernel_id: dag_info})
    int updated_components; // updated_components = dag_update_info.updated_components
    int any_change;         // if updated_components.added or .revised or .deleted:
};

// The one registration of a pipeline (register.cpp): the model dag_info becomes the pipeline
// of kernel_id, with the kernel id as its identifier. What changed is `given` (an update, or
// None: compared with the registered pipeline, or an empty one); its dict goes into
// data["successful"]; the model is stored whatever changed. `changed` tells whether the
// update lists any change. New reference to the update, or null.
PyObject *register_pipeline(PyObject *kernel_id, PyObject *dag_info, PyObject *given,
                            PyObject *data, const RegistrationLines &lines, bool &changed,
                            int &line) noexcept;

// The methods of DAGHandler, each described in the source file named after it.
extern const frame::Method FINISH_WITH_RESULT;
extern const frame::Method GET;
extern const frame::Method POST;
extern const frame::Method REMOVE_UNUSED_KERNELS;
extern const frame::Method TRANSMIT;
extern const frame::Method REGISTER;

} // namespace flowsync
