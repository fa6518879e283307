"""The `zelvo` command: pipelines from notebooks, and the server's pipeline routes."""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import signal
import sys

from zelvo.cli.client import CommandError, Server, locate, printable
from zelvo.cli.notebook import NotebookError, parse_notebook, pipeline_from_notebook
from zelvo_core import protocol

PROG = "zelvo"
DEFAULT_TIMEOUT = 30.0
_KERNEL_ID = re.compile(protocol.KERNEL_ID_PATTERN)

TARGET_HELP = "a kernel id, or the path of a notebook that exactly one running session has"

DESCRIPTION = """\
Derive a pipeline from a notebook, and read, post, watch and export the pipelines that a
Jupyter Server with the zelvo extension keeps for its kernels.

The server is the one given by --url and --token; without --token the token is taken from
the JUPYTER_TOKEN environment variable, else from the running servers that Jupyter records
(as `jupyter server list` shows them), which also give the address when --url is missing.
"""


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


def from_notebook(args):
    text, name = _read_text(args.notebook)
    _print_json(pipeline_from_notebook(parse_notebook(text, name), name, warn=_warn))
    return 0


def _posted_pipeline(path):
    """The ``{"dag_info": [...]}`` in a notebook or a pipeline JSON file."""
    text, name = _read_text(path)
    try:
        document = json.loads(text)
    except ValueError as error:
        raise CommandError(
            f"{name}: neither a notebook nor a pipeline: invalid JSON ({error})"
        ) from None
    if isinstance(document, dict) and isinstance(document.get("dag_info"), list):
        # What from-notebook prints and what a JSON export holds.
        return {"dag_info": document["dag_info"]}
    if isinstance(document, dict) and "cells" in document:
        return pipeline_from_notebook(parse_notebook(text, name), name, warn=_warn)
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
    rows = [("KERNEL ID", "NOTEBOOK", "COMPONENTS", "UPDATED", "RUNNING")]
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
                )
            )
        )
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    for row in rows:
        cells = [text.ljust(width) for text, width in zip(row, widths)]
        _write("  ".join([*cells, row[4]]) + "\n")
    return 0


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
        session = session if isinstance(session, dict) else {}
        kernel = session.get("kernel") if isinstance(session.get("kernel"), dict) else {}
        ident = kernel.get("id")
        if session.get("path") == path and isinstance(ident, str) and ident not in kernels:
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


async def watch(server, args):
    await resolve(server, args)
    connection = await server.connect(
        f"the websocket of kernel {args.kernel_id}",
        "zelvo", "kernels", args.kernel_id, "ws", snapshot=["1"],
    )  # fmt: skip
    print(
        f"{PROG}: watching kernel {args.kernel_id} at {server.base_url} (Ctrl-C to stop)",
        file=sys.stderr,
        flush=True,
    )
    # Ctrl-C ends the watch as the normal way out, not as a failure.
    loop = asyncio.get_running_loop()
    stopped = loop.create_future()
    loop.add_signal_handler(signal.SIGINT, lambda: stopped.done() or stopped.set_result(None))
    try:
        while True:
            message = asyncio.ensure_future(connection.read_message())
            await asyncio.wait([message, stopped], return_when=asyncio.FIRST_COMPLETED)
            if stopped.done():
                message.cancel()
                return 0
            text = message.result()
            if text is None:
                reason = connection.close_reason
                raise CommandError(
                    f"the server closed the websocket of kernel {args.kernel_id}"
                    + (f": {printable(reason)}" if reason else "")
                )
            try:
                _write(json.dumps(json.loads(text)) + "\n")
            except ValueError:
                _write(json.dumps(text) + "\n")
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
        sys.stdout.buffer.write(response.body)
        sys.stdout.flush()
        return 0
    try:
        with open(args.output, "wb") as stream:
            stream.write(response.body)
    except OSError as error:
        raise CommandError(
            f"{args.output}: cannot be written: {error.strerror or error}"
        ) from None
    print(f"{PROG}: saved {args.output}", file=sys.stderr)
    return 0


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
