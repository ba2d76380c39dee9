/* Test-only extension module (.pyd) of the interpreter's package: its init
 * function, which imports from python38.dll and, when EXTENSION_NEEDS is
 * defined, from a further DLL of the package. */
__declspec(dllimport) int Py_IsInitialized(void);
#ifdef EXTENSION_NEEDS
__declspec(dllimport) int EXTENSION_NEEDS(void);
#endif

static int module_object;

__declspec(dllexport) void *EXTENSION_INIT(void) {
  int ready = Py_IsInitialized();
#ifdef EXTENSION_NEEDS
  ready += EXTENSION_NEEDS();
#endif
  return ready > 0 ? &module_object : (void *)0;
}
