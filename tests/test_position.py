"""Moving the read and write positions, and syncing."""
import numpy as np
import pytest

from messages import NO_HANDLE

SAMPLES = np.arange(1000, dtype=np.int16)


@pytest.fixture
def thousand(tmp_path, build):
    return build.pcm16_wav(tmp_path / "a.wav", SAMPLES)


@pytest.mark.parametrize("moves, position, rest", [
    ([(0, 2)], 1000, 0),
    ([(-10, 2)], 990, 10),
    ([(10,), (5, 1)], 15, 985),
    ([(10, 0, "r"), (-3, 1, "r")], 7, 993),
])
def test_seek_returns_frames_from_the_start(m, thousand, moves, position, rest):
    with m.Ondalis(thousand) as f:
        results = [f.seek(*move) for move in moves]
        assert results[-1] == position
        got = f.read_frames(dtype=np.int16)
    np.testing.assert_array_equal(got, SAMPLES[position:])
    assert len(got) == rest


def test_failed_seek_shows_libsndfile_text_as_bytes(m, thousand):
    with m.Ondalis(thousand) as f:
        f.seek(10)
        with pytest.raises(OSError) as excinfo:
            f.seek(2000)
        text = str(excinfo.value)
        assert text.startswith("libsndfile error during seek:: b'")
        assert text == "libsndfile error during seek:: " + repr(f.strError())
        with pytest.raises(OSError):
            f.seek(0, 7)  # whence is passed on, and libsndfile refuses it


def test_bad_mode_moves_nothing(m, thousand):
    with m.Ondalis(thousand) as f:
        f.seek(10)
        for call in (lambda: f.seek(0, 0, "x"), lambda: f.rewind("x"),
                     lambda: f.seek(0, mode=b"r")):
            with pytest.raises(ValueError) as excinfo:
                call()
            assert str(excinfo.value) == "mode should be one of 'r', 'w' or 'rw' only"
        assert f.seek(0, 1) == 10


def test_rewind(m, thousand):
    with m.Ondalis(thousand) as f:
        f.read_frames(300)
        assert f.rewind() == 0
        np.testing.assert_array_equal(f.read_frames(5, dtype=np.int16), SAMPLES[:5])
        f.seek(20)
        assert f.rewind(mode="r") == 0


def test_rewind_of_a_position_not_open(m, thousand):
    with m.Ondalis(thousand) as f:
        with pytest.raises(OSError) as excinfo:
            f.rewind("w")
        assert str(excinfo.value).startswith("libsndfile error while rewinding:: b'")


def test_read_and_write_positions_move_apart(m, build, thousand):
    with m.Ondalis(thousand, "rw", format=m.construct_format("wav", "pcm16")) as f:
        write_at = f.seek(0, 1, "w")
        assert f.seek(100, 0, "r") == 100
        assert f.seek(0, 1, "w") == write_at
        f.write_frames(np.full(5, -7, dtype=np.int16))
        assert f.seek(0, 1, "r") == 100
        assert f.seek(50, 0, "w") == 50
        f.write_frames(np.full(2, -9, dtype=np.int16))
    got = build.read_wav_ints(thousand)[:, 0]
    np.testing.assert_array_equal(got[write_at:], [-7] * 5)
    np.testing.assert_array_equal(got[48:53], [48, 49, -9, -9, 52])


def test_write_sync_and_closed_object(m, thousand):
    f = m.Ondalis(thousand)
    assert f.writeSync() is None
    f.close()
    for call in (f.writeSync, lambda: f.seek(0), f.rewind):
        with pytest.raises(RuntimeError) as excinfo:
            call()
        assert str(excinfo.value) == NO_HANDLE


def test_arguments(m, thousand):
    with m.Ondalis(thousand) as f:
        assert f.seek(offset=3, whence=0, mode="r") == 3
        with pytest.raises(TypeError) as excinfo:
            f.seek()
        assert str(excinfo.value) == "seek() takes at least 1 positional argument (0 given)"
        with pytest.raises(TypeError):
            f.rewind("r", "w")
        with pytest.raises(TypeError):
            f.writeSync(1)
        with pytest.raises(OverflowError):
            f.seek(0, 2**31)
