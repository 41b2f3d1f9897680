// Module initialisation of _quorvaline (placeholder until the binding frame lands).
#include <Python.h>

static PyModuleDef quorvaline_module = {PyModuleDef_HEAD_INIT, "_quorvaline",
                                        "A Python parallel compute library.", 0, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__quorvaline(void) { return PyModule_Create2(&quorvaline_module, 1013); }
