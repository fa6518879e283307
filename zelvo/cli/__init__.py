"""The `zelvo` command: pipelines from notebooks, their stale outputs, and the server's
pipeline routes."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import re
import signal
import sys
import tempfile

from zelvo.cli.client import CommandError, Server, locate, printable, printable_text
from zelvo_core import protocol
from zelvo_core.check import check_notebook
from zelvo_core.misc.models import InvalidPipelineError
from zelvo_core.notebook import (
    NotebookError,
    kernel_of,
    notebook_of,
    parse_notebook,
    pipeline_from_notebook,
)

PROG = "zelvo"
DEFAULT_TIMEOUT = 30.0
# The watch's waits between attempts to reconnect: doubled from the first up to the last.
RECONNECT_DELAYS = (1.0, 30.0)
_KERNEL_ID = re.compile(protocol.KERNEL_ID_PATTERN)

TARGET_HELP = "a kernel id, or the path of a notebook that exactly one running session has"

DESCRIPTION = """\
Derive a pipeline from a notebook, check saved notebooks for stale outputs, and read, post,
watch and export the pipelines that a Jupyter Server with the zelvo extension keeps for its
kernels.

The server is the one given by --url and --token; without --token the token is taken from
the JUPYTER_TOKEN environment variable, else from the running servers that Jupyter records
(as `jupyter server list` shows them), which also give the address when --url is missing.
"""


CHECK_DETAILS = """

Each line reads PATH:[N] CELL-ID: REASON, N being the cell's position among all the
notebook's cells (1 for the first). The cells each cell depends on are found as
from-notebook finds them, in notebook order; the execution counts the notebook keeps say
when each cell last ran. Found:

  - a cell whose output is out of date: a cell it depends on ran after it (has a higher
    execution count), or did not run while it did;
  - a cell that ran and read a name that no cell above it defines but one below does:
    its output came from cells run out of order;
  - with --strict, execution counts other than 1, 2, 3, ... down the code cells (empty
    cells aside): the notebook was not run top to bottom in a new kernel (one without any
    count, its outputs cleared, passes).

An edit after a run is not seen: notebooks do not record it. Notebooks in another language
than Python get only the --strict checks.

--format json prints one list of objects with the keys path, position, cell_id,
execution_count, kind (outdated, ancestor-not-run, hidden-state or run-order), message,
and, where there is one, the other cell as {"position", "cell_id", "execution_count"}:
"ancestor" (out of date; with "names", those the cell reads from it), "defined_by"
(hidden state) or "previous" (run order).

