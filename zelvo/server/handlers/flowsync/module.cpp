// Module init and body of zelvo.server.handlers.flowsync: imports, dag_cabinet, DAGHandler.
#include "flowsync.h"

#include <iterator>

// The class docstring; <SERVER_URL> of its example is a local Jupyter Server.
#define DAG_HANDLER_DOC                                                                           \
    "API Handler for DAG update.\n"                                                               \
    "\n"                                                                                          \
    "    Args:\n"                                                                                 \
    "        APIHandler : API Handler provided by Jupyter Server\n"                               \
    "\n"                                                                                          \
    "    Usage:\n"                                                                                \
    "        ```\n"                                                                               \
    "        uri = \"http://127.0.0.1:8888/zelvo/kernels/<KERNEL_ID>\"\n"                         \
    "        params = {\"token\": <TOKEN_ID>}\n"                                                  \
    "        data = {\n"                                                                          \
    "            \"dag_info\": [\n"                                                               \
    "                {\n"                                                                         \
    "                    \"id\": \"2e26f0da-3774-4a08-8e96-589b176a0206\",\n"                     \
    "                    \"component_type\": \"code\" | \"parameter\"\n"                          \
    "                    \"parents_id\": [\n"                                                     \
    "                        \"7e26f0da-3774-4a08-8e96-589b176a0999\",\n"                         \
    "                        ...\n"                                                               \
    "                    ],\n"                                                                    \
    "                    \"code\": \"b = a + 3\",\n"                                              \
    "                    \"execution_status\": \"succeeded\" | \"failed\" | \"invalid\" | "       \
    "\"running\"\n"                                                                               \
    "                    \"last_execution\": \"2021-07-27T13:34:35\"\n"                           \
    "                },\n"                                                                        \
    "                ...\n"                                                                       \
    "            ]\n"                                                                             \
    "        }\n"                                                                                 \
    "        resp = requests.post(uri, params=params, data=json.dumps(data))\n"                   \
    "        ```\n"                                                                               \
    "\n"                                                                                          \
    "    "

