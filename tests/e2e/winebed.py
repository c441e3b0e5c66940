"""The Wine test bed: a private prefix, Xvfb, a persistent wineserver, virtual COM ports
made of socat pty pairs, and helpers to run programs, drive the dialog and read the screen.
Standard library only; everything it starts is stopped by PID in Bed.stop()."""

import contextlib
import fcntl
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

PREFIX_TIMEOUT = 180      # wineboot -i takes 10-25 s here; a hang must not stall the run
RUN_TIMEOUT = 30
MAX_PORT = 16             # the tool probes COM1..COM16

# The screen reading is made for one rendering: Wine's own Tahoma (package fonts-wine) for the
# dialog font, drawn without font smoothing. Debian's Wine does not load the fonts of its data
# folder, so without a copy in the prefix "MS Shell Dlg" falls back to whatever fontconfig
# offers (DejaVu Sans on a fresh machine, Liberation Sans where that is installed), drawn
# anti-aliased: each machine then shows other glyphs.
WINE_FONT_DIR = "/usr/share/wine/fonts"
PINNED_FONTS = ("tahoma.ttf", "tahomabd.ttf")
EXPECTED_RENDERING = {"face": "Tahoma", "smoothing": "0"}
# The text height (tmHeight) of that font at each DPI the bed can give the prefix, as the tool
# makes it (uidriver rendering; Wine 8.0, Debian 12). The icon-title font is 8 points
# (lfHeight -11 at 96 DPI), scaled by DPI/96.
TEXT_HEIGHT = {96: 13, 120: 17, 144: 21, 192: 27}
# LOGFONTW of that font: lfHeight -11, lfWeight 400 (FW_NORMAL), lfCharSet 0, lfQuality 3
# (NONANTIALIASED_QUALITY), lfPitchAndFamily 0x22 (VARIABLE_PITCH | FF_SWISS), "Tahoma".
ICON_FONT = (struct.pack("<5l8B", -11, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 3, 0x22)
             + "Tahoma".encode("utf-16-le").ljust(64, b"\0"))


# The beds: the locale the prefix is made in (wineboot -i) and the one its programs run in;
# Wine takes a program's ANSI code page from the latter. "932" is a Japanese Windows; "932-en"
# an English one whose programs run in Japanese (how Linux users commonly start a Japanese
# program under Wine): its icon-title font still names the Western character set.
LOCALES = {"1252": ("C.UTF-8", "C.UTF-8"),
           "932": ("ja_JP.UTF-8", "ja_JP.UTF-8"),
           "932-en": ("C.UTF-8", "ja_JP.UTF-8")}
# Tahoma has no Japanese glyphs. In code page 932 the icon-title font is pinned to VL Gothic
# (package fonts-vlgothic), unsmoothed; its height and character set stay what the prefix
# itself gives (Wine 8.0: -12 and 128 made in Japanese, -11 and 0 made in English). Wine
# names the face in the locale's language.
JA_FONT_FILE = "/usr/share/fonts/truetype/vlgothic/VL-Gothic-Regular.ttf"
JA_FACE = "VL Gothic"
JA_RENDERING = {"face": "VL \u30b4\u30b7\u30c3\u30af", "smoothing": "0", "acp": "932"}
# tmHeight of that font at each DPI (uidriver rendering; Wine 8.0, Debian 12), and the
# character set of the icon-title font's description (iconcharset).
JA_TEXT_HEIGHT = {"932": {96: 15, 120: 19, 144: 23, 192: 30},
                  "932-en": {96: 14, 120: 18, 144: 22, 192: 28}}
ICON_CHARSET = {"932": "128", "932-en": "0"}


def expected_rendering(dpi, kind="1252"):
    """What uidriver rendering must report at a DPI of the prefix."""
    if kind == "1252":
        return dict(EXPECTED_RENDERING, height=str(TEXT_HEIGHT[dpi]), dpi=str(dpi))
    return dict(JA_RENDERING, height=str(JA_TEXT_HEIGHT[kind][dpi]), dpi=str(dpi),
                iconcharset=ICON_CHARSET[kind])


def code_page(kind):
    """The Python codec of a bed's ANSI code page."""
    return "cp1252" if kind == "1252" else "cp932"


def ja_icon_font(own):
    """The prefix's own icon-title LOGFONTW with the face made VL Gothic and the quality
    NONANTIALIASED_QUALITY (see JA_FONT_FILE)."""
    head = bytearray(own[:28])
    head[26] = 3                          # lfQuality
    return bytes(head) + JA_FACE.encode("utf-16-le").ljust(64, b"\0")