Exit status: 0 if nothing was found, 1 if something was, 2 if a file could not be read
(each reported in one line on stderr; the other files are still checked)."""


def kernel_id(text):
    if not _KERNEL_ID.fullmatch(text):
        raise argparse.ArgumentTypeError(f"not a kernel id: {printable(text)!r}")
    return text


def kernel_or_notebook(text):
    """A kernel id as it is; anything else is a notebook path, resolved on the server."""
    if not text:
        raise argparse.ArgumentTypeError("neither a kernel id nor a notebook path: ''")
    return text


def positive(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def _write(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def _print_json(document, indent=2):
    _write(json.dumps(document, indent=indent) + "\n")


def _warn(text):
    print(f"{PROG}: warning: {text}", file=sys.stderr)


def _read_text(path):
    """``(text, name)`` of the file at ``path``; "-" is standard input."""
    if path == "-":
        return sys.stdin.read(), "<stdin>"
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read(), path
    except FileNotFoundError:
        raise CommandError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CommandError(f"{path}: is a directory") from None
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot be read: {error}") from None


def _folder(path):
    # The folder whose modules a notebook imports as its own; none for standard input.
    return None if path == "-" else os.path.dirname(os.path.abspath(path))


def from_notebook(args):
    text, name = _read_text(args.notebook)
    notebook = parse_notebook(text, name)
    _print_json(pipeline_from_notebook(notebook, name, warn=_warn, folder=_folder(args.notebook)))
    return 0


def check(args):
    """Report the findings of each notebook; 2 if one could not be read, else 1 if any."""
    unreadable, findings = False, []
    for path in args.notebooks:
        try:
            text, name = _read_text(path)
            notebook = parse_notebook(text, name)
            found = check_notebook(notebook, args.strict, name, folder=_folder(path))
        except (CommandError, NotebookError, InvalidPipelineError) as error:
            # One line each, whatever a file's name or a parser's message holds.
            print(f"{PROG}: error: {printable(error)}", file=sys.stderr, flush=True)
            unreadable = True
            continue
        except RecursionError:
            print(
                f"{PROG}: error: {printable(path)}: nested too deeply to be read", file=sys.stderr
            )
            unreadable = True
            continue
        if args.format == "json":
            findings += [{"path": name, **finding.to_dict()} for finding in found]
        else:
            for finding in found:
                cell = finding.cell
                _write(
                    f"{printable(name)}:[{cell.position}] {printable(cell.cell_id)}: "
                    f"{printable(finding.message)}\n"
                )
            findings += found
    if args.format == "json":
        _print_json(findings)
    return 2 if unreadable else 1 if findings else 0


def _posted_pipeline(path):
    """The ``{"dag_info": [...]}`` in a notebook or a pipeline JSON file."""
    text, name = _read_text(path)
    try:
        document = json.loads(text)
    except RecursionError:
        raise CommandError(f"{name}: nested too deeply to be read") from None
    except ValueError as error:
        raise CommandError(
            f"{name}: neither a notebook nor a pipeline: invalid JSON ({error})"
        ) from None
    if isinstance(document, dict) and isinstance(document.get("dag_info"), list):
        # What from-notebook prints and what a JSON export holds.
        return {"dag_info": document["dag_info"]}
    if isinstance(document, dict) and "cells" in document:
        notebook = parse_notebook(text, name)
        return pipeline_from_notebook(notebook, name, warn=_warn, folder=_folder(path))
    raise CommandError(f"{name}: neither a notebook nor a pipeline (no 'cells' or 'dag_info')")


# -- the commands that talk to the server ----------------------------------------------------


async def post(server, args):
    body = {
        "procedure": protocol.PIPELINE_UPDATED,
        "status": protocol.SUCCESSFUL,
        "msg": "",
        "successful": args.pipeline,
    }
    answer = await server.fetch_json(
        f"the pipeline of kernel {args.kernel_id}",
        "zelvo", "kernels", args.kernel_id,
        method="POST", body=json.dumps(body),
    )  # fmt: skip
    _print_json(answer)
    return 0


async def pipelines(server, args):
    listed = await server.fetch_json("the list of pipelines", "zelvo", "kernels")
    if not isinstance(listed, list):
        raise CommandError("the server's list of pipelines is not a list")
    if args.json:
        _print_json(listed)
        return 0
    rows = [("KERNEL ID", "NOTEBOOK", "COMPONENTS", "UPDATED", "RUNNING", "STATUS")]
    for entry in listed:
        entry = entry if isinstance(entry, dict) else {}
        running = entry.get("running")
        rows.append(
            tuple(
                printable(value)
                for value in (
                    entry.get("kernel_id", "?"),
                    entry.get("notebook") or "-",
                    entry.get("components", "?"),
                    entry.get("updated", "?"),
                    "yes" if running is True else "no" if running is False else "?",
                    _statuses(entry),
                )
            )
        )
    widths = [max(len(row[column]) for row in rows) for column in range(5)]
    for row in rows:
        cells = [text.ljust(width) for text, width in zip(row, widths)]
        _write("  ".join([*cells, row[5]]) + "\n")
    return 0


def _statuses(entry):
    """ "3 succeeded, 1 out of date" of a listed pipeline, and whether its kernel restarted."""
    counts = entry.get("statuses")
    counts = counts if isinstance(counts, dict) else {}
    said = [
        f"{counts[status]} {word}"
        for status, word in protocol.STATUS_LABELS.items()
        if type(counts.get(status)) is int and counts[status] > 0
    ]
    if entry.get("restarted") is True:
        said.append("the kernel restarted")
    return ", ".join(said) or "-"


def _session_path(path):
    # Sessions name notebooks relative to the server's root, without a leading "./" or "/".
    parts = [part for part in path.split("/") if part not in ("", ".")]
    return "/".join(parts)


async def resolve(server, args):
    """Set ``args.kernel_id`` to the kernel of the one running session of a notebook path."""
    if _KERNEL_ID.fullmatch(args.kernel_id):
        return
    path = _session_path(args.kernel_id)
    sessions = await server.fetch_json("the running sessions", "api", "sessions")
    if not isinstance(sessions, list):
        raise CommandError("the server's list of sessions is not a list")
    kernels = []
    for session in sessions:
        ident = kernel_of(session)
        if notebook_of(session) == path and ident is not None and ident not in kernels:
            kernels.append(ident)
    if not kernels:
        raise CommandError(
            f"no running session has the notebook '{printable(path)}'; give a kernel id"
        )
    if len(kernels) > 1:
        raise CommandError(
            f"{len(kernels)} running sessions have the notebook '{printable(path)}' "
            f"(kernels {', '.join(printable(ident) for ident in kernels)}); give a kernel id"
        )
    if not _KERNEL_ID.fullmatch(kernels[0]):
        raise CommandError(f"the server named a kernel {printable(kernels[0])!r}")
    args.kernel_id = kernels[0]


async def _registered(ident, missing, request):
    """``await request``, with the server's ``missing`` status said as "no pipeline"."""
    try:
        return await request
    except CommandError as error:
        if error.status == missing:
            raise CommandError(f"kernel {ident} has no pipeline on the server") from None
        raise


