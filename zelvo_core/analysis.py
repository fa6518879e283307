"""Which cells a notebook cell depends on, from the names its code shares with them.

Nothing here runs code: the standard ``ast`` module reads it. Where Python's dynamic
features leave a choice, the answer errs toward an extra dependency rather than a missing
one, because a selected export runs only with all the cells it needs.

Two steps, usable apart:

- ``cell_facts(source)`` describes one cell's code (pure, cached by source text).
- ``Linker().run(cell_id, facts)`` records that a cell ran and returns the cells it depends
  on, given everything that ran before it. ``pipeline_from_notebook`` in the command line
  runs one Linker over a notebook's cells in order; a server can run one per kernel, one
  call per execution.
"""

from __future__ import annotations

import ast
import collections
import functools
import os
import re
import shlex
import types
import warnings
from typing import Mapping, NamedTuple

__all__ = ["Body", "CellFacts", "Linker", "cell_facts"]

# Methods that change the object they are called on, so that `x.m(...)` revises x: those of
# list, dict, set and collections.deque that work in place, and the training methods of the
# common estimator and model libraries (which return the object, or a history, but keep
# what they learnt in it). Besides these, any call with `inplace=` (unless `inplace=False`).
MUTATING_METHODS = frozenset(
    {
        # list, dict, set, deque
        "append", "extend", "insert", "remove", "pop", "clear", "sort", "reverse",
        "update", "setdefault", "popitem", "add", "discard", "difference_update",
        "intersection_update", "symmetric_difference_update", "appendleft", "extendleft",
        "popleft", "rotate",
        # arrays
        "fill", "resize", "itemset",
        # estimators and models
        "fit", "partial_fit", "fit_transform", "fit_predict", "compile", "train",
        "set_params", "load_state_dict", "build",
    }
)  # fmt: skip
# Functions (called by name or as an attribute, e.g. `np.random.shuffle`) that change their
# first argument.
MUTATING_FUNCTIONS = frozenset(
    {"shuffle", "heapify", "heappush", "heappop", "heappushpop", "heapreplace", "setattr",
     "delattr", "copyto", "put", "place", "putmask"}
)  # fmt: skip

# Bounds the cache of cell_facts: a notebook's cells, and their recent versions.
CACHE_SIZE = 2048


class Body(NamedTuple):
    """What the code of a function, lambda or class defined in a cell does when called.

    Names are global (module-level) names: ``reads`` in the order first read, ``assigns``
    what it binds or deletes through ``global``, ``revises`` the objects it changes (see
    MUTATING_METHODS), ``calls`` the names it calls, ``method_calls`` the attribute names
    it calls (``x.m(...)`` gives "m"). A nested function's code counts as its enclosing
    one's. For a class, ``methods`` maps each method's name to its Body and the other
    fields hold the union of its methods (what calling the class may run).
    """

    reads: tuple[str, ...]
    assigns: tuple[str, ...]
    revises: tuple[str, ...]
    calls: tuple[str, ...]
    method_calls: tuple[str, ...]
    methods: Mapping[str, Body]


class CellFacts(NamedTuple):
    """What one cell's code does to the notebook's names, as ``cell_facts`` finds it.

    - ``reads``: names read before the cell binds them, in order; a name read in the body
      of a function or lambda the cell defines counts, unless the cell binds it.
    - ``defines`` / ``deletes``: names the cell leaves bound / deleted at top level.
    - ``revises``: names whose object the cell changes without binding the name
      (``df['a'] = ...``, ``obj.x += 1``, ``del d[k]``, ``xs.append(...)``, ``m.fit(...)``).
    - ``functions``: name -> Body of each function, lambda (``f = lambda ...``) and class
      the cell leaves defined at top level.
    - ``calls`` / ``method_calls``: global names / attribute names the cell calls (outside
      the bodies of its functions, which hold their own).
    - ``star_imports``: modules of ``from m import *`` (and ``%run -m m``).
    - ``file_writes`` / ``file_reads``: paths written by ``%%writefile``, run or loaded by
      ``%run`` / ``%load``.
    - ``warnings``: what analysing or compiling the code raised, each a phrase that
      follows the cell's name ("is not Python (line 2): ..."), once each.
    """

    reads: tuple[str, ...]
    defines: tuple[str, ...]
    deletes: tuple[str, ...]
    revises: tuple[str, ...]
    functions: Mapping[str, Body]
    calls: tuple[str, ...]
    method_calls: tuple[str, ...]
    star_imports: tuple[str, ...]
    file_writes: tuple[str, ...]
    file_reads: tuple[str, ...]
    warnings: tuple[str, ...]


