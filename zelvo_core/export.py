"""The documents of a pipeline's export: the JSON document, the percent-format script and the
notebook, of all the components or of those chosen with their ancestors.

Components here are the ``PipelineComponent`` values of a pipeline model
(``model.graph.components.values()``), in pipeline order.  Everything is
linear in the number of components, up to the heap of the ordering.  Nothing
here serves or asks anything: the server's download
(``zelvo.server.handlers.pipeline_export.download``) answers with what is made here.
"""

import hashlib
import json
import re
import sys
from json.encoder import encode_basestring, encode_basestring_ascii

from zelvo_core import graph, protocol
from zelvo_core.misc.models import parents_first

PARAMETERS_TAG = protocol.PARAMETERS_TAG
NBFORMAT = 4
NBFORMAT_MINOR = 5

# The kernel of a pipeline whose kernel no longer runs, or whose spec cannot be read.
FALLBACK_KERNELSPEC = {"name": "python3", "display_name": "Python 3", "language": "python"}
# language_info of a Python kernel that does not tell it: this interpreter's version, the
# fields an IPython kernel sends.
PYTHON_LANGUAGE_INFO = {
    "name": "python",
    "version": ".".join(map(str, sys.version_info[:3])),
    "mimetype": "text/x-python",
    "codemirror_mode": {"name": "ipython", "version": 3},
    "pygments_lexer": "ipython3",
    "nbconvert_exporter": "python",
    "file_extension": ".py",
}

# nbformat 4.5 cell ids; a component id outside this gets a derived cell id.
_CELL_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")
_NOT_CELL_ID_CHARS = re.compile(r"[^A-Za-z0-9_-]+")


class UnknownComponentError(LookupError):
    """A selection names components that are not in the pipeline."""

    def __init__(self, ids):
        super().__init__(ids)
        self.ids = ids


def render(model, export_format, cell_ids=(), kernel=None):
    """Return a pipeline model's export as text in ``export_format``.

    ``cell_ids`` selects components together with their ancestors (all when
    empty).  The JSON document keeps pipeline order; the script and the
    notebook list parents first, the notebook for ``kernel`` (what
    kernel_metadata() gives; a Python 3 kernel when None).  Raise
    UnknownComponentError for a selected id that is not in the pipeline.
    """
    components = list(model.graph.components.values())
    if cell_ids:
        components = with_ancestors(components, cell_ids)
    if export_format == protocol.JSON:
        document = model.to_zelvo_dict(include_captured=False)
        if len(components) < len(document["dag_info"]):
            selected = {component.id for component in components}
            document["dag_info"] = [c for c in document["dag_info"] if c["id"] in selected]
        return json.dumps(document)
    components = parents_first(components)
    if export_format == protocol.SCRIPT:
        return percent_script(components)
    if export_format == protocol.NOTEBOOK:
        kernel = kernel or {"kernelspec": FALLBACK_KERNELSPEC}
        return notebook(components, kernel["kernelspec"], kernel.get("language_info"))
    raise ValueError(f"unknown export format {export_format!r}")


def language_info(kernelspec, told=None):
    """A complete language_info: what the kernel told, else the defaults of its language.

    ``name`` is always there; for a Python kernel the fields it leaves out are this
    interpreter's Python's, so that tools can tell the script's file extension.
    """
    told = dict(told or {})
    name = told.get("name")
    if not isinstance(name, str) or not name:  # the kernel's word, unchecked until here
        name = kernelspec.get("language") or "python"
    defaults = PYTHON_LANGUAGE_INFO if name.lower() == "python" else {"name": name}
    return {**defaults, **told, "name": name}


def with_ancestors(components, cell_ids):
    """Return the components named in ``cell_ids`` and all their ancestors, in pipeline order.

    Raise UnknownComponentError, listing each unknown id once in the order
    given, when ``cell_ids`` names an id that is not in ``components``.
    """
    parents = {component.id: component.parents_id for component in components}
    unknown = [ident for ident in dict.fromkeys(cell_ids) if ident not in parents]
    if unknown:
        raise UnknownComponentError(unknown)
    kept = graph.ancestors(cell_ids, parents)
    kept.update(cell_ids)
    # A checked model lists no parent outside it; a component built by hand might.
    for component in components:
        if component.id in kept:
            for parent in component.parents_id:
                if parent not in parents:
                    raise ValueError(
                        f"component {component.id!r} lists parent {parent!r}, "
                        "which is not exported"
                    )
    return [component for component in components if component.id in kept]