async def show(server, args):
    await resolve(server, args)
    what = f"the pipeline of kernel {args.kernel_id}"
    # The route answers 400 when it has no pipeline for the kernel.
    request = server.fetch_json(what, "zelvo", "kernels", args.kernel_id)
    _print_json(await _registered(args.kernel_id, 400, request))
    return 0


async def _watch_connection(server, args):
    what = f"the websocket of kernel {args.kernel_id}"
    connecting = server.connect(what, "zelvo", "kernels", args.kernel_id, "ws", snapshot=["1"])
    try:
        return await connecting
    except CommandError as error:
        if error.status == 404 and "does not exist" in str(error):
            raise CommandError(f"the server does not run kernel {args.kernel_id}", 404) from None
        raise


def _note(text):
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def _frame_line(frame):
    """The line printed for one websocket frame: its JSON on one line, else a JSON string."""
    if isinstance(frame, bytes):
        frame = frame.decode("utf-8", "replace")
    try:
        return json.dumps(json.loads(frame)) + "\n"
    except (ValueError, RecursionError):
        return json.dumps(frame) + "\n"


async def watch(server, args):
    await resolve(server, args)
    # Ctrl-C ends the watch as the normal way out, not as a failure.
    loop = asyncio.get_running_loop()
    stopped = loop.create_future()

    def stop():
        if not stopped.done():
            stopped.set_result(None)

    async def wait(awaitable):
        """``awaitable``'s result, or None once Ctrl-C was pressed."""
        task = asyncio.ensure_future(awaitable)
        await asyncio.wait([task, stopped], return_when=asyncio.FIRST_COMPLETED)
        if stopped.done():
            task.cancel()
            return None
        return task.result()

    connection = await _watch_connection(server, args)
    _note(f"watching kernel {args.kernel_id} at {server.base_url} (Ctrl-C to stop)")
    loop.add_signal_handler(signal.SIGINT, stop)
    delay = RECONNECT_DELAYS[0]
    try:
        while True:
            frame = await wait(connection.read_message())
            if stopped.done():
                return 0
            if frame is not None:
                _write(_frame_line(frame))
                delay = RECONNECT_DELAYS[0]
                continue
            code, reason = connection.close_code, connection.close_reason
            said = f": {printable(reason)}" if reason else ""
            if code == protocol.GOING_AWAY:
                # The kernel is gone: the end of the stream.
                _note(f"the server closed the websocket{said}")
                return 0
            if code not in (None, 1006, protocol.TRY_AGAIN_LATER):
                raise CommandError(f"the server closed the websocket (code {code}){said}")
            connection.close()
            # Fell behind, or the connection dropped: again with a snapshot, so that what
            # was missed is in it.
            _note(f"the websocket closed{said}; reconnecting")
            while True:
                await wait(asyncio.sleep(delay))
                if stopped.done():
                    return 0
                delay = min(delay * 2, RECONNECT_DELAYS[1])
                try:
                    again = await wait(_watch_connection(server, args))
                except CommandError as error:
                    if error.status is not None:  # refused: retrying would not help
                        raise
                    _note(f"{error}; retrying in {delay:g} s")
                    continue
                if again is None:
                    return 0
                connection = again
                _note(f"reconnected to kernel {args.kernel_id}")
                break
    finally:
        loop.remove_signal_handler(signal.SIGINT)
        connection.close()