namespace flowsync {
namespace {

using frame::Ref;

constexpr frame::StringDef STRING_DEFS[] = {FRAME_STRING_DEFS(FLOWSYNC_STRINGS)};
static_assert(sizeof(STRING_DEFS) / sizeof(STRING_DEFS[0]) == id::COUNT, "one entry per id");

constexpr int CAPTURED_BUILTINS[CAPTURED_COUNT] = {id::staticmethod};

// The statements of the module body that a traceback record can name, besides the imports.
enum BodyLine : int {
    BODY_DAG_CABINET = 30, // dag_cabinet = {}
    BODY_CLASS = 33,       // class DAGHandler(APIHandler):
};

// The import statements of the body, in order, each with its line.
constexpr frame::ImportStatement IMPORTS[] = {
    {16, id::json, 0, id::json, {}},
    {17, id::shutil, 0, id::shutil, {}},
    {18, id::traceback, 0, id::traceback, {}},
    {19, id::http, 0, id::http, {id::HTTPStatus}},
    {20, id::typing, 0, id::typing, {id::Any, id::Dict, id::Set}},
    {22, id::tornado, 0, id::tornado, {}},
    {23, id::jupyter_server_base_handlers, 0, id::jupyter_server_base_handlers, {id::APIHandler}},
    {24,
     id::zelvo_core_misc_models,
     0,
     id::zelvo_core_misc_models,
     {id::ZelvoPipelineModel, id::InvalidPipelineError}},
    // from ..update import ...: the comparison, then the update's models.
    {26, id::update, 2, id::zelvo_server_update, {id::get_dag_update_info}},
    {27,
     id::update,
     2,
     id::zelvo_server_update,
     {id::ZelvoDagUpdateComponentModel, id::ZelvoDagUpdateModel}},
    {28, id::ws_handler, 1, id::zelvo_server_handlers_ws_handler, {id::ZelvoWebSocketHandler}},
};

// The class body: DAGHandler's methods in order, and their code objects.
constexpr const frame::Method *METHODS[] = {&FINISH_WITH_RESULT,    &GET,      &POST,
                                            &REMOVE_UNUSED_KERNELS, &TRANSMIT, &REGISTER};
frame::Kept codes[std::size(METHODS)];
constexpr frame::ClassDef DAG_HANDLER =
    frame::class_def(BODY_CLASS, id::DAGHandler, id::APIHandler, id::class_doc, METHODS, codes);

// The module constants: the keyword-name tuples and the methods' code objects.
bool
make_constants(frame::Module &m) noexcept
{
    return frame::make_keywords(m, keywords.name_value, {id::name, id::value}) &&
           frame::make_keywords(m, keywords.status_code, {id::status_code}) &&
           frame::make_keywords(m, keywords.status_code_result, {id::status_code, id::result}) &&
           frame::make_keywords(m, keywords.identifier, {id::identifier}) &&
           frame::make_keywords(m, keywords.ignore_errors, {id::ignore_errors}) &&
           frame::make_codes(m, DAG_HANDLER);
}

bool
body(frame::Module &m) noexcept
{
    if (!make_constants(m) || !frame::run_imports(m, IMPORTS))
        return false;
    m.line = BODY_DAG_CABINET;
    return frame::store_new_dict(m, s(id::dag_cabinet)) && frame::run_class(m, DAG_HANDLER);
}

frame::Kept string_storage[id::COUNT];
frame::Kept captured_storage[CAPTURED_COUNT];

const frame::ModuleSpec SPEC =
    frame::module_spec("flowsync", "zelvo.server.handlers.flowsync",
                       "zelvo/server/handlers/flowsync", STRING_DEFS, CAPTURED_BUILTINS, body);

} // namespace

frame::Module module(SPEC, string_storage, captured_storage);
KeywordNames keywords;

PyObject *
authenticated(PyObject *function) noexcept
{
    PyObject *decorator =
        frame::attribute_of(FLOWSYNC_GLOBAL_ATTR(tornado, web), s(id::authenticated));
    return frame::call_of(decorator, &function, 1, nullptr);
}

PyObject *
static_method(PyObject *function) noexcept
{
    return frame::call(module.captured[CAPTURED_staticmethod].get(), &function, 1, nullptr);
}

PyObject *
http_status(id::Name member) noexcept
{
    return frame::attribute_of(FLOWSYNC_GLOBAL(HTTPStatus), s(member));
}

PyObject *
answer(PyObject *self, PyObject *status_code, PyObject *result) noexcept
{
    PyObject *args[] = {status_code, result};
    return frame::call_method(self, s(id::_finish_with_result), args, 2,
                              keywords.status_code_result.get());
}

PyObject *
json_dumps(PyObject *value) noexcept
{
    return frame::call_of(FLOWSYNC_GLOBAL_ATTR(json, dumps), &value, 1, nullptr);
}

int
is_registered(PyObject *kernel_id) noexcept
{
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    return cabinet ? PySequence_Contains(cabinet.get(), kernel_id) : -1;
}

PyObject *
registered(PyObject *kernel_id) noexcept
{
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    return cabinet ? frame::subscript(cabinet.get(), kernel_id) : nullptr;
}

PyObject *
empty_model(PyObject *kernel_id) noexcept
{
    return frame::call_of(FLOWSYNC_GLOBAL(ZelvoPipelineModel), &kernel_id, 0,
                          keywords.identifier.get());
}

bool
relay_message(PyObject *kernel_id, PyObject *data) noexcept
{
    PyObject *args[] = {kernel_id, data};
    return frame::discard(
        frame::call_of(FLOWSYNC_GLOBAL_ATTR(DAGHandler, transmit), args, 2, nullptr));
}

} // namespace flowsync

FRAME_MODULE_DEFINITION(flowsync, flowsync::module)
