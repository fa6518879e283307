// DAGHandler.transmit: one message's JSON text to every websocket connection of a kernel.
#include "flowsync.h"

namespace flowsync {
namespace {

using frame::Ref;

// The statements of transmit that a traceback record can name.
enum TransmitLine : int {
    TRANSMIT_DEF = 154,     // def transmit(kernel_id: str, data: Dict[str, Any]) -> None:
    TRANSMIT_PAYLOAD = 157, // payload = json.dumps(data)
    TRANSMIT_LOOP = 158,    // for handler in ZelvoWebSocketHandler.registry:
    TRANSMIT_MATCH = 159,   //     if handler.kernel_id == kernel_id:
    TRANSMIT_WRITE = 160,   //         handler.write_message(payload)
};

// handler.kernel_id == kernel_id, the handler's value on the left. -1 on error.
int
same_kernel(PyObject *left, PyObject *kernel_id) noexcept
{
    if (left == kernel_id)
        return 1;
    if (left == Py_None)
        return 0; // kernel_id is a str: None never equals it
    if (PyUnicode_CheckExact(left))
        return PyUnicode_Compare(left, kernel_id) == 0;
    Ref equal = Ref::steal(PyObject_RichCompare(left, kernel_id, Py_EQ));
    if (!equal)
        return -1;
    return PyObject_IsTrue(equal.get());
}

bool
transmit_body(PyObject *kernel_id, PyObject *data, int &line) noexcept
{
    // Serialised once: every connection gets the same text object.
    line = TRANSMIT_PAYLOAD;
    Ref payload = Ref::steal(json_dumps(data));
    if (!payload || !frame::check_local(payload.get(), &PyUnicode_Type))
        return false;

    line = TRANSMIT_LOOP;
    Ref registry = Ref::steal(FLOWSYNC_GLOBAL_ATTR(ZelvoWebSocketHandler, registry));
    if (!registry)
        return false;
    PyObject *text = payload.get();
    return frame::for_each(registry.get(), [&](PyObject *handler) {
        line = TRANSMIT_MATCH;
        Ref handler_kernel = Ref::steal(PyObject_GetAttr(handler, s(id::kernel_id)));
        if (!handler_kernel)
            return false;
        const int matches = same_kernel(handler_kernel.get(), kernel_id);
        if (matches < 0)
            return false;
        if (matches) {
            // Whatever write_message returns (a future) is dropped without being awaited.
            line = TRANSMIT_WRITE;
            if (!frame::discard(
                    frame::call_method(handler, s(id::write_message), &text, 1, nullptr)))
                return false;
        }
        line = TRANSMIT_LOOP; // the walk itself goes on
        return true;
    });
}

} // namespace

constexpr frame::Method TRANSMIT = {
    "transmit",
    "DAGHandler.transmit",
    TRANSMIT_DEF,
    frame::Params{{id::kernel_id, &PyUnicode_Type}, {id::data, &PyDict_Type}},
    frame::Names{id::payload, id::handler},
    frame::Annotations{
        {id::kernel_id, id::a_str}, {id::data, id::a_result}, {id::return_, id::a_none}},
    "transmit DAG info to websocket connection which has kernel id",
    frame::method_entry<module, TRANSMIT, transmit_body>,
    static_method};

} // namespace flowsync
