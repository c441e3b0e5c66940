"""What the release zip holds (KM_RELEASE_DIST names the dist folder scripts/release.sh wrote):
one folder km740tool-VERSION with the stripped exes of that version, both catalogues byte for
byte, and a README.txt in both languages that Notepad reads right; the Linux tar of km740cap;
SHA256SUMS matches both."""
import hashlib
import os
import re
import struct
import subprocess
import tarfile
import zipfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("KM_RELEASE_DIST")
OBJDUMP = os.environ.get("KM_OBJDUMP", "x86_64-w64-mingw32-objdump")

pytestmark = pytest.mark.skipif(not DIST, reason="KM_RELEASE_DIST not set (tests/release/reproducible.sh sets it)")


def version():
    with open(os.path.join(REPO, "VERSION")) as f:
        return f.readline().strip()


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    name = "km740tool-%s-win64.zip" % version()
    path = os.path.join(DIST, name)
    with zipfile.ZipFile(path) as archive:
        files = {info.filename: archive.read(info) for info in archive.infolist()}
    exe = tmp_path_factory.mktemp("exe") / "km740tool.exe"
    exe.write_bytes(files["km740tool-%s/km740tool.exe" % version()])
    return path, files, str(exe)


def test_one_folder_with_the_six_entries_and_checksums(release):
    path, files, _ = release
    top = "km740tool-%s/" % version()
    assert list(files) == [top] + [top + n for n in ("README.txt", "km740cap.exe", "km740tool.exe",
                                                     "message-ja.csv", "message.csv")]
    with open(os.path.join(DIST, "SHA256SUMS")) as f:
        sums = f.read()
    tar = os.path.join(DIST, "km740cap-%s-linux-x86_64.tar.gz" % version())
    assert sums == "".join("%s  %s\n" % (hashlib.sha256(open(p, "rb").read()).hexdigest(), os.path.basename(p))
                           for p in (path, tar))


def test_linux_tar_holds_a_binary_that_needs_only_the_c_library(tmp_path):
    """One folder with the stripped binary, root-owned at the commit's time; it needs nothing
    of Debian 12 beyond glibc 2.36, and it runs."""
    path = os.path.join(DIST, "km740cap-%s-linux-x86_64.tar.gz" % version())
    commit_time = int(subprocess.run(["git", "-C", REPO, "log", "-1", "--format=%ct", "HEAD"],
                                     check=True, capture_output=True, text=True).stdout)
    top = "km740cap-%s" % version()
    with tarfile.open(path) as archive:
        members = archive.getmembers()
        assert [(m.name, m.mode, m.uid, m.gid, m.mtime) for m in members] == [
            (top, 0o755, 0, 0, commit_time), (top + "/km740cap", 0o755, 0, 0, commit_time)]
        archive.extractall(tmp_path)
    binary = str(tmp_path / top / "km740cap")
    dynamic = subprocess.run(["objdump", "-p", binary], check=True, capture_output=True, text=True).stdout
    needed = sorted(re.findall(r"NEEDED\s+(\S+)", dynamic))
    assert set(needed) <= {"libc.so.6", "libm.so.6"}, needed
    glibc = [tuple(int(n) for n in v.split(".")) for v in re.findall(r"GLIBC_([0-9.]+)", dynamic)]
    assert max(glibc) <= (2, 36)
    assert "no symbols" in subprocess.run(["objdump", "-t", binary], capture_output=True, text=True).stdout
    assert subprocess.run([binary, "--version"], check=True, capture_output=True, text=True).stdout == \
        "km740cap %s\n" % version()


@pytest.mark.parametrize("name", ["message.csv", "message-ja.csv"])
def test_catalogues_ship_byte_for_byte(release, name):
    _, files, _ = release
    with open(os.path.join(REPO, "examples", name), "rb") as f:
        assert files["km740tool-%s/%s" % (version(), name)] == f.read()


def test_readme_is_crlf_utf8_with_bom_in_both_languages(release):
    _, files, _ = release
    data = files["km740tool-%s/README.txt" % version()]
    assert data.startswith(b"\xef\xbb\xbf")
    assert data.count(b"\n") == data.count(b"\r\n") and data.count(b"\r") == data.count(b"\r\n")
    text = data[3:].decode("utf-8")
    assert "@VERSION@" not in text and version() in text
    for words in ("WHERE TO PUT IT", "C:\\Program Files", "KM-740_MMDDYYYY_HHMMSS.csv",
                  "message-ja.csv", "置き場所", "932"):
        assert words in text


def test_exe_is_stripped_and_carries_the_version(release):
    _, _, exe = release
    headers = subprocess.run([OBJDUMP, "-x", exe], check=True, capture_output=True, text=True).stdout
    assert "no symbols" in subprocess.run([OBJDUMP, "-t", exe], capture_output=True, text=True).stdout
    assert ".debug_" not in headers
    data = open(exe, "rb").read()
    # The PE header's time is the commit's (the time of the build would differ on every run).
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    commit_time = subprocess.run(["git", "-C", REPO, "log", "-1", "--format=%ct", "HEAD"],
                                 check=True, capture_output=True, text=True).stdout
    assert struct.unpack_from("<I", data, pe + 8)[0] == int(commit_time)
    assert version().encode("utf-16-le") in data                   # the version record
    assert ('version="%s"' % version()).encode() in data            # the manifest
