"""Names a cell reads from and defines in the notebook's namespace, found from its code with ast."""

from __future__ import annotations

import ast

import msgspec

from orvane_core.common import format_code

# Names through which code reaches the namespace without naming what it uses. IPython magics and
# shell lines become calls of get_ipython() once transformed, so they land here too.
REFLECTIVE_NAMES = frozenset({"eval", "exec", "globals", "locals", "vars", "get_ipython"})

_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)
_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)


class CellNames(msgspec.Struct, frozen=True):
    """What a cell takes from the namespace (`reads`) and leaves in it (`defines`).

    `reads_all` marks a cell that can reach any name (eval, exec, globals(), magics...): callers
    must treat it as reading every name, whatever `reads` lists.
    """

    reads: frozenset[str] = frozenset()
    defines: frozenset[str] = frozenset()
    reads_all: bool = False
    # The defined names bound only by `import` statements: modules, which a component hands on
    # to its children's children too, unlike other values.
    imports: frozenset[str] = frozenset()


def cell_names(code: str) -> CellNames:
    """Names read and defined at run time by the cell `code` (IPython syntax allowed).

    Module-level statements are followed in order, so a name the cell binds before using it is not
    a read. Bodies of functions run later and see the whole cell, so a global they use is a read
    unless the cell binds it anywhere. Code that does not parse reads everything.
    """
    source = _python_source(format_code(code))
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return CellNames(reads_all=True)
    analysis = _Analysis(tree)
    return CellNames(
        reads=frozenset(analysis.reads),
        defines=frozenset(analysis.defines),
        reads_all=analysis.reads_all,
        imports=frozenset(analysis.imports & analysis.defines),
    )


def _python_source(code: str) -> str:
    """The cell as plain Python, with magics and shell lines turned into get_ipython() calls."""
    try:
        from IPython.core.inputtransformer2 import TransformerManager
    except ImportError:  # pragma: no cover - IPython is a dependency
        return code
    try:
        return TransformerManager().transform_cell(code)
    except Exception:  # noqa: BLE001 - a transformer failing on odd input leaves the text as is
        return code


class _Scope(msgspec.Struct):
    kind: str  # "module", "class", "function" or "comprehension"
    bound: set[str] = msgspec.field(default_factory=set)
    declared_global: set[str] = msgspec.field(default_factory=set)


