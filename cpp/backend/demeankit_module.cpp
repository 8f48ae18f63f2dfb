#include <nanobind/nanobind.h>
NB_MODULE(demeankit, m) {}
