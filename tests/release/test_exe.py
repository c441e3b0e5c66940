"""The oldest Windows km740tool.exe and km740cap.exe run on: every function they import is in
windows_imports.csv, every row there exists on the Windows that file (and the README) names,
and the PE headers let that Windows load them. A new import fails here until the list, and
maybe the claim, is revised. KM_EXE names the window program (default: the Windows build's),
KM_CAP_EXE the console program (default: beside it)."""
import csv
import os
import re
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIST = os.path.join(REPO, "tests", "release", "windows_imports.csv")
EXE = os.environ.get("KM_EXE", os.path.join(REPO, "build", "windows", "km740tool.exe"))
# The console program ships beside it and makes the same claim.
CAP_EXE = os.environ.get("KM_CAP_EXE", os.path.join(os.path.dirname(EXE), "km740cap.exe"))
EXES = [EXE, CAP_EXE]
OBJDUMP = os.environ.get("KM_OBJDUMP", "x86_64-w64-mingw32-objdump")

# Client versions in order, with the NT version the loader compares the PE header against.
# The x64 edition of XP is NT 5.2 (the Server 2003 kernel).
WINDOWS = [("Windows 2000", (5, 0)), ("Windows XP", (5, 1)), ("Windows XP Professional x64 Edition", (5, 2)),
           ("Windows Vista", (6, 0)), ("Windows 7", (6, 1)), ("Windows 8", (6, 2)),
           ("Windows 8.1", (6, 3)), ("Windows 10", (10, 0))]
RANK = {name: i for i, (name, _) in enumerate(WINDOWS)}


def read_list():
    claim, rows = None, []
    with open(LIST, newline="") as f:
        for line in f:
            if line.startswith("# claim:"):
                claim = line.split(":", 1)[1].strip()
    with open(LIST, newline="") as f:
        for row in csv.reader(line for line in f if not line.startswith("#")):
            rows.append(row)
    return claim, rows


def pe_facts(exe):
    """(imports as a set of (dll, name), header fields) from objdump's private headers."""
    out = subprocess.run([OBJDUMP, "-p", exe], check=True, capture_output=True, text=True).stdout
    imports, dll = set(), None
    for line in out.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            continue
        if dll is None:
            continue
        if not line.strip():
            dll = None
            continue
        m = re.match(r"\s+[0-9a-f]+\s+(\d+|<none>)\s+(\S+)$", line)
        if m:
            imports.add((dll, m.group(2)))
        elif re.match(r"\s+[0-9a-f]+\s+<none>", line) or "Ordinal" in line:
            imports.add((dll, "#" + line.split()[-1]))  # an import by ordinal has no documented name
    header = {}
    for key in ("MajorOSystemVersion", "MinorOSystemVersion", "MajorSubsystemVersion", "MinorSubsystemVersion"):
        m = re.search(r"^%s\s+(\d+)" % key, out, re.M)
        header[key] = int(m.group(1))
    return imports, header


def test_every_import_is_listed_and_every_row_is_imported():
    _, rows = read_list()
    listed = {(dll, name) for dll, name, _, _ in rows}
    imported = set()
    for exe in EXES:
        imports, _ = pe_facts(exe)
        assert imports, "objdump found no imports in %s" % exe
        assert sorted(imports - listed) == [], "%s imports what %s lacks: revise the list and the claim" % (exe, LIST)
        imported |= imports
    assert sorted(listed - imported) == [], "rows neither exe imports: remove them from %s" % LIST


# A console program that loads user32 or gdi32 (shell32 loads both) gets no log-off or
# shut-down event from Windows: a station run as a scheduled task would be killed at
# shut-down instead of closing its file.
WINDOW_DLLS = {"user32.dll", "gdi32.dll", "shell32.dll"}


def test_console_program_imports_no_window_dll():
    imports, _ = pe_facts(CAP_EXE)
    assert sorted({dll for dll, _ in imports if dll.lower() in WINDOW_DLLS}) == []


def test_every_listed_function_exists_on_the_claimed_windows():
    claim, rows = read_list()
    assert claim in RANK, "unknown claim %r" % claim
    too_new = [(dll, name, minimum) for dll, name, minimum, _ in rows
               if minimum not in RANK or RANK[minimum] > RANK[claim]]
    assert too_new == []
    assert all(source for _, _, _, source in rows), "every row needs its source"


def test_header_lets_the_claimed_windows_load_it():
    claim, _ = read_list()
    nt = dict(WINDOWS)[claim]
    for exe in EXES:
        _, header = pe_facts(exe)
        assert (header["MajorSubsystemVersion"], header["MinorSubsystemVersion"]) <= nt, exe
        assert (header["MajorOSystemVersion"], header["MinorOSystemVersion"]) <= nt, exe


def test_readme_names_the_claim():
    claim, _ = read_list()
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        assert claim in f.read()
