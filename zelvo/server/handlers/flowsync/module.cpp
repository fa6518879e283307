// Module init and body of zelvo.server.handlers.flowsync: imports, dag_cabinet, DAGHandler.
#include "flowsync.h"

#include <initializer_list>
#include <utility>

// The class docstring; <SERVER_URL> of its example is a local Jupyter Server.
#define DAG_HANDLER_DOC                                                                       \
    "API Handler for DAG update.\n"                                                           \
    "\n"                                                                                      \
    "    Args:\n"                                                                             \
    "        APIHandler : API Handler provided by Jupyter Server\n"                           \
    "\n"                                                                                      \
    "    Usage:\n"                                                                            \
    "        ```\n"                                                                           \
    "        uri = \"http://127.0.0.1:8888/zelvo/kernels/<KERNEL_ID>\"\n"                     \
    "        params = {\"token\": <TOKEN_ID>}\n"                                              \
    "        data = {\n"                                                                      \
    "            \"dag_info\": [\n"                                                           \
    "                {\n"                                                                     \
    "                    \"id\": \"2e26f0da-3774-4a08-8e96-589b176a0206\",\n"                 \
    "                    \"component_type\": \"code\" | \"parameter\"\n"                      \
    "                    \"parents_id\": [\n"                                                 \
    "                        \"7e26f0da-3774-4a08-8e96-589b176a0999\",\n"                     \
    "                        ...\n"                                                           \
    "                    ],\n"                                                                \
    "                    \"code\": \"b = a + 3\",\n"                                          \
    "                    \"execution_status\": \"succeeded\" | \"failed\" | \"invalid\" | "   \
    "\"running\"\n"                                                                           \
    "                    \"last_execution\": \"2021-07-27T13:34:35\"\n"                       \
    "                },\n"                                                                    \
    "                ...\n"                                                                   \
    "            ]\n"                                                                         \
    "        }\n"                                                                             \
    "        resp = requests.post(uri, params=params, data=json.dumps(data))\n"               \
    "        ```\n"                                                                           \
    "\n"                                                                                      \
    "    "

