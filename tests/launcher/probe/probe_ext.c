/* An extension module that needs probe_dep, found only through the
   launcher's library directory. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

int probe_dep_answer(void);

static PyObject *answer(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  return PyLong_FromLong(probe_dep_answer());
}

static PyMethodDef methods[] = {{"answer", answer, METH_NOARGS, NULL}, {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "probe_ext", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_probe_ext(void) { return PyModule_Create(&module); }