# -- IPython syntax -------------------------------------------------------------------------

# Cell magics whose body is Python and runs in the notebook's namespace.
_PYTHON_CELL_MAGICS = frozenset({"time", "capture", "prun", "debug"})
# Cell magics that write their body to the file they name.
_FILE_CELL_MAGICS = frozenset({"writefile", "file"})
# Line magics that run the Python statement after their options; `%timeit` runs it in a
# namespace of its own, so its assignments do not persist.
_STATEMENT_MAGIC = re.compile(
    r"(?P<indent>[ \t]*)%(?P<magic>time|timeit|prun|debug)[ \t]+"
    r"(?:-\w+[ \t]*(?:\d+[ \t]+)?)*(?P<statement>[^-\s].*)"
)
# `%%timeit [options] [setup statement]`.
_TIMEIT_CELL = re.compile(r"[ \t]*%%timeit(?:[ \t]+-\w+[ \t]*(?:\d+\b)?)*[ \t]*(?P<setup>.*)")
# `%run` and `%load` take a file (or `-m module`) after their options.
_FILE_MAGIC = re.compile(r"[ \t]*%(?P<magic>run|load|loadpy)[ \t]+(?P<arguments>.*)")
# Other line magics, shell escapes and help requests (`?x`, `x?`, `x??`).
_MAGIC_LINE = re.compile(r"(?P<indent>[ \t]*)(?:[%!?]|[\w.]+\?\??[ \t]*$)")
# `x = %magic` and `x = !command`: x is still assigned.
_MAGIC_ASSIGNMENT = re.compile(r"(?P<target>[ \t]*[\w.\[\], \t]+?[ \t]*=)[ \t]*[%!]")
# What IPython puts into a shell or magic line from the notebook's names: `{expression}`
# and `$name` (`$$` is a dollar sign).
_INTERPOLATED = re.compile(r"\{(?P<expression>[^{}]+)\}|(?<!\$)\$(?P<name>[A-Za-z_]\w*)")


class _IPython(NamedTuple):
    """A cell's IPython syntax made into Python, and what the magics themselves do."""

    source: str  # the Python, with the cell's line numbers
    defines: tuple  # names a magic binds (`%%capture out`, `--out name`)
    file_writes: tuple
    file_reads: tuple
    star_imports: tuple  # `%run -m module`
    transient: frozenset  # line numbers (1-based) whose assignments do not persist


def _arguments(text):
    try:
        return shlex.split(text, comments=True)
    except ValueError:  # an unclosed quote
        return text.split()


def _path(text):
    return os.path.normpath(text)


def _interpolated(line):
    """A Python expression that reads what IPython interpolates into ``line``, or None."""
    expressions = []
    for match in _INTERPOLATED.finditer(line):
        expression = match["name"] or match["expression"].strip()
        try:
            ast.parse(expression, mode="eval")
        except (SyntaxError, ValueError, MemoryError, RecursionError):
            continue  # shell syntax such as awk's `{print $1}`
        expressions.append(f"({expression})")
    return f"({', '.join(expressions)},)" if expressions else None


