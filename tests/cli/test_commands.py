"""The `zelvo` command against a real `jupyter server` with the extension and a real kernel."""

import base64
import hashlib
import importlib.util
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading

import pytest

from zelvo.cli import main

# The route answers 404 for a kernel that the server does not run.
KERNEL_CHECK = importlib.util.find_spec("zelvo.server.handlers.pipeline") is not None

NOTEBOOK = {
    "nbformat": 4,
    "nbformat_minor": 5,
    "metadata": {},
    "cells": [
        {"cell_type": "markdown", "id": "intro", "metadata": {}, "source": "# Factorials"},
        {"cell_type": "code", "id": "params", "metadata": {"tags": ["parameters"]},
         "execution_count": 1, "outputs": [], "source": "n = 4"},
        {"cell_type": "code", "id": "values", "metadata": {}, "execution_count": None,
         "outputs": [], "source": "import math\nvalues = [math.factorial(i) for i in range(n)]"},
        {"cell_type": "code", "id": "total", "metadata": {}, "execution_count": None,
         "outputs": [], "source": "total = sum(values)\nprint('total', total)"},
    ],
}  # fmt: skip


@pytest.fixture()
def zelvo(served, capsys, monkeypatch, tmp_path):
    """zelvo(*argv, server=True) -> (status, stdout, stderr) of main() run in this process.

    With ``server`` the address and token of ``served`` are given as options; no
    running server is recorded unless a test points JUPYTER_RUNTIME_DIR at one.
    """
    monkeypatch.delenv("JUPYTER_TOKEN", raising=False)
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "no-servers"))
    capsys.readouterr()

    def run(*argv, server=True):
        options = ["--url", served.url, "--token", served.token] if server else []
        status = main([*argv, *options])
        out, err = capsys.readouterr()
        assert "Traceback" not in err
        return status, out, err

    return run


# The three cells of NOTEBOOK as the list says them: one has its output.
STATUS_WORDS = "1 succeeded, 2 not run"


def test_notebook_posted_listed_shown_and_exported(served, zelvo, tmp_path):
    path = tmp_path / "factorials.ipynb"
    path.write_text(json.dumps(NOTEBOOK))
    status, printed, _ = zelvo("from-notebook", str(path), server=False)
    assert status == 0
    pipeline = json.loads(printed)
    assert [(c["id"], c["parents_id"]) for c in pipeline["dag_info"]] == [
        ("params", []),
        ("values", ["params"]),
        ("total", ["values"]),
    ]

    kernel = served.kernel_id
    assert zelvo("post", kernel, str(path)) == (0, '{\n  "message": "Success."\n}\n', "")
    status, shown, _ = zelvo("show", kernel)
    assert json.loads(shown)["updated_components"]["added"] == pipeline["dag_info"]

    # The kernel becomes a notebook's: the notebook's path names it.
    notebook = "work/factorials.ipynb"
    session = {"path": notebook, "type": "notebook", "kernel": {"id": kernel}}
    served.call("POST", "api/sessions", session)
    status, listed, _ = zelvo("pipelines", "--json")
    (entry,) = [entry for entry in json.loads(listed) if entry["kernel_id"] == kernel]
    assert (entry["notebook"], entry["components"], entry["running"]) == (notebook, 3, True)
    status, table, _ = zelvo("pipelines")
    header, *rows = table.splitlines()
    assert header.split() == [
        "KERNEL", "ID", "NOTEBOOK", "COMPONENTS", "UPDATED", "RUNNING", "STATUS",
    ]  # fmt: skip
    assert [row.split()[:3] + row.split()[4:] for row in rows if kernel in row] == [
        [kernel, notebook, "3", "yes", *STATUS_WORDS.split()]
    ]
    assert zelvo("show", f"./{notebook}") == zelvo("show", kernel)

    # The exported script runs the cells parents first.
    script = tmp_path / "pipeline.py"
    assert zelvo("export", kernel, "--format", "py", "-o", str(script)) == (
        0, "", f"zelvo: saved {script}\n",
    )  # fmt: skip
    ran = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
    assert (ran.returncode, ran.stdout) == (0, "total 10\n")

    status, exported, _ = zelvo("export", kernel, "--cell-ids", "values,params")
    assert [c["id"] for c in json.loads(exported)["dag_info"]] == ["params", "values"]

    # A pipeline file (what from-notebook prints) posts as well, from stdin too.
    pipeline["dag_info"][0]["code"] = "n = 5"
    changed = tmp_path / "pipeline.json"
    changed.write_text(json.dumps(pipeline))
    assert zelvo("post", kernel, str(changed))[0] == 0
    status, shown, _ = zelvo("show", kernel)
    assert json.loads(shown)["updated_components"]["added"][0]["code"] == "n = 5"


