"""Inputs that would send a kernel outside its buffers are refused with a
ValueError before any frame runs; inputs that read nothing stay accepted."""

import numpy as np
import pytest

from reference import three_state, two_lanes

U32 = np.uint32


def decode_args(**changes):
    args = three_state()
    args.update(changes)
    return args


def forward_args(**changes):
    args = two_lanes()
    args.update(changes)
    return args


def setitem(key, index, value):
    """A layout change: entry `index` of layout array `key` becomes `value`
    (a callable of the layout gives it from the layout)."""
    def change(layout):
        array = layout[key].copy()
        array[index] = value(layout) if callable(value) else value
        layout[key] = array
    return change


# (change to the layout, expected message); {n} is the number of states.
LAYOUTS = [
    (setitem("run_lo", 0, 0), "run_lo[0] = 0 is out of range: the expected start is 1"),
    (setitem("run_hi", -1, 9), "run_hi[{last}] = 9 is out of range: the number of states is {n}"),
    (setitem("run_lo", -1, lambda lay: lay["run_lo"][-1] - 1),
     "is out of range: the expected start is"),
    (setitem("bnd_ptr", 1, -1), "bnd_ptr[1] = -1 is out of range: its lower bound is 0"),
    (setitem("bnd_ptr", -1, lambda lay: len(lay["bnd_src"]) + 5),
     "is out of range: the number of boundary edges is"),
    (setitem("bnd_src", 0, lambda lay: len(lay["pred_list"])),
     "bnd_src[0] = {p} is out of range: the length of pred_list is {p}"),
    (setitem("pred_list", 0, 99), "pred_list[0] = 99 is out of range: the number of states is {n}"),
    (setitem("bnd_state", -1, 99), "is out of range: the number of states is {n}"),
    (setitem("bnd_state", 0, 1), "bnd_state must list state 0 first"),
]


def record_and_change(change, facts):
    def edit(layout):
        facts.update(last=len(layout["run_lo"]) - 1, p=len(layout["pred_list"]))
        change(layout)
    return edit


@pytest.mark.parametrize("change, message", LAYOUTS)
def test_decode_refuses_bad_layouts(kernels, entries, change_layout, change, message):
    facts = {"n": 3}
    change_layout(record_and_change(change, facts))
    with pytest.raises(ValueError) as excinfo:
        kernels.decode(**decode_args())
    assert message.format(**facts) in str(excinfo.value)
    assert entries(excinfo)[-1] == ("cadentia.model._kernels.decode", 106)


@pytest.mark.parametrize("change, message", LAYOUTS)
def test_forward_decoder_refuses_bad_layouts(kernels, entries, change_layout, change, message):
    facts = {"n": 5}
    change_layout(record_and_change(change, facts))
    with pytest.raises(ValueError) as excinfo:
        kernels.ForwardDecoder(**forward_args())
    assert message.format(**facts) in str(excinfo.value)
    assert entries(excinfo)[-1] == ("cadentia.model._kernels.ForwardDecoder.__cinit__", 213)


@pytest.mark.parametrize("changes, message", [
    (dict(pred=np.array([2, 0, 0, 7], U32)), "pred[3] = 7 is out of range: the number of states is 3"),
    (dict(log_initial=np.zeros(2, np.float32)), "log_initial has 2 entries, expected 3 (one per state)"),
    (dict(log_initial=np.zeros(4, np.float32)), "log_initial has 4 entries, expected 3 (one per state)"),
    (dict(columns=np.array([0, 2, 1], U32)),
     "the model reads observation column 2 but log_dens has 2 columns"),
])
def test_decode_refuses_what_the_kernel_cannot_index(kernels, entries, changes, message):
    with pytest.raises(ValueError) as excinfo:
        kernels.decode(**decode_args(**changes))
    assert str(excinfo.value) == message
    assert entries(excinfo)[-1] == ("cadentia.model._kernels.decode", 106)


def test_entries_past_the_edges_are_not_read(kernels):
    # pred and the weights may be longer than the edges; nothing reads the rest.
    args = decode_args()
    extra = dict(pred=np.append(args["pred"], U32(99)),
                 log_prob=np.append(args["log_prob"], np.float32(0)))
    expected = kernels.decode(**args)
    path, score = kernels.decode(**decode_args(**extra))
    np.testing.assert_array_equal(path, expected[0])
    assert score == expected[1]
    forward = forward_args()
    extra = dict(pred=np.append(forward["pred"], U32(99)),
                 prob=np.append(forward["prob"], np.float32(1)))
    dens = np.ones((3, 2), np.float32)
    np.testing.assert_array_equal(kernels.ForwardDecoder(**forward_args(**extra)).step(dens),
                                  kernels.ForwardDecoder(**forward).step(dens))


@pytest.mark.parametrize("changes", [
    dict(pred=np.array([2, 0, 0, 7], U32)),
    dict(log_initial=np.array([0.0, -1.0, -2.0, 5.0], np.float32)),
    dict(columns=np.array([0, 9, 9], U32)),
])
def test_decode_without_frames_reads_nothing(kernels, changes):
    args = decode_args(**changes)
    args["log_dens"] = np.zeros((0, 2), np.float32)
    path, score = kernels.decode(**args)
    assert path.shape == (0,) and score == args["log_initial"].max()


@pytest.mark.parametrize("changes, message", [
    (dict(pred=np.array([2, 4, 0, 1, 2, 5, 3], U32)),
     "pred[5] = 5 is out of range: the number of states is 5"),
    (dict(initial=np.ones(4, np.float32)), "initial has 4 entries, expected 5 (one per state)"),
    (dict(columns=np.array([0, 16, 16, 0, 16], U32)),
     "observation column 16 is out of range: a decoder reads at most 16 columns"),
])
def test_forward_decoder_refuses_what_the_kernel_cannot_index(kernels, entries, changes, message):
    with pytest.raises(ValueError) as excinfo:
        kernels.ForwardDecoder(**forward_args(**changes))
    assert str(excinfo.value) == message
    assert entries(excinfo)[-1] == ("cadentia.model._kernels.ForwardDecoder.__cinit__", 213)


def test_step_refuses_chunks_without_the_models_columns(kernels, entries):
    decoder = kernels.ForwardDecoder(**forward_args())
    reference = kernels.ForwardDecoder(**forward_args())
    with pytest.raises(ValueError) as excinfo:
        decoder.step(np.ones((3, 1), np.float32))
    assert str(excinfo.value) == "the model reads observation column 1 but dens has 1 column"
    assert entries(excinfo)[-1] == ("cadentia.model._kernels.ForwardDecoder.step", 226)
    # Zero-frame chunks read nothing, whatever their width, and the belief
    # is untouched by the refusal.
    assert decoder.step(np.ones((0, 1), np.float32)).shape == (0,)
    frames = np.array([[0.5, 2.0], [1.0, 0.25]], np.float32)
    np.testing.assert_array_equal(decoder.step(frames), reference.step(frames))
