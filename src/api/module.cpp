// Minimal module definition; the full api layer replaces this file.
#include <Python.h>
static PyModuleDef kf_module = {PyModuleDef_HEAD_INIT, "kelo_frame", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_kelo_frame(void) { return PyModuleDef_Init(&kf_module); }
