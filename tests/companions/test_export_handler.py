import json
import types
import uuid

import jupytext
import nbformat
import pytest
import tornado.httpclient
from jupyter_server.auth.authorizer import Authorizer

from zelvo.server.handlers.pipeline_export import download
from zelvo.server.handlers.pipeline_export.download import content_disposition
from zelvo.server.handlers.ws_handler import ZelvoWebSocketHandler
from zelvo_core import export
from zelvo_core.export import notebook, percent_script
from zelvo_core.misc.models import PipelineComponent, ZelvoPipelineModel, parents_first

KERNEL_ID = str(uuid.uuid4())
# Selecting all four components of this document gives it back unchanged.
DOCUMENT = json.dumps(
    {
        "identifier": KERNEL_ID,
        "dag_info": [
            {
                "id": ident,
                "component_type": "code",
                "parents_id": [],
                "code": "pass",
                "execution_status": "not-run",
                "last_execution": None,
            }
            for ident in ("c1", "c2", "c3", "c4")
        ],
    }
)


def _fetch_export(jp_fetch, params, **kwargs):
    return jp_fetch(
        "zelvo", "kernels", KERNEL_ID, "export", params=params, raise_error=False, **kwargs
    )


CELLS = [("cell_ids", "c1"), ("cell_ids", "c2,c3"), ("cell_ids", " c4 ,,")]


@pytest.mark.parametrize(
    ("params", "cell_ids", "ipynb_name", "filename"),
    [
        ([("ipynb_name", "")], [], "pipeline.ipynb", "pipeline.json"),
        (
            [("ipynb_name", "dir/My Analysis.ipynb")],
            [],
            "dir/My Analysis.ipynb",
            "My Analysis.json",
        ),
        (CELLS, None, "pipeline.ipynb", "pipeline.json"),
    ],
)
async def test_pipeline_is_offered_as_download(
    zelvo_routes, export_answers, jp_fetch, params, cell_ids, ipynb_name, filename
):
    export_answers[KERNEL_ID] = (DOCUMENT, "json")
    response = await _fetch_export(jp_fetch, params)
    # A selection is made from the registered model, without _get_pipeline.
    assert zelvo_routes == ([] if cell_ids is None else [(KERNEL_ID, cell_ids, ipynb_name)])
    assert response.code == 200
    assert response.headers["Content-Type"] == "application/json"
    assert response.headers["Content-Disposition"] == f'attachment; filename="{filename}"'
    assert response.body.decode() == DOCUMENT


@pytest.mark.parametrize(
    ("answer", "headers", "code", "message"),
    [
        (("cell c9 is not in the pipeline", "error"), {}, 400, "cell c9 is not in the pipeline"),
        (None, {}, 404, f"No pipeline is registered for kernel {KERNEL_ID}."),
        ((DOCUMENT, "json"), {"Authorization": "token nope"}, 403, None),
    ],
)
async def test_refusals_are_json_messages(
    zelvo_routes, export_answers, jp_fetch, answer, headers, code, message
):
    if answer is not None:
        export_answers[KERNEL_ID] = answer
    response = await _fetch_export(jp_fetch, [], headers=headers)
    assert response.code == code
    assert response.headers["Content-Type"] == "application/json"
    assert "Content-Disposition" not in response.headers
    if message is None:
        assert zelvo_routes == []
    else:
        assert json.loads(response.body) == {"message": message}


@pytest.mark.parametrize("ending", [".json", ".py", ".pipeline.ipynb"])
@pytest.mark.parametrize(
    ("ipynb_name", "filename"),
    [
        ("../../etc/passwd.ipynb", '"passwd{}"'),
        ("C:\\work\\run.IPYNB", '"run{}"'),
        ("analysis", '"analysis{}"'),
        (".ipynb", '"pipeline{}"'),
        ("...", '"pipeline{}"'),
        ('a"b.ipynb', '"a_b{}"'),
        ('x"\r\nX-Injected: 1\x00;.ipynb', '"x_X-Injected_ 1_{}"'),
        ("データ.ipynb", "\"pipeline{}\"; filename*=UTF-8''%E3%83%87%E3%83%BC%E3%82%BF{}"),
    ],
)
def test_download_name_is_sanitised(ipynb_name, filename, ending):
    expected = f"attachment; filename={filename.format(ending, ending)}"
    if ending == ".json":
        assert content_disposition(ipynb_name) == expected
    assert content_disposition(ipynb_name, ending) == expected