def scale(pixels, dpi):
    """A size in pixels at 96 DPI, at another DPI, rounded as the tool rounds (MulDiv)."""
    return (pixels * dpi + 48) // 96

# What detect_serial_ports in Wine's mount manager looks for on Linux.
HOST_SERIAL_PATTERNS = ("/dev/ttyS%d", "/dev/ttyUSB%d", "/dev/ttyACM%d")


class BedError(RuntimeError):
    pass


def have_wine():
    return shutil.which("wine") is not None and shutil.which("wineserver") is not None


def _kill(proc, sig=signal.SIGTERM, wait=3.0):
    """Stops one process we started, by its PID; escalates to SIGKILL."""
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.send_signal(sig)
        proc.wait(timeout=wait)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=wait)
    except ProcessLookupError:
        pass


def decode_glyph_line(px, glyphs):
    """The text of one painted line in a pixel matrix (rows of 0xRRGGBB), or None when the
    pixels are not exactly a sequence of the given glyphs. Tries each text top and start
    column that could hold the first inked pixel; a parse must account for every pixel of
    the line's rows from its start to the right edge, glyph cell by glyph cell. Of several
    parses the one with the fewest characters wins (no space is seen where none is needed),
    then the one with the fewest characters outside ASCII."""
    face, height, cells = glyphs["face"], glyphs["height"], glyphs["list"]
    overhang = glyphs.get("overhang", {})
    h, w = len(px), len(px[0]) if px else 0
    ink_rows = [r for r in range(h) if any(v != face for v in px[r])]
    if not ink_rows:
        return ""
    first, last = ink_rows[0], ink_rows[-1]
    if last - first >= height:
        return None                       # more than one line's height of ink
    # Wine places the glyphs of a string at rounded fractional positions, so within a string
    # a glyph steps its whole-pixel advance, one less (only where its last column is blank,
    # so no ink is dropped) or one more (a blank column added).
    shapes = []
    for char, advance, cell in cells:
        columns = [tuple(row[c] for row in cell) for c in range(advance)]
        blank = (face,) * height
        shapes.append((char, columns))
        if advance > 1 and columns[-1] == blank:
            shapes.append((char, columns[:-1]))
        shapes.append((char, columns + [blank]))
        # Above 96 DPI some glyphs (Tahoma's m, L) ink one column past their advance, and in
        # a string Wine sets the next glyph one or two columns later: that column is then the
        # glyph's own overhang as uidriver painted it, maybe followed by a blank one.
        if char in overhang:
            shapes.append((char, columns + [overhang[char]]))
            shapes.append((char, columns + [overhang[char], blank]))
    widest = max(len(columns) for _, columns in shapes)
    advance = {char: n for char, n, _ in cells}
    # Only the shapes whose first column is the screen's can start there (a Japanese glyph
    # set has hundreds of shapes).
    by_first = {}
    for char, columns in shapes:
        by_first.setdefault(columns[0], []).append((char, columns))

    def cost(text):
        # Fewest characters, then fewest outside ASCII: with one pixel of play in the
        # spacing, Tahoma's inverted exclamation mark is an 'i' one column further right.
        return len(text), sum(ord(c) > 127 for c in text)
    for top in range(max(0, last - height + 1), min(first, h - height) + 1):
        screen = [tuple(px[r][c] for r in range(top, top + height)) for c in range(w)]
        blank_from = [True] * (w + 1)     # blank_from[x]: no ink from column x on
        for c in range(w - 1, -1, -1):
            blank_from[c] = blank_from[c + 1] and all(v == face for v in screen[c])
        if blank_from[0]:
            continue
        memo = {}

        def parse(x, lap=None):
            """The shortest text that covers columns x.. exactly, or None. lap: the overhang
            of the glyph before, inked into this column over the next glyph's own first one
            (Wine sets the next glyph at the advance: VL Gothic's handakuten at 144 DPI)."""
            if lap is None and blank_from[x]:
                return ""
            if (x, lap) not in memo:
                best = None
                if lap is None:
                    candidates = by_first.get(screen[x], ())
                else:
                    candidates = [(c, cols) for c, cols in shapes
                                  if tuple(o if o != face else v for o, v in zip(lap, cols[0]))
                                  == screen[x]]
                for char, columns in candidates:
                    n = len(columns)
                    if x + n <= w and screen[x + 1:x + n] == columns[1:]:
                        laps = char in overhang and n == advance[char] and x + n < w
                        for rest in (parse(x + n), parse(x + n, overhang[char]) if laps else None):
                            if rest is not None and (best is None or
                                                     cost(char + rest) < cost(best)):
                                best = char + rest
                memo[(x, lap)] = best
            return memo[(x, lap)]

        start_col = next(c for c in range(w) if not blank_from[c] and
                         any(v != face for v in screen[c]))
        texts = [parse(start) for start in range(max(0, start_col - widest + 1), start_col + 1)]
        texts = [t.strip(" ") for t in texts if t]
        if texts:
            return min(texts, key=cost)
    return None


