// Found only along the RUNPATH of the library that opens it.
extern "C" __attribute__((visibility("default"))) int loaderSibling() { return 35; }
