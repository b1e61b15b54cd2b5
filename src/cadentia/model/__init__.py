"""The compiled HMM kernels and the models built on them.

:mod:`._kernels` (C++), :mod:`.options` (the tempo model's options),
:mod:`.tempo` (the beat model's state space), :mod:`.bars` (the
bar-pointer model's) and :mod:`.observation` (activations to densities).
Nothing is imported here: the kernels must load on their own.
"""
