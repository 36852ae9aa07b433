"""The header of both wizard pages as it shows on the X display: the real program under Wine,
its client area read back from the Xvfb screen (ImageMagick's import of the root window), pixel
by pixel against what the header must be: a white band over the whole width in rows 0 to 64, the
grey separator on row 65, the header picture of res/header.bmp at the band's right end, dark
text pixels in the title and subtitle areas and nothing dark between the texts and the picture.

The second page is reached against the scripted server with a held request ("/_hold=NAME" in the
host text, see test_download_page.py), so it stays on screen, unchanged, while it is read.
"""

import subprocess
import time
import unittest
from pathlib import Path

from kvtestkit import kvtest
from kvtestkit.kvwizard import HOST, NEXT, SCHEME
from kvtestkit.kvservers import Servers

HEADER_BMP = Path(__file__).resolve().parents[2] / "res" / "header.bmp"

PREV, FINISH = 1010, 1008

BAND_ROWS = 65
SEPARATOR = (160, 160, 160)
WHITE = (255, 255, 255)
# Texts: origin, and the strings (string table 174/180, 218/224) whose length bounds their width.
# A glyph of the 12-unit header font is at most 12 pixels wide and its cell 12 rows high.
TITLE_AT, SUBTITLE_AT = (25, 10), (35, 30)
GLYPH_MAX = 12
SETUP_TEXTS = ("접속주소 입력", "설치를 진행하려면 접속주소가 필요합니다.")
DOWNLOAD_TEXTS = ("설치", "설치를 진행합니다.")


def read_bmp(path):
    """(width, height, pixels[y][x] as (r, g, b)) of an uncompressed 24-bit BMP."""
    data = path.read_bytes()
    offset = int.from_bytes(data[10:14], "little")
    width = int.from_bytes(data[18:22], "little", signed=True)
    height = int.from_bytes(data[22:26], "little", signed=True)
    assert int.from_bytes(data[28:30], "little") == 24, "header.bmp is not 24-bit"
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        src = y if height < 0 else abs(height) - 1 - y
        line = data[offset + src * stride: offset + src * stride + width * 3]
        rows.append([(line[i + 2], line[i + 1], line[i]) for i in range(0, width * 3, 3)])
    return width, abs(height), rows


def grab(x, y, w, h):
    """The screen's pixels in the rectangle, as rows of (r, g, b), through a binary PPM."""
    out = subprocess.run(["import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                          "-depth", "8", "ppm:-"], check=True, stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL, timeout=60).stdout
    # "P6 <w> <h> <max>" and one white-space byte, then the samples: the data may itself start
    # with white-space bytes, so the header is taken apart field by field.
    fields, pos = [], 0
    while len(fields) < 4:
        while out[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not out[end:end + 1].isspace():
            end += 1
        fields.append(out[pos:end])
        pos = end
    data = out[pos + 1:]
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    assert (int(fields[1]), int(fields[2])) == (w, h), fields
    return [[tuple(data[(r * w + c) * 3:(r * w + c) * 3 + 3]) for c in range(w)] for r in range(h)]


def client_origin(page):
    """Where the page's client area starts on the screen: any control's screen rectangle less
    its rectangle in the client area."""
    control = page.info(NEXT)
    on_screen = page.driver.check("info", control["hwnd"])
    return on_screen["rect"][0] - control["rect"][0], on_screen["rect"][1] - control["rect"][1]


def grab_client(page, settle_s=20.0):
    """The client area's pixels once two reads in a row agree, so a paint in progress is never
    judged."""
    cw, ch = page.info()["client"]
    x, y = client_origin(page)
    deadline = time.monotonic() + settle_s
    last = grab(x, y, cw, ch)
    while time.monotonic() < deadline:
        now = grab(x, y, cw, ch)
        if now == last:
            return now
        last = now
    raise AssertionError("the window's pixels kept changing")


def dark(p):
    return sum(p) < 3 * 128


def text_box(origin, text):
    x, y = origin
    return (x, y, x + GLYPH_MAX * len(text), y + GLYPH_MAX)


def inside(box, x, y):
    return box[0] <= x < box[2] and box[1] <= y < box[3]


class HeaderPixelsTest(kvtest.WizardTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.picture = read_bmp(HEADER_BMP)
        cls.servers = Servers.for_class(cls, kinds=("script",), trust=False)

    def check_header(self, img, texts):
        width = len(img[0])
        pw, ph, pic = self.picture
        pic_x, pic_y = width - pw - 2, 2
        title = text_box(TITLE_AT, texts[0])
        subtitle = text_box(SUBTITLE_AT, texts[1])
        self.assertLess(max(title[2], subtitle[2]), pic_x, "the texts' areas end before the picture")

        with self.subTest("band white over the whole width, rows 0 to 64, around texts and picture"):
            not_white = [(x, y, img[y][x]) for y in range(BAND_ROWS) for x in range(width)
                         if not (pic_x <= x < pic_x + pw and pic_y <= y < pic_y + ph)
                         and not inside(title, x, y) and not inside(subtitle, x, y) and img[y][x] != WHITE]
            self.assertEqual(not_white[:5], [], "%d pixels" % len(not_white))
        with self.subTest("separator on row 65 across"):
            self.assertEqual({img[BAND_ROWS][x] for x in range(width)}, {SEPARATOR})
        with self.subTest("nothing of the header on row 66"):
            self.assertNotIn(WHITE, {img[BAND_ROWS + 1][x] for x in range(width)})
            self.assertNotIn(SEPARATOR, {img[BAND_ROWS + 1][x] for x in range(width)})
        with self.subTest("picture at (width - 57, 2), as in res/header.bmp"):
            differ = [(x, y) for y in range(ph) for x in range(pw) if img[pic_y + y][pic_x + x] != pic[y][x]]
            self.assertEqual(differ[:5], [], "%d pixels differ" % len(differ))
        for name, box in (("title", title), ("subtitle", subtitle)):
            with self.subTest("%s area holds dark pixels, starting at the text's origin" % name):
                ink = [(x, y) for y in range(box[1], box[3]) for x in range(box[0], box[2]) if dark(img[y][x])]
                self.assertGreater(len(ink), 20)
                # The first glyph's ink starts a pixel or two right of and below the origin.
                self.assertIn(min(x for x, _ in ink) - box[0], range(0, 4))
                self.assertIn(min(y for _, y in ink) - box[1], range(0, 4))

    def start_page(self):
        page = self.start_wizard()
        page.wait(SCHEME, "text", "http://")
        return page

    def test_first_page_header(self):
        page = self.start_page()
        self.check_header(grab_client(page), SETUP_TEXTS)

    def test_download_page_header_covers_the_first(self):
        self.servers.script_reset()
        page = self.start_page()
        page.set_text(HOST, self.servers.host("script") + "/_hold=paint")
        page.wait(NEXT, "enabled")
        page.click(NEXT)
        page.wait(PREV, "visible", timeout=15000)
        # Running, with its first request held: the page stays as it is while it is read.
        page.wait(PREV, "disabled", timeout=15000)
        try:
            img = grab_client(page)
        finally:
            # The program ends before the request is let go, so the steps go no further.
            page.process.stop()
            self.servers.script_release("paint")
        # The download page's shorter title: the first page's title would show dark pixels
        # beyond "설치" in the white that the check requires there.
        self.check_header(img, DOWNLOAD_TEXTS)


if __name__ == "__main__":
    unittest.main(verbosity=2)