def _cell_magic(first, body_lines):
    """(python body lines, defines, file_writes, transient) of a cell magic's cell."""
    words = _arguments(first.lstrip()[2:])
    magic, options = (words[0], words[1:]) if words else ("", [])
    defines, writes = [], []
    for option, value in zip(options, options[1:]):
        # The script magics (`%%bash --out name`) bind their output to a name.
        if option in ("--out", "--err"):
            defines.append(value)
    if magic == "capture":
        defines += [word for word in options if not word.startswith("-")][:1]
    if magic in _FILE_CELL_MAGICS:
        writes += [_path(word) for word in options if not word.startswith("-")][:1]
    if magic == "timeit":
        setup = _TIMEIT_CELL.match(first)
        lines = [setup["setup"] if setup else "", *body_lines]
        return lines, defines, writes, True
    if magic in _PYTHON_CELL_MAGICS:
        return ["", *body_lines], defines, writes, False
    return None, defines, writes, False


def _from_ipython(source):
    """The cell as Python (see _IPython), or None if nothing in it is IPython's syntax."""
    lines = source.splitlines()
    defines, writes, reads, stars, transient = [], [], [], [], set()
    changed = False
    if lines and lines[0].lstrip().startswith("%%"):
        body, defines, writes, whole = _cell_magic(lines[0], lines[1:])
        if body is None:
            # IPython hands the body to the magic: nothing in it is Python.
            return _IPython("", tuple(defines), tuple(writes), (), (), frozenset())
        lines = body
        if whole:
            transient.update(range(1, len(lines) + 1))
        changed = True
    continued = False
    for number, line in enumerate(lines):
        if continued:
            # A shell or magic line goes on after a trailing backslash.
            continued = line.endswith("\\")
            lines[number] = ""
            continue
        statement = _STATEMENT_MAGIC.fullmatch(line)
        if statement:
            lines[number] = statement["indent"] + statement["statement"]
            if statement["magic"] == "timeit":
                transient.add(number + 1)
            changed = True
            continue
        assignment = _MAGIC_ASSIGNMENT.match(line)
        if assignment:
            value = _interpolated(line[assignment.end() :]) or "None"
            lines[number] = f"{assignment['target']} {value}"
            continued = line.endswith("\\")
            changed = True
            continue
        magic = _MAGIC_LINE.match(line)
        if magic:
            files = _FILE_MAGIC.match(line)
            if files:
                words = _arguments(files["arguments"])
                if "-m" in words[:-1] and files["magic"] == "run":
                    stars.append(words[words.index("-m") + 1])
                else:
                    reads += [_path(word) for word in words if not word.startswith("-")][:1]
            shell = line.lstrip()[:1] in "%!"
            lines[number] = magic["indent"] + ((shell and _interpolated(line)) or "pass")
            continued = line.endswith("\\")
            changed = True
    if not changed:
        return None
    return _IPython(
        "\n".join(lines), tuple(defines), tuple(writes), tuple(reads), tuple(stars),
        frozenset(transient),
    )  # fmt: skip


# -- scopes ---------------------------------------------------------------------------------


class _Scope:
    """A scope nested in the cell: a function, a lambda, a class body or a comprehension."""

    __slots__ = ("body", "bound", "declared_global", "kind")

    def __init__(self, kind, bound=(), declared_global=(), body=None):
        self.kind = kind
        self.bound = set(bound)  # names local to it (a class body's grow as it runs)
        self.declared_global = set(declared_global)
        self.body = body  # a class's _BodyBuilder, for its methods


class _BodyBuilder:
    """The parts of a Body as the walk finds them (dicts keep the order first seen)."""

    __slots__ = ("assigns", "calls", "method_calls", "methods", "reads", "revises")

    def __init__(self):
        self.reads, self.assigns, self.revises = {}, {}, {}
        self.calls, self.method_calls, self.methods = {}, {}, {}

    def method(self, name):
        # A property's getter and setter share a name: both are the method's code.
        return self.methods.setdefault(name, _BodyBuilder())

    def freeze(self):
        methods = {name: method.freeze() for name, method in self.methods.items()}
        parts = [self.reads, self.assigns, self.revises, self.calls, self.method_calls]
        for method in methods.values():
            for part, more in zip(parts, method):
                part.update(dict.fromkeys(more))
        return Body(*(tuple(part) for part in parts), types.MappingProxyType(methods))


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


