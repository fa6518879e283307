"""A pipeline derived from a notebook: its code cells and the names they share.

Nothing here runs the notebook's code: the names a cell reads and defines come
from the standard ``ast`` module, so the result is an estimate on the safe
side where Python's dynamic features leave a choice: a name read in a
function body is a read of the cell unless the cell itself defines it.
"""

from __future__ import annotations

import ast
import json
import re
import sys

from zelvo_core.misc.models import _is_timestamp

NOT_RUN = "not-run"
PARAMETERS_TAG = "parameters"
# Where JupyterLab records when a cell last finished running (cell metadata
# "execution", written when timing is recorded), most precise first.
_FINISHED_KEYS = ("shell.execute_reply", "iopub.status.idle")

# IPython syntax that is not Python. Cell magics whose body is Python; any
# other cell magic takes the cell as text.
_PYTHON_CELL_MAGICS = frozenset({"time", "timeit", "capture", "prun", "debug"})
# Line magics that run the Python statement after their options.
_STATEMENT_MAGIC = re.compile(
    r"(?P<indent>[ \t]*)%(?:time|timeit|prun|debug)[ \t]+(?:-\w+[ \t]+(?:\d+[ \t]+)?)*"
    r"(?P<statement>[^-\s].*)"
)
# Other line magics, shell escapes and help requests (`?x`, `x?`, `x??`).
_MAGIC_LINE = re.compile(r"(?P<indent>[ \t]*)(?:[%!?]|[\w.]+\?\??[ \t]*$)")
# `x = %magic` and `x = !command`: x is still assigned.
_MAGIC_ASSIGNMENT = re.compile(r"(?P<target>[ \t]*[\w.\[\], \t]+?[ \t]*=)[ \t]*[%!]")


class NotebookError(Exception):
    """A file that is not a notebook this module can read; the text says why."""


def parse_notebook(text, name):
    """Decode a notebook's JSON text; ``name`` is what messages call it."""
    try:
        notebook = json.loads(text)
    except ValueError as error:
        raise NotebookError(f"{name}: not a notebook: invalid JSON ({error})") from None
    if not isinstance(notebook, dict) or not isinstance(notebook.get("cells"), list):
        if isinstance(notebook, dict) and notebook.get("worksheets") is not None:
            raise NotebookError(
                f"{name}: a notebook of format 3 or older; save it again with a current Jupyter"
            )
        raise NotebookError(f"{name}: not a notebook: no list of cells")
    for position, cell in enumerate(notebook["cells"]):
        if not isinstance(cell, dict) or not isinstance(cell.get("cell_type"), str):
            raise NotebookError(f"{name}: cell {position} is not a notebook cell")
    return notebook


def _source(cell):
    source = cell.get("source", "")
    # nbformat stores multi-line text either whole or as a list of lines.
    if isinstance(source, list):
        return "".join(line for line in source if isinstance(line, str))
    return source if isinstance(source, str) else ""


def without_magics(source):
    """``source`` with IPython-only lines made into Python, or None if none were found.

    Line numbers stay as they were. A cell magic whose body is not Python
    leaves nothing (""): IPython hands the body to the magic.
    """
    lines = source.splitlines()
    changed = False
    if lines and lines[0].lstrip().startswith("%%"):
        magic = lines[0].lstrip()[2:].split(None, 1)
        if not magic or magic[0] not in _PYTHON_CELL_MAGICS:
            return ""
        lines[0] = ""
        changed = True
    for number, line in enumerate(lines):
        statement = _STATEMENT_MAGIC.fullmatch(line)
        if statement:
            lines[number] = statement["indent"] + statement["statement"]
            changed = True
            continue
        assignment = _MAGIC_ASSIGNMENT.match(line)
        if assignment:
            lines[number] = assignment["target"] + " None"
            changed = True
            continue
        magic = _MAGIC_LINE.match(line)
        if magic:
            lines[number] = magic["indent"] + "pass"
            changed = True
    return "\n".join(lines) if changed else None


# -- names read and defined ---------------------------------------------------------------


class _Scope:
    """A scope nested in the cell: a function, a lambda, a class body or a comprehension."""

    __slots__ = ("bound", "declared_global", "kind")

    def __init__(self, kind, bound=(), declared_global=()):
        self.kind = kind
        self.bound = set(bound)  # names local to it (a class body's grow as it runs)
        self.declared_global = set(declared_global)