class _Analysis(ast.NodeVisitor):
    def __init__(self, tree: ast.Module) -> None:
        self.reads: set[str] = set()
        self.defines: set[str] = set()
        self.reads_all = False
        self.imports: set[str] = set()
        self.module = _Scope("module")
        # Every name the module level binds anywhere: what deferred bodies can rely on.
        self.module_all = _module_bindings(tree)
        self.scopes: list[_Scope] = [self.module]
        self.deferred: list[tuple[list[_Scope], ast.AST]] = []
        for stmt in tree.body:
            self.visit(stmt)
        while self.deferred:
            chain, node = self.deferred.pop(0)
            self.scopes = chain
            self._run_function_body(node)

    # --- resolution ---------------------------------------------------------------------------

    def _load(self, name: str) -> None:
        deferred = False
        for depth, scope in enumerate(reversed(self.scopes)):
            if scope.kind == "module":
                break
            if scope.kind == "class":
                # A class body is visible only to code directly in it, not to nested scopes.
                if depth == 0 and name in scope.bound:
                    return
                continue
            if scope.kind == "function":
                deferred = True
            if name in scope.declared_global:
                break
            if name in scope.bound:
                return
        if name in (self.module_all if deferred else self.module.bound):
            return
        self.reads.add(name)
        if name in REFLECTIVE_NAMES:
            self.reads_all = True

    def _store(self, name: str) -> None:
        scope = self._binding_scope()
        if scope.kind == "module" or name in scope.declared_global:
            self.module.bound.add(name)
            self.defines.add(name)
            self.imports.discard(name)
        elif scope.kind == "class":
            scope.bound.add(name)

    def _delete(self, name: str) -> None:
        self._load(name)
        scope = self._binding_scope()
        if scope.kind == "module" or name in scope.declared_global:
            self.module.bound.discard(name)
            self.defines.discard(name)
        elif scope.kind == "class":
            scope.bound.discard(name)

    def _binding_scope(self) -> _Scope:
        return self.scopes[-1]

    # --- names and bindings -------------------------------------------------------------------

    def visit_Name(self, node: ast.Name) -> None:
        if isinstance(node.ctx, ast.Load):
            self._load(node.id)
        elif isinstance(node.ctx, ast.Store):
            self._store(node.id)
        else:
            self._delete(node.id)

    def visit_Assign(self, node: ast.Assign) -> None:
        self.visit(node.value)
        for target in node.targets:
            self.visit(target)

    def visit_AugAssign(self, node: ast.AugAssign) -> None:
        if isinstance(node.target, ast.Name):
            self._load(node.target.id)
        self.visit(node.value)
        self.visit(node.target)

    def visit_AnnAssign(self, node: ast.AnnAssign) -> None:
        if node.value is not None:
            self.visit(node.value)
        if self._binding_scope().kind != "function":
            self.visit(node.annotation)
        if node.value is not None or not isinstance(node.target, ast.Name):
            self.visit(node.target)

    def visit_NamedExpr(self, node: ast.NamedExpr) -> None:
        self.visit(node.value)
        # The target binds in the nearest scope that is not a comprehension.
        inner = self.scopes
        self.scopes = [s for s in inner if s.kind != "comprehension"] or inner
        try:
            self._store(node.target.id)
        finally:
            self.scopes = inner

    def visit_For(self, node: ast.For | ast.AsyncFor) -> None:
        self.visit(node.iter)
        self.visit(node.target)
        for stmt in node.body + node.orelse:
            self.visit(stmt)

    visit_AsyncFor = visit_For

    def visit_Import(self, node: ast.Import | ast.ImportFrom) -> None:
        for alias in node.names:
            if alias.name != "*":
                name = alias.asname or alias.name.split(".")[0]
                self._store(name)
                # `from m import x` may bind any value; only `import m` surely binds a module.
                if isinstance(node, ast.Import) and self._binding_scope().kind == "module":
                    self.imports.add(name)

    visit_ImportFrom = visit_Import

    def visit_ExceptHandler(self, node: ast.ExceptHandler) -> None:
        if node.type is not None:
            self.visit(node.type)
        if node.name:
            self._store(node.name)
        for stmt in node.body:
            self.visit(stmt)
        if node.name:  # Python unbinds the name when the handler ends
            scope = self._binding_scope()
            if scope.kind == "module":
                self.module.bound.discard(node.name)
                self.defines.discard(node.name)

    def visit_MatchAs(self, node: ast.MatchAs) -> None:
        if node.pattern is not None:
            self.visit(node.pattern)
        if node.name:
            self._store(node.name)

    def visit_MatchStar(self, node: ast.MatchStar) -> None:
        if node.name:
            self._store(node.name)

    def visit_MatchMapping(self, node: ast.MatchMapping) -> None:
        for key in node.keys:
            self.visit(key)
        for pattern in node.patterns:
            self.visit(pattern)
        if node.rest:
            self._store(node.rest)

    def visit_Global(self, node: ast.Global) -> None:
        pass

    visit_Nonlocal = visit_Global

    # --- scopes -------------------------------------------------------------------------------

    def visit_FunctionDef(self, node: ast.FunctionDef | ast.AsyncFunctionDef) -> None:
        for decorator in node.decorator_list:
            self.visit(decorator)
        self._visit_signature(node.args)
        if node.returns is not None:
            self.visit(node.returns)
        self._store(node.name)
        self.deferred.append((list(self.scopes), node))

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_Lambda(self, node: ast.Lambda) -> None:
        self._visit_signature(node.args, annotations=False)
        self.deferred.append((list(self.scopes), node))

    def _visit_signature(self, args: ast.arguments, annotations: bool = True) -> None:
        for default in args.defaults + [d for d in args.kw_defaults if d is not None]:
            self.visit(default)
        if annotations:
            for arg in _all_args(args):
                if arg.annotation is not None:
                    self.visit(arg.annotation)

    def _run_function_body(self, node: ast.AST) -> None:
        body = [node.body] if isinstance(node, ast.Lambda) else node.body
        bound, declared_global = _function_bindings(body)
        bound |= {arg.arg for arg in _all_args(node.args)}
        self.scopes = self.scopes + [_Scope("function", bound - declared_global, declared_global)]
        self.module_all |= declared_global & bound
        for stmt in body:
            self.visit(stmt)

    def visit_ClassDef(self, node: ast.ClassDef) -> None:
        for expr in node.decorator_list + node.bases + [k.value for k in node.keywords]:
            self.visit(expr)
        self.scopes = self.scopes + [_Scope("class")]
        try:
            for stmt in node.body:
                self.visit(stmt)
        finally:
            self.scopes = self.scopes[:-1]
        self._store(node.name)

    def _visit_comprehension(self, node: ast.expr) -> None:
        generators = node.generators
        # The first iterable is evaluated where the comprehension stands.
        self.visit(generators[0].iter)
        targets: set[str] = set()
        for gen in generators:
            targets |= {n.id for n in ast.walk(gen.target) if isinstance(n, ast.Name)}
        self.scopes = self.scopes + [_Scope("comprehension", targets)]
        try:
            for index, gen in enumerate(generators):
                if index:
                    self.visit(gen.iter)
                for cond in gen.ifs:
                    self.visit(cond)
            if isinstance(node, ast.DictComp):
                self.visit(node.key)
                self.visit(node.value)
            else:
                self.visit(node.elt)
        finally:
            self.scopes = self.scopes[:-1]

    visit_ListComp = visit_SetComp = visit_DictComp = visit_GeneratorExp = _visit_comprehension


