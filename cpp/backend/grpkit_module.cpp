#include <nanobind/nanobind.h>
NB_MODULE(grpkit, m) {}
