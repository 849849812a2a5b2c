import _ondalis


def test_module_opens_a_written_file(tmp_path):
    path = tmp_path / "a.wav"
    fmt = _ondalis.construct_format("wav", "pcm16")
    with _ondalis.Ondalis(path, "w", format=fmt, channels=2, samplerate=8000) as f:
        assert f.format() == 0x10002
    with _ondalis.Ondalis(str(path)) as f:
        assert (f.channels(), f.samplerate()) == (2, 8000)