class NoKernelsAuthorizer(Authorizer):
    """Lets the user in but grants nothing on kernels."""

    def is_authorized(self, handler, user, action, resource):
        return resource != "kernels"


@pytest.mark.parametrize(
    "jp_server_config", [{"ServerApp": {"authorizer_class": NoKernelsAuthorizer}}]
)
async def test_user_without_kernel_access_is_refused(
    zelvo_routes, export_answers, jp_fetch, jp_ws_fetch
):
    export_answers[KERNEL_ID] = ("{}", "json")
    with pytest.raises(tornado.httpclient.HTTPClientError) as refused:
        await jp_ws_fetch("zelvo", "kernels", KERNEL_ID, "ws")
    assert refused.value.code == 403 and not ZelvoWebSocketHandler.registry
    assert (await _fetch_export(jp_fetch, [])).code == 403
    assert zelvo_routes == []


@pytest.mark.parametrize(
    ("nodes", "order"),
    [
        ([("c", "b"), ("b", "a"), ("a", "")], "abc"),  # children first
        ([("y", "z"), ("x", ""), ("z", "")], "xzy"),  # ties in pipeline order
        ([("d", "bc"), ("c", "a"), ("b", "a"), ("a", "")], "acbd"),  # diamond
        ([("s", "r"), ("q", ""), ("r", ""), ("t", "qs")], "qrst"),  # several roots
        ([("a", ""), ("c", ""), ("b", "a")], "acb"),  # parents first already: kept
    ],
)
def test_parents_first_is_stable(nodes, order):
    dag = [
        PipelineComponent(ident, "code", tuple(parents), "", "", None) for ident, parents in nodes
    ]
    assert "".join(c.id for c in parents_first(dag)) == order
    with pytest.raises(ValueError, match="cycle"):
        parents_first(
            [
                *dag,
                dag[0]._replace(id="u", parents_id=("v",)),
                dag[0]._replace(id="v", parents_id=("u",)),
            ]
        )


# A diamond posted children first, and a second root.
PIPELINE = [("d", "bc"), ("c", "a"), ("b", "a"), ("a", ""), ("e", "")]


@pytest.fixture()
def pipeline(component, export_answers):
    """Registers PIPELINE ("a" a parameter) for KERNEL_ID; returns its export document's text."""
    dag = [
        component(ident, list(parents), component_type="parameter" if ident == "a" else "code")
        for ident, parents in PIPELINE
    ]
    text = json.dumps({"identifier": KERNEL_ID, "dag_info": dag})
    export_answers[KERNEL_ID] = (text, "json")
    return text


@pytest.mark.parametrize(
    ("params", "selected"),
    [
        ([("cell_ids", "d")], "dcba"),  # a leaf: it and its ancestors, in pipeline order
        ([("cell_ids", "a")], "a"),  # a root
        ([("cell_ids", "b,e"), ("cell_ids", "c")], "cbae"),
        ([("cell_ids", " , ")], None),  # an empty selection: the whole document as it came
        ([("cell_ids", ""), ("format", "")], None),
    ],
)
async def test_cell_ids_select_components_with_ancestors(
    zelvo_routes, pipeline, jp_fetch, params, selected
):
    response = await _fetch_export(jp_fetch, params)
    assert response.code == 200
    assert response.headers["Content-Disposition"] == 'attachment; filename="pipeline.json"'
    if selected is None:
        assert response.body.decode() == pipeline
    else:
        document = json.loads(pipeline)
        document["dag_info"] = [c for c in document["dag_info"] if c["id"] in selected]
        assert response.body.decode() == json.dumps(document)