namespace flowsync {
namespace {

using frame::Ref;

constexpr frame::StringDef STRING_DEFS[] = {FRAME_STRING_DEFS(FLOWSYNC_STRINGS)};
static_assert(sizeof(STRING_DEFS) / sizeof(STRING_DEFS[0]) == id::COUNT, "one entry per id");

constexpr int CAPTURED_BUILTINS[] = {id::staticmethod};

// The import statements of the body, in order.
constexpr frame::ImportStatement IMPORTS[] = {
    {16, id::json, 0, id::json, {}, 0},
    {17, id::shutil, 0, id::shutil, {}, 0},
    {18, id::traceback, 0, id::traceback, {}, 0},
    {19, id::http, 0, id::http, {id::HTTPStatus}, 1},
    {20, id::typing, 0, id::typing, {id::Any, id::Dict, id::Set}, 3},
    {22, id::tornado, 0, id::tornado, {}, 0},
    {23, id::jupyter_server_base_handlers, 0, id::jupyter_server_base_handlers,
     {id::APIHandler}, 1},
    {24, id::zelvo_core_misc_models, 0, id::zelvo_core_misc_models,
     {id::ZelvoPipelineModel, id::InvalidPipelineError}, 2},
    {26, id::misc_functions, 2, id::zelvo_server_misc_functions, {id::get_dag_update_info},
     1},
    {27, id::misc_models, 2, id::zelvo_server_misc_models,
     {id::ZelvoDagUpdateComponentModel, id::ZelvoDagUpdateModel}, 2},
    {28, id::ws_handler, 1, id::zelvo_server_handlers_ws_handler, {id::ZelvoWebSocketHandler},
     1},
};

// How a method object is stored in the class.
enum class Wrap { none, authenticated, staticmethod };

struct Method {
    frame::FunctionSpec function;
    Wrap wrap;
};

constexpr int FINISH_VARNAMES[] = {id::self, id::status_code, id::result};
constexpr int GET_VARNAMES[] = {id::self, id::kernel_id, id::status_code, id::result,
                                id::dag_update_info};
constexpr int POST_VARNAMES[] = {
    id::self,       id::kernel_id, id::status_code, id::result,          id::data,
    id::procedure,  id::status,    id::msg,         id::successful,      id::exp,
    id::dag_info,   id::dag_update_info,            id::updated_components, id::fp};
constexpr int REMOVE_VARNAMES[] = {id::self,          id::kernel_ids,
                                   id::unused_kernel_ids, id::unused_kernel_id,
                                   id::unused_diskcache_dir, id::kernel};
constexpr int TRANSMIT_VARNAMES[] = {id::kernel_id, id::data, id::payload, id::handler};

constexpr int FINISH_ANN_KEYS[] = {id::status_code, id::result, id::return_};
constexpr int FINISH_ANN_VALUES[] = {id::HTTPStatus, id::a_result, id::a_none};
constexpr int KERNEL_ID_ANN_KEYS[] = {id::kernel_id, id::return_};
constexpr int KERNEL_ID_ANN_VALUES[] = {id::a_str, id::a_none};
constexpr int REMOVE_ANN_KEYS[] = {id::return_};
constexpr int REMOVE_ANN_VALUES[] = {id::a_none};
constexpr int TRANSMIT_ANN_KEYS[] = {id::kernel_id, id::data, id::return_};
constexpr int TRANSMIT_ANN_VALUES[] = {id::a_str, id::a_result, id::a_none};

template <typename T, size_t N>
constexpr Py_ssize_t
count_of(const T (&)[N])
{
    return static_cast<Py_ssize_t>(N);
}

// The methods in the order of the class body.
const Method METHODS[] = {
    {{finish_with_result_def, id::_finish_with_result, id::q_finish_with_result, 66, 3,
      FINISH_VARNAMES, count_of(FINISH_VARNAMES), FINISH_ANN_KEYS, FINISH_ANN_VALUES,
      count_of(FINISH_ANN_KEYS)},
     Wrap::none},
    {{get_def, id::get, id::q_get, 72, 2, GET_VARNAMES, count_of(GET_VARNAMES),
      KERNEL_ID_ANN_KEYS, KERNEL_ID_ANN_VALUES, count_of(KERNEL_ID_ANN_KEYS)},
     Wrap::authenticated},
    {{post_def, id::post, id::q_post, 89, 2, POST_VARNAMES, count_of(POST_VARNAMES),
      KERNEL_ID_ANN_KEYS, KERNEL_ID_ANN_VALUES, count_of(KERNEL_ID_ANN_KEYS)},
     Wrap::authenticated},
    {{remove_unused_kernels_def, id::_remove_unused_kernels_on_cabinet,
      id::q_remove_unused_kernels, 146, 1, REMOVE_VARNAMES, count_of(REMOVE_VARNAMES),
      REMOVE_ANN_KEYS, REMOVE_ANN_VALUES, count_of(REMOVE_ANN_KEYS)},
     Wrap::none},
    {{transmit_def, id::transmit, id::q_transmit, 154, 2, TRANSMIT_VARNAMES,
      count_of(TRANSMIT_VARNAMES), TRANSMIT_ANN_KEYS, TRANSMIT_ANN_VALUES,
      count_of(TRANSMIT_ANN_KEYS)},
     Wrap::staticmethod},
};
constexpr int METHOD_COUNT = static_cast<int>(count_of(METHODS));

// The methods' code objects, module constants kept for the life of the process.
PyObject *codes[METHOD_COUNT];

bool
make_keywords(PyObject **slot, std::initializer_list<int> names) noexcept
{
    if (*slot != nullptr)
        return true;
    *slot = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (*slot == nullptr)
        return false;
    Py_ssize_t i = 0;
    for (int name : names) {
        Py_INCREF(s(static_cast<id::Name>(name)));
        PyTuple_SET_ITEM(*slot, i++, s(static_cast<id::Name>(name)));
    }
    return true;
}

// The module constants: the keyword-name tuples and the methods' code objects.
bool
make_constants(frame::Module &m) noexcept
{
    if (!make_keywords(&keywords.name_value, {id::name, id::value}) ||
        !make_keywords(&keywords.status_code, {id::status_code}) ||
        !make_keywords(&keywords.status_code_result, {id::status_code, id::result}) ||
        !make_keywords(&keywords.identifier, {id::identifier}) ||
        !make_keywords(&keywords.ignore_errors, {id::ignore_errors}))
        return false;
    for (int i = 0; i < METHOD_COUNT; i++) {
        if (codes[i] == nullptr && (codes[i] = frame::make_code(m, METHODS[i].function)) == nullptr)
            return false;
    }
    return true;
}

// def <name>(...) in the class body, with get and post decorated by
// tornado.web.authenticated and transmit made a staticmethod.
bool
add_method(frame::Module &m, PyObject *ns, int index) noexcept
{
    const Method &method = METHODS[index];
    m.line = method.function.first_line;
    Ref web;
    if (method.wrap == Wrap::authenticated) {
        Ref tornado = Ref::steal(FLOWSYNC_GLOBAL(tornado));
        if (!tornado)
            return false;
        web = Ref::steal(PyObject_GetAttr(tornado.get(), s(id::web)));
        if (!web)
            return false;
    }
    Ref function = Ref::steal(frame::make_function(m, method.function, codes[index]));
    if (!function)
        return false;
    Ref stored;
    switch (method.wrap) {
    case Wrap::none:
        stored = std::move(function);
        break;
    case Wrap::authenticated: {
        Ref decorator = Ref::steal(PyObject_GetAttr(web.get(), s(id::authenticated)));
        if (!decorator)
            return false;
        stored = Ref::steal(
            PyObject_CallFunctionObjArgs(decorator.get(), function.get(), nullptr));
        break;
    }
    case Wrap::staticmethod:
        stored = Ref::steal(PyObject_CallFunctionObjArgs(m.captured[CAPTURED_staticmethod],
                                                         function.get(), nullptr));
        break;
    }
    return stored && frame::namespace_set(
                         ns, s(static_cast<id::Name>(method.function.name)), stored.get());
}

// class DAGHandler(APIHandler): ... (line 33, the methods at their own lines)
bool
make_class(frame::Module &m) noexcept
{
    m.line = 33;
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
    m.line = 33;
    return statement.end(m);
}

bool
body(frame::Module &m) noexcept
{
    if (!make_constants(m))
        return false;
    if (!frame::run_imports(m, IMPORTS))
        return false;
    m.line = 30;
    if (!frame::store_new_dict(m, s(id::dag_cabinet)) || !make_class(m))
        return false;
    m.line = 1;
    return frame::store_new_dict(m, s(id::__test__));
}

PyObject *string_storage[id::COUNT];
PyObject *captured_storage[CAPTURED_COUNT];

const frame::ModuleSpec SPEC = {
    "flowsync",
    "zelvo.server.handlers.flowsync",
    "zelvo/server/handlers/flowsync",
    "init zelvo.server.handlers.flowsync",
    "Module 'flowsync' has already been imported. Re-initialisation is not supported.",
    STRING_DEFS,
    id::COUNT,
    CAPTURED_BUILTINS,
    CAPTURED_COUNT,
    body,
};

} // namespace

frame::Module module(SPEC, string_storage, captured_storage);
KeywordNames keywords;

} // namespace flowsync

FRAME_MODULE_DEFINITION(flowsync, flowsync::module)