def _root(node):
    """The name at the root of `a.b[c].d`, or None (e.g. for a call's result)."""
    while isinstance(node, (ast.Attribute, ast.Subscript)):
        node = node.value
    return node.id if isinstance(node, ast.Name) else None


def _changes_in_place(call):
    """Whether a method call changes its object: its name, or an `inplace=` argument."""
    if call.func.attr in MUTATING_METHODS:
        return True
    for keyword in call.keywords:
        if keyword.arg == "inplace":
            value = keyword.value
            return not (isinstance(value, ast.Constant) and value.value is False)
    return False


class _CellAnalysis(ast.NodeVisitor):
    """Walks a cell's statements in the order they run, then the bodies of its functions."""

    def __init__(self, transient=frozenset()):
        self.reads, self.revises, self.calls, self.method_calls = {}, {}, {}, {}
        self.effects = {}  # name -> True when the cell leaves it defined, False when deleted
        self.functions = {}  # name -> _BodyBuilder of what the cell leaves defined
        self.star_imports = []
        self.bound = set()  # top-level names bound so far in the cell
        self.scopes = []  # the nested scopes being visited, innermost last
        self.owner = None  # the _BodyBuilder of the function body being visited
        self.deferred = []  # (scopes, statements, owner) of function bodies still to visit
        self.transient = transient  # lines of `%timeit` statements
        # The namespace of those statements: one for the cell, like `%%timeit`'s.
        self.transient_scope = _Scope("function")

    def visit(self, node):
        if (
            self.transient
            and isinstance(node, ast.stmt)
            and node.lineno in self.transient
            and not self.scopes
        ):
            # Run by `%timeit` in a namespace of its own: reads count, assignments do not.
            collector = _Collector()
            collector.visit(node)
            self.transient_scope.bound |= collector.bound
            self._nested(self.transient_scope, [node], visit=super().visit)
            return None
        return super().visit(node)

    # -- resolution

    def _is_global(self, name):
        for depth, scope in enumerate(reversed(self.scopes)):
            if name in scope.declared_global:
                return True
            # A class body is visible only to its own statements.
            if scope.kind == "class" and depth:
                continue
            if name in scope.bound:
                return False
        return True

    def _read(self, name):
        if self._is_global(name):
            if self.owner is not None:
                self.owner.reads[name] = None
            if name not in self.bound:
                self.reads.setdefault(name, None)

    def _revise(self, name):
        if name is None or not self._is_global(name):
            return
        if self.owner is not None:
            self.owner.revises[name] = None
        elif name not in self.bound:
            self.revises[name] = None

    def _call(self, name, method=False):
        if method:
            target = self.method_calls if self.owner is None else self.owner.method_calls
        elif self._is_global(name):
            target = self.calls if self.owner is None else self.owner.calls
        else:
            return
        target[name] = None

    def _bind(self, name):
        scope = self._binding_scope()
        if scope is None or name in scope.declared_global:
            if self.owner is not None:
                # Calling the function binds it; defining it does too, as far as this
                # cell's own effects go.
                self.owner.assigns[name] = None
            self.bound.add(name)
            self.effects[name] = True
            self.functions.pop(name, None)
        else:
            scope.bound.add(name)

    def _binding_scope(self):
        for scope in reversed(self.scopes):
            if scope.kind != "comprehension":
                return scope
        return None

    def _body_for(self, name):
        """The _BodyBuilder a def or lambda bound to ``name`` here records into."""
        scope = self._binding_scope()
        if scope is None and self.owner is None:
            return _BodyBuilder()
        if scope is not None and scope.kind == "class" and scope.body is not None:
            return scope.body.method(name)
        return self.owner

    # -- names

    def visit_Name(self, node):
        if isinstance(node.ctx, ast.Load):
            self._read(node.id)
        elif isinstance(node.ctx, ast.Del):
            # `del x` needs x; afterwards no cell defines it.
            self._read(node.id)
            scope = self._binding_scope()
            if scope is None or node.id in scope.declared_global:
                if self.owner is not None:
                    self.owner.assigns[node.id] = None
                    return
                self.bound.discard(node.id)
                self.effects[node.id] = False
                self.functions.pop(node.id, None)
        else:
            self._bind(node.id)

    def _visit_part(self, node):
        # `a.b = ...`, `a[k] += ...`, `del a.b`: the object a names changes.
        if not isinstance(node.ctx, ast.Load):
            self._revise(_root(node))
        self.generic_visit(node)

    visit_Attribute = visit_Subscript = _visit_part

    def visit_Call(self, node):
        function = node.func
        if isinstance(function, ast.Name):
            self._call(function.id)
            name = function.id
        elif isinstance(function, ast.Attribute):
            self._call(function.attr, method=True)
            if _changes_in_place(node):
                self._revise(_root(function.value))
            name = function.attr
        else:
            name = None
        if name in MUTATING_FUNCTIONS and node.args:
            self._revise(_root(node.args[0]))
        self.generic_visit(node)

    def visit_alias(self, node):
        if node.name != "*":
            self._bind((node.asname or node.name).split(".")[0])

    def visit_ImportFrom(self, node):
        if any(alias.name == "*" for alias in node.names):
            self.star_imports.append("." * (node.level or 0) + (node.module or ""))
        self.generic_visit(node)

    # -- statements whose parts run in another order than their fields

    def visit_Assign(self, node):
        (target,) = node.targets if len(node.targets) == 1 else (None,)
        if isinstance(target, ast.Name) and isinstance(node.value, ast.Lambda):
            # `f = lambda ...`: f's Body is the lambda's.
            body = self._body_for(target.id)
            self._visit_lambda(node.value, body)
            self.visit(target)
            if body is not None and self._binding_scope() is None and self.owner is None:
                self.functions[target.id] = body
            return
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
        if node.name and self._binding_scope() is None and self.owner is None:
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

    def _nested(self, scope, nodes, visit=None):
        visit = visit or self.visit
        self.scopes.append(scope)
        try:
            for child in nodes:
                visit(child)
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
        body = self._body_for(node.name)
        top = self._binding_scope() is None and self.owner is None
        self._bind(node.name)
        if top:
            self.functions[node.name] = body
        self._defer(node, node.body, body)

    visit_FunctionDef = visit_AsyncFunctionDef = _visit_function

    def visit_Lambda(self, node):
        self._visit_lambda(node, self.owner)

    def _visit_lambda(self, node, body):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)
        self._defer(node, [node.body], body)

    def _defer(self, node, statements, body):
        # A body runs when the function is called, after the cell has run: its
        # names are looked up in what the cell leaves behind.
        scope = self._function_scope(node, statements)
        self.deferred.append(([*self.scopes, scope], statements, body))

    def visit_Module(self, node):
        for statement in node.body:
            self.visit(statement)
        while self.deferred:
            self.scopes, statements, self.owner = self.deferred.pop(0)
            for statement in statements:
                self.visit(statement)
        self.scopes, self.owner = [], None

    def visit_ClassDef(self, node):
        for expression in _evaluated_at_definition(node):
            self.visit(expression)
        collector = _Collector()
        for statement in node.body:
            collector.visit(statement)
        top = self._binding_scope() is None and self.owner is None
        body = _BodyBuilder() if top else None
        self._nested(_Scope("class", (), collector.declared_global, body), node.body)
        self._bind(node.name)
        if top:
            self.functions[node.name] = body

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