class _Collector(ast.NodeVisitor):
    """Binds of one scope, without entering nested scopes: what makes a name local."""

    def __init__(self):
        self.bound = set()
        self.declared_global = set()
        self.declared_nonlocal = set()

    def visit_Name(self, node):
        if not isinstance(node.ctx, ast.Load):
            self.bound.add(node.id)

    def _bind_definition(self, node):
        self.bound.add(node.name)
        for expression in _evaluated_at_definition(node):
            self.visit(expression)

    visit_FunctionDef = visit_AsyncFunctionDef = visit_ClassDef = _bind_definition

    def visit_Lambda(self, node):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)

    def _visit_comprehension(self, node):
        # Only the outermost iterable runs here, and walrus targets bind here.
        self.visit(node.generators[0].iter)
        for child in ast.walk(node):
            if isinstance(child, ast.NamedExpr):
                self.bound.add(child.target.id)

    visit_ListComp = visit_SetComp = visit_DictComp = visit_GeneratorExp = _visit_comprehension

    def visit_alias(self, node):
        if node.name != "*":
            self.bound.add((node.asname or node.name).split(".")[0])

    def visit_ExceptHandler(self, node):
        if node.name:
            self.bound.add(node.name)
        self.generic_visit(node)

    def visit_Global(self, node):
        self.declared_global.update(node.names)

    def visit_Nonlocal(self, node):
        self.declared_nonlocal.update(node.names)

    def visit_MatchAs(self, node):
        if node.name:
            self.bound.add(node.name)
        self.generic_visit(node)

    visit_MatchStar = visit_MatchAs

    def visit_MatchMapping(self, node):
        if node.rest:
            self.bound.add(node.rest)
        self.generic_visit(node)


def _evaluated_at_definition(node):
    """The expressions of a def, lambda or class statement that run when it runs."""
    if isinstance(node, ast.ClassDef):
        return [*node.decorator_list, *node.bases, *(k.value for k in node.keywords)]
    arguments = node.args
    expressions = [*arguments.defaults, *(d for d in arguments.kw_defaults if d is not None)]
    if not isinstance(node, ast.Lambda):
        every = [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]
        every += [a for a in (arguments.vararg, arguments.kwarg) if a is not None]
        expressions += [a.annotation for a in every if a.annotation is not None]
        if node.returns is not None:
            expressions.append(node.returns)
        expressions = [*node.decorator_list, *expressions]
    return expressions


def _parameters(arguments):
    every = [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]
    every += [a for a in (arguments.vararg, arguments.kwarg) if a is not None]
    return [a.arg for a in every]


