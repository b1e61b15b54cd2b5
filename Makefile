# Every target sets itself up: a Python 3.13 virtual environment in .venv with
# the build and test dependencies, then the package built and installed.

PYTHON313 := $(shell tools/find-python.sh)
VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     ?= build/dev
PYTEST_ARGS ?=

.PHONY: all venv install test docs demo bench dev check sanitize cross-check memcheck clean eval eval-deps \
        train train-deps train-data train-install

all: test

$(PY):
	@test -n "$(PYTHON313)" || { echo "error: Python 3.13 is required (see tools/find-python.sh)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja "pytest>=8" "hypothesis>=6"

venv: $(PY)

install: $(PY)
	$(PY) -m pip install -q --no-build-isolation ".[test]"

# Installs from PyPI only; the rendered-set tests skip, saying why, without
# FluidSynth and its SoundFont (`make eval-deps` installs them, as root).
test: install
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS) .

# The user guide and API reference as HTML in build/docs; any Sphinx
# warning fails the build, and so does an example on the pages (>>>) that
# no longer gives what it shows.
docs: install
	$(PY) -m pip install -q --no-build-isolation ".[docs]"
	$(VENV)/bin/sphinx-build -E -W --keep-going -b html docs build/docs
	$(PY) -m doctest docs/*.rst docs/guide/*.rst docs/api/*.rst

demo: install
	$(PY) -m cadentia.demo

bench: install
	$(PY) bench/run.py
	$(PY) bench/tracker_bench.py --seconds 120
	$(PY) bench/downbeats_bench.py --seconds 300
	$(PY) bench/batch_bench.py
	OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 $(PY) bench/network_bench.py --seconds 120

# Fast incremental build for development: stages an importable copy of the
# package in $(BUILD)/stage; `make check` runs the tests against it.
dev: $(PY)
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_ARGS) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)
	rm -rf $(BUILD)/stage && mkdir -p $(BUILD)/stage
	cp -r src/cadentia $(BUILD)/stage/
	cp $(BUILD)/_kernels*.so $(BUILD)/stage/cadentia/model/

check: dev
	cd tests && PYTHONPATH=$(abspath $(BUILD))/stage ../$(PY) -m pytest -q $(or $(PYTEST_ARGS),.)

# The whole test suite against an AddressSanitizer + UBSan build of the module.
sanitize: install
	tools/sanitize.sh
	SANITIZE_BUILD=build/sanitize-sse2 SANITIZE_CMAKE_ARGS=-DCADENTIA_MAX_FORM=sse2 \
	    tools/sanitize.sh

# The kernels cross-compiled for aarch64 and checked bit for bit under qemu.
cross-check: install
	tools/cross_check.sh

# A representative part of the suite under valgrind memcheck: invalid reads
# and uninitialised values in the module's code (what ASan cannot see).
memcheck: install
	tools/memcheck.sh

# The rendered evaluation set (eval/) needs FluidSynth and the General MIDI
# SoundFont, Debian packages; the audio is cached under build/evalset.
EVAL_DEBS := fluidsynth fluid-soundfont-gm
eval-deps:
	@dpkg -s $(EVAL_DEBS) >/dev/null 2>&1 || \
	    (apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(EVAL_DEBS))

eval: install eval-deps
	$(PY) eval/beats.py --jobs 2
	$(PY) eval/downbeats.py --jobs 2

# Training the network (hours of CPU; never part of test or CI): render the
# training set, then train both variants at once, one core each, into
# build/train/<variant>/; `make train-install` copies the best weights into
# the package. TRAIN_MINUTES bounds each run's wall time.
TRAIN_DATA    ?= build/trainset
TRAIN_MINUTES ?= 80
TRAIN_PY      := $(VENV)/bin/python
# The training set's SoundFonts and drum kits (its pieces draw only from those present).
TRAIN_DEBS := musescore-general-soundfont-small timgm6mb-soundfont opl3-soundfont avldrums.lv2-soundfont ffmpeg
train-deps: eval-deps
	@dpkg -s $(TRAIN_DEBS) >/dev/null 2>&1 || \
	    (apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(TRAIN_DEBS))

train-data: install train-deps
	$(PY) eval/trainset.py --hours 20 --valid-hours 1.5 --kits-hours 4 \
	    --jobs 2 --out $(TRAIN_DATA)

train: train-data
	$(PY) -m pip install -q --no-build-isolation ".[train]"
	# Two stages per variant, both variants at once (one core each): from
	# scratch, then from the first stage's best parameters at half the
	# learning rate.
	mkdir -p build/train build/train2; for v in offline causal; do ( \
	    OMP_NUM_THREADS=1 $(TRAIN_PY) train/train.py --variant $$v --data $(TRAIN_DATA) --variants 3 \
	        --out build/train/$$v --minutes $(TRAIN_MINUTES) --resume > build/train-$$v.log 2>&1 && \
	    OMP_NUM_THREADS=1 $(TRAIN_PY) train/train.py --variant $$v --data $(TRAIN_DATA) --variants 3 \
	        --init build/train/$$v/best.npz --lr 1e-3 --out build/train2/$$v --minutes $(TRAIN_MINUTES) \
	        --resume > build/train2-$$v.log 2>&1 ) & \
	done; wait
	tail -n 3 build/train2-offline.log build/train2-causal.log

train-install:
	cp build/train2/offline/best.npz src/cadentia/frontend/network/weights/offline.npz
	cp build/train2/causal/best.npz src/cadentia/frontend/network/weights/causal.npz

clean:
	rm -rf build $(VENV)
