"""The package's shape: layers without an import circle, short modules, and
a public API that type checkers see (mypy with the project's config)."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "cadentia"


def _modules():
    """{module name: source path} of every Python module of the package."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found[name] = path
    return found


def _imports(name, path):
    """(imported cadentia module, at module level?) for every import in a module."""
    tree = ast.parse(path.read_text())
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    top = {id(node) for node in tree.body}
    for block in tree.body:  # imports in `if TYPE_CHECKING:` are for type checkers only
        if isinstance(block, ast.If) and getattr(block.test, "id", "") == "TYPE_CHECKING":
            top |= {id(node) for node in ast.walk(block)}
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{anchor}.{base}" if base else anchor
            targets = [base] + [f"{base}.{alias.name}" for alias in node.names]
        elif isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        else:
            continue
        for target in targets:
            if target.split(".")[0] == "cadentia":
                yield target, id(node) in top


def test_layers_have_no_circle_and_the_library_never_imports_the_command_line():
    modules = _modules()
    graph = {}
    for name, path in modules.items():
        found = list(_imports(name, path))
        local = [target for target, at_top in found if not at_top]
        assert not local, f"{name} imports {local} inside a function"
        graph[name] = {t for t, _ in found if t in modules and t != name and t != "cadentia"}
        if not name.startswith(("cadentia.cli", "cadentia.demo", "cadentia.__main__")):
            assert not any(t.startswith("cadentia.cli") for t in graph[name]), name
        assert len(path.read_text().splitlines()) <= 500, f"{name} is over 500 lines"
    # A package's __init__ only names what its modules define, so it is left
    # out of its own modules' dependencies; every other edge must form no circle.
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in graph[node]:
            if node.startswith(nxt + "."):
                continue
            assert state.get(nxt) != "open", " -> ".join(trail + [nxt])
            if nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for name in graph:
        if name not in state:
            visit(name, [name])


USER_SCRIPT = '''
import numpy as np
from cadentia import BeatStream, TempoModel, track_beats, track_downbeats, track_files

track = track_beats(np.zeros(500), 100.0, model=TempoModel(max_bpm=180.0))
beats: np.ndarray = track.beats
times, bpm = BeatStream(100.0).process(np.zeros(10), with_tempo=True)
bars = track_downbeats(np.zeros((500, 2)), beats_per_bar=(3, 4))
meter: int = bars.beats_per_bar
results = track_files(["a.wav"], max_bpm=180.0)
first: str | None = results[0].error
'''


def test_mypy_is_clean_on_the_package_and_on_a_user_script(tmp_path):
    pytest.importorskip("mypy", reason="mypy is among the test extra's dependencies")
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    # The sources with their stub of the compiled module, as the project's config names them.
    command = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml")]
    # mypy is a tool here, not the code under test: not under the sanitizers' preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    for extra in ([], [str(script)]):
        done = subprocess.run(command + extra, capture_output=True, text=True, cwd=ROOT, env=env)
        assert done.returncode == 0, done.stdout + done.stderr


def test_make_test_installs_from_pypi_only_and_ci_installs_what_it_needs():
    makefile = (ROOT / "Makefile").read_text()
    rule = makefile[makefile.index("\ntest:"):]
    rule = rule[: rule.index("\n\n")]
    assert "apt-get" not in rule and "eval-deps" not in rule, rule
    ci = (ROOT / ".ci" / "run").read_text()
    assert ci.index("apt-get install -y fluidsynth fluid-soundfont-gm") < ci.index("\nmake test\n")
