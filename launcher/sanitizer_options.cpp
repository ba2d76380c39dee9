// Linked into sanitizer builds of the launcher and of the dialog program
// only, so that every run of such a build, whoever starts it, checks their
// own code and not the interpreter or GTK that they load.

// The interpreter has no frame pointers: leak stacks need the slow unwinder
// to reach its entry points by name.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "fast_unwind_on_malloc=0:malloc_context_size=64" LAUNCHER_SYMBOLIZER_OPTION;
}

extern "C" __attribute__((visibility("default"))) const char *__lsan_default_options() {
  return "print_suppressions=0";
}

// Memory the interpreter keeps for itself until the process ends: what its
// start-up and the initialisation of its modules allocate, the slots of its
// statically allocated types, and what the Python code it runs leaves behind
// at finalisation. Buffers that the interpreter hands to the launcher (search
// path text, decoded paths, wide strings) are not covered: those must be freed.
// GTK, loaded by the dialog program, is never finalised: what it and the
// libraries it brings allocate, in the dialog's calls or in their own
// threads, stays until the process ends.
extern "C" __attribute__((visibility("default"))) const char *__lsan_default_suppressions() {
  return "leak:Py_InitializeFromConfig\n"
         "leak:PyModule_ExecDef\n"
         "leak:PyType_Ready\n"
         "leak:_PyEval_EvalFrameDefault\n"
         "leak:show_gtk_dialog\n"
         "leak:libgtk-3.so\n"
         "leak:libgdk-3.so\n"
         "leak:libgio-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libpango\n"
         "leak:libcairo.so\n"
         "leak:libfontconfig.so\n";
}
