"""The package's own version, for installers (read without importing the package).

The project's version is set once, in the top-level CMakeLists.txt; configuring
the build stops when this copy differs from it. At run time ``vek.__version__``
is this version, and ``vek.library_version`` the loaded library's (``VekVersion()``).
"""

VERSION = "1.0.0"