# The script is read back by the percent-format reader of notebook tools, whose rules for
# Python these patterns follow: a line starting `# %%` (or `# <codecell>`, `# In[ ]:`) outside
# a triple-quoted string starts a cell; a magic or shell line (`%x`, `!x`, `x = %x`, `ls`,
# `x?`), commented any number of times, is taken one comment level up, and so is the line
# after one that ends in a backslash; `# +` lines likewise.  The writer adds the one level
# of comment the reader takes away.
_CELL_MARKER = re.compile(r"^\s*#\s*(%%%*\s.*|%%|<codecell>|In\[[0-9 ]*\]:?)\s*$")
_COMMENTED = r"(?:# |#)*"
_MAGIC = re.compile(
    "|".join(
        [
            rf"^\s*{_COMMENTED}%{{1,3}}[a-zA-Z]",
            r"^\s*(?:(?:# |#)+\s*)?[?!]\s*[A-Za-z.~$\\/{}]",
            rf"^{_COMMENTED}\s*[a-zA-Z_][a-zA-Z_$0-9]*\s*=\s*(?:%{{1,3}}|!)[a-zA-Z]",
            r"^\s*(?:# )*\S*\?\s*$",
            rf"^{_COMMENTED}(?:cat|cd|cp|mv|rm|rmdir|mkdir|copy|ddir|echo|ls|ldir|ren)"
            r"(?:$|\s$|\s[^=,])",
        ]
    )
)
# A magic line that ends in a `# escape` comment is one whatever else holds, one that ends
# in `# noescape` is none.
_FORCED = re.compile(rf"^\s*{_COMMENTED}%{{1,3}}[a-zA-Z].*#\s*escape")
_NOT_ESCAPED = re.compile(rf"^\s*{_COMMENTED}%{{1,3}}[a-zA-Z].*#\s*noescape")
_CODE_START = re.compile(r"^(?:# |#)*(?:#|# )\+")
_CONTINUED = re.compile(r".*\\\s*$")
_QUOTE_OR_COMMENT = re.compile(r"[\"'#]")
# Together more than any line that one of the patterns above matches, whatever the strings
# around it, and quick to rule out in a whole pipeline's code (each line preceded by "\n").
_MAY_CHANGE = (
    re.compile(
        r"\n[#\s]*(?:[%!?+<]|In\[|[A-Za-z_][\w$]*[^\S\n]*=[^\S\n]*[%!]"
        r"|(?:c(?:at|d|p|opy)|mv|r(?:m|mdir|en)|mkdir|ddir|echo|l(?:s|dir))(?:\s|$))"
    ),
    re.compile(r"\?\s*(?:\n|$)"),
)


def _may_change(text):
    return any(pattern.search(text) for pattern in _MAY_CHANGE)


class _Quotes:
    """Whether the reader takes the next line to be inside a triple-quoted string.

    Its rules, not Python's: a commented line outside a string is passed over, a quote
    after a backslash is no quote, and single-quoted strings end with their line.
    """

    def __init__(self):
        self.triple = None

    def read(self, line):
        if self.triple is None:
            if line.lstrip().startswith("#") or ('"' not in line and "'" not in line):
                return
        elif 3 * self.triple not in line:
            return
        single, last_triple = None, -1
        for found in _QUOTE_OR_COMMENT.finditer(line):
            i, char = found.start(), found.group()
            if char == "#":
                if single is None and self.triple is None:
                    break
                continue
            if line[i - 1 : i] == "\\":
                continue
            if single == char:
                single = None
            elif single is not None:
                continue
            elif line[i - 2 : i + 1] == 3 * char and i >= last_triple + 3:
                if self.triple == char:
                    self.triple, last_triple = None, i
                elif self.triple is None:
                    self.triple, last_triple = char, i
            elif self.triple is None:
                single = char


def _is_magic(line):
    return bool(_FORCED.match(line) or (not _NOT_ESCAPED.match(line) and _MAGIC.match(line)))


def _escape_magic(line):
    stripped = line.lstrip()
    return line[: len(line) - len(stripped)] + "# " + stripped


def _script_lines(code):
    """The lines of a cell's body that the reader gives back as ``code``'s lines."""
    # The reader restores code starts after magics, each pass with its own view of strings.
    lines, quotes = [], _Quotes()
    for line in code.split("\n"):
        if quotes.triple is None and _CODE_START.match(line):
            line = "# " + line
        quotes.read(line)
        lines.append(line)
    quotes, continued = _Quotes(), False
    for position, line in enumerate(lines):
        if quotes.triple is None:
            written = line
            if continued:
                # Commented like the magic it continues; a blank line needs nothing.
                written = "# " + line if line.strip() else line
            elif _is_magic(line):
                written = _escape_magic(line)
                # A live magic that its commented form would not bring back stays live.
                if not (line.lstrip().startswith("#") or _is_magic(written)):
                    written = line
            elif _CELL_MARKER.match(line):
                # No escape brings a marker line back: comment it once more rather than
                # let it split the cell.
                written = "# " + line
            if written != line and _CELL_MARKER.match(written):
                written = line  # commented, it would start a cell: left live
            continued = bool((continued or _is_magic(written)) and _CONTINUED.match(written))
            line = written
        quotes.read(line)
        lines[position] = line
    return lines


def _blank(line):
    return not line.strip()


