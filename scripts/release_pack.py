"""Packs the release folder into a zip that depends on nothing but its contents and the commit
time: entries sorted, every time the commit's (UTC), fixed permissions, no extra fields. Also
makes README.txt from docs/README.txt: the version filled in, CR LF line ends, and a UTF-8 byte
order mark, by which Notepad on every Windows reads the Japanese half right."""
import argparse
import os
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", required=True, help="the folder to pack, named km740tool-VERSION")
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int, help="the commit time")
    parser.add_argument("--readme", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

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
