// DAGHandler.register: the registration of a pipeline, which post runs for a posted one and
// the Python side (zelvo.server.registry) for every other, so that both follow one set of
// rules: compare, store, relay what changed.
#include "flowsync.h"

namespace flowsync {

using frame::Ref;

namespace {

// The statements of register that a traceback record can name.
enum RegisterLine : int {
    REGISTER_DEF = 163,                // def register(kernel_id: str, dag_info, dag_update_info):
    REGISTER_DATA = 165,               // data = {"procedure": "pipeline:updated", "status": ...}
    REGISTER_IDENTIFIER = 166,         // dag_info.identifier = kernel_id
    REGISTER_REGISTERED = 168,         //     if kernel_id not in dag_cabinet:
    REGISTER_COMPARE_EMPTY = 169,      //         dag_update_info = get_dag_update_info(
    REGISTER_EMPTY_MODEL = 170,        //             ZelvoPipelineModel(identifier=...), dag_info)
    REGISTER_COMPARE_REGISTERED = 172, //         dag_update_info = get_dag_update_info(...)
    REGISTER_UPDATE_MESSAGE = 173,     // data["successful"] = dag_update_info.dict()
    REGISTER_STORE = 174,              // dag_cabinet.update({kernel_id: dag_info})
    REGISTER_UPDATED_COMPONENTS = 175, // updated_components = dag_update_info.updated_components
    REGISTER_ANY_CHANGE = 176,         // if updated_components.added or .revised or .deleted:
    REGISTER_TRANSMIT = 177,           //     DAGHandler.transmit(kernel_id, data)
};

constexpr RegistrationLines REGISTER_LINES = {
    REGISTER_IDENTIFIER,  REGISTER_REGISTERED,         REGISTER_COMPARE_EMPTY,
    REGISTER_EMPTY_MODEL, REGISTER_COMPARE_REGISTERED, REGISTER_UPDATE_MESSAGE,
    REGISTER_STORE,       REGISTER_UPDATED_COMPONENTS, REGISTER_ANY_CHANGE,
};

// Whether updated_components.added, .revised or .deleted is true, taken in this order up to
// the first true one; -1 on error.
int
any_change(PyObject *updated_components) noexcept
{
    for (id::Name kind : {id::added, id::revised, id::deleted}) {
        Ref value = Ref::steal(PyObject_GetAttr(updated_components, s(kind)));
        if (!value)
            return -1;
        const int truth = PyObject_IsTrue(value.get());
        if (truth != 0)
            return truth;
    }
    return 0;
}

// The comparison of the model with the kernel's registered pipeline, or with an empty one.
PyObject *
compare(PyObject *kernel_id, PyObject *dag_info, const RegistrationLines &lines,
        int &line) noexcept
{
    line = lines.registered;
    const int registered_before = is_registered(kernel_id);
    if (registered_before < 0)
        return nullptr;
    // get_dag_update_info(<the registered pipeline, or an empty one>, dag_info)
    const int compare_line = registered_before ? lines.compare_registered : lines.compare_empty;
    line = compare_line;
    Ref get_dag_update_info = Ref::steal(FLOWSYNC_GLOBAL(get_dag_update_info));
    if (!get_dag_update_info)
        return nullptr;
    if (!registered_before)
        line = lines.empty_model; // the empty model's statement has a line of its own
    Ref previous = Ref::steal(registered_before ? registered(kernel_id) : empty_model(kernel_id));
    if (!previous)
        return nullptr;
    line = compare_line;
    PyObject *pair[] = {previous.get(), dag_info};
    return frame::call(get_dag_update_info.get(), pair, 2, nullptr);
}

// The method's body: the registration, then the relay of what changed.
PyObject *
register_body(PyObject *kernel_id, PyObject *dag_info, PyObject *given, int &line) noexcept
{
    line = REGISTER_DATA;
    Ref data = Ref::steal(PyDict_New());
    if (!data || PyDict_SetItem(data.get(), s(id::procedure), s(id::pipeline_updated)) < 0 ||
        PyDict_SetItem(data.get(), s(id::status), s(id::successful)) < 0)
        return nullptr;
    bool changed = false;
    Ref dag_update_info = Ref::steal(
        register_pipeline(kernel_id, dag_info, given, data.get(), REGISTER_LINES, changed, line));
    if (!dag_update_info)
        return nullptr;
    if (changed) {
        line = REGISTER_TRANSMIT;
        if (!relay_message(kernel_id, data.get()))
            return nullptr;
    }
    return dag_update_info.release();
}

} // namespace

PyObject *
register_pipeline(PyObject *kernel_id, PyObject *dag_info, PyObject *given, PyObject *data,
                  const RegistrationLines &lines, bool &changed, int &line) noexcept
{
    line = lines.identifier;
    if (PyObject_SetAttr(dag_info, s(id::identifier), kernel_id) < 0)
        return nullptr;

    // A caller that knows what changed gives the update; no comparison is made then.
    Ref dag_update_info = given != Py_None ? Ref::borrow(given)
                                           : Ref::steal(compare(kernel_id, dag_info, lines, line));
    if (!dag_update_info)
        return nullptr;

    line = lines.update_message;
    Ref update = Ref::steal(frame::call_method(dag_update_info.get(), s(id::dict)));
    if (!update || PyDict_SetItem(data, s(id::successful), update.get()) < 0)
        return nullptr;

    // From here on the kernel's entry is the new model, whatever happens next: every
    // registration is one, and the model's time of creation is the list's "updated".
    line = lines.store;
    Ref cabinet = Ref::steal(FLOWSYNC_GLOBAL(dag_cabinet));
    if (!cabinet)
        return nullptr;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), kernel_id, dag_info) < 0)
        return nullptr;
    PyObject *entry_arg = entry.get();
    if (!frame::discard(frame::call_method(cabinet.get(), s(id::update), &entry_arg, 1, nullptr)))
        return nullptr;

    line = lines.updated_components;
    Ref updated_components =
        Ref::steal(PyObject_GetAttr(dag_update_info.get(), s(id::updated_components)));
    if (!updated_components)
        return nullptr;
    line = lines.any_change;
    const int any = any_change(updated_components.get());
    if (any < 0)
        return nullptr;
    changed = any > 0;
    return dag_update_info.release();
}

constexpr frame::Method REGISTER = {
    "register",
    "DAGHandler.register",
    REGISTER_DEF,
    frame::Params{{id::kernel_id, &PyUnicode_Type}, {id::dag_info}, {id::dag_update_info}},
    frame::Names{id::data, id::updated_components},
    frame::Annotations{{id::kernel_id, id::a_str},
                       {id::dag_info, id::ZelvoPipelineModel},
                       {id::dag_update_info, id::a_optional_update},
                       {id::return_, id::ZelvoDagUpdateModel}},
    "Register dag_info as the pipeline of kernel_id and relay what changed.\n"
    "\n"
    "The update is dag_update_info when given (not None): no comparison is made then.\n"
    "Otherwise it is what changed from the registered pipeline (or an empty one). The model\n"
    "is stored in either case; the update is relayed when it lists any change. Returns it.",
    frame::method_entry<module, REGISTER, register_body>,
    static_method};

} // namespace flowsync
