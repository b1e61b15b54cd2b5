// cadentia.model._kernels: compiled HMM kernels for the contiguous
// tempo-lane grid.  The subsystems follow in dependency order, each header
// including what it uses: the glue's base, the array views and function
// objects, the layout split, the kernels and their glue, and start-up last.
// The kernel headers (layout_kernel, forms, kernel_layout, viterbi_kernel,
// forward_kernel) include no Python header.  Each header opens with what it is for.
#include "base.hpp"
#include "buffer_format.hpp"
#include "array_view.hpp"
#include "arguments.hpp"
#include "layout_kernel.hpp"
#include "layout.hpp"
#include "forms.hpp"
#include "kernel_layout.hpp"
#include "layout_views.hpp"
#include "viterbi_kernel.hpp"
#include "viterbi.hpp"
#include "forward_kernel.hpp"
#include "forward_decoder.hpp"
#include "module.hpp"

PyMODINIT_FUNC PyInit__kernels(void) {
    return PyModuleDef_Init(&cadentia::module_def);
}
