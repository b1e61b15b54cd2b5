// cadentia.model._kernels: compiled HMM kernels for the contiguous
// tempo-lane grid.  The subsystems follow in dependency order; each header
// opens with what it is for.
#include "module.hpp"
#include "arguments.hpp"
#include "array_view.hpp"
#include "layout.hpp"
#include "viterbi.hpp"
#include "forward_decoder.hpp"

PyMODINIT_FUNC PyInit__kernels(void) {
    return PyModuleDef_Init(&cadentia::module_def);
}
