"""Sphinx configuration of the cadentia documentation."""

import cadentia
from sphinx.util import logging

logger = logging.getLogger(__name__)

project = "cadentia"
author = "the cadentia developers"
copyright = "2026, the cadentia developers"
release = cadentia.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
]

# The API is documented as it is imported, from `cadentia` itself
# (`cadentia.track_beats`), wherever its modules keep each name.
autodoc_default_options = {"member-order": "bysource"}
autodoc_typehints = "none"
autosummary_generate = False
numpydoc_show_class_members = False
numpydoc_validation_checks = set()

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {"description": "Hidden-Markov-model beat and tempo tracking"}


def _resolve_public_name(app, env, node, contnode):
    """Resolve ``cadentia.module.name`` to ``cadentia.name`` for exported names.

    Docstrings may name an object by the module that defines it; the
    reference documents it where users import it from.
    """
    if node.get("refdomain") != "py":
        return None
    name = node["reftarget"].rpartition(".")[2]
    if name not in cadentia.__all__ or node["reftarget"] == f"cadentia.{name}":
        return None
    domain = env.get_domain("py")
    return domain.resolve_xref(
        env, node["refdoc"], app.builder, node["reftype"], f"cadentia.{name}", node, contnode
    )


def _check_exports_documented(app, env):
    """Warn about every name in ``cadentia.__all__`` the reference leaves out."""
    documented = env.get_domain("py").objects
    for name in cadentia.__all__:
        if f"cadentia.{name}" not in documented:
            logger.warning("cadentia.%s is exported but not in the API reference (docs/api)", name)


def setup(app):
    app.connect("missing-reference", _resolve_public_name)
    app.connect("env-check-consistency", _check_exports_documented)
