"""Every instruction-set form of both recursions, bit for bit.

The kernels are written once over the forms (portable, SSE2, AVX2); the
module runs the widest one the CPU has.  Here the C++ harness, built from
the kernel headers alone with the module's flags, runs every form this
machine can run on the same models, checks each against its own scalar loop
over the transition model, and writes each form's Viterbi path and forward
states, which must equal the pure-NumPy models.
"""

import math
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from reference import ForwardReference, random_csr_model, tempo_lane_model, viterbi_reference

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from workloads import downbeat_model, write_model_files  # noqa: E402

FLAGS = ["-std=c++20", "-O3", "-ffp-contract=off", "-fno-math-errno", "-DNDEBUG",
         "-Wall", "-Wextra", "-Werror", "-Wno-psabi", f"-I{ROOT / 'src/cadentia/model'}"]


@pytest.fixture(scope="session")
def harness(tmp_path_factory):
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ is needed to build the kernel harness")
    binary = tmp_path_factory.mktemp("harness") / "kernels_bench"
    subprocess.run([cxx, *FLAGS, str(ROOT / "bench/kernels_bench.cpp"), "-o", str(binary)],
                   check=True)
    return binary


def models():
    """(name, pred, ptr, log_prob, columns, num_columns, frames, renorm_period)."""
    yield ("lanes", *tempo_lane_model(3, 14, np.random.default_rng(1)), 2, 40, 1024)
    yield ("near lanes", *tempo_lane_model(2, 30, np.random.default_rng(2), reach=3), 2, 60, 7)
    # Too many rows for the grouped boundary states: one state at a time.
    yield ("wide lanes", *tempo_lane_model(1, 80, np.random.default_rng(3)), 2, 12, 5)
    # Bars: each state's sources step through pl by the beats in the bar.
    bars = downbeat_model(fps=12.0)
    yield ("bars", bars["pred"], bars["ptr"], bars["log_prob"], bars["columns"], 3, 25, 9)
    for seed in range(3):
        rng = np.random.default_rng(10 + seed)
        yield (f"random {seed}", *random_csr_model(rng, 90, 3), 3, 30, 4)


@pytest.mark.parametrize("case", list(models()), ids=lambda c: c[0])
@pytest.mark.parametrize("special", [False, True], ids=["finite", "with-inf"])
def test_every_form_matches_the_numpy_models(kernels, harness, tmp_path, case, special):
    name, pred, ptr, log_prob, columns, num_cols, frames, renorm = case
    rng = np.random.default_rng(len(name) + special)
    num_states = len(ptr) - 1
    log_dens = np.log(rng.uniform(0.05, 1.0, (frames, num_cols))).astype(np.float32)
    if special:  # impossible observations: -inf scores, zero densities
        log_dens[rng.random(log_dens.shape) < 0.1] = -np.inf
    dens = np.exp(log_dens)
    log_initial = np.log(rng.uniform(0.1, 1.0, num_states)).astype(np.float32)
    model = dict(pred=pred, ptr=ptr, log_prob=log_prob, prob=np.exp(log_prob), columns=columns,
                 log_initial=log_initial, initial=np.exp(log_initial))
    layouts = [kernels._split_layout(pred, ptr, model[w], columns, identity)
               for w, identity in (("log_prob", 0.0), ("prob", 1.0))]
    write_model_files(tmp_path, model, *layouts, log_dens, dens, renorm)

    run = subprocess.run([str(harness), "--dir", str(tmp_path), "--verify-only"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    forms = [line.split()[1] for line in run.stdout.splitlines() if line.startswith("form ")]
    assert forms[0] == "portable"

    path, log_probability = viterbi_reference(pred, ptr, log_prob, log_dens, columns,
                                              log_initial, renorm_period=renorm)
    states = ForwardReference(pred, ptr, model["prob"], columns, model["initial"]).step(dens)
    results = dict(line.split()[1:] for line in run.stdout.splitlines()
                   if line.startswith("result "))
    for form in forms:
        got = float(results[f"viterbi_log_probability.{form}"])
        assert got == log_probability or (math.isnan(got) and math.isnan(log_probability)), form
        if log_probability > -np.inf:
            np.testing.assert_array_equal(
                np.fromfile(tmp_path / f"viterbi_path.{form}.out", "<i8"), path, err_msg=form)
        np.testing.assert_array_equal(
            np.fromfile(tmp_path / f"forward_states.{form}.out", "<u4"), states, err_msg=form)


@pytest.mark.parametrize("header", ["layout_kernel", "forms", "kernel_layout", "viterbi_kernel",
                                    "forward_kernel"])
def test_kernel_headers_build_without_python(header):
    # No Python or NumPy include path: a header that needs one fails here.
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ is needed")
    subprocess.run([cxx, *FLAGS, "-fsyntax-only", "-x", "c++", "-"], check=True,
                   input=f'#include "{header}.hpp"\n', text=True)
