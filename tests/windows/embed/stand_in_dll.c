/* Test-only stand-in for a DLL that the packing tool ships without knowing
 * it (a runtime DLL of the interpreter's package, a numerical library's own
 * run-time): it exports STAND_IN_EXPORT and, when STAND_IN_IMPORT is
 * defined, calls that function of another DLL, so that its import table
 * names that DLL. */
#ifdef STAND_IN_IMPORT
__declspec(dllimport) int STAND_IN_IMPORT(void);
#endif

__declspec(dllexport) int STAND_IN_EXPORT(void) {
#ifdef STAND_IN_IMPORT
  return STAND_IN_IMPORT() + 1;
#else
  return 1;
#endif
}
