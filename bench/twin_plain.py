"""The handler methods written the plain way a Python developer would write them.

The benchmarks' reference point: the same steps as the native methods (the same globals,
the same companion calls, the same answers), without the exact-type tests of the
arguments and typed locals. Lives with the benchmarks only.
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


class DAGHandler(APIHandler):
    """The DAG route, in plain Python."""

    def _finish_with_result(self, status_code: HTTPStatus, result: Dict[str, Any]) -> None:
        self.set_header(name="Content-Type", value="application/json")
        self.set_header(name="Content-Length", value=str(len(json.dumps(result))))
        self.set_status(status_code=int(status_code))
        self.finish(json.dumps(result))

    @tornado.web.authenticated
    def get(self, kernel_id: str) -> None:
        status_code = HTTPStatus.OK
        result = {}
        if kernel_id in dag_cabinet:
            dag_update_info = get_dag_update_info(
                ZelvoPipelineModel(identifier=kernel_id), dag_cabinet[kernel_id]
            )
            result = dag_update_info.dict()
        else:
            status_code = HTTPStatus.BAD_REQUEST
            result["message"] = "Cannot get dag data in " + kernel_id + "."
        self._finish_with_result(status_code=status_code, result=result)

    @tornado.web.authenticated
    def post(self, kernel_id: str) -> None:
        status_code = HTTPStatus.OK
        result = {"message": "Success."}
        data = self.get_json_body()

        problem = None
        if not isinstance(data, dict):
            problem = "The body of the request must be a JSON object."
        else:
            for key in ("procedure", "status", "msg", "successful"):
                if key not in data:
                    problem = key + " is required in the body of the request."
                    break
                value = data[key]
                if key == "successful":
                    if value is not None and not isinstance(value, dict):
                        problem = "successful must be an object or null."
                        break
                elif value is not None and not isinstance(value, str):
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
        for unused_kernel_id in unused_kernel_ids:
            unused_diskcache_dir = dag_cabinet[unused_kernel_id].diskcache_dir
            if unused_diskcache_dir is not None:
                shutil.rmtree(unused_diskcache_dir, ignore_errors=True)
            dag_cabinet.pop(unused_kernel_id)

    @staticmethod
    def transmit(kernel_id: str, data: Dict[str, Any]) -> None:
        """transmit DAG info to websocket connection which has kernel id"""
        payload = json.dumps(data)
        for handler in ZelvoWebSocketHandler.registry:
            if handler.kernel_id == kernel_id:
                handler.write_message(payload)


class ZelvoPipelineExportHandler(BasePipelineExportHandler):
    """The export route's pipeline assembly, in plain Python."""

    def _get_pipeline(
        self, kernel_id: str, cell_ids: List[str], ipynb_name: str
    ) -> Tuple[str, str]:
        dag_info = dag_cabinet[kernel_id]
        if not dag_info.graph.components:
            return ("There are no components in this pipeline.", "error")
        try:
            pipeline_contents = json.dumps(dag_info.to_zelvo_dict(include_captured=False))
            pipeline_type = "json"
        except Exception as exp:
            pipeline_contents = str(exp)
            pipeline_type = "error"
        return (pipeline_contents, pipeline_type)
