"""The package's one `kernel` and one `rt` object (every instance behaves alike)."""
from _quorvaline import _KernelModule, _RuntimeModule

kernel = _KernelModule()
rt = _RuntimeModule()
