// Module init and body of zelvo.server.handlers.flowsync: imports, dag_cabinet, DAGHandler.
#include "flowsync.h"

#include <initializer_list>
#include <utility>

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

constexpr int CAPTURED_BUILTINS[] = {id::staticmethod};

// The statements of the module body that a traceback record can name, besides the imports.
enum BodyLine : int {
    BODY_FRAME = 1,        // the frame's own steps, and __test__ = {}
    BODY_DAG_CABINET = 30, // dag_cabinet = {}
    BODY_CLASS = 33,       // class DAGHandler(APIHandler):
};

// The import statements of the body, in order, each with its line.
constexpr frame::ImportStatement IMPORTS[] = {
    {16, id::json, 0, id::json, {}, 0},
    {17, id::shutil, 0, id::shutil, {}, 0},
    {18, id::traceback, 0, id::traceback, {}, 0},
    {19, id::http, 0, id::http, {id::HTTPStatus}, 1},
    {20, id::typing, 0, id::typing, {id::Any, id::Dict, id::Set}, 3},
    {22, id::tornado, 0, id::tornado, {}, 0},
    {23,
     id::jupyter_server_base_handlers,
     0,
     id::jupyter_server_base_handlers,
     {id::APIHandler},
     1},
    {24,
     id::zelvo_core_misc_models,
     0,
     id::zelvo_core_misc_models,
     {id::ZelvoPipelineModel, id::InvalidPipelineError},
     2},
    {26, id::misc_functions, 2, id::zelvo_server_misc_functions, {id::get_dag_update_info}, 1},
    {27,
     id::misc_models,
     2,
     id::zelvo_server_misc_models,
     {id::ZelvoDagUpdateComponentModel, id::ZelvoDagUpdateModel},
     2},
    {28, id::ws_handler, 1, id::zelvo_server_handlers_ws_handler, {id::ZelvoWebSocketHandler}, 1},
};

// The class body: DAGHandler's methods in order.
const frame::Method *const METHODS[] = {&FINISH_WITH_RESULT, &GET, &POST, &REMOVE_UNUSED_KERNELS,
                                        &TRANSMIT};
constexpr int METHOD_COUNT = static_cast<int>(sizeof METHODS / sizeof METHODS[0]);

// The methods' code objects, module constants kept for the life of the process.
frame::Kept codes[METHOD_COUNT];

bool
make_keywords(frame::Kept &slot, std::initializer_list<id::Name> names) noexcept
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple)
        return false;
    Py_ssize_t i = 0;
    for (id::Name name : names) {
        Py_INCREF(s(name));
        PyTuple_SET_ITEM(tuple.get(), i++, s(name));
    }
    slot = std::move(tuple);
    return true;
}

// The module constants: the keyword-name tuples and the methods' code objects.
bool
make_constants(frame::Module &m) noexcept
{
    if (!make_keywords(keywords.name_value, {id::name, id::value}) ||
        !make_keywords(keywords.status_code, {id::status_code}) ||
        !make_keywords(keywords.status_code_result, {id::status_code, id::result}) ||
        !make_keywords(keywords.identifier, {id::identifier}) ||
        !make_keywords(keywords.ignore_errors, {id::ignore_errors}))
        return false;
    for (int i = 0; i < METHOD_COUNT; i++) {
        codes[i] = Ref::steal(frame::make_code(m, *METHODS[i]));
        if (!codes[i])
            return false;
    }
    return true;
}

// def <name>(...) in the class body, stored as the method's description says: get and post
// decorated by tornado.web.authenticated, transmit made a staticmethod.
bool
add_method(frame::Module &m, PyObject *ns, int index) noexcept
{
    const frame::Method &method = *METHODS[index];
    m.line = method.first_line;
    Ref web;
    if (method.store == frame::Store::authenticated) {
        Ref tornado = Ref::steal(FLOWSYNC_GLOBAL(tornado));
        if (!tornado)
            return false;
        web = Ref::steal(PyObject_GetAttr(tornado.get(), s(id::web)));
        if (!web)
            return false;
    }
    Ref function = Ref::steal(frame::make_function(m, method, codes[index].get()));
    if (!function)
        return false;
    Ref stored;
    PyObject *function_arg = function.get();
    switch (method.store) {
    case frame::Store::plain:
        stored = std::move(function);
        break;
    case frame::Store::authenticated: {
        Ref decorator = Ref::steal(PyObject_GetAttr(web.get(), s(id::authenticated)));
        if (!decorator)
            return false;
        stored = Ref::steal(frame::call(decorator.get(), &function_arg, 1, nullptr));
        break;
    }
    case frame::Store::staticmethod:
        stored = Ref::steal(
            frame::call(m.captured[CAPTURED_staticmethod].get(), &function_arg, 1, nullptr));
        break;
    }
    return stored && frame::store_method(ns, method, stored.get());
}

// class DAGHandler(APIHandler): ..., the methods at their own lines.
bool
make_class(frame::Module &m) noexcept
{
    m.line = BODY_CLASS;
    Ref base = Ref::steal(FLOWSYNC_GLOBAL(APIHandler));
    if (!base)
        return false;
    frame::ClassStatement statement;
    if (!statement.begin_with_base(m, base.get(), s(id::DAGHandler), s(id::class_doc)))
        return false;
    for (int i = 0; i < METHOD_COUNT; i++) {
        if (!add_method(m, statement.ns(), i))
            return false;
    }
    m.line = BODY_CLASS;
    return statement.end(m);
}

bool
body(frame::Module &m) noexcept
{
    if (!make_constants(m))
        return false;
    if (!frame::run_imports(m, IMPORTS))
        return false;
    m.line = BODY_DAG_CABINET;
    if (!frame::store_new_dict(m, s(id::dag_cabinet)) || !make_class(m))
        return false;
    m.line = BODY_FRAME;
    return frame::store_new_dict(m, s(id::__test__));
}

frame::Kept string_storage[id::COUNT];
frame::Kept captured_storage[CAPTURED_COUNT];

const frame::ModuleSpec SPEC = {
    "flowsync",
    "zelvo.server.handlers.flowsync",
    "zelvo/server/handlers/flowsync",
    STRING_DEFS,
    id::COUNT,
    CAPTURED_BUILTINS,
    CAPTURED_COUNT,
    body,
};

} // namespace

frame::Module module(SPEC, string_storage, captured_storage);
KeywordNames keywords;

PyObject *
http_status(id::Name member) noexcept
{
    Ref status = Ref::steal(FLOWSYNC_GLOBAL(HTTPStatus));
    return status ? PyObject_GetAttr(status.get(), s(member)) : nullptr;
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
    Ref json = Ref::steal(FLOWSYNC_GLOBAL(json));
    if (!json)
        return nullptr;
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), s(id::dumps)));
    return dumps ? frame::call(dumps.get(), &value, 1, nullptr) : nullptr;
}

PyObject *
empty_model(PyObject *kernel_id) noexcept
{
    Ref model_class = Ref::steal(FLOWSYNC_GLOBAL(ZelvoPipelineModel));
    if (!model_class)
        return nullptr;
    return frame::call(model_class.get(), &kernel_id, 0, keywords.identifier.get());
}

} // namespace flowsync

FRAME_MODULE_DEFINITION(flowsync, flowsync::module)