def _cell_text(header, code, last):
    """The cell: its header, the body and the empty lines after it that the reader drops.

    The reader drops the last line before the next cell when it is empty, or the last two
    when both are blank and the one before is not.  When no choice keeps the body whole,
    it is written without its last, empty line (a final line break of the code is lost).
    """
    # The usual cases: code that ends in a non-blank line, with or without a line break.
    between = "\n" if last else "\n\n"
    if code[code.rfind("\n") + 1 :].strip():
        return f"{header}\n{code}{between}"
    if code.endswith("\n") and code[code.rfind("\n", 0, -1) + 1 : -1].strip():
        return f"{header}\n{code[:-1]}{between}"
    lines = code.split("\n")
    while True:
        # A blank line between cells where that works; none after the last.
        for count in (0, 1, 2) if last else (1, 0, 2):
            full = [header, *lines, *[""] * count]
            if len(full) >= 3 and not _blank(full[-3]) and _blank(full[-2]) and _blank(full[-1]):
                dropped = 2
            else:
                dropped = 1 if full[-1] == "" else 0
            if dropped == count:
                return "\n".join(full) + "\n"
        lines = lines[:-1]


def _header_value(text):
    # A JSON string, with every character that an editor could take for a
    # line break escaped too, so that an id never ends the header line.
    quoted = encode_basestring(text)
    if quoted.isprintable():
        return quoted
    return "".join(char if char.isprintable() else f"\\u{ord(char):04x}" for char in quoted)


_NOTEBOOK_TAGS = {protocol.PARAMETER: f', "tags": ["{PARAMETERS_TAG}"]'}
_SCRIPT_TYPES = {
    protocol.CODE: f' component_type="{protocol.CODE}"',
    protocol.PARAMETER: f' component_type="{protocol.PARAMETER}" tags=["{PARAMETERS_TAG}"]',
}


def percent_script(components):
    """Return a Python script in the percent cell format, one ``# %%`` cell per component.

    The header of each cell names the component's id and type; a parameter
    component's header also carries the ``parameters`` tag.  The percent
    reader of notebook tools gives each cell's code back: magics and shell
    lines are commented out (so that the script runs without them), lines
    the reader would take a comment level from get one more.
    """
    # The reader splits lines at "\r" too; Python takes it for a line break as well.
    codes = [
        code.replace("\r\n", "\n").replace("\r", "\n") if "\r" in code else code
        for code in (component.code for component in components)
    ]
    parts = []
    # Most pipelines hold nothing the reader would change: one look at all their code.
    check = _may_change("\n" + "\n".join(codes))
    for position, (component, code) in enumerate(zip(components, codes), 1):
        kind = _SCRIPT_TYPES.get(component.component_type)
        if kind is None:
            kind = f" component_type={_header_value(component.component_type)}"
        header = f"# %% id={_header_value(component.id)}{kind}"
        if check and _may_change("\n" + code):
            code = "\n".join(_script_lines(code))
        parts.append(_cell_text(header, code, position == len(components)))
    return "".join(parts)


def _cell_ids(components):
    """nbformat cell ids: the component's id where allowed, else one derived from it."""
    taken = {component.id for component in components if _CELL_ID.fullmatch(component.id)}
    cell_ids = []
    for component in components:
        ident = component.id
        if _CELL_ID.fullmatch(ident):
            cell_ids.append(ident)
            continue
        digest = hashlib.sha256(ident.encode("utf-8", "surrogatepass")).hexdigest()[:16]
        stem = _NOT_CELL_ID_CHARS.sub("-", ident).strip("-")[:40] or "cell"
        cell_id, suffix = f"{stem}-{digest}", 0
        while cell_id in taken:
            suffix += 1
            cell_id = f"{stem}-{digest}-{suffix}"
        taken.add(cell_id)
        cell_ids.append(cell_id)
    return cell_ids


def notebook(components, kernelspec, told=None):
    """Return the JSON text of an nbformat 4.5 notebook with one code cell per component.

    ``kernelspec`` holds the kernel's ``name``, ``display_name`` and
    ``language``; ``told`` is the language_info the kernel gave, if any (see
    language_info()).  Each cell's metadata keeps the component's id, type and
    parents under "zelvo"; parameter cells are tagged ``parameters``.  The
    text is ASCII: a lone surrogate in a component's code is escaped, never
    left to fail the encoding of the download.
    """
    # Written directly rather than through json.dumps of nested dicts, which
    # takes three times as long for a large pipeline.
    text = encode_basestring_ascii
    cells = []
    for component, cell_id in zip(components, _cell_ids(components)):
        tags = _NOTEBOOK_TAGS.get(component.component_type, "")
        parents = ", ".join(map(text, component.parents_id))
        cells.append(
            '{"cell_type": "code", "execution_count": null, '
            f'"id": {text(cell_id)}, "metadata": {{"zelvo": {{"id": {text(component.id)}, '
            f'"component_type": {text(component.component_type)}, '
            f'"parents_id": [{parents}]}}{tags}}}, '
            f'"outputs": [], "source": {text(component.code)}}}'
        )
    metadata = {"kernelspec": dict(kernelspec), "language_info": language_info(kernelspec, told)}
    return (
        '{"cells": [\n' + ",\n".join(cells) + f'\n], "metadata": {json.dumps(metadata)}, '
        f'"nbformat": {NBFORMAT}, "nbformat_minor": {NBFORMAT_MINOR}}}\n'
    )
