/* A shared library that only the installation's lib directory holds. */
__attribute__((visibility("default"))) int probe_dep_answer(void) { return 42; }