@pytest.mark.parametrize(
    ("export_format", "filename", "content_type"),
    [
        ("py", "My Analysis.py", "text/x-python; charset=UTF-8"),
        ("ipynb", "My Analysis.pipeline.ipynb", "application/x-ipynb+json"),
    ],
)
async def test_script_and_notebook_list_parents_first(
    zelvo_routes, pipeline, jp_fetch, export_format, filename, content_type
):
    params = [("format", export_format), ("cell_ids", "d"), ("ipynb_name", "My Analysis.ipynb")]
    response = await _fetch_export(jp_fetch, params)
    assert response.code == 200
    assert response.headers["Content-Disposition"] == f'attachment; filename="{filename}"'
    assert response.headers["Content-Type"] == content_type
    dag = ZelvoPipelineModel(**json.loads(pipeline)).graph.components
    ordered = [dag[ident] for ident in "acbd"]
    if export_format == "py":
        assert response.body.decode() == percent_script(ordered)
        assert response.body.decode().startswith(
            '# %% id="a" component_type="parameter" tags=["parameters"]\na = 1\n\n'
            '# %% id="c" component_type="code"\nc = 1\n\n'
        )
    else:
        # No kernel of that id runs here: the notebook is for a Python 3 kernel.
        kernelspec = {"name": "python3", "display_name": "Python 3", "language": "python"}
        assert response.body.decode() == notebook(ordered, kernelspec)


@pytest.mark.parametrize(
    ("params", "message"),
    [
        ([("format", "pdf")], "Unknown format 'pdf': use one of json, py, ipynb."),
        ([("format", "JSON")], "Unknown format 'JSON': use one of json, py, ipynb."),
        (
            [("format", "py"), ("cell_ids", "zzz,a,zzz"), ("cell_ids", "d\n")],
            "cell_ids names components that are not in the pipeline: 'zzz'",
        ),
        (
            [("cell_ids", ",".join(f"x{n}" for n in range(12)))],
            "cell_ids names components that are not in the pipeline: "
            + ", ".join(f"'x{n}'" for n in range(10))
            + " and 2 more",
        ),
    ],
)
async def test_unknown_format_or_cell_id_is_refused(
    zelvo_routes, pipeline, jp_fetch, params, message
):
    response = await _fetch_export(jp_fetch, params)
    assert response.code == 400
    assert json.loads(response.body) == {"message": message}
    assert "Content-Disposition" not in response.headers
    assert zelvo_routes == []


async def test_lone_surrogate_in_code_is_escaped(
    zelvo_routes, export_answers, component, jp_fetch
):
    code = "text = '\ud800'"  # a JSON body may carry it; UTF-8 cannot
    document = {"identifier": KERNEL_ID, "dag_info": [component("s\ud800", code=code)]}
    export_answers[KERNEL_ID] = (json.dumps(document), "json")
    script = await _fetch_export(jp_fetch, [("format", "py")])
    assert script.body.decode() == '# %% id="s\\ud800" component_type="code"\ntext = \'\\ud800\'\n'
    cells = json.loads((await _fetch_export(jp_fetch, [("format", "ipynb")])).body)["cells"]
    assert [(cell["source"], cell["metadata"]["zelvo"]["id"]) for cell in cells] == [
        (code, "s\ud800")
    ]


def test_notebook_cell_ids_are_valid_and_unique():
    ids = ["a" * 64, "a" * 65, "a b", "a-b", "\u00fc", "-", "x" * 200, "tab\there"]
    dag = [PipelineComponent(ident, "code", (), "pass", "not-run", None) for ident in ids]
    kernelspec = {"name": "python3", "display_name": "Python 3", "language": "python"}
    exported = nbformat.reads(notebook(dag, kernelspec), as_version=nbformat.NO_CONVERT)
    nbformat.validate(exported)
    cells = exported.cells
    assert len({cell.id for cell in cells}) == len(ids)
    assert [cell.id for cell in cells if cell.id in ids] == ["a" * 64, "a-b", "-"]
    assert [cell.metadata.zelvo.id for cell in cells] == ids


# (code, what the percent reader gives back when it is not the code itself)
ROUND_TRIPS = {
    "plain": ("x = 1\nprint(x)", None),
    "commented magics": ("# !curl -O {url}\n# %tensorflow_version 2.x\nx = 1", None),
    "twice commented": ("# # %time\n# # # !ls\n# # +", None),
    "live magics": ("%%capture out\n!pip install x\nfiles = !ls\n%time y = 2\nls", None),
    "shell continued": ("!ls \\\n  -la \\\n# %% -d\n!pwd", None),
    "continued into a marker": ("!ls \\\nIn[1]:\n!ls \\\n\n", None),
    "in a string": ("s = '''\n# %% in a string\n!ls\n'''", None),
    "indented": ("if x:\n    !ls\n    # %time\n    y = 1", None),
    "noescape": ("%time y  # noescape", None),
    # A marker line cannot come back as it was: it keeps its cell whole, commented once more.
    "marker line": ("a = 1\n# %% inner\nb = 2", "a = 1\n# # %% inner\nb = 2"),
    "blank lines": ("\n\nx = 1\n  \n\n", None),
    "empty": ("", None),
    "carriage returns": ("a = 1\r\n# %time\rb = 2", "a = 1\n# %time\nb = 2"),
    # Nor can one final line break after a non-blank line.
    "final line break": ("x = 1\n", "x = 1"),
}