def code_cell(ident, source, tags=()):
    return {"cell_type": "code", "id": ident, "metadata": {"tags": list(tags)},
            "execution_count": None, "outputs": [], "source": source}  # fmt: skip


# The leaf reads an object that a later cell changed and a global that a called function
# assigns: its export runs only with both of those cells.
SELECTED = {
    "nbformat": 4,
    "nbformat_minor": 5,
    "metadata": {
        "kernelspec": {"name": "python3", "display_name": "Python 3", "language": "python"}
    },
    "cells": [
        code_cell("params", "scale = 2", tags=["parameters"]),
        code_cell("data", "records = {'a': 1, 'b': 2}"),
        code_cell("change", "records['c'] = 3 * scale"),
        code_cell("helpers", "def configure():\n    global offset\n    offset = 10 * scale"),
        code_cell("unrelated", "import os\nhome = os.sep"),
        code_cell("setup", "configure()"),
        code_cell("leaf", "print(sorted(records.items()), offset)"),
    ],
}  # fmt: skip


# The exported script and papermill run none of this project's code: a sanitizer runtime
# preloaded into the suite stays out of them and of the kernels papermill starts.
UNSANITIZED = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def papermill(notebook, tmp_path, *parameters):
    """What running ``notebook`` under papermill prints (its cells' stdout, in order)."""
    out = tmp_path / f"ran-{notebook.name}"
    ran = subprocess.run(
        [sys.executable, "-m", "papermill", str(notebook), str(out), "-k", "python3",
         *parameters],
        capture_output=True, text=True, env=UNSANITIZED,
    )  # fmt: skip
    assert ran.returncode == 0, ran.stderr
    cells = json.loads(out.read_text())["cells"]
    return "".join(
        "".join(output["text"])
        for cell in cells
        for output in cell.get("outputs", [])
        if output["output_type"] == "stream" and output["name"] == "stdout"
    )


def test_selected_export_runs_alone_as_the_whole_notebook_does(served, zelvo, tmp_path):
    path = tmp_path / "selected.ipynb"
    path.write_text(json.dumps(SELECTED))
    assert zelvo("post", served.kernel_id, str(path))[0] == 0

    script = tmp_path / "leaf.py"
    assert zelvo("export", served.kernel_id, "--format", "py", "--cell-ids", "leaf",
                 "-o", str(script))[0] == 0  # fmt: skip
    ran = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, env=UNSANITIZED
    )
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout == papermill(path, tmp_path) == "[('a', 1), ('b', 2), ('c', 6)] 20\n"

    exported = tmp_path / "leaf.ipynb"
    assert zelvo("export", served.kernel_id, "--format", "ipynb", "--cell-ids", "leaf",
                 "-o", str(exported))[0] == 0  # fmt: skip
    ids = [cell["id"] for cell in json.loads(exported.read_text())["cells"]]
    assert "unrelated" not in ids
    whole = papermill(path, tmp_path, "-p", "scale", "3")
    assert papermill(exported, tmp_path, "-p", "scale", "3") == whole
    assert whole == "[('a', 1), ('b', 2), ('c', 9)] 30\n"


