# The package build writes the project's version here (scripts/lib/python_kit.sh); a source tree
# is no release.
__version__ = "0+source"
