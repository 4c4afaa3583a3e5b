# Sphinx configuration of the lodestra documentation. `make docs` builds it into
# docs/_build/html with warnings as errors; the tutorials in docs/tutorials run during
# the build (sphinx-gallery) on small grids.
import os
import sys

import lodestra

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

project = "lodestra"
author = "the lodestra developers"
copyright = "the lodestra developers"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",  # MathJax served with the pages: they read offline too
    "sphinx.ext.viewcode",
    "sphinx_gallery.gen_gallery",
    "lodestra_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_templates", "tutorials/README.rst", "**/*.ipynb", "**/*.py.md5",
                    "**/*.zip", "**/*.codeobj.json"]
myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = "lodestra"
html_static_path = ["_static"]
html_css_files = ["lodestra.css"]
html_theme_options = {"navigation_with_keys": True}

templates_path = ["_templates"]
autosummary_generate = True
autodoc_member_order = "bysource"
autodoc_typehints = "none"
autodoc_default_options = {"members": True, "undoc-members": False}
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_ivar = True

sphinx_gallery_conf = {
    "examples_dirs": "tutorials",
    "gallery_dirs": "auto_tutorials",
    "filename_pattern": r"/tut_",
    "ignore_pattern": r"__init__\.py",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "min_reported_time": 1,
    "show_memory": False,
    "reset_modules": ("matplotlib",),
    "first_notebook_cell": None,
    "plot_gallery": "True",
}

suppress_warnings = ["config.cache"]
