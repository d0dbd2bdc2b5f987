"""Component headers of notebook cells and the set of declared components they build up.

A component cell starts with one readable line that stays in the saved notebook::

    %%component train after features, labels --no-cache --remote redis://host:6379/0

This module parses and writes that line and keeps the declared components in notebook order. It
needs no kernel, so the command-line runner checks a notebook with it before starting one.

A header without ``after`` gets its parents from the code: the components that define the names
the cell reads (the one furthest downstream when several do). ``after`` pins them instead.
"""

from __future__ import annotations

import hashlib
import re
import shlex

import msgspec

from orvane_core._native import Graph
from orvane_core.common.names import CellNames, cell_names
from orvane_core.misc.models import (
    OrvaneComponentMetadataModel,
    OrvaneComponentModel,
    OrvaneComponentRemoteConfigModel,
    OrvaneDagModel,
    OrvaneEdgeModel,
)

MAGIC = "%%component"
USAGE = f"{MAGIC} NAME [after PARENT, ...] [--no-cache] [--remote BROKER_URL [--backend URL]]"
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_\-]*\Z")


class OrvaneUsageError(ValueError):
    """A mistake in a header, a magic or a command line, with a hint on how to fix it.

    IPython shows it as one short line instead of a traceback through the extension's code.
    """

    def _render_traceback_(self) -> list[str]:
        return [f"\x1b[31m{type(self).__name__}\x1b[0m: {self}"]


class ComponentHeader(msgspec.Struct, frozen=True):
    """What a component header declares."""

    name: str
    parents: tuple[str, ...] = ()
    diskcache: bool = True
    remote: str | None = None
    backend: str | None = None

    def format(self) -> str:
        """The header line in its canonical form; parsing it gives this header back."""
        parts = [MAGIC, self.name]
        if self.parents:
            parts.append("after " + ", ".join(self.parents))
        if not self.diskcache:
            parts.append("--no-cache")
        if self.remote:
            parts.append(f"--remote {self.remote}")
            if self.backend and self.backend != self.remote:
                parts.append(f"--backend {self.backend}")
        return " ".join(parts)


def _check_name(name: str, what: str) -> str:
    if not _NAME.match(name):
        raise OrvaneUsageError(
            f"{name!r} is not a valid {what} name: use letters, digits, '_' or '-', starting "
            "with a letter or '_'."
        )
    return name


def parse_header(text: str) -> ComponentHeader:
    """Parses what follows ``%%component`` on the header line."""
    try:
        tokens = shlex.split(text.replace(",", " , "))
    except ValueError as exc:
        raise OrvaneUsageError(f"Cannot read the header ({exc}). Usage: {USAGE}") from None
    if not tokens or tokens[0].startswith("-"):
        raise OrvaneUsageError(f"A component needs a name. Usage: {USAGE}")
    name = _check_name(tokens[0], "component")
    parents: list[str] = []
    diskcache, remote, backend = True, None, None
    i = 1
    while i < len(tokens):
        token = tokens[i]
        if token == "after":
            i += 1
            while i < len(tokens) and not tokens[i].startswith("-"):
                if tokens[i] != ",":
                    parent = _check_name(tokens[i], "parent")
                    if parent == name:
                        raise OrvaneUsageError(f"Component {name!r} cannot be its own parent.")
                    if parent not in parents:
                        parents.append(parent)
                i += 1
            if not parents:
                raise OrvaneUsageError(f"'after' needs at least one parent name. Usage: {USAGE}")
            continue
        if token in ("--no-cache", "--cache"):
            diskcache = token == "--cache"
        elif token in ("--remote", "--backend"):
            if i + 1 >= len(tokens) or tokens[i + 1].startswith("-"):
                raise OrvaneUsageError(
                    f"{token} needs a URL, e.g. {token} redis://127.0.0.1:6379/0"
                )
            i += 1
            if token == "--remote":
                remote = tokens[i]
            else:
                backend = tokens[i]
        elif token == ",":
            raise OrvaneUsageError(f"Unexpected ','; parents follow 'after'. Usage: {USAGE}")
        else:
            raise OrvaneUsageError(f"Unknown option {token!r}. Usage: {USAGE}")
        i += 1
    if backend and not remote:
        raise OrvaneUsageError("--backend only applies with --remote BROKER_URL.")
    return ComponentHeader(name, tuple(parents), diskcache, remote, backend or remote)


def split_cell(source: str) -> tuple[ComponentHeader, str] | None:
    """(header, code) of a component cell, or none for any other cell."""
    first, _, body = source.lstrip("\n").partition("\n")
    stripped = first.strip()
    if stripped != MAGIC and not stripped.startswith(MAGIC + " "):
        return None
    return parse_header(stripped[len(MAGIC) :]), body


