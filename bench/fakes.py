"""What the handler methods run against in the micro and scaling benchmarks.

Every side (native, checking twin, plain twin) gets the same fakes; only the methods
differ. The fakes do as little as they can, so that the measurements show the methods'
own cost rather than the host's.
"""

import random

import twin_checking
import twin_plain

from zelvo.server.handlers import flowsync
from zelvo.server.handlers.pipeline_export import pipeport
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo_core.misc.models import ZelvoPipelineModel

# The sides in the order of every table: the native modules, then the twins.
SIDES = ("native", "checking", "plain")
MODULES = {"native": flowsync, "checking": twin_checking, "plain": twin_plain}
EXPORT_MODULES = {"native": pipeport, "checking": twin_checking, "plain": twin_plain}

# One registry for every side: the twins bind flowsync's dict as their own global.
dag_cabinet = flowsync.dag_cabinet
assert twin_plain.dag_cabinet is dag_cabinet and twin_checking.dag_cabinet is dag_cabinet


def kernel_id(number):
    """A kernel id of the server's own form (a UUID)."""
    return f"{number:08x}-0000-4000-8000-{number:012x}"


def component(ident, parents=(), status="succeeded", code=None):
    """A component as the front end posts it."""
    return {
        "id": ident,
        "component_type": "code",
        "parents_id": list(parents),
        "code": f"{ident} = 1" if code is None else code,
        "execution_status": status,
        "last_execution": "2021-07-27T13:34:35",
    }


def dag_info(count, status="succeeded", seed=0):
    """A pipeline of ``count`` components: a chain with a few side branches, parents first."""
    rng = random.Random(seed)
    components = []
    for number in range(count):
        ident = f"c{number:06d}"
        parents = []
        if number:
            parents.append(f"c{number - 1:06d}")
        if number > 2 and rng.random() < 0.2:
            parents.append(f"c{rng.randrange(number - 2):06d}")
        components.append(component(ident, parents))
    if components:
        components[-1]["execution_status"] = status
    return components


def updated_body(count, status="succeeded"):
    """A successful "pipeline:updated" message with ``count`` components."""
    return {
        "procedure": "pipeline:updated",
        "status": "successful",
        "msg": "",
        "successful": {"dag_info": dag_info(count, status)},
    }


def model(kernel, count):
    """A registered pipeline model of ``count`` components for ``kernel``."""
    built = ZelvoPipelineModel(dag_info=dag_info(count))
    built.identifier = kernel
    return built


class FakeKernelManager:
    """Lists the same prebuilt kernel ids on every call."""

    def __init__(self, kernel_ids):
        self.kernel_ids = list(kernel_ids)

    def list_kernel_ids(self):
        return self.kernel_ids


class FakeLog:
    def error(self, text):
        pass


class FakeSocket:
    """A websocket connection: its kernel id and a write that goes nowhere."""

    def __init__(self, kernel):
        self.kernel_id = kernel

    def write_message(self, message):
        pass


class FakeRequestHandler:
    """``self`` of the DAGHandler methods: the host operations they call, doing nothing.

    ``get_json_body`` hands out a new copy of the body each time, since post changes the
    body in place; with two bodies it alternates between them, so that every post of a
    pipeline changes it.
    """

    def __init__(self, bodies=(None,), kernels=()):
        self.bodies = list(bodies)
        self.turn = 0
        self.kernel_manager = FakeKernelManager(kernels)
        self.log = FakeLog()

    def set_header(self, name, value):
        pass

    def set_status(self, status_code):
        pass

    def finish(self, chunk):
        pass

    def get_json_body(self):
        self.turn = (self.turn + 1) % len(self.bodies)
        body = self.bodies[self.turn]
        return body if body is None else dict(body)


def unwrapped(function):
    # get and post are wrapped by tornado's authenticated; the fakes have no user to check.
    return getattr(function, "__wrapped__", function)


def handler_class(side):
    """The fake request handler carrying ``side``'s DAGHandler methods."""
    dag_handler = MODULES[side].DAGHandler
    return type(
        f"Fake{side.title()}DAGHandler",
        (FakeRequestHandler,),
        {
            "_finish_with_result": dag_handler.__dict__["_finish_with_result"],
            "_remove_unused_kernels_on_cabinet": dag_handler.__dict__[
                "_remove_unused_kernels_on_cabinet"
            ],
            "get": unwrapped(dag_handler.__dict__["get"]),
            "post": unwrapped(dag_handler.__dict__["post"]),
        },
    )


HANDLER_CLASSES = {side: handler_class(side) for side in SIDES}


def handlers(**kwargs):
    """One fake request handler per side, made with the same arguments."""
    return {side: HANDLER_CLASSES[side](**kwargs) for side in SIDES}


def export_handler(side):
    """An export handler of ``side`` made without a request, as the method never reads it."""
    cls = EXPORT_MODULES[side].ZelvoPipelineExportHandler
    return cls.__new__(cls)


def dag_handler_class(side):
    """``side``'s DAGHandler class, through which transmit is called."""
    return MODULES[side].DAGHandler


def install(cabinet=None, sockets=()):
    """Sets the shared state of every side: the registry's entries and the websockets."""
    dag_cabinet.clear()
    if cabinet:
        dag_cabinet.update(cabinet)
    ZelvoWebSocketHandler.registry = list(sockets)