def test_watch_prints_the_snapshot_then_each_update_until_interrupted(served, zelvo, tmp_path):
    kernel = served.kernel_id
    path = tmp_path / "pipeline.json"
    path.write_text(json.dumps({"dag_info": []}))
    assert zelvo("post", kernel, str(path))[0] == 0
    watcher = subprocess.Popen(
        [sys.executable, "-m", "zelvo", "watch", kernel, "--url", served.url],
        env=dict(os.environ, JUPYTER_TOKEN=served.token),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    # The timer only turns a missing line into a failure instead of a hang.
    timer = threading.Timer(60, watcher.kill)
    timer.start()
    try:
        assert watcher.stderr.readline().startswith(f"zelvo: watching kernel {kernel} at ")
        snapshot = json.loads(watcher.stdout.readline())
        assert snapshot["successful"]["updated_components"]["added"] == []

        path.write_text(json.dumps(NOTEBOOK))
        assert zelvo("post", kernel, str(path))[0] == 0
        update = json.loads(watcher.stdout.readline())
        assert (update["procedure"], update["status"]) == ("pipeline:updated", "successful")
        added = update["successful"]["updated_components"]["added"]
        assert [c["id"] for c in added] == ["params", "values", "total"]

        watcher.send_signal(signal.SIGINT)
        assert watcher.wait() == 0
        assert watcher.stdout.read() == watcher.stderr.read() == ""
    finally:
        timer.cancel()
        watcher.kill()
        watcher.stdout.close()
        watcher.stderr.close()


def test_server_and_token_from_the_environment_or_the_runtime_dir(
    served, zelvo, monkeypatch, tmp_path
):
    unposted = "00000000-0000-0000-0000-000000000000"
    absent = f"zelvo: error: kernel {unposted} has no pipeline on the server\n"
    # Reaching the server at all means the address and the token were right.
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(served.runtime_dir))
    assert zelvo("show", unposted, server=False) == (1, "", absent)
    assert zelvo("show", unposted, "--url", served.url, server=False) == (1, "", absent)
    monkeypatch.setenv("JUPYTER_TOKEN", served.token)
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))
    assert zelvo("show", unposted, "--url", served.url, server=False) == (1, "", absent)
    # The environment's token wins over the recorded one.
    monkeypatch.setenv("JUPYTER_TOKEN", "not-the-token")
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(served.runtime_dir))
    status, _, refused = zelvo("show", unposted, server=False)
    assert (status, refused) == (
        1, "zelvo: error: the server refused the token (403 Forbidden); check --token\n"
    )  # fmt: skip
    # Several servers: the user must choose.
    for number in (1, 2):
        info = {"url": f"http://127.0.0.{number}:8888/", "pid": os.getpid(), "token": ""}
        (tmp_path / f"jpserver-{number}.json").write_text(json.dumps(info))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path))
    status, _, several = zelvo("pipelines", server=False)
    assert status == 1 and several.startswith("zelvo: error: several Jupyter servers are running")
    assert "http://127.0.0.1:8888/" in several and "http://127.0.0.2:8888/" in several


@pytest.fixture()
def silent_url():
    """A server that accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/"


@pytest.fixture()
def closed_url():
    """An address that refuses connections: its port is held, but not listened on."""
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{held.getsockname()[1]}/"


@pytest.fixture()
def fake():
    """fake(*answers) -> the URL of a loopback server that answers the n-th connection with
    ``answers[n]`` (the last one again after that): bytes are sent as they are after the
    request's head, None resets the connection, a function gets the socket and the head."""
    listeners = []

    def start(*answers):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listeners.append(listener)

        def serve():
            for number in range(1000):
                try:
                    client, _ = listener.accept()
                except OSError:
                    return
                with client:
                    head = b""
                    while b"\r\n\r\n" not in head:
                        chunk = client.recv(65536)
                        if not chunk:
                            break
                        head += chunk
                    answer = answers[min(number, len(answers) - 1)]
                    if answer is None:
                        client.setsockopt(
                            socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)
                        )
                    elif callable(answer):
                        answer(client, head.decode("latin-1"))
                    else:
                        client.sendall(answer)

        threading.Thread(target=serve, daemon=True).start()
        return f"http://127.0.0.1:{listener.getsockname()[1]}/"

    yield start
    for listener in listeners:
        listener.close()