class Declaration(msgspec.Struct):
    header: ComponentHeader
    code: str
    names: CellNames = msgspec.field(default_factory=CellNames)
    # The parents the component runs after: the header's, or those inferred from its code.
    parents: tuple[str, ...] = ()

    @property
    def inferred(self) -> bool:
        return not self.header.parents


class ComponentRegistry:
    """The declared components in declaration order, always forming an acyclic graph.

    The graph is the engine's own graph type, built over component names with the nodes and
    edges in the order the engine's model lists them, so that cycles, ancestors and run plans
    are found by the same code and in the same order as the pipeline finds them.

    Each component's engine id is its name plus a digest of its code and of its parents' ids, so
    a changed cell gets a new id and so does everything downstream of it: a disk cache left by an
    earlier kernel is adopted only by a component whose code and inputs are the same.
    """

    def __init__(self, declarations: dict[str, Declaration] | None = None) -> None:
        self.declarations: dict[str, Declaration] = {} if declarations is None else declarations
        # Derived from the declarations on first use after a change; dropped by every change.
        self._graph: Graph | None = None
        self._ids: dict[str, str] | None = None

    def __repr__(self) -> str:
        return f"ComponentRegistry({list(self.declarations)})"

    def declare(
        self, header: ComponentHeader, code: str, provided: frozenset[str] = frozenset()
    ) -> list[str]:
        """Adds or replaces a component; returns warnings about names it reads that no ancestor
        defines while another component does. Names in ``provided`` (parameters) are given."""
        unknown = [p for p in header.parents if p not in self.declarations]
        if unknown:
            known = ", ".join(self.declarations) or "none yet"
            which = "parents' cells" if len(unknown) > 1 else "parent's cell"
            raise OrvaneUsageError(
                f"Unknown parent{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
                f"of {header.name!r}: declare (run) the {which} first. Declared components: "
                f"{known}."
            )
        # IPython hands a cell magic its body with a final newline, a saved notebook without.
        code = code.rstrip()
        names = cell_names(code)
        name = header.name
        order = [*self.declarations, *(() if name in self.declarations else (name,))]
        others = [(p, n) for n, d in self.declarations.items() if n != name for p in d.parents]
        # The graph without the component's own parents, where they are looked for.
        parents = header.parents or self._infer_parents(name, names, Graph(order, others))
        graph = Graph(order, self._edges(order, name, parents))
        cycle = graph.find_cycle()
        if cycle:
            # Only the component's parents changed, so the cycle passes through it.
            at = cycle.index(name)
            walk = " -> ".join([*cycle[at:-1], *cycle[:at], name])
            raise OrvaneUsageError(
                f"Declaring {name!r} after {', '.join(header.parents)} makes a cycle "
                f"({walk}); a component cannot depend on its own descendants."
            )
        self.declarations[name] = Declaration(header, code, names, tuple(parents))
        self._graph, self._ids = graph, None
        return self._unreached_names(name, graph, provided)

    def _edges(
        self, order: list[str], name: str | None = None, parents: tuple[str, ...] = ()
    ) -> list[tuple[str, str]]:
        """The edges in the engine model's order, with ``name``'s parents replaced."""
        edges = []
        for node in order:
            edges += [
                (p, node) for p in (parents if node == name else self.declarations[node].parents)
            ]
        return edges

    def _infer_parents(self, name: str, names: CellNames, graph: Graph) -> tuple[str, ...]:
        """The components that define what the code reads, excluding its own descendants.

        Values come only from direct parents, and two parents handing on different values
        under one name is an error; modules pass down the whole chain. So a name that every
        definer imports needs no edge of its own when a parent chosen for other names runs
        after its definer.
        """
        below = graph.descendants(name) | {name}
        definers: dict[str, list[str]] = {}
        for other, decl in self.declarations.items():
            if other not in below:
                for defined in decl.names.defines:
                    definers.setdefault(defined, []).append(other)
        wanted = set(definers) if names.reads_all else names.reads & set(definers)
        ancestors: dict[str, set[str]] = {}

        def above(node: str) -> set[str]:
            found = ancestors.get(node)
            if found is None:
                found = ancestors[node] = graph.ancestors(node)
            return found

        def downstream_of_all(candidates: list[str]) -> str | None:
            """The candidate that runs after all the others, if there is one."""
            last = [d for d in candidates if all(o == d or o in above(d) for o in candidates)]
            return last[0] if len(last) == 1 else None

        parents: list[str] = []
        ambiguous: list[str] = []
        modules: list[list[str]] = []
        for read in sorted(wanted):
            found = definers[read]
            if all(read in self.declarations[d].names.imports for d in found):
                modules.append(found)
                continue
            last = downstream_of_all(found)
            if last is not None:
                if last not in parents:
                    parents.append(last)
            elif read in names.reads:
                ambiguous.append(f"{read!r} (defined by {', '.join(found)})")
        if ambiguous:
            raise OrvaneUsageError(
                f"{name!r} reads {'; '.join(ambiguous)}: none of them runs after the others, so "
                f"say which with '{MAGIC} {name} after PARENT, ...'."
            )
        for found in modules:
            if any(d == p or d in above(p) for d in found for p in parents):
                continue  # handed on by a parent
            parents.append(downstream_of_all(found) or found[-1])
        order = list(self.declarations)
        return tuple(sorted(set(parents), key=order.index))

    def _unreached_names(self, name: str, graph: Graph, provided: frozenset[str]) -> list[str]:
        decl = self.declarations[name]
        above = graph.ancestors(name)
        warnings = []
        for read in sorted(decl.names.reads - provided):
            found = self.definers(read, exclude=name)
            given = [
                d
                for d in found
                if d in decl.parents or (d in above and read in self.declarations[d].names.imports)
            ]
            if found and not given:
                who = " or ".join(map(repr, found))
                warnings.append(
                    f"{name!r} reads {read!r}, which only {who} defines, and that is not among "
                    f"its parents: add it with '{MAGIC} {name} after ...' or the cell will not "
                    "see it."
                )
        return warnings

    def definers(self, symbol: str, exclude: str | None = None) -> list[str]:
        """Components whose code defines ``symbol``, in declaration order."""
        return [
            n for n, d in self.declarations.items() if n != exclude and symbol in d.names.defines
        ]

    def inferred_edges(self) -> set[tuple[str, str]]:
        """(parent, child) name pairs that come from the code rather than from an ``after``."""
        return {(p, n) for n, d in self.declarations.items() if d.inferred for p in d.parents}

    def remove(self, name: str) -> None:
        """Forgets a declared component; one that others name as their parent stays."""
        self.resolve([name])
        children = [n for n, d in self.declarations.items() if name in d.parents]
        if children:
            them, cells, verb = (
                ("it", "its cell", "runs") if len(children) == 1 else ("them", "their cells", "run")
            )
            # A child's parents may be inferred from the names it reads, with no 'after' to edit.
            raise OrvaneUsageError(
                f"Cannot remove {name!r}: {', '.join(children)} {verb} after it. Remove {them} "
                f"first, or edit {cells} to no longer use {name!r} (its 'after' list or the names "
                f"it reads) and run {them}."
            )
        del self.declarations[name]
        self._graph, self._ids = None, None

    def graph(self) -> Graph:
        """The declared graph over component names (the engine's graph type)."""
        if self._graph is None:
            order = list(self.declarations)
            self._graph = Graph(order, self._edges(order))
        return self._graph

    def ids(self) -> dict[str, str]:
        """Engine id of every declared component, by name."""
        if self._ids is None:
            ids: dict[str, str] = {}
            graph = self.graph()
            for name in graph.execution_plan(graph.nodes):
                decl = self.declarations[name]
                digest = hashlib.sha256(name.encode())
                digest.update(b"\0" + decl.code.encode())
                for parent in decl.parents:
                    digest.update(b"\0" + ids[parent].encode())
                ids[name] = f"{name}-{digest.hexdigest()[:10]}"
            self._ids = {name: ids[name] for name in self.declarations}
        return dict(self._ids)

    def model(self) -> OrvaneDagModel:
        """The graph model the engine builds its components from."""
        ids = self.ids()
        components, edges = [], []
        for name, decl in self.declarations.items():
            h = decl.header
            remote = (
                OrvaneComponentRemoteConfigModel(backend=h.backend or h.remote, broker=h.remote)
                if h.remote
                else None
            )
            metadata = OrvaneComponentMetadataModel(diskcache=h.diskcache, remoteExecution=remote)
            # The header line stays as an empty comment (a blank line would be dropped when the
            # cell is read): error lines then count as the editor does.
            code = "#\n" + decl.code
            components.append(
                OrvaneComponentModel(id=ids[name], name=name, code=code, metadata=metadata)
            )
            edges.extend(OrvaneEdgeModel(source=ids[p], target=ids[name]) for p in decl.parents)
        return OrvaneDagModel(components=components, edges=edges)

    def resolve(self, names: list[str]) -> list[str]:
        """Checks component names given by the user; returns them unchanged."""
        for name in names:
            if name not in self.declarations:
                known = ", ".join(self.declarations) or "none declared yet"
                raise OrvaneUsageError(f"Unknown component {name!r}. Components: {known}.")
        return names
