"""Compiled HMM kernels for the contiguous tempo-lane grid.

Array arguments are taken through the buffer protocol as writable,
C-contiguous views of the stated dtype.
"""

from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

__test__: dict[str, Any]

def _split_layout(
    pred: Any, ptr: Any, weight: Any, columns: Any, identity: float
) -> dict[str, NDArray[Any]]: ...
def decode(
    pred: NDArray[np.uint32],
    ptr: NDArray[np.uint32],
    log_prob: NDArray[np.float32],
    log_dens: NDArray[np.float32],
    columns: NDArray[np.uint32],
    log_initial: NDArray[np.float32],
    renorm_period: int = 1024,
) -> tuple[NDArray[np.int64], float]: ...

@disjoint_base
class ForwardDecoder:
    def __new__(
        cls,
        pred: NDArray[np.uint32],
        ptr: NDArray[np.uint32],
        prob: NDArray[np.float32],
        columns: NDArray[np.uint32],
        initial: NDArray[np.float32],
    ) -> ForwardDecoder: ...
    def reset(self) -> None: ...
    def step(self, dens: NDArray[np.float32]) -> NDArray[np.uint32]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...
