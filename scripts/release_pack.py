"""Packs the release folder into a zip (with --tar, the Linux folder into a .tar.gz) that
depends on nothing but its contents and the commit time: entries sorted, every time the
commit's (UTC), fixed permissions, no extra fields. Also makes README.txt from docs/README.txt:
the version filled in, CR LF line ends, and a UTF-8 byte order mark, by which Notepad on every
Windows reads the Japanese half right."""
import argparse
import gzip
import io
import os
import tarfile
import time
import zipfile


def readme_text(path, version):
    with open(path, encoding="utf-8") as f:
        text = f.read().replace("@VERSION@", version)
    if "\r" in text:
        raise SystemExit("%s: keep it with LF line ends; the CR LF are added here" % path)
    return b"\xef\xbb\xbf" + text.replace("\n", "\r\n").encode("utf-8")


def entry(name, date_time, mode):
    info = zipfile.ZipInfo(name, date_time)
    info.create_system = 3  # Unix, so that the permissions below are what unzip sets
    info.external_attr = mode << 16
    if name.endswith("/"):
        info.external_attr |= 0x10  # the MS-DOS directory flag, for Windows' own unzip
        info.compress_type = zipfile.ZIP_STORED
    else:
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def pack_tar(folder, epoch, out):
    """The folder as a .tar.gz that depends only on its contents and the commit time: entries
    sorted, owner root, the commit's time, fixed permissions, and a gzip header without a
    name or a time of its own."""
    top = os.path.basename(os.path.normpath(folder))
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        def add(name, data, mode, kind):
            info = tarfile.TarInfo(name)
            info.type, info.mode, info.mtime = kind, mode, epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data) if data else None)
        add(top, b"", 0o755, tarfile.DIRTYPE)
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            executable = os.access(path, os.X_OK)
            add(top + "/" + name, open(path, "rb").read(), 0o755 if executable else 0o644, tarfile.REGTYPE)
    with open(out, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as packed:
            packed.write(buffer.getvalue())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True, help="the folder to pack, named km740tool-VERSION")
    parser.add_argument("--version")
    parser.add_argument("--epoch", required=True, type=int, help="the commit time")
    parser.add_argument("--readme")
    parser.add_argument("--out", required=True)
    parser.add_argument("--tar", action="store_true", help="a .tar.gz of the folder (no README made)")
    args = parser.parse_args()
    if args.tar:
        pack_tar(args.folder, args.epoch, args.out)
        return
    if not (args.version and args.readme):
        parser.error("the zip needs --version and --readme")

    # A zip stores local time without a zone; the commit's UTC time stands for it. 1980 is
    # the format's first year.
    date_time = max(time.gmtime(args.epoch)[:6], (1980, 1, 1, 0, 0, 0))
    top = os.path.basename(os.path.normpath(args.folder)) + "/"
    files = {name: open(os.path.join(args.folder, name), "rb").read()
             for name in os.listdir(args.folder)}
    files["README.txt"] = readme_text(args.readme, args.version)
    with zipfile.ZipFile(args.out, "w") as archive:
        archive.writestr(entry(top, date_time, 0o40755), b"")
        for name in sorted(files):
            mode = 0o100755 if name.endswith(".exe") else 0o100644
            archive.writestr(entry(top + name, date_time, mode), files[name], compresslevel=9)


if __name__ == "__main__":
    main()
