// An arm64 `python` for running the test-suite under qemu-aarch64-static on
// an x86-64 machine: Debian ships the arm64 libpython and standard library
// as multiarch packages, but not an arm64 interpreter that installs beside
// the host's.  It is the interpreter's own main, nothing more, so the suite
// sees stock CPython behaviour.  sys.executable comes from argv[0], which
// the wrapper script sets to itself (qemu's -0): child interpreters the
// tests start go back through qemu rather than failing to exec an arm64
// binary on the host.
#include <Python.h>

int main(int argc, char **argv) { return Py_BytesMain(argc, argv); }
