// Module init and body of zelvo.server.handlers.pipeline_export.pipeport: imports, the shared
// dag_cabinet and ZelvoPipelineExportHandler.
#include "pipeport.h"

#include <iterator>

namespace pipeport {
namespace {

using frame::Ref;

constexpr frame::StringDef STRING_DEFS[] = {FRAME_STRING_DEFS(PIPEPORT_STRINGS)};
static_assert(sizeof(STRING_DEFS) / sizeof(STRING_DEFS[0]) == id::COUNT, "one entry per id");

// The statements of the module body that a traceback record can name, besides the imports.
enum BodyLine : int {
    BODY_CLASS = 26, // class ZelvoPipelineExportHandler(BasePipelineExportHandler):
};

// The import statements of the body, in order, each with its line. `from ..flowsync import
// dag_cabinet` makes both modules hold the one registry, whichever is imported first.
constexpr frame::ImportStatement IMPORTS[] = {
    {17, id::json, 0, id::json, {}},
    {18, id::typing, 0, id::typing, {id::List, id::Tuple}},
    {20, id::zelvo_core_misc_models, 0, id::zelvo_core_misc_models, {id::ZelvoPipelineModel}},
    {22, id::flowsync, 2, id::zelvo_server_handlers_flowsync, {id::dag_cabinet}},
    {23,
     id::base_handler,
     1,
     id::zelvo_server_handlers_pipeline_export_base_handler,
     {id::BasePipelineExportHandler}},
};

// The class body, _get_pipeline alone, and its code object.
constexpr const frame::Method *METHODS[] = {&GET_PIPELINE};
frame::Kept codes[std::size(METHODS)];
constexpr frame::ClassDef EXPORT_HANDLER =
    frame::class_def(BODY_CLASS, id::ZelvoPipelineExportHandler, id::BasePipelineExportHandler,
                     frame::NO_DOC, METHODS, codes);

// The module constants: the "no components" result, the keyword names, the code object.
bool
make_constants(frame::Module &m) noexcept
{
    constants.no_components = Ref::steal(PyTuple_Pack(2, s(id::no_components), s(id::error_type)));
    return constants.no_components &&
           frame::make_keywords(m, constants.include_captured, {id::include_captured}) &&
           frame::make_codes(m, EXPORT_HANDLER);
}

bool
body(frame::Module &m) noexcept
{
    return make_constants(m) && frame::run_imports(m, IMPORTS) &&
           frame::run_class(m, EXPORT_HANDLER);
}

frame::Kept string_storage[id::COUNT];

const frame::ModuleSpec SPEC =
    frame::module_spec("pipeport", "zelvo.server.handlers.pipeline_export.pipeport",
                       "zelvo/server/handlers/pipeline_export/pipeport", STRING_DEFS, body);

} // namespace

frame::Module module(SPEC, string_storage, nullptr);
Constants constants;

} // namespace pipeport

FRAME_MODULE_DEFINITION(pipeport, pipeport::module)