def websocket(*frames):
    """A fake's answer: the handshake, then each (opcode, payload) frame, unmasked."""

    def answer(client, head):
        key = next(
            line.split(":", 1)[1].strip()
            for line in head.split("\r\n")
            if line.lower().startswith("sec-websocket-key:")
        )
        accept = base64.b64encode(
            hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()
        ).decode()
        client.sendall(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            + f"Sec-WebSocket-Accept: {accept}\r\n\r\n".encode()
        )
        for opcode, payload in frames:
            if callable(payload):
                payload = payload(head)
            client.sendall(bytes([0x80 | opcode, len(payload)]) + payload)
        client.recv(65536)  # the client's answer to the close

    return answer


def closing(code, reason):
    return 0x8, struct.pack(">H", code) + reason


UNPOSTED = "11111111-2222-3333-4444-555555555555"


@pytest.mark.parametrize(
    ("argv", "status", "message"),
    [
        ([], 2, "the following arguments are required: COMMAND"),
        (["post", "not-a-kernel", "-"], 2, "argument KERNEL_ID: not a kernel id: 'not-a-kernel'"),
        (["show", "gone.ipynb", "--url", "{served}", "--token", "{token}"], 1,
         "no running session has the notebook 'gone.ipynb'; give a kernel id"),
        (["export", "/a/../\x1b.ipynb", "--url", "{served}", "--token", "{token}"], 1,
         "no running session has the notebook 'a/../\\x1b.ipynb'; give a kernel id"),
        (["export", UNPOSTED, "--format", "pdf"], 2, "argument --format: invalid choice: 'pdf'"),
        (["show", UNPOSTED, "--timeout", "0"], 2, "argument --timeout: not a positive number of"),
        (["from-notebook", "{tmp}/missing.ipynb"], 1, "{tmp}/missing.ipynb: no such file"),
        (["from-notebook", "{tmp}"], 1, "{tmp}: is a directory"),
        (["from-notebook", "{tmp}/bad.ipynb"], 1, "{tmp}/bad.ipynb: not a notebook: invalid JSON"),
        (["from-notebook", "{tmp}/list.ipynb"], 1, "{tmp}/list.ipynb: not a notebook: no list"),
        (["from-notebook", "{tmp}/v3.ipynb"], 1, "{tmp}/v3.ipynb: a notebook of format 3"),
        (["from-notebook", "{tmp}/twice.ipynb"], 1, "{tmp}/twice.ipynb: two cells have the id"),
        (["post", UNPOSTED, "{tmp}/list.ipynb"], 1,
         "{tmp}/list.ipynb: neither a notebook nor a pipeline (no 'cells' or 'dag_info')"),
        (["show", UNPOSTED, "--url", "{closed}"], 1,
         "cannot reach the server at {closed}: Connection refused"),
        (["show", UNPOSTED, "--url", "{silent}", "--timeout", "0.5"], 1,
         f"the server at {{silent}} did not answer in time (the pipeline of kernel {UNPOSTED})"),
        (["watch", UNPOSTED, "--url", "{silent}", "--timeout", "0.5"], 1,
         "the server at {silent} did not answer in time"),
        (["show", UNPOSTED, "--url", "ftp://127.0.0.1/"], 1,
         "--url must be an http:// or https:// address, not ftp://127.0.0.1/"),
        (["show", UNPOSTED], 1, "no running Jupyter server found; start one or give its address"),
        (["pipelines", "--url", "{served}", "--token", "wrong"], 1,
         "the server refused the token (403 Forbidden); check --token"),
        (["watch", UNPOSTED, "--url", "{served}"], 1,
         "the server refused the token (403 Forbidden); give --token or set JUPYTER_TOKEN"),
        (["show", UNPOSTED, "--url", "{served}", "--token", "{token}"], 1,
         f"kernel {UNPOSTED} has no pipeline on the server"),
        (["export", UNPOSTED, "--url", "{served}", "--token", "{token}"], 1,
         f"kernel {UNPOSTED} has no pipeline on the server"),
        (["show", UNPOSTED, "--url", "{malformed}"], 1,
         "the server at {malformed} sent a malformed answer to the pipeline of kernel "
         f"{UNPOSTED}"),
        (["show", UNPOSTED, "--url", "{short}"], 1,
         "the server at {short} closed the connection before its answer to the pipeline of "
         f"kernel {UNPOSTED} was complete"),
        (["export", UNPOSTED, "--url", "{huge}"], 1,
         f"the server's answer to the export of kernel {UNPOSTED} is too large (over 256 MiB)"),
        (["pipelines", "--url", "{reset}"], 1,
         "the server at {reset} reset the connection (the list of pipelines)"),
        (["watch", UNPOSTED, "--url", "{reset}"], 1, "the server at {reset} reset the connection"),
        (["watch", UNPOSTED, "--url", "{served}", "--token", "{token}"], 1,
         f"the server does not run kernel {UNPOSTED}"),
        (["from-notebook", "{tmp}/deep.ipynb"], 1, "{tmp}/deep.ipynb: nested too deeply to be"),
        (["post", UNPOSTED, "{tmp}/deep.ipynb"], 1, "{tmp}/deep.ipynb: nested too deeply to be"),
        pytest.param(
            ["post", UNPOSTED, "{tmp}/empty.json", "--url", "{served}", "--token", "{token}"], 1,
            f"Kernel does not exist: {UNPOSTED} (404 Not Found)",
            marks=pytest.mark.skipif(not KERNEL_CHECK, reason="the route posts for any kernel"),
        ),
    ],
)  # fmt: skip
def test_errors_are_one_line_and_an_exit_status(
    zelvo, served, silent_url, closed_url, fake, tmp_path, argv, status, message
):
    files = {
        "bad.ipynb": '{"cells": [',
        "list.ipynb": "[]",
        "v3.ipynb": '{"nbformat": 3, "worksheets": []}',
        "twice.ipynb": json.dumps({"cells": [
            {"cell_type": "code", "id": "a", "source": "x = 1"},
            {"cell_type": "code", "id": "a", "source": "y = 1"},
        ]}),
        "empty.json": '{"dag_info": []}',
        "deep.ipynb": "[" * 100_000,
    }  # fmt: skip
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    values = {
        "tmp": str(tmp_path),
        "served": served.url,
        "token": served.token,
        "closed": closed_url,
        "silent": silent_url,
        "malformed": fake(b"HTTP/1.1 abc\r\n\r\n"),
        "short": fake(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{}"),
        "huge": fake(b"HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n{}"),
        "reset": fake(None),
    }
    argv = [arg.format(**values) for arg in argv]
    got_status, out, err = zelvo(*argv, server=False)
    assert (got_status, out) == (status, "")
    if status == 1:
        assert err.startswith("zelvo: error: " + message.format(**values))
        assert len(err.splitlines()) == 1
    else:
        assert err.startswith("usage: zelvo") and f": error: {message}" in err


def test_watch_reconnects_until_the_kernel_is_gone(zelvo, fake):
    def snapshot(head):  # what the second connection asked for
        return json.dumps({"asked": head.split()[1]}).encode()

    url = fake(
        websocket((0x2, b"\x00\x01"), (0x1, b'{"a": 1}'), closing(1013, b"fell behind")),
        None,  # reset while it reconnects: it tries again
        websocket((0x1, snapshot), closing(1001, b"Kernel gone \xff\x1b[2J")),
    )
    status, out, err = zelvo("watch", UNPOSTED, "--url", url, server=False)
    assert status == 0
    asked = f"/zelvo/kernels/{UNPOSTED}/ws?snapshot=1"
    assert out.splitlines() == ['"\\u0000\\u0001"', '{"a": 1}', json.dumps({"asked": asked})]
    assert err.splitlines()[1:] == [
        "zelvo: the websocket closed: fell behind; reconnecting",
        f"zelvo: the server at {url} reset the connection (the websocket of kernel {UNPOSTED}); "
        "retrying in 2 s",
        f"zelvo: reconnected to kernel {UNPOSTED}",
        "zelvo: the server closed the websocket: Kernel gone \ufffd\\x1b[2J",
    ]


def test_export_keeps_files_whole_and_terminals_safe(served, zelvo, fake, tmp_path, monkeypatch):
    target = tmp_path / "pipeline.py"
    target.write_text("old")
    short = fake(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n# new")
    status, _, err = zelvo("export", UNPOSTED, "--url", short, "-o", str(target), server=False)
    assert status == 1 and "was complete" in err
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["pipeline.py"]
    code = "title = 1  # \x1b]0;owned\x07\x1b[2J\u009b"
    component = {"id": "a", "component_type": "code", "parents_id": [], "code": code,
                 "execution_status": "not-run", "last_execution": None}  # fmt: skip
    posted = tmp_path / "posted.json"
    posted.write_text(json.dumps({"dag_info": [component]}))
    assert zelvo("post", served.kernel_id, str(posted))[0] == 0
    assert zelvo("export", served.kernel_id, "--format", "py", "-o", str(target))[0] == 0
    assert code in target.read_text() and sorted(os.listdir(tmp_path)) == [
        "pipeline.py",
        "posted.json",
    ]
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    status, out, _ = zelvo("export", served.kernel_id, "--format", "py")
    assert status == 0 and "title = 1  # \\x1b]0;owned\\x07\\x1b[2J\\x9b\n" in out
    assert not any(c in out for c in "\x1b\x07\u009b")


def test_refused_pipelines_are_reported_with_the_servers_message(served, zelvo, tmp_path):
    path = tmp_path / "pipeline.json"
    path.write_text(json.dumps(NOTEBOOK))
    assert zelvo("post", served.kernel_id, str(path))[0] == 0
    assert zelvo("export", served.kernel_id, "--cell-ids", "total", "ghost", "--format", "py") == (
        1, "", "zelvo: error: cell_ids names components that are not in the pipeline: 'ghost' "
               "(400 Bad Request)\n",
    )  # fmt: skip
    path.write_text(json.dumps({"dag_info": []}))
    assert zelvo("post", served.kernel_id, str(path))[0] == 0
    assert zelvo("export", served.kernel_id) == (
        1, "", "zelvo: error: There are no components in this pipeline. (400 Bad Request)\n"
    )  # fmt: skip
    cycle = [{"id": i, "component_type": "code", "parents_id": [p], "code": "", "execution_status":
              "not-run", "last_execution": None} for i, p in (("a", "b"), ("b", "a"))]  # fmt: skip
    path.write_text(json.dumps({"dag_info": cycle}))
    status, out, err = zelvo("post", served.kernel_id, str(path))
    assert (status, out) == (1, "")
    assert err.startswith("zelvo: error: ") and err.endswith(" (400 Bad Request)\n")
    assert "cycle" in err


def test_help_says_what_each_command_does():
    run = [sys.executable, "-m", "zelvo"]
    overview = subprocess.run([*run, "--help"], capture_output=True, text=True)
    assert overview.returncode == 0
    for command in ("from-notebook", "check", "post", "pipelines", "show", "watch", "export"):
        assert command in overview.stdout
        helped = subprocess.run([*run, command, "--help"], capture_output=True, text=True)
        assert helped.returncode == 0 and helped.stdout.startswith(f"usage: zelvo {command} ")
