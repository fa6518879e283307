"""The walk over one cell's tree that finds what it reads, binds, changes and calls."""

from __future__ import annotations

import ast
import collections

from . import channels
from .scopes import (
    BodyBuilder,
    Collector,
    Scope,
    evaluated_at_definition,
    parameters,
    root,
)


class CellAnalysis(ast.NodeVisitor):
    """Walks a cell's statements in the order they run, then the bodies of its functions."""

    def __init__(self, transient=frozenset()):
        self.reads, self.revises, self.calls, self.method_calls = {}, {}, {}, {}
        self.effects = {}  # name -> True when the cell leaves it defined, False when deleted
        self.functions = {}  # name -> BodyBuilder of what the cell leaves defined
        self.star_imports = []
        self.bound = set()  # top-level names bound so far in the cell
        self.scopes = []  # the nested scopes being visited, innermost last
        self.owner = None  # the BodyBuilder of the function body being visited
        # (scopes, statements, owner) of the function bodies still to visit
        self.deferred = collections.deque()
        # What passes to later cells other than by names (channels.py), from top-level code.
        self.imports = {}  # name -> the module it is bound to by import
        self.paths = {}  # ("a.b.c", "call" or "store"): chains of attributes of names used
        self.aliases = {}  # name -> the name whose object it may share
        self.stateful = {}  # names bound to objects that change as they are used
        self.objects_called = {}  # names of which the cell calls a method, or iterates
        self.loads, self.file_writes = {}, {}  # paths read, and written
        self.transient = transient  # lines of `%timeit` statements
        # The namespace of those statements: one for the cell, like `%%timeit`'s.
        self.transient_scope = Scope("function")

    def visit(self, node):
        if (
            self.transient
            and isinstance(node, ast.stmt)
            and node.lineno in self.transient
            and not self.scopes
        ):
            # Run by `%timeit` in a namespace of its own: reads count, assignments do not.
            collector = Collector()
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

    def _revise(self, name, seen=()):
        if name is None or not self._is_global(name):
            return
        if self.owner is not None:
            self.owner.revises[name] = None
            return
        if name not in self.bound:
            self.revises[name] = None
        # A view made in the cell (`b = a[:2]; b[0] = 1`): its object's name too.
        of = self.aliases.get(name)
        if of is not None and of not in seen:
            self._revise(of, (*seen, name))

    def _path(self, node, how):
        """Record the chain of attributes ``node`` is, if it starts from a global name."""
        path = channels.dotted(node)
        if path is not None and self._is_global(path.partition(".")[0]):
            (self.paths if self.owner is None else self.owner.paths)[path, how] = None

    def _called_on(self, node):
        name = node.id if isinstance(node, ast.Name) and self.owner is None else None
        if name is not None and name not in self.bound and self._is_global(name):
            self.objects_called[name] = None

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
            for table in (self.imports, self.aliases, self.stateful):
                table.pop(name, None)
        else:
            scope.bound.add(name)

    def _binding_scope(self):
        for scope in reversed(self.scopes):
            if scope.kind != "comprehension":
                return scope
        return None

    def _body_for(self, name):
        """The BodyBuilder a def or lambda bound to ``name`` here records into."""
        scope = self._binding_scope()
        if scope is None and self.owner is None:
            return BodyBuilder()
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
            self._revise(root(node))
            self._path(node.value if isinstance(node, ast.Subscript) else node, "store")
        self.generic_visit(node)

    visit_Attribute = visit_Subscript = _visit_part

    def visit_Call(self, node):
        function = node.func
        if isinstance(function, ast.Name):
            self._call(function.id)
            name = function.id
        elif isinstance(function, ast.Attribute):
            self._call(function.attr, method=True)
            if channels.changes_in_place(node):
                self._revise(root(function.value))
            name = function.attr
        else:
            name = None
        if name in channels.MUTATING_FUNCTIONS and node.args:
            self._revise(root(node.args[0]))
        for keyword in node.keywords:
            if keyword.arg == "out":  # NumPy's functions write into `out=`
                self._revise(root(keyword.value))
        self._path(function, "call")
        if self.owner is None:
            if isinstance(function, ast.Attribute):
                self._called_on(function.value)
            reads, writes = channels.files(node)
            self.loads.update(dict.fromkeys(reads))
            self.file_writes.update(dict.fromkeys(writes))
        self.generic_visit(node)

    def visit_alias(self, node):
        if node.name != "*":
            self._bind((node.asname or node.name).split(".")[0])

    def _imported(self, module, bound=None, name=None):
        """Record an import of ``module`` that binds ``bound`` to ``name`` at top level."""
        if self.owner is None and self._binding_scope() is None:
            if bound is not None:
                self.imports[bound] = name
            for loaded in (module.partition(".")[0], module):
                self.loads.update(dict.fromkeys(channels.module_files(loaded)))

    def visit_Import(self, node):
        for alias in node.names:
            self.visit(alias)
            # `import a.b` binds a; `import a.b as c` binds c to a.b.
            top = alias.name.partition(".")[0]
            self._imported(alias.name, alias.asname or top, alias.name if alias.asname else top)

    def visit_ImportFrom(self, node):
        if any(alias.name == "*" for alias in node.names):
            self.star_imports.append("." * (node.level or 0) + (node.module or ""))
        for alias in node.names:
            self.visit(alias)
        if not node.level and node.module:
            self._imported(node.module)
            for alias in node.names:
                if alias.name != "*":
                    name = f"{node.module}.{alias.name}"
                    self._imported(node.module, alias.asname or alias.name, name)

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
        for each in node.targets:
            self.visit(each)
        if isinstance(target, ast.Name) and self._binding_scope() is None and self.owner is None:
            of = channels.viewed(node.value)
            if of is not None and of != target.id:
                self.aliases[target.id] = of
            if channels.is_stateful(node.value):
                self.stateful[target.id] = None

    def visit_AugAssign(self, node):
        if isinstance(node.target, ast.Name):
            self._read(node.target.id)
            # A list's or an array's `+=` changes the object in place, seen by its views.
            self._revise(node.target.id)
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
        self._called_on(node.iter)  # iterating an iterator or a file advances it
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
        self._nested(Scope("function"), [node.value])
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
        collector = Collector()
        for statement in body:
            collector.visit(statement)
        local = (set(parameters(node.args)) | collector.bound) - collector.declared_global
        # A nonlocal name belongs to an enclosing function, never to the cell.
        return Scope("function", local | collector.declared_nonlocal, collector.declared_global)

    def _visit_function(self, node):
        for expression in evaluated_at_definition(node):
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
        for expression in evaluated_at_definition(node):
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
            self.scopes, statements, self.owner = self.deferred.popleft()
            for statement in statements:
                self.visit(statement)
        self.scopes, self.owner = [], None

    def visit_ClassDef(self, node):
        for expression in evaluated_at_definition(node):
            self.visit(expression)
        collector = Collector()
        for statement in node.body:
            collector.visit(statement)
        top = self._binding_scope() is None and self.owner is None
        body = BodyBuilder() if top else None
        self._nested(Scope("class", (), collector.declared_global, body), node.body)
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
        scope = Scope("comprehension", targets)
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