# -- one cell -------------------------------------------------------------------------------


def _parse(source, found):
    """ast.parse, with the warnings it raises added to ``found`` instead of shown."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            tree = ast.parse(source)
        except MemoryError:
            # The parser's stack overflowed (before 3.9): too deeply nested, as below.
            raise RecursionError("source too complex to parse") from None
    for warning in caught:
        found[f"has a warning (line {warning.lineno}): {warning.message}"] = None
    return tree


# A line that starts a top-level statement (not one that closes a bracket or continues a
# compound statement).
_CONTINUES = re.compile(r"[ \t#)\]}]|(?:else|elif|except|finally)\b|$")


# How many statements a statement that does not parse alone is tried with.
_JOINED = 16


def _statement_starts(lines):
    starts = [0]
    for number, line in enumerate(lines[1:], 1):
        if not _CONTINUES.match(line) and not lines[starts[-1]].startswith("@"):
            starts.append(number)
    return starts


def _parse_what_parses(source, error, found):
    """The tree of ``source`` without the top-level statements that do not parse."""
    lines = source.splitlines()
    starts = [*_statement_starts(lines), len(lines)]
    kept = [""] * len(lines)  # blank lines keep the line numbers
    segment, count, dropped = 0, len(starts) - 1, 0
    while segment < count:
        # A statement may run on over the next lines that start at column 0.
        for end in range(segment + 1, min(count, segment + _JOINED) + 1):
            chunk = lines[starts[segment] : starts[end]]
            try:
                _parse("\n".join(chunk), {})
            except (SyntaxError, ValueError):
                continue
            kept[starts[segment] : starts[end]] = chunk
            segment = end
            break
        else:
            segment += 1
            dropped += 1
    line = getattr(error, "lineno", None)
    where = f" (line {line})" if line else ""
    if dropped < count:
        try:
            tree = _parse("\n".join(kept), found)
        except (SyntaxError, ValueError):
            pass
        else:
            found[f"is not Python{where}: only the lines that parse are read"] = None
            return tree
    found[f"is not Python{where}: kept without parents"] = None
    return None


def _parse_ipython(source, error, found):
    """(tree or None, _IPython or None) of a cell that is not plain Python."""
    # IPython's syntax only once plain Python fails: a line may begin with "%" or "!"
    # inside valid code too.
    ipython = _from_ipython(source)
    if ipython is not None:
        try:
            return _parse(ipython.source, found), ipython
        except (SyntaxError, ValueError) as stripped:
            error = stripped
        source = ipython.source
    elif not isinstance(error, SyntaxError):
        # A NUL character (before 3.12).
        found["is not Python: kept without parents"] = None
        return None, None
    return _parse_what_parses(source, error, found), ipython


def _analyse(source):
    found = {}
    ipython = None
    try:
        tree = _parse(source, found)
    except (SyntaxError, ValueError) as error:
        tree, ipython = _parse_ipython(source, error, found)
    analysis = _CellAnalysis(ipython.transient if ipython is not None else frozenset())
    if tree is not None:
        analysis.visit(tree)
    effects = analysis.effects
    defines = [name for name, defined in effects.items() if defined]
    if ipython is not None:
        defines += [name for name in ipython.defines if name not in effects]
    return CellFacts(
        reads=tuple(analysis.reads),
        defines=tuple(dict.fromkeys(defines)),
        deletes=tuple(name for name, defined in effects.items() if not defined),
        revises=tuple(analysis.revises),
        functions=types.MappingProxyType(
            {name: body.freeze() for name, body in analysis.functions.items()}
        ),
        calls=tuple(analysis.calls),
        method_calls=tuple(analysis.method_calls),
        star_imports=tuple(analysis.star_imports)
        + (ipython.star_imports if ipython is not None else ()),
        file_writes=ipython.file_writes if ipython is not None else (),
        file_reads=ipython.file_reads if ipython is not None else (),
        warnings=tuple(found),
    )


@functools.lru_cache(maxsize=CACHE_SIZE)
def cell_facts(source):
    """Return the CellFacts of one cell's code (a str); never raises for any text.

    IPython's magics, shell escapes (`!cmd`) and help lines (`x?`) are read as IPython
    runs them. Code that does not parse is reported in ``warnings``: its top-level
    statements that parse are still read. The result is cached by source text. The
    parser's warnings are caught with ``warnings.catch_warnings``, which is process-wide:
    call it from one thread at a time (a server's event loop).
    """
    try:
        return _analyse(source)
    except RecursionError:
        empty = types.MappingProxyType({})
        return CellFacts(
            (), (), (), (), empty, (), (), (), (), (),
            ("is nested too deeply to analyse: kept without parents",),
        )  # fmt: skip


# -- many cells -----------------------------------------------------------------------------

# How many ancestors a run's search for parents it can leave out visits at most: a parent
# not found within them is kept, which bounds a run's cost in a long chain of cells.
_SEARCHED = 1000
# How a run left a name: bound, changed in place, deleted.
_DEFINED, _REVISED, _DELETED = "defined", "revised", "deleted"


class _Run(NamedTuple):
    order: int  # when the run happened, among the Linker's runs
    facts: CellFacts
    parents: tuple
    writes: tuple  # (name, how) pairs of what the run left
    paths: tuple  # the files it wrote


class Linker:
    """The cells that ran, in order, and what each left: finds a new run's parents.

    ``run(cell_id, facts)`` records that the cell ran now (a rerun replaces its earlier
    run) and returns its parents: for each name it reads (directly, or through a function,
    lambda or class of the notebook that it calls or passes on, as the names stand at this
    call), the cell whose latest run before this one defined or revised it. A cell that
    revises a name reads it too, so it depends on the name's earlier definer. A cell that
    star-imports, or runs or loads a file (``%run``, ``%load``), may define any name: a
    reader depends on it when it ran after the name's definer (or no cell defines the
    name). A file read by ``%run`` / ``%load`` links to the cell that wrote it
    (``%%writefile``). A parent found only through a called function is left out when it
    is already an ancestor of the other parents (among their nearest 1,000). Each parent
    comes once, in the order of the parents' runs.

    ``forget(cell_id)`` drops a deleted cell. Parents returned for earlier runs are not
    revised: a cell run again after the cells that depend on it, now reading one of them,
    gets it as a parent, and the parents of the runs form a cycle that a caller keeping a
    pipeline has to resolve. Not thread-safe: one caller at a time.
    """

    def __init__(self):
        self._runs = {}  # cell id -> _Run, in the order of the runs
        self._writes = {}  # name -> {cell id: how}, in the order of the runs
        self._files = {}  # path -> {cell id: None}, in the order of the runs
        self._providers = {}  # cell ids whose runs may have defined any name
        self._methods = {}  # method name -> {cell id: None} of cells with such a class
        self._clock = 0

    def run(self, cell_id, facts):
        """Record a run of ``cell_id`` with ``facts``; return its parents' ids (a list)."""
        self.forget(cell_id)
        direct, called, writes = {}, {}, {}
        for name in (*facts.reads, *facts.revises):
            self._add_writer(name, direct)
        for path in facts.file_reads:
            writers = self._files.get(path)
            if writers:
                direct[next(reversed(writers))] = None
        self._follow_calls(facts, called, writes)
        for name in facts.revises:
            writes[name] = _REVISED
        for name in facts.defines:
            writes[name] = _DEFINED
        for name in facts.deletes:
            writes[name] = _DELETED
        only_called = called.keys() - direct.keys()
        if only_called:
            found = self._ancestors_among({**direct, **called}, only_called)
            called = {cell: None for cell in called if cell not in found}
        parents = sorted({**direct, **called}, key=lambda cell: self._runs[cell].order)

        run = _Run(self._clock, facts, tuple(parents), tuple(writes.items()), facts.file_writes)
        self._clock += 1
        self._runs[cell_id] = run
        for name, how in run.writes:
            self._writes.setdefault(name, {})[cell_id] = how
        for path in run.paths:
            self._files.setdefault(path, {})[cell_id] = None
        if facts.star_imports or facts.file_reads:
            self._providers[cell_id] = None
        for body in facts.functions.values():
            for method in body.methods:
                self._methods.setdefault(method, {})[cell_id] = None
        return parents

    def forget(self, cell_id):
        """Drop the run of ``cell_id`` (a deleted cell); its names go back to earlier runs."""
        run = self._runs.pop(cell_id, None)
        if run is None:
            return
        for table, keys in (
            (self._writes, (name for name, _ in run.writes)),
            (self._files, run.paths),
            (self._methods, (m for body in run.facts.functions.values() for m in body.methods)),
        ):
            for key in keys:
                cells = table.get(key)
                if cells is not None:
                    cells.pop(cell_id, None)
                    if not cells:
                        del table[key]
        self._providers.pop(cell_id, None)

    # -- lookups

    def _add_writer(self, name, parents):
        """Add to ``parents`` the cells whose runs may have left ``name`` as it is now."""
        writers = self._writes.get(name)
        after = -1
        if writers:
            cell = next(reversed(writers))
            if writers[cell] != _DELETED:
                parents[cell] = None
            after = self._runs[cell].order
        for cell in self._providers:
            if self._runs[cell].order > after:
                parents[cell] = None

    def _body(self, name):
        """((cell id, name), Body) of the function ``name`` is bound to now, or None."""
        for cell, how in reversed(self._writes.get(name, {}).items()):
            body = self._runs[cell].facts.functions.get(name)
            if body is not None and how != _DELETED:
                return (cell, name), body
            if how != _REVISED:
                return None
        return None

    def _method_bodies(self, method):
        for cell in self._methods.get(method, ()):
            for name, body in self._runs[cell].facts.functions.items():
                current = self._body(name)
                if method in body.methods and current is not None and current[0][0] == cell:
                    yield (cell, name, method), body.methods[method]

    def _follow_calls(self, facts, parents, writes):
        """What the notebook's functions that the cell calls read (into ``parents``) and
        leave (into ``writes``), following their calls in turn."""
        pending = []
        seen = set()

        def enqueue(key, body, own=False):
            if key not in seen:
                seen.add(key)
                pending.append((body, own))

        for name in facts.reads:
            found = self._body(name)
            if found is not None:
                enqueue(*found)
        for method in facts.method_calls:
            for found in self._method_bodies(method):
                enqueue(*found)
        # The cell's own functions that it calls: their reads are the cell's already.
        for name in facts.calls:
            if name in facts.functions:
                enqueue((None, name), facts.functions[name], own=True)
        while pending:
            body, own = pending.pop(0)
            for name in body.reads:
                if own:
                    if name in facts.functions:
                        enqueue((None, name), facts.functions[name], own=True)
                    continue
                self._add_writer(name, parents)
                found = self._body(name)
                if found is not None:
                    enqueue(*found)
            for name in body.revises:
                if not own:
                    self._add_writer(name, parents)
                writes[name] = _REVISED
            for name in body.assigns:
                writes[name] = _DEFINED
            for method in body.method_calls:
                for found in self._method_bodies(method):
                    enqueue(*found)

    def _ancestors_among(self, cells, wanted):
        """Those of ``wanted`` that ``cells`` depend on through their recorded parents."""
        wanted = set(wanted)
        found = set()
        seen = set()
        # Breadth first: what a call reads is usually a parent of the function's cell.
        queue = collections.deque(parent for cell in cells for parent in self._runs[cell].parents)
        while queue and found != wanted and len(seen) < _SEARCHED:
            cell = queue.popleft()
            if cell in seen or cell not in self._runs:
                continue
            seen.add(cell)
            if cell in wanted:
                found.add(cell)
            queue.extend(self._runs[cell].parents)
        return found
