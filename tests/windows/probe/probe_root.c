/* Loads only if the system also finds its dependency, probe_leaf. */
__declspec(dllimport) int probe_leaf_value(void);

__declspec(dllexport) int probe_root_value(void) { return probe_leaf_value() + 2; }
