"""The handler methods in Python, with the native methods' exact-type tests.

Like twin_plain, plus what the native methods test at run time: each argument must be of
exactly its type (None and subclasses refused, the same TypeError text) and each typed
local of exactly its type or None. Both sides then do the same work, so the difference
is the cost of the interpreter itself. Lives with the benchmarks only.
"""

import json
import shutil
import traceback
from http import HTTPStatus
from typing import Any, Dict, List, Tuple

import tornado
from jupyter_server.base.handlers import APIHandler

from zelvo.server.handlers.flowsync import dag_cabinet  # one registry for both sides
from zelvo.server.handlers.pipeline_export.base_handler import BasePipelineExportHandler
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo.server.update import get_dag_update_info
from zelvo_core.misc.models import ZelvoPipelineModel

_SUBCLASS_NOTE = (
    "Subclasses of built-in types are rejected: the value must be of exactly that type."
)


def _wrong_argument(name, expected, value):
    given = type(value)
    note = ". " + _SUBCLASS_NOTE if issubclass(given, expected) else ""
    return TypeError(
        f"Argument '{name}' has incorrect type "
        f"(expected {expected.__name__}, got {given.__name__}){note}"
    )


def _wrong_local(expected, value):
    return TypeError(f"Expected {expected.__name__}, got {type(value).__name__}")


class DAGHandler(APIHandler):
    """The DAG route, in Python with exact-type tests."""

    def _finish_with_result(self, status_code: HTTPStatus, result: Dict[str, Any]) -> None:
        if type(result) is not dict:
            raise _wrong_argument("result", dict, result)
        self.set_header(name="Content-Type", value="application/json")
        self.set_header(name="Content-Length", value=str(len(json.dumps(result))))
        self.set_status(status_code=int(status_code))
        self.finish(json.dumps(result))

    @tornado.web.authenticated
    def get(self, kernel_id: str) -> None:
        if type(kernel_id) is not str:
            raise _wrong_argument("kernel_id", str, kernel_id)
        status_code = HTTPStatus.OK
        result = {}
        if kernel_id in dag_cabinet:
            dag_update_info = get_dag_update_info(
                ZelvoPipelineModel(identifier=kernel_id), dag_cabinet[kernel_id]
            )
            result = dag_update_info.dict()
            if result is not None and type(result) is not dict:
                raise _wrong_local(dict, result)
        else:
            status_code = HTTPStatus.BAD_REQUEST
            result["message"] = "Cannot get dag data in " + kernel_id + "."
        self._finish_with_result(status_code=status_code, result=result)

    @tornado.web.authenticated
    def post(self, kernel_id: str) -> None:
        if type(kernel_id) is not str:
            raise _wrong_argument("kernel_id", str, kernel_id)
        status_code = HTTPStatus.OK
        result = {"message": "Success."}
        data = self.get_json_body()

        problem = None
        if type(data) is not dict:
            problem = "The body of the request must be a JSON object."
        else:
            for key in ("procedure", "status", "msg", "successful"):
                if key not in data:
                    problem = key + " is required in the body of the request."
                    break
                value = data[key]
                if key == "successful":
                    if value is not None and type(value) is not dict:
                        problem = "successful must be an object or null."
                        break
                elif value is not None and type(value) is not str:
                    problem = key + " must be a string or null."
                    break
        if problem is not None:
            status_code = HTTPStatus.BAD_REQUEST
            result["message"] = problem
            self._finish_with_result(status_code=status_code, result=result)
            return
        procedure = data["procedure"]
        status = data["status"]
        msg = data["msg"]
        successful = data["successful"]

        try:
            if not msg:
                data.pop("msg")
            if procedure == "pipeline:updated" and status == "successful":
                if successful is None:
                    raise TypeError("argument after ** must be a mapping, not NoneType")
                dag_info = ZelvoPipelineModel(**successful)
                dag_info.identifier = kernel_id
                if kernel_id not in dag_cabinet:
                    dag_update_info = get_dag_update_info(
                        ZelvoPipelineModel(identifier=kernel_id), dag_info
                    )
                else:
                    dag_update_info = get_dag_update_info(dag_cabinet[kernel_id], dag_info)
                data["successful"] = dag_update_info.dict()
                dag_cabinet.update({kernel_id: dag_info})
                updated_components = dag_update_info.updated_components
                if not (
                    updated_components.added
                    or updated_components.revised
                    or updated_components.deleted
                ):
                    self._finish_with_result(status_code=status_code, result=result)
                    return
            DAGHandler.transmit(kernel_id, data)
            self._remove_unused_kernels_on_cabinet()
        except Exception as exp:
            status_code = HTTPStatus.INTERNAL_SERVER_ERROR
            result["message"] = str(exp)
            self.log.error(traceback.format_exc())
        self._finish_with_result(status_code=status_code, result=result)

    def _remove_unused_kernels_on_cabinet(self) -> None:
        kernel_ids = set(self.kernel_manager.list_kernel_ids())
        unused_kernel_ids = set(dag_cabinet.keys()) - kernel_ids
        if type(unused_kernel_ids) is not set:
            raise _wrong_local(set, unused_kernel_ids)
        for unused_kernel_id in unused_kernel_ids:
            unused_diskcache_dir = dag_cabinet[unused_kernel_id].diskcache_dir
            if unused_diskcache_dir is not None and type(unused_diskcache_dir) is not str:
                raise _wrong_local(str, unused_diskcache_dir)
            if unused_diskcache_dir is not None:
                shutil.rmtree(unused_diskcache_dir, ignore_errors=True)
            dag_cabinet.pop(unused_kernel_id)

    @staticmethod
    def transmit(kernel_id: str, data: Dict[str, Any]) -> None:
        """transmit DAG info to websocket connection which has kernel id"""
        if type(kernel_id) is not str:
            raise _wrong_argument("kernel_id", str, kernel_id)
        if type(data) is not dict:
            raise _wrong_argument("data", dict, data)
        payload = json.dumps(data)
        if payload is not None and type(payload) is not str:
            raise _wrong_local(str, payload)
        for handler in ZelvoWebSocketHandler.registry:
            if handler.kernel_id == kernel_id:
                handler.write_message(payload)


class ZelvoPipelineExportHandler(BasePipelineExportHandler):
    """The export route's pipeline assembly, in Python with exact-type tests."""

    def _get_pipeline(
        self, kernel_id: str, cell_ids: List[str], ipynb_name: str
    ) -> Tuple[str, str]:
        if type(kernel_id) is not str:
            raise _wrong_argument("kernel_id", str, kernel_id)
        if type(cell_ids) is not list:
            raise _wrong_argument("cell_ids", list, cell_ids)
        if type(ipynb_name) is not str:
            raise _wrong_argument("ipynb_name", str, ipynb_name)
        dag_info = dag_cabinet[kernel_id]
        if not dag_info.graph.components:
            return ("There are no components in this pipeline.", "error")
        try:
            pipeline_contents = json.dumps(dag_info.to_zelvo_dict(include_captured=False))
            if pipeline_contents is not None and type(pipeline_contents) is not str:
                raise _wrong_local(str, pipeline_contents)
            pipeline_type = "json"
        except Exception as exp:
            pipeline_contents = str(exp)
            pipeline_type = "error"
        return (pipeline_contents, pipeline_type)