class _CellAnalysis(ast.NodeVisitor):
    """Walks a cell's statements in the order they run.

    ``reads``: names the cell reads before it binds them (in the order read);
    ``effects``: name -> True when the cell leaves it defined, False when deleted.
    """

    def __init__(self):
        self.reads = {}
        self.effects = {}
        self.bound = set()  # top-level names bound so far in the cell
        self.scopes = []  # the nested scopes being visited, innermost last
        self.deferred = []  # (scopes, statements) of function bodies still to visit

    # -- resolution

    def _read(self, name):
        nested = reversed(self.scopes)
        for depth, scope in enumerate(nested):
            if name in scope.declared_global:
                break
            # A class body is visible only to its own statements.
            if scope.kind == "class" and depth:
                continue
            if name in scope.bound:
                return
        if name not in self.bound:
            self.reads.setdefault(name, None)

    def _bind(self, name):
        scope = self._binding_scope()
        if scope is None or name in scope.declared_global:
            self.bound.add(name)
            self.effects[name] = True
        else:
            scope.bound.add(name)

    def _binding_scope(self):
        for scope in reversed(self.scopes):
            if scope.kind != "comprehension":
                return scope
        return None

    # -- names

    def visit_Name(self, node):
        if isinstance(node.ctx, ast.Load):
            self._read(node.id)
        elif isinstance(node.ctx, ast.Del):
            # `del x` needs x; afterwards no cell defines it.
            self._read(node.id)
            scope = self._binding_scope()
            if scope is None or node.id in scope.declared_global:
                self.bound.discard(node.id)
                self.effects[node.id] = False
        else:
            self._bind(node.id)

    def visit_alias(self, node):
        if node.name != "*":
            self._bind((node.asname or node.name).split(".")[0])

    # -- statements whose parts run in another order than their fields

    def visit_Assign(self, node):
        self.visit(node.value)
        for target in node.targets:
            self.visit(target)

    def visit_AugAssign(self, node):
        if isinstance(node.target, ast.Name):
            self._read(node.target.id)
        self.visit(node.value)
        self.visit(node.target)

    def visit_AnnAssign(self, node):
        if node.value is not None:
            self.visit(node.value)
            self.visit(node.target)
        elif not isinstance(node.target, ast.Name):
            self.visit(node.target)
        if not self.scopes:
            self.visit(node.annotation)

    def visit_NamedExpr(self, node):
        self.visit(node.value)
        self._bind(node.target.id)

    def _visit_loop(self, node):
        self.visit(node.iter)
        self.visit(node.target)
        for statement in (*node.body, *node.orelse):
            self.visit(statement)

    visit_For = visit_AsyncFor = _visit_loop

    def _visit_with(self, node):
        for item in node.items:
            self.visit(item.context_expr)
            if item.optional_vars is not None:
                self.visit(item.optional_vars)
        for statement in node.body:
            self.visit(statement)

    visit_With = visit_AsyncWith = _visit_with

    def visit_ExceptHandler(self, node):
        if node.type is not None:
            self.visit(node.type)
        if node.name:
            self._bind(node.name)
        for statement in node.body:
            self.visit(statement)
        if node.name and self._binding_scope() is None:
            # Python deletes the name when the handler ends.
            self.bound.discard(node.name)
            self.effects[node.name] = False

    def visit_MatchAs(self, node):
        if node.pattern is not None:
            self.visit(node.pattern)
        if node.name:
            self._bind(node.name)

    def visit_MatchStar(self, node):
        if node.name:
            self._bind(node.name)

    def visit_MatchMapping(self, node):
        self.generic_visit(node)
        if node.rest:
            self._bind(node.rest)

    def visit_TypeAlias(self, node):  # `type X = ...` (3.12)
        self._nested(_Scope("function"), [node.value])
        self.visit(node.name)

    # -- nested scopes

    def _nested(self, scope, nodes):
        self.scopes.append(scope)
        try:
            for child in nodes:
                self.visit(child)
        finally:
            self.scopes.pop()

    def _function_scope(self, node, body):
        collector = _Collector()
        for statement in body:
            collector.visit(statement)
        local = (set(_parameters(node.args)) | collector.bound) - collector.declared_global
        # A nonlocal name belongs to an enclosing function, never to the cell.
        return _Scope("function", local | collector.declared_nonlocal, collector.declared_global)

    def _visit_function(self, node):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)
        self._bind(node.name)
        self._defer(node, node.body)

    visit_FunctionDef = visit_AsyncFunctionDef = _visit_function

    def visit_Lambda(self, node):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)
        self._defer(node, [node.body])

    def _defer(self, node, body):
        # A body runs when the function is called, after the cell has run: its
        # names are looked up in what the cell leaves behind.
        self.deferred.append(([*self.scopes, self._function_scope(node, body)], body))

    def visit_Module(self, node):
        for statement in node.body:
            self.visit(statement)
        while self.deferred:
            self.scopes, body = self.deferred.pop(0)
            for statement in body:
                self.visit(statement)
        self.scopes = []

    def visit_ClassDef(self, node):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)
        collector = _Collector()
        for statement in node.body:
            collector.visit(statement)
        self._nested(_Scope("class", (), collector.declared_global), node.body)
        self._bind(node.name)

    def _visit_comprehension(self, node):
        generators = node.generators
        self.visit(generators[0].iter)
        targets = set()
        for generator in generators:
            targets.update(
                child.id for child in ast.walk(generator.target) if isinstance(child, ast.Name)
            )
        scope = _Scope("comprehension", targets)
        self.scopes.append(scope)
        try:
            for position, generator in enumerate(generators):
                if position:
                    self.visit(generator.iter)
                for condition in generator.ifs:
                    self.visit(condition)
            if isinstance(node, ast.DictComp):
                self.visit(node.key)
                self.visit(node.value)
            else:
                self.visit(node.elt)
        finally:
            self.scopes.pop()

    visit_ListComp = visit_SetComp = visit_DictComp = visit_GeneratorExp = _visit_comprehension


