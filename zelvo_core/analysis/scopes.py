"""The scopes of a cell's code, the names each binds, and the Bodies of its functions."""

from __future__ import annotations

import ast
import types

from .records import Body


class Scope:
    """A scope nested in the cell: a function, a lambda, a class body or a comprehension."""

    __slots__ = ("body", "bound", "declared_global", "kind")

    def __init__(self, kind, bound=(), declared_global=(), body=None):
        self.kind = kind
        self.bound = set(bound)  # names local to it (a class body's grow as it runs)
        self.declared_global = set(declared_global)
        self.body = body  # a class's BodyBuilder, for its methods


class BodyBuilder:
    """The parts of a Body as the walk finds them (dicts keep the order first seen)."""

    __slots__ = ("assigns", "calls", "method_calls", "methods", "paths", "reads", "revises")

    def __init__(self):
        self.reads, self.assigns, self.revises = {}, {}, {}
        self.calls, self.method_calls, self.methods, self.paths = {}, {}, {}, {}

    def method(self, name):
        # A property's getter and setter share a name: both are the method's code.
        return self.methods.setdefault(name, BodyBuilder())

    def freeze(self):
        methods = {name: method.freeze() for name, method in self.methods.items()}
        parts = [self.reads, self.assigns, self.revises, self.calls, self.method_calls]
        for method in methods.values():
            for part, more in zip(parts, method):
                part.update(dict.fromkeys(more))
            self.paths.update(dict.fromkeys(method.paths))
        return Body(
            *(tuple(part) for part in parts), types.MappingProxyType(methods), tuple(self.paths)
        )


class Collector(ast.NodeVisitor):
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
        for expression in evaluated_at_definition(node):
            self.visit(expression)

    visit_FunctionDef = visit_AsyncFunctionDef = visit_ClassDef = _bind_definition

    def visit_Lambda(self, node):
        for expression in evaluated_at_definition(node):
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


def evaluated_at_definition(node):
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


def parameters(arguments):
    every = [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]
    every += [a for a in (arguments.vararg, arguments.kwarg) if a is not None]
    return [a.arg for a in every]


def root(node):
    """The name at the root of `a.b[c].d`, or None (e.g. for a call's result)."""
    while isinstance(node, (ast.Attribute, ast.Subscript)):
        node = node.value
    return node.id if isinstance(node, ast.Name) else None
