"""The Python package over the built library: it packs to the program's bytes and back, its
file objects stream in pieces of any size, and every failure is an AazError with the
library's code and message. AACZ_LIBRARY names the library, AACZ_BINARY the program and
AACZ_TEST_DATA the samples (make test sets them)."""
import io
import os
import subprocess

import pytest

import aaczavrok

DATA = os.environ.get("AACZ_TEST_DATA", os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data"))
BINARY = os.environ.get("AACZ_BINARY")


def sample(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


@pytest.mark.parametrize("name", ["lc_stereo_44k.aac", "mp4/tags_cover.m4a", "streams/lc_stereo_44k.adif"])
def test_pack_gives_the_programs_bytes_and_unpack_gives_the_file_back(name, tmp_path):
    data = sample(name)
    packed = aaczavrok.pack(data)
    assert len(packed) < len(data)
    assert aaczavrok.unpack(packed) == data
    assert aaczavrok.unpack(bytearray(packed)) == data
    if BINARY:
        out = tmp_path / "program.aaz"
        subprocess.run([BINARY, "-p", "-q", "-o", str(out), os.path.join(DATA, name)], check=True)
        assert out.read_bytes() == packed


def test_files_stream_in_pieces_of_any_size(tmp_path):
    data = sample("lc_51_48k.aac") + sample("lc_stereo_44k.aac")
    path = tmp_path / "song.aac.aaz"
    with aaczavrok.open(path, "wb") as f:
        for at in range(0, len(data), 777):
            f.write(data[at:at + 777])
    assert aaczavrok.unpack(path.read_bytes()) == data  # a stream of unknown length is cut by frames
    with aaczavrok.open(path, "rb") as f:
        back = b"".join(iter(lambda: f.read(1000), b""))
    assert back == data
    # a file object instead of a name, and readinto's kind of reading
    buffer = io.BytesIO(path.read_bytes())
    with aaczavrok.open(buffer, "rb") as f:
        head = bytearray(10)
        assert f.readinto(head) == 10
        assert bytes(head) + f.read() == data


def test_test_and_info_describe_a_packed_file(tmp_path):
    path = os.path.join(DATA, "packed-v5", "lc_stereo_44k.aac.aaz")
    assert aaczavrok.test(path) is True
    i = aaczavrok.info(path)
    assert i.format_version == 5
    assert i.original_bytes == len(sample("lc_stereo_44k.aac"))
    assert i.packed_bytes == os.path.getsize(path)
    assert i.chunks == sum(i.chunks_by_method.values()) and "model" in i.chunks_by_method


def test_failures_carry_the_librarys_code_and_message(tmp_path):
    with pytest.raises(aaczavrok.AazError) as e:
        aaczavrok.unpack(b"not a packed file at all")
    assert e.value.name == "AAZ_NOT_PACKED" and e.value.code == 4

    packed = bytearray(aaczavrok.pack(sample("lc_stereo_44k.aac")))
    packed[len(packed) // 2] ^= 0x40
    damaged = tmp_path / "damaged.aaz"
    damaged.write_bytes(bytes(packed))
    for call in (lambda: aaczavrok.unpack(bytes(packed)), lambda: aaczavrok.test(damaged),
                 lambda: aaczavrok.open(damaged, "rb").read()):
        with pytest.raises(aaczavrok.AazError) as e:
            call()
        assert e.value.name == "AAZ_DAMAGED"
        assert "chunk 1 is damaged" in e.value.message

    with pytest.raises(ValueError):
        aaczavrok.open(damaged, "ab")
    assert aaczavrok.format_version() == 11
    assert aaczavrok.library_version().startswith("2.")