def names_of(source):
    """Return ``(reads, effects)`` of a cell's code, or raise SyntaxError.

    ``reads`` lists the names the cell reads before binding them, in the order
    read; ``effects`` maps each name the cell binds or deletes at top level to
    True (defined afterwards) or False (deleted).
    """
    tree = ast.parse(source)
    analysis = _CellAnalysis()
    analysis.visit(tree)
    return list(analysis.reads), analysis.effects


def _parse_cell(source):
    # Python first: a line may begin with "%" or "!" inside valid code too.
    try:
        return names_of(source)
    except SyntaxError:
        stripped = without_magics(source)
        if stripped is None:
            raise
    return names_of(stripped)


# -- the pipeline ---------------------------------------------------------------------------


def _execution(cell):
    """(execution_status, last_execution) as far as the notebook records them."""
    outputs = cell.get("outputs")
    outputs = outputs if isinstance(outputs, list) else []
    metadata = cell.get("metadata")
    metadata = metadata if isinstance(metadata, dict) else {}
    timing = metadata.get("execution")
    timing = timing if isinstance(timing, dict) else {}
    finished = next(
        (
            timing[key]
            for key in _FINISHED_KEYS
            if isinstance(timing.get(key), str) and _is_timestamp(timing[key])
        ),
        None,
    )
    if any(
        isinstance(output, dict) and output.get("output_type") == "error" for output in outputs
    ):
        return "failed", finished
    if cell.get("execution_count") is not None or finished is not None:
        return "succeeded", finished
    return NOT_RUN, None


def _cell_id(cell, position):
    ident = cell.get("id")
    if isinstance(ident, str) and ident:
        return ident
    # Notebooks before nbformat 4.5 have no cell ids; the position in the
    # notebook is stable as long as the cells are not reordered.
    return f"cell-{position}"


def _is_parameters(cell):
    metadata = cell.get("metadata")
    tags = metadata.get("tags") if isinstance(metadata, dict) else None
    return isinstance(tags, list) and PARAMETERS_TAG in tags


def pipeline_from_notebook(notebook, name="notebook", warn=None):
    """Return ``{"dag_info": [...]}`` for the code cells of a decoded notebook.

    ``warn(text)`` is called for each code cell that cannot be analysed; such a
    cell is kept without parents. Raises NotebookError for duplicate cell ids.
    """
    if warn is None:

        def warn(text):
            print(text, file=sys.stderr)

    definers = {}  # name -> id of the last cell that defines it
    order = {}  # cell id -> position among the code cells
    dag_info = []
    for position, cell in enumerate(notebook["cells"]):
        if cell["cell_type"] != "code":
            continue
        ident = _cell_id(cell, position)
        if ident in order:
            raise NotebookError(f"{name}: two cells have the id {ident!r}")
        order[ident] = len(order)
        source = _source(cell)
        try:
            reads, effects = _parse_cell(source)
        except (SyntaxError, ValueError) as error:
            # ValueError: source with a NUL character (before 3.12).
            line = getattr(error, "lineno", None)
            where = f" (line {line})" if line else ""
            warn(f"{name}: cell {ident!r} is not Python{where}: kept without parents")
            reads, effects = [], {}
        except RecursionError:
            warn(f"{name}: cell {ident!r} is nested too deeply to analyse: kept without parents")
            reads, effects = [], {}
        parents = {definers[read] for read in reads if read in definers}
        status, finished = _execution(cell)
        dag_info.append(
            {
                "id": ident,
                "component_type": "parameter" if _is_parameters(cell) else "code",
                "parents_id": sorted(parents, key=order.__getitem__),
                "code": source,
                "execution_status": status,
                "last_execution": finished,
            }
        )
        for defined_name, defined in effects.items():
            if defined:
                definers[defined_name] = ident
            else:
                definers.pop(defined_name, None)
    return {"dag_info": dag_info}