async def export(server, args):
    cell_ids = [ident for value in args.cell_ids for ident in value.split(",") if ident]
    query = {"format": [args.format], "cell_ids": cell_ids}
    if args.notebook_name:
        query["ipynb_name"] = [args.notebook_name]
    await resolve(server, args)
    what = f"the export of kernel {args.kernel_id}"
    request = server.fetch(what, "zelvo", "kernels", args.kernel_id, "export", **query)
    response = await _registered(args.kernel_id, 404, request)
    if args.output in (None, "-"):
        if sys.stdout.isatty():
            # Someone's code must not drive the terminal (clear it, set its title, ...).
            _write(printable_text(response.body.decode("utf-8", "replace")))
        else:
            sys.stdout.buffer.write(response.body)
            sys.stdout.flush()
        return 0
    _save(args.output, response.body)
    print(f"{PROG}: saved {printable(args.output)}", file=sys.stderr)
    return 0


def _save(path, data):
    """Write ``data`` to ``path`` whole or not at all: a failed write leaves the old file."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = None
    try:
        with tempfile.NamedTemporaryFile(
            "wb", dir=folder, prefix=f".{name}.", suffix=".part", delete=False
        ) as stream:
            temporary = stream.name
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        if os.path.exists(path):
            os.chmod(temporary, os.stat(path).st_mode & 0o7777)
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except OSError as error:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise CommandError(
            f"{printable(path)}: cannot be written: {error.strerror or error}"
        ) from None


# -- the parser -----------------------------------------------------------------------------


def _server_options():
    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("server")
    group.add_argument(
        "--url", help="the server's address with its base URL, e.g. http://127.0.0.1:8888/"
    )
    group.add_argument(
        "--token", help="the server's token (default: $JUPYTER_TOKEN, else the server's record)"
    )
    group.add_argument(
        "--timeout",
        type=positive,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help=f"how long to wait for the server to answer (default {DEFAULT_TIMEOUT:g})",
    )
    return options


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    server = _server_options()

    def command(name, function, summary, details="", parents=(server,)):
        sub = commands.add_parser(
            name,
            help=summary,
            description=summary[0].upper() + summary[1:] + "." + details,
            parents=list(parents),
        )
        sub.set_defaults(function=function)
        return sub

    sub = command(
        "from-notebook",
        from_notebook,
        "print the pipeline of a notebook's code cells as JSON",
        "\n\nEach code cell becomes a component whose parents are the earlier cells that define "
        "or change the names it reads, directly or through the notebook's functions it calls "
        "(found without running anything). Cells tagged 'parameters' are parameter "
        "components. Code that is not Python, and warnings compiling a cell raises, are "
        "reported on stderr.",
        parents=(),
    )
    sub.add_argument("notebook", metavar="NOTEBOOK", help="an .ipynb file, or - for stdin")

    sub = command(
        "check",
        check,
        "report a saved notebook's stale outputs, one line per problem",
        CHECK_DETAILS,
        parents=(),
    )
    sub.formatter_class = argparse.RawDescriptionHelpFormatter  # keeps the list's lines
    sub.add_argument("notebooks", nargs="+", metavar="NOTEBOOK", help="an .ipynb file, or -")
    sub.add_argument(
        "--strict",
        action="store_true",
        help="also require one run of all cells, top to bottom, in a new kernel",
    )
    sub.add_argument("--format", choices=("text", "json"), default="text", help="default text")

    sub = command(
        "post",
        post,
        "post a notebook's pipeline (or a pipeline JSON file) as a kernel's pipeline",
        " Prints the server's answer.",
    )
    sub.add_argument("kernel_id", metavar="KERNEL_ID", type=kernel_id)
    sub.add_argument(
        "file",
        metavar="FILE",
        help='an .ipynb notebook, a JSON file with {"dag_info": [...]}, or - for stdin',
    )

    sub = command("pipelines", pipelines, "list the kernels that have a pipeline on the server")
    sub.add_argument("--json", action="store_true", help="print the server's JSON list")

    sub = command("show", show, "print a kernel's pipeline as the server holds it (JSON)")
    sub.add_argument("kernel_id", metavar="KERNEL", type=kernel_or_notebook, help=TARGET_HELP)

    sub = command(
        "watch",
        watch,
        "print each message the server relays for a kernel, one JSON line each",
        " The server's snapshot of the pipeline comes first where it offers one. Ctrl-C stops.",
    )
    sub.add_argument("kernel_id", metavar="KERNEL", type=kernel_or_notebook, help=TARGET_HELP)

    sub = command(
        "export",
        export,
        "download a kernel's pipeline as JSON, a Python script or a notebook",
    )
    sub.add_argument("kernel_id", metavar="KERNEL", type=kernel_or_notebook, help=TARGET_HELP)
    sub.add_argument(
        "--format",
        choices=tuple(protocol.EXPORT_FORMATS),
        default=protocol.DEFAULT_EXPORT_FORMAT,
        help=f"default {protocol.DEFAULT_EXPORT_FORMAT}",
    )
    sub.add_argument(
        "--cell-ids",
        nargs="+",
        default=[],
        metavar="ID",
        help="export only these components (space- or comma-separated)",
    )
    sub.add_argument(
        "--notebook-name", metavar="NAME", help="the notebook's file name, for the server's naming"
    )
    sub.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: stdout)")
    return parser


async def run(argv=None):
    """Run the command line ``argv``; return its exit status.

    For callers that already run an event loop; ``main`` is the plain entry.
    """
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exiting:  # --help, or a usage error (status 2)
        return exiting.code or 0
    try:
        if args.command == "from-notebook":
            return from_notebook(args)
        if args.command == "check":
            return check(args)
        if args.command == "post":
            # A file that cannot be posted is reported before looking for a server.
            args.pipeline = _posted_pipeline(args.file)
        server = Server(*locate(args.url, args.token), args.timeout)
        try:
            return await args.function(server, args)
        finally:
            server.close()
    except (CommandError, NotebookError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except RecursionError:
        # A document nested deeper than the parser goes.
        path = getattr(args, "notebook", None) or getattr(args, "file", None) or "the input"
        print(f"{PROG}: error: {printable(path)}: nested too deeply to be read", file=sys.stderr)
        return 1


def main(argv=None):
    """The `zelvo` console script."""
    try:
        return asyncio.run(run(argv))
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader (e.g. `head`) went away; the exit must not write to it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