class Bed:
    """One bed per test run. Call start() once, stop() at the end."""

    def __init__(self, uidriver=None, portcheck=None, keep=False, kind="1252"):
        self.uidriver = uidriver      # Unix paths of the helper .exe files
        self.portcheck = portcheck
        self.keep = keep              # keep the temp dir after stop() (for post-mortems)
        self.kind = kind              # a key of LOCALES
        self.code_page = code_page(kind)
        self.text_heights = TEXT_HEIGHT if kind == "1252" else JA_TEXT_HEIGHT[kind]
        self.root = None
        self.prefix = None
        self.env = None
        self.display = None
        self.user = None
        self.timings = {}
        self._xvfb = None
        self._server = None
        self._ports = {}              # n -> (socat Popen, app-side path A, device-side path B)
        self._held = {}               # n -> fd holding the pty with TIOCEXCL
        self._procs = []              # Windows programs started with start_exe()
        self._seq = 0                 # numbers the output files
        self.rendering = None         # what check_rendering() found
        self.dpi = 96                 # the prefix's DPI (LogPixels); set_dpi() changes it
        self.layout_dpi = 96          # the DPI the tool laid out for and read_text() reads at
        self.glyphs = None            # the tool's painted glyphs, for read_text()
        # In code page 932: the characters read_text() knows beyond ASCII and half-width
        # katakana (read_chars() adds more), and the character set they are painted in.
        self.extra_chars = ""
        self.glyph_charset = "acp"

    # ---- set-up and tear-down ----

    def start(self):
        self.root = tempfile.mkdtemp(prefix="km740-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        home = os.path.join(self.root, "home")
        os.makedirs(home)
        os.makedirs(os.path.join(self.root, "ports"))
        os.makedirs(os.path.join(self.root, "out"))
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "LC_", "DISPLAY"))}
        env.update({
            "WINEPREFIX": self.prefix,
            "HOME": home,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # The locale the prefix is made in; the programs' one (their ANSI code page)
            # replaces it once the prefix is made. No LC_* is passed on, so LANG decides.
            "LANG": LOCALES[self.kind][0],
        })
        self.env = env
        try:
            self._start_xvfb()
            t = time.monotonic()
            self._make_prefix()
            self.env["LANG"] = LOCALES[self.kind][1]
            self.timings["prefix_s"] = time.monotonic() - t
            t = time.monotonic()
            self._start_server()
            self.timings["server_s"] = time.monotonic() - t
        except BaseException:
            self.stop()
            raise
        return self

    def _start_xvfb(self):
        # -displayfd lets Xvfb pick a free display itself: no race with other runs on the host.
        r, w = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        deadline = time.monotonic() + 15
        data = b""
        os.set_blocking(r, False)
        while time.monotonic() < deadline and not data.endswith(b"\n"):
            try:
                chunk = os.read(r, 64)
                if chunk == b"":
                    break
                data += chunk
            except BlockingIOError:
                time.sleep(0.02)
        os.close(r)
        if not data.strip().isdigit():
            raise BedError("Xvfb did not report a display")
        self.display = ":" + data.strip().decode()
        self.env["DISPLAY"] = self.display

    def _make_prefix(self):
        """A fresh prefix; retried once, since a first wineboot can stall on a busy host."""
        for attempt in (1, 2):
            try:
                self._wine(["wineboot", "-i"], timeout=PREFIX_TIMEOUT)
                subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, check=False)
                break
            except subprocess.TimeoutExpired:
                self._server_kill()
                if attempt == 2:
                    raise BedError("wineboot -i timed out twice")
                shutil.rmtree(self.prefix, ignore_errors=True)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            raise BedError("wineboot left no registry in " + self.prefix)
        # Without a window manager a managed window waits 2 s on close and gets odd coordinates.
        self._wine(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                    "/d", "N", "/f"], timeout=RUN_TIMEOUT)
        self._pin_rendering()
        self._server_kill()
        users = os.path.join(self.prefix, "drive_c", "users")
        names = [n for n in os.listdir(users) if n != "Public"]
        if len(names) != 1:
            raise BedError("cannot tell the prefix user from %r" % names)
        self.user = names[0]
        # A fresh prefix links Desktop and Documents to $HOME; real folders let a test tell
        # where a file landed. Wine restores the link only if the folder is missing.
        for name in ("Desktop", "Documents"):
            path = os.path.join(users, self.user, name)
            if os.path.islink(path):
                os.unlink(path)
            os.makedirs(path, exist_ok=True)

    def _pin_rendering(self):
        """Gives the prefix the one rendering the screen reading expects (see PINNED_FONTS)."""
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in PINNED_FONTS:
            source = os.path.join(WINE_FONT_DIR, name)
            if not os.path.isfile(source):
                raise BedError("%s is missing: install the package fonts-wine "
                               "(scripts/deps.sh wine)" % source)
            shutil.copyfile(source, os.path.join(fonts, name))
        # Crisp glyphs: anti-aliased grey strokes read differently at every threshold.
        self._wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "FontSmoothing",
                    "/d", "0", "/f"], timeout=RUN_TIMEOUT)
        # FontSmoothing 0 alone keeps Tahoma crisp only up to 16 pixels a em (96 and 120 DPI):
        # larger sizes come out grey-smoothed all the same. The icon-title font (the tool's
        # font) is therefore pinned to Tahoma 8 pt with lfQuality NONANTIALIASED_QUALITY;
        # Wine keeps it in 96-DPI units and scales its height to each DPI.
        key = r"HKCU\Control Panel\Desktop\WindowMetrics"
        font = ICON_FONT
        if self.kind != "1252":
            if not os.path.isfile(JA_FONT_FILE):
                raise BedError("%s is missing: install the package fonts-vlgothic "
                               "(scripts/deps.sh wine)" % JA_FONT_FILE)
            rc, out, _ = self._wine(["reg", "query", key, "/v", "IconFont"])
            words = out.decode("ascii", "replace").split()
            own = bytes.fromhex(words[-1]) if rc == 0 and "REG_BINARY" in words else b""
            if len(own) != len(ICON_FONT):
                raise BedError("the prefix has no icon-title font to keep: %r" % out)
            font = ja_icon_font(own)
        self._wine(["reg", "add", key, "/v", "IconFont", "/t", "REG_BINARY", "/d", font.hex(),
                    "/f"], timeout=RUN_TIMEOUT)

    def check_rendering(self):
        """Stops the run, naming what differs, unless text is drawn the way the screen
        reading expects; a wrong font would otherwise show up as misread texts much later."""
        r = self.run_query(self.uidriver, "rendering",
                           *([] if self.kind == "1252" else [self.glyph_charset]))
        seen = dict(item.split("=", 1) for item in r.stdout.split("\n") if "=" in item)
        wrong = ["%s is %r, expected %r" % (k, seen.get(k), v)
                 for k, v in expected_rendering(self.dpi, self.kind).items() if seen.get(k) != v]
        if r.returncode != 0 or wrong:
            raise BedError("the dialog text is not drawn as the screen reading expects (%s; "
                           "uidriver said %r): are fonts-wine and Wine 8 from Debian 12 "
                           "installed?" % ("; ".join(wrong) or "no answer", r.stdout.strip()))
        langs = subprocess.run(["tesseract", "--list-langs"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT).stdout.decode()
        if "eng" not in langs.split():
            raise BedError("tesseract has no English data: install tesseract-ocr-eng")
        self.rendering = seen
        self.glyphs = self._load_glyphs()

    def set_dpi(self, dpi):
        """Gives the prefix another display scale (96 = 100%). Wine reads the DPI once, when
        its server starts, from HKCU\\Control Panel\\Desktop\\LogPixels (else from
        HKEY_CURRENT_CONFIG\\Software\\Fonts), so the server is restarted: every Windows
        program of the bed ends. The glyphs for reading text are then painted anew, bigger."""
        if dpi not in self.text_heights:
            raise BedError("no known rendering at %d DPI" % dpi)
        if dpi == self.dpi:
            if self.layout_dpi != dpi:
                self.read_at(dpi)
            return
        self._wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                    "REG_DWORD", "/d", str(dpi), "/f"], timeout=RUN_TIMEOUT)
        self.dpi = self.layout_dpi = dpi
        self.rendering = None
        self.restart_server()

    def read_at(self, dpi):
        """Reads the tool's text as painted for another DPI than the prefix's (after a
        WM_DPICHANGED), with glyphs painted in the font the tool makes for that DPI."""
        self.glyphs = self._load_glyphs(dpi)
        self.layout_dpi = dpi

    def read_chars(self, *texts, charset=None):
        """In code page 932: read_text() knows the characters of these texts too, painted in
        the given character set ("acp", "icon" or a number; by default the one the tool
        paints in), from now on. A character it was not given reads as unreadable."""
        known = (self.glyph_charset, self.extra_chars)
        if charset is not None:
            self.glyph_charset = charset
        for text in texts:
            self.extra_chars += "".join(c for c in text if c not in self.extra_chars)
        if (self.glyph_charset, self.extra_chars) != known:
            self.glyphs = self._load_glyphs(self.layout_dpi)

    def scale(self, pixels):
        """A fixed size of the tool's layout (pixels at 96 DPI) at the DPI it laid out for."""
        return scale(pixels, self.layout_dpi)

    def _load_glyphs(self, dpi=None):
        """The tool's glyphs as painted in this prefix (uidriver glyphs): a list of
        (character, advance, cell) where cell is a tuple of pixel rows, lowest code first, one
        entry per distinct cell (a space and a no-break space look alike: the space is kept)."""
        args = [str(dpi)] if dpi else []
        if self.kind != "1252":
            # Single bytes are ASCII and half-width katakana; a lead byte alone is no character.
            chars = bytes(range(0x20, 0x7F)) + bytes(range(0xA1, 0xE0))
            chars += self.extra_chars.encode(self.code_page)
            args = [str(dpi or self.layout_dpi), self.glyph_charset, chars.hex()]
        r = self.run_query(self.uidriver, "glyphs", *args, timeout=60)
        lines = r.stdout.split("\n")
        if r.returncode != 0 or not lines[0].startswith("G "):
            raise BedError("uidriver glyphs failed: %r" % r.stdout[:200])
        glyphs, seen, i, overhang, alias = [], {}, 0, {}, {}
        while i < len(lines) and lines[i].startswith("G "):
            _, code, advance, height, pad = lines[i].split()
            advance, height, pad = int(advance), int(height), int(pad)
            rows = tuple(tuple(int(row[k:k + 6], 16)
                               for k in range(6 * pad, 6 * (pad + advance), 6))
                         for row in lines[i + 1:i + 1 + height])
            i += 1 + height
            char = bytes.fromhex(code).decode(self.code_page, "replace")
            if advance > 0 and rows in seen:
                alias[char] = seen[rows]
            elif advance > 0:
                seen[rows] = char
                glyphs.append((char, advance, rows))
                # The first column right of the advance: ink there overhangs the next cell.
                k = 6 * (pad + advance)
                overhang[char] = tuple(int(row[k:k + 6], 16) for row in lines[i - height:i])
        face = glyphs[0][2][0][0]         # the space's cell: nothing but the face colour
        # Glyphs with ink first; a blank cell (space) only where nothing else fits.
        glyphs.sort(key=lambda g: all(v == face for row in g[2] for v in row))
        return {"height": height, "face": face, "list": glyphs, "alias": alias,
                "overhang": {c: col for c, col in overhang.items() if any(v != face for v in col)}}

    def _server_cmd(self):
        # Without CAP_SYS_ADMIN the server honours TIOCEXCL on a pty like any other process;
        # as root it would open a port held exclusively, so "port in use" could not be tested.
        cmd = ["wineserver", "-f", "-p"]
        if os.geteuid() == 0:
            cmd = ["setpriv", "--bounding-set", "-sys_admin", "--inh-caps", "-sys_admin"] + cmd
        return cmd

    def _start_server(self):
        """Starts our wineserver in the foreground (so we own its PID), boots the Wine
        services once, removes the host's own serial ports and relinks ours."""
        self._server = subprocess.Popen(self._server_cmd(), env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            if self._server.poll() is not None:
                raise BedError("wineserver exited with %d" % self._server.returncode)
            if self._server_listening():
                break
            if time.monotonic() > deadline:
                raise BedError("wineserver did not come up")
            time.sleep(0.02)
        # The first client boots the services (the mount manager then maps the host's serial
        # devices to the lowest free COM numbers); a window lookup starts the desktop process.
        # Both now, so that the first measured program start is a warm one.
        self._wine(["cmd", "/c", "exit"], timeout=60)
        if self.uidriver:
            self._wine([self.uidriver, "boxes"], timeout=60)
            if self.rendering is None:
                self.check_rendering()
        self._hide_host_ports()
        for n, (_, a, _) in self._ports.items():
            self._link(n, a)

    def _server_listening(self):
        # The server chdirs into its server-<dev>-<inode> directory and binds "socket" there.
        # A client that comes between bind and listen just retries, so the file is enough
        # (/proc/net/unix cannot be used: this sandbox shows only a few sockets there).
        try:
            sockdir = os.readlink("/proc/%d/cwd" % self._server.pid)
        except OSError:
            return False
        return (os.path.basename(sockdir).startswith("server-")
                and os.path.exists(os.path.join(sockdir, "socket")))

    def _hide_host_ports(self):
        """Removes every COM1..COM16 that Wine mapped to a host serial device (here
        /dev/ttyS0 would otherwise appear as a working COM port). The dosdevices link and
        the \\??\\COMn object both go: without the second the port still opens."""
        expected = set()
        for pattern in HOST_SERIAL_PATTERNS:
            i = 0
            while os.path.exists(pattern % i):
                expected.add(pattern % i)
                i += 1
        dosdev = os.path.join(self.prefix, "dosdevices")
        # The mount manager runs in the background of the first client: wait for its links.
        deadline = time.monotonic() + 10
        while True:
            mapped = {}
            for n in range(1, 256):
                link = os.path.join(dosdev, "com%d" % n)
                if os.path.islink(link) and os.readlink(link) in expected:
                    mapped[n] = link
            if len(mapped) >= len(expected) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        victims = []
        for n, link in mapped.items():
            os.unlink(link)
            if n <= MAX_PORT:
                victims.append("COM%d" % n)
        if victims:
            if not self.portcheck:
                raise BedError("host serial ports %s need portcheck.exe to hide" % victims)
            r = self.run(self.portcheck, "--undefine", *victims)
            if r.returncode != 0:
                raise BedError("could not hide host ports: " + r.stdout)

    def _server_kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def restart_server(self):
        """Kills every Windows program of the bed and starts a clean server."""
        self.stop_programs()
        self._server_kill()
        _kill(self._server)
        self._start_server()

    def _stray_pids(self):
        """Processes still carrying our prefix in their environment (services, explorer)."""
        mark = ("WINEPREFIX=" + self.prefix).encode()
        pids = []
        for d in glob.glob("/proc/[0-9]*"):
            try:
                with open(d + "/environ", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        pids.append(int(d[6:]))
            except OSError:
                pass
        return [p for p in pids if p != os.getpid()]

    def stop(self):
        for n in list(self._held):
            self.release_port(n)
        self.stop_programs()
        if self.env is not None and self.prefix and os.path.isdir(self.prefix):
            try:
                self._server_kill()
            except subprocess.TimeoutExpired:
                pass
        _kill(self._server)
        self._server = None
        if self.prefix:
            for pid in self._stray_pids():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        for n in list(self._ports):
            self.remove_port(n)
        _kill(self._xvfb)
        self._xvfb = None
        if self.root and not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- running Windows programs ----

    # Output goes to files, never pipes: the first Wine client of a server spawns services,
    # explorer etc., which inherit its stdout and would keep a pipe open long after it ended.
    def _outfile(self, tag):
        self._seq += 1
        return os.path.join(self.root, "out", "%04d-%s.txt" % (self._seq, tag))

    def _wine(self, args, timeout=RUN_TIMEOUT, cwd=None):
        """Runs wine with args; returns (exit code, stdout bytes, stderr bytes)."""
        out, err = self._outfile("out"), self._outfile("err")
        with open(out, "wb") as fo, open(err, "wb") as fe:
            p = subprocess.Popen(["wine"] + list(args), env=self.env, cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=fo, stderr=fe)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill(p)
            raise
        with open(out, "rb") as fo, open(err, "rb") as fe:
            data = fo.read(), fe.read()
        os.unlink(out)
        os.unlink(err)
        return rc, data[0], data[1]

    def run(self, exe, *args, timeout=RUN_TIMEOUT, cwd=None):
        """Runs exe to its end: a CompletedProcess with returncode (the Windows exit code),
        stdout and stderr as text (UTF-8)."""
        rc, out, err = self._wine([exe] + list(args), timeout=timeout, cwd=cwd)
        return subprocess.CompletedProcess([exe] + list(args), rc,
                                           out.decode("utf-8", "replace"),
                                           err.decode("utf-8", "replace"))

    def start_exe(self, exe, *args, cwd=None):
        """Starts exe and returns its Popen; its stdout is collected in p.out_path (see
        output() and wait_output()). Killed at teardown if still running."""
        path = self._outfile("proc")
        with open(path, "wb") as fo:
            p = subprocess.Popen(["wine", exe] + list(args), env=self.env, cwd=cwd,
                                 stdin=subprocess.DEVNULL, stdout=fo,
                                 stderr=subprocess.DEVNULL)
        p.out_path = path
        self._procs.append(p)
        return p

    @staticmethod
    def output(p):
        """What a program from start_exe has printed so far (text, CR LF made LF)."""
        with open(p.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r\n", "\n")

    def wait_output(self, p, text, timeout=10.0):
        """Waits until the program has printed text; returns whether it did."""
        deadline = time.monotonic() + timeout
        while text not in self.output(p):
            if p.poll() is not None and text not in self.output(p):
                return False
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def stop_programs(self):
        """Kills every program started with start_exe that still runs."""
        for p in self._procs:
            _kill(p, wait=5)
        self._procs = []

    def run_query(self, exe, *args, timeout=RUN_TIMEOUT):
        """run() for a command that only looks, of a helper that prints on every path it
        takes. Exit 1 with nothing printed then means Wine never ran it (seen for uidriver
        once in a full run and once for a wait-box in a fresh root, and for a serialcheck
        probe in CI); such a query is asked again once. Commands that act are never repeated."""
        for attempt in (1, 2):
            r = self.run(exe, *args, timeout=timeout)
            if r.returncode != 1 or r.stdout or attempt == 2:
                break
            sys.stderr.write("winebed: %s %s -> 1 with no output, asked again; stderr: %s\n"
                             % (os.path.basename(exe), " ".join(args[:1]), r.stderr[-2000:]))
        return r

    # uidriver's commands that only look. It prints on every path it takes (usage, exit 2,
    # to stderr; a wait that runs out prints "timeout").
    UI_QUERIES = {"title", "client", "client-origin", "window-rect", "caption", "enabled",
                  "visible", "rect", "items", "cursel", "boxes", "acp", "rendering", "glyphs",
                  "wait-box", "wait-caption"}

    def _ui_run(self, args, timeout):
        args = [str(a) for a in args]
        run = self.run_query if args and args[0] in self.UI_QUERIES else self.run
        r = run(self.uidriver, *args, timeout=timeout)
        out = r.stdout[:-1] if r.stdout.endswith("\n") else r.stdout
        return r.returncode, out, r.stderr

    def ui(self, *args, timeout=RUN_TIMEOUT):
        """One uidriver command: (exit code, stdout without the final newline)."""
        rc, out, _ = self._ui_run(args, timeout)
        return rc, out

    def ui_ok(self, *args, timeout=RUN_TIMEOUT):
        rc, out, err = self._ui_run(args, timeout)
        if rc != 0:
            # Wine's own complaints (a failed start, a crash) go to stderr: keep them.
            raise AssertionError("uidriver %s -> %d: %s%s" % (
                " ".join(map(str, args)), rc, out, "\nstderr: " + err[-2000:] if err else ""))
        return out

    # ---- folders ----

    def user_dir(self, name):
        return os.path.join(self.prefix, "drive_c", "users", self.user, name)

    def folders(self):
        """Unix paths of the Desktop and Documents folders of the prefix's user."""
        return self.user_dir("Desktop"), self.user_dir("Documents")

    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    def windows_path(self, unix_path):
        """C:\\... for a path inside drive_c, else Z:\\... (how Wine names it)."""
        p = os.path.abspath(unix_path)
        c = self.drive_c()
        if p == c:
            return "C:\\"
        if p.startswith(c + os.sep):
            return "C:\\" + os.path.relpath(p, c).replace("/", "\\")
        return "Z:" + p.replace("/", "\\")

    # ---- virtual COM ports ----

    def add_port(self, n):
        """Makes COMn a socat pty pair; returns the device-side path (write the device's
        bytes there). Takes effect at once, for programs already running too."""
        if not 1 <= n <= 255 or n in self._ports:
            raise BedError("bad or duplicate port %d" % n)
        a = os.path.join(self.root, "ports", "com%d-app" % n)
        b = os.path.join(self.root, "ports", "com%d-dev" % n)
        proc = subprocess.Popen(
            ["socat", "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not (os.path.exists(a) and os.path.exists(b)):
            if proc.poll() is not None or time.monotonic() > deadline:
                _kill(proc)
                raise BedError("socat gave no pty pair for COM%d" % n)
            time.sleep(0.01)
        self._ports[n] = (proc, a, b)
        self._link(n, a)
        return b

    def _link(self, n, target):
        # A plain dosdevices link, not a registry entry: a port from HKLM\Software\Wine\Ports
        # also gets a kernel object that keeps it openable after its pty is gone. The mount
        # manager clears the links at each server start; _start_server relinks them.
        link = os.path.join(self.prefix, "dosdevices", "com%d" % n)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(target, link)

    def remove_port(self, n):
        """COMn disappears: the link goes and the pty pair with it (opening then fails)."""
        if n in self._held:
            self.release_port(n)
        entry = self._ports.pop(n, None)
        if self.prefix:
            link = os.path.join(self.prefix, "dosdevices", "com%d" % n)
            if os.path.lexists(link):
                os.unlink(link)
        if entry:
            _kill(entry[0])

    def remove_all_ports(self):
        for n in list(self._ports):
            self.remove_port(n)

    def unplug_port(self, n):
        """Ends the pty pair but keeps the link: like pulling a USB adapter while in use."""
        entry = self._ports.get(n)
        if entry:
            _kill(entry[0])

    def port_paths(self, n):
        """(app-side path, device-side path) of COMn."""
        _, a, b = self._ports[n]
        return a, b

    def hold_port(self, n):
        """Holds COMn the way another program would: opening it under Wine then fails."""
        if n in self._held:
            return
        a = self._ports[n][1]
        fd = os.open(a, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.ioctl(fd, termios.TIOCEXCL)
        self._held[n] = fd

    def release_port(self, n):
        fd = self._held.pop(n, None)
        if fd is None:
            return
        # socat keeps the pty open, so the exclusive flag would outlive our fd: clear it.
        with contextlib.suppress(OSError):
            fcntl.ioctl(fd, termios.TIOCNXCL)
        os.close(fd)

    @contextlib.contextmanager
    def port_held(self, n):
        self.hold_port(n)
        try:
            yield
        finally:
            self.release_port(n)

    # ---- the screen ----

    def pixels(self, shot, x, y, w, h):
        """Rows of 0xRRGGBB of a screen rectangle."""
        raw = subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                              "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, check=True,
                             timeout=RUN_TIMEOUT).stdout
        if len(raw) != 3 * w * h:
            raise BedError("crop %dx%d+%d+%d is not inside the screen" % (w, h, x, y))
        return [[(raw[k] << 16) | (raw[k + 1] << 8) | raw[k + 2]
                 for k in range(3 * w * row, 3 * w * (row + 1), 3)] for row in range(h)]

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       timeout=RUN_TIMEOUT, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return path

    def ocr(self, x, y, w, h, shot=None):
        """Text in a screen rectangle: crop, grey, 4x upscale, tesseract --psm 6. No threshold
        of our own: tesseract binarises each image by its own histogram (Otsu), which holds
        for crisp and for anti-aliased glyphs alike, where one fixed grey level broke thin
        grey strokes. No margin either: a white frame around the grey dialog background gives
        Otsu two levels to split even where no text is, and blank areas then read as noise.
        The caller compares whole texts, so a misreading fails rather than passes."""
        work = os.path.join(self.root, "ocr")
        os.makedirs(work, exist_ok=True)
        if shot is None:
            shot = self.screenshot(os.path.join(work, "screen.png"))
        crop = os.path.join(work, "crop.png")
        subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        "-colorspace", "Gray", "-filter", "Catrom", "-resize", "400%", crop],
                       timeout=RUN_TIMEOUT, check=True)
        lang = ["-l", "jpn"] if self.kind != "1252" and self._has_jpn() else []
        r = subprocess.run(["tesseract", crop, "stdout", "--psm", "6"] + lang, timeout=RUN_TIMEOUT,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
        return r.stdout.decode("utf-8", "replace").strip()

    @staticmethod
    def _has_jpn():
        langs = subprocess.run(["tesseract", "--list-langs"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT).stdout.decode()
        return "jpn" in langs.split()

    def as_read(self, text):
        """The text as read_text() gives it: a character drawn exactly like one of a lower code
        (VL Gothic's half-width katakana E and a capital I) reads as that one."""
        alias = self.glyphs.get("alias", {})
        return "".join(alias.get(c, c) for c in text)

    def read_text(self, x, y, w, h, shot=None, ground=None):
        """The one line of text the tool painted in a screen rectangle, read exactly: the
        rectangle's pixels must be a row of the tool's own glyphs (as uidriver glyphs draws
        them in this prefix), cell after cell, on the face colour. No guessing: anything else
        reads as '<unreadable ...>' with tesseract's reading beside it for the failure message.
        Trailing spaces cannot be seen and are not returned. ground: the colour a control
        paints behind its text (a button's or a list's white), read as the face colour."""
        if shot is None:
            shot = self.screenshot(os.path.join(self.root, "ocr-screen.png"))
        px = self.pixels(shot, x, y, w, h)
        if ground is not None:
            face = self.glyphs["face"]
            px = [[face if v == ground else v for v in row] for row in px]
        text = decode_glyph_line(px, self.glyphs)
        if text is None:
            return "<unreadable; tesseract reads %r>" % self.ocr(x, y, w, h, shot)
        return text

    def client_origin(self):
        """Screen position of the main window's client area (for cropping screenshots)."""
        x, y = map(int, self.ui_ok("client-origin").split())
        return x, y
