// What the sources of the pipeport module share: its storage, string table and method.
#pragma once

#include "frame/frame.h"

namespace pipeport {

// The module's string table (see FRAME_STRING_IDS).
#define PIPEPORT_STRINGS(ID, NAME, TEXT)                                                          \
    ID(BasePipelineExportHandler)                                                                 \
    ID(List)                                                                                      \
    ID(Tuple)                                                                                     \
    ID(ZelvoPipelineExportHandler)                                                                \
    ID(ZelvoPipelineModel)                                                                        \
    ID(base_handler)                                                                              \
    ID(cell_ids)                                                                                  \
    ID(components)                                                                                \
    ID(dag_cabinet)                                                                               \
    ID(dag_info)                                                                                  \
    ID(dumps)                                                                                     \
    ID(exp)                                                                                       \
    ID(flowsync)                                                                                  \
    ID(graph)                                                                                     \
    ID(include_captured)                                                                          \
    ID(ipynb_name)                                                                                \
    ID(json)                                                                                      \
    ID(kernel_id)                                                                                 \
    ID(pipeline_contents)                                                                         \
    ID(pipeline_type)                                                                             \
    ID(self)                                                                                      \
    ID(to_zelvo_dict)                                                                             \
    ID(typing)                                                                                    \
    NAME(return_, "return")                                                                       \
    NAME(zelvo_core_misc_models, "zelvo_core.misc.models")                                        \
    NAME(zelvo_server_handlers_flowsync, "zelvo.server.handlers.flowsync")                        \
    NAME(zelvo_server_handlers_pipeline_export_base_handler,                                      \
         "zelvo.server.handlers.pipeline_export.base_handler")                                    \
    TEXT(a_str, "str")                                                                            \
    TEXT(a_list_of_str, "List[str]")                                                              \
    TEXT(a_pair_of_str, "Tuple[str, str]")                                                        \
    TEXT(no_components, "There are no components in this pipeline.")                              \
    TEXT(json_type, "json")                                                                       \
    TEXT(error_type, "error")

// String ids (id::json is the entry for "json"), the module's storage and s(id::json).
FRAME_MODULE_STRINGS(PIPEPORT_STRINGS)

// Module constants, made once with the module.
struct Constants {
    frame::Kept no_components;    // ("There are no components in this pipeline.", "error")
    frame::Kept include_captured; // keyword names of to_zelvo_dict(include_captured=False)
};
extern Constants constants;

// Reads a module global, with a cache for this reading site. New reference or null.
#define PIPEPORT_GLOBAL(name) FRAME_GLOBAL(::pipeport::module, ::pipeport::id::name)
// `name.attr` of a module global, likewise.
#define PIPEPORT_GLOBAL_ATTR(name, attr)                                                          \
    FRAME_GLOBAL_ATTR(::pipeport::module, ::pipeport::id::name, ::pipeport::id::attr)

// ZelvoPipelineExportHandler._get_pipeline, described in get_pipeline.cpp.
extern const frame::Method GET_PIPELINE;

} // namespace pipeport
