/* A DLL that only another DLL in the same directory depends on. */
__declspec(dllexport) int probe_leaf_value(void) { return 40; }
