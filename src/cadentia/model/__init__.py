"""The compiled HMM kernels and the models built on them."""