@pytest.mark.parametrize(("code", "read_back"), ROUND_TRIPS.values(), ids=list(ROUND_TRIPS))
def test_script_reads_back_as_the_same_cells(code, read_back):
    dag = [
        PipelineComponent("p", "parameter", (), "n = 1", "not-run", None),
        PipelineComponent("c 1", "code", ("p",), code, "not-run", None),
        PipelineComponent("last", "code", ("c 1",), code, "not-run", None),
    ]
    script = percent_script(dag)
    cells = jupytext.reads(script, "py:percent").cells
    expected = [dag[0].code, *[code if read_back is None else read_back] * 2]
    assert [cell.source for cell in cells] == expected
    assert [
        (cell.metadata["id"], cell.metadata["component_type"], cell.metadata.get("tags"))
        for cell in cells
    ] == [("p", "parameter", ["parameters"]), ("c 1", "code", None), ("last", "code", None)]
    if "!" not in code and "%" not in code:
        compile(script, "pipeline.py", "exec")


class Kernels:
    """A kernel manager and spec manager of one kernel, "k", whose client answers ``reply``
    (or raises it, an exception)."""

    def __init__(self, reply, spec=None, language="python"):
        self.reply, self.language = reply, language
        self.spec = spec or (
            lambda name: types.SimpleNamespace(display_name=name, language=language)
        )
        self.stopped = []

    def __contains__(self, kernel_id):
        return kernel_id == "k"

    def get_kernel(self, kernel_id):
        return types.SimpleNamespace(kernel_name="ir", client=lambda: self)

    def get_kernel_spec(self, name):
        return self.spec(name)

    def start_channels(self):
        pass

    def stop_channels(self):
        self.stopped.append(True)

    async def kernel_info(self, reply, timeout):
        if isinstance(self.reply, Exception):
            raise self.reply
        return {"content": self.reply}


R_INFO = {"name": "R", "version": "4.3.1", "file_extension": ".r", "mimetype": "text/x-r-source"}


async def _spec(name):
    return types.SimpleNamespace(display_name="Gateway R", language="R")


@pytest.mark.parametrize(
    ("kernels", "kernel_id", "kernelspec", "language_info"),
    [
        (Kernels({"language_info": R_INFO}), "k", ("ir", "ir", "python"), R_INFO),
        (Kernels({}, spec=_spec), "k", ("ir", "Gateway R", "R"), {"name": "R"}),
        (
            Kernels({"language_info": {"name": 5, "version": "1"}}, spec=_spec),
            "k",
            ("ir", "Gateway R", "R"),
            {"name": "R", "version": "1"},
        ),
        # No answer: the spec's language, with a Python kernel's usual fields.
        (Kernels(TimeoutError()), "k", ("ir", "ir", "python"), export.PYTHON_LANGUAGE_INFO),
        (Kernels(None, spec=lambda name: 1 / 0), "k", ("python3", "Python 3", "python"), None),
        (Kernels(None), "gone", ("python3", "Python 3", "python"), None),
    ],
    ids=["told", "gateway spec, nothing told", "bad name", "no answer", "no spec", "not running"],
)
async def test_notebook_metadata_comes_from_the_kernel(
    kernels, kernel_id, kernelspec, language_info
):
    log = types.SimpleNamespace(debug=lambda *args, **kwargs: None)
    metadata = await download.kernel_metadata(kernels, kernels, kernel_id, log)
    dag = [PipelineComponent("a", "code", (), "pass", "not-run", None)]
    written = json.loads(notebook(dag, metadata["kernelspec"], metadata.get("language_info")))
    written = written["metadata"]
    assert tuple(written["kernelspec"].values()) == kernelspec
    assert written["language_info"] == (language_info or export.PYTHON_LANGUAGE_INFO)
    # The client it asked is closed again, answer or not.
    assert kernels.stopped == ([True] if language_info else [])