def _all_args(args: ast.arguments) -> list[ast.arg]:
    extra = [a for a in (args.vararg, args.kwarg) if a is not None]
    return args.posonlyargs + args.args + args.kwonlyargs + extra


class _Bindings(ast.NodeVisitor):
    """Names bound directly in one scope's statements, without entering nested scopes."""

    def __init__(self) -> None:
        self.bound: set[str] = set()
        self.declared_global: set[str] = set()

    def visit_Name(self, node: ast.Name) -> None:
        if not isinstance(node.ctx, ast.Load):
            self.bound.add(node.id)

    def visit_Import(self, node: ast.Import | ast.ImportFrom) -> None:
        for alias in node.names:
            if alias.name != "*":
                self.bound.add(alias.asname or alias.name.split(".")[0])

    visit_ImportFrom = visit_Import

    def visit_ExceptHandler(self, node: ast.ExceptHandler) -> None:
        if node.name:
            self.bound.add(node.name)
        self.generic_visit(node)

    def visit_MatchAs(self, node: ast.MatchAs | ast.MatchStar) -> None:
        if node.name:
            self.bound.add(node.name)
        self.generic_visit(node)

    visit_MatchStar = visit_MatchAs

    def visit_MatchMapping(self, node: ast.MatchMapping) -> None:
        if node.rest:
            self.bound.add(node.rest)
        self.generic_visit(node)

    def visit_Global(self, node: ast.Global) -> None:
        self.declared_global.update(node.names)

    def visit_FunctionDef(
        self, node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef
    ) -> None:
        self.bound.add(node.name)

    visit_AsyncFunctionDef = visit_ClassDef = visit_FunctionDef

    def visit_Lambda(self, node: ast.Lambda) -> None:
        pass

    def _comprehension(self, node: ast.expr) -> None:
        # Only an assignment expression inside leaks a binding into this scope.
        for inner in ast.walk(node):
            if isinstance(inner, ast.NamedExpr):
                self.bound.add(inner.target.id)

    visit_ListComp = visit_SetComp = visit_DictComp = visit_GeneratorExp = _comprehension


def _function_bindings(body: list[ast.AST]) -> tuple[set[str], set[str]]:
    collector = _Bindings()
    for stmt in body:
        collector.visit(stmt)
    return collector.bound, collector.declared_global


def _module_bindings(tree: ast.Module) -> set[str]:
    bound, _ = _function_bindings(tree.body)
    # Functions that declare a name global and assign it bind it in the module too.
    for node in ast.walk(tree):
        if isinstance(node, _FUNCTIONS[:2]):
            inner, declared = _function_bindings(node.body)
            bound |= inner & declared
    return bound


__all__ = ["REFLECTIVE_NAMES", "CellNames", "cell_names"]
