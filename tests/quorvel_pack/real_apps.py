"""Small applications built on the machine's own third-party packages
(Debian's python3-* in dist-packages) and on the standard library's run-time
behaviour: what each prints, and which distributions its installation holds.

Shared by the end-to-end test and the packing benchmark."""

from typing import Dict, FrozenSet, NamedTuple, Tuple

DIST_PACKAGES = "/usr/lib/python3/dist-packages"


class RealApp(NamedTuple):
    files: Dict[str, str]  # relative path -> text
    expected: str  # standard output of run()
    # Distributions whose metadata the installation holds: those that the
    # modules the application reaches import, and no other.
    distributions: FrozenSet[str]
    display: bool = False  # needs an X display
    # System data hidden from this application besides the packages' own:
    # what it must not read from the system.
    hidden_data: Tuple[str, ...] = ()


ARRAY = RealApp(
    {
        "__startup__.py": """\
import numpy as np


def run():
    a = np.arange(6.0).reshape(2, 3)
    gram = a @ a.T  # a matrix product: BLAS
    print(gram.tolist(), round(float(np.linalg.det(gram)), 6))
    print(np.linalg.solve(gram, [1.0, 2.0]).round(6).tolist())
    print(np.fft.rfft([1.0, 0.0, -1.0, 0.0]).real.tolist())
""",
    },
    "[[5.0, 14.0], [14.0, 50.0]] 54.0\n[0.407407, -0.074074]\n[0.0, 2.0, 0.0]\n",
    frozenset({"numpy"}),
)

TEMPLATES = RealApp(
    {
        "__startup__.py": """\
from jinja2 import Environment, PackageLoader, select_autoescape


def run():
    env = Environment(loader=PackageLoader("webpages"), autoescape=select_autoescape())
    print(env.get_template("page.html").render(title="Fish & Chips", items=[1, 2]))
""",
        "webpages/__init__.py": "",
        "webpages/templates/page.html": (
            "<h1>{{ title }}</h1>{% for item in items %}<li>{{ item * 2 }}</li>{% endfor %}"
        ),
    },
    "<h1>Fish &amp; Chips</h1><li>2</li><li>4</li>\n",
    frozenset({"jinja2", "markupsafe"}),
)

HTTP = RealApp(
    {
        "__startup__.py": """\
import requests


def run():
    session = requests.Session()
    request = requests.Request(
        "POST", "https://example.org/search", params={"q": "two words"}, json={"n": 1}
    )
    prepared = session.prepare_request(request)
    print(prepared.method, prepared.url)
    print(prepared.headers["Content-Type"], prepared.body)
    print(prepared.headers["User-Agent"] == "python-requests/" + requests.__version__)
    print(prepared.headers["Accept-Encoding"])
""",
    },
    "POST https://example.org/search?q=two+words\n"
    "application/json b'{\"n\": 1}'\nTrue\ngzip, deflate, br\n",
    frozenset(
        {"requests", "urllib3", "idna", "certifi", "chardet", "charset-normalizer", "brotli", "six"}
    ),
)

IMAGES = RealApp(
    {
        "__startup__.py": """\
import io

from PIL import Image


def run():
    image = Image.new("RGB", (5, 3), (200, 30, 10))
    for kind in ("PNG", "JPEG", "TIFF"):
        data = io.BytesIO()
        image.save(data, kind)
        data.seek(0)
        again = Image.open(data)
        pixel = again.getpixel((0, 0)) if kind != "JPEG" else ""  # JPEG is lossy
        print(again.format, again.size, again.mode, pixel)
""",
    },
    "PNG (5, 3) RGB (200, 30, 10)\nJPEG (5, 3) RGB \nTIFF (5, 3) RGB (200, 30, 10)\n",
    frozenset({"pillow"}),
)

HIGHLIGHTER = RealApp(
    {
        "__startup__.py": """\
from pygments import highlight
from pygments.formatters import get_formatter_by_name
from pygments.lexers import get_lexer_by_name
from pygments.styles import get_style_by_name


def run():
    html = get_formatter_by_name("html", nowrap=True)
    print(highlight("def f(): return 1", get_lexer_by_name("python"), html), end="")
    print(get_lexer_by_name("rust").name, get_formatter_by_name("terminal256").name)
    print(get_style_by_name("monokai").background_color)
""",
    },
    '<span class="k">def</span> <span class="nf">f</span><span class="p">():</span> '
    '<span class="k">return</span> <span class="mi">1</span>\n'
    "Rust Terminal256\n#272822\n",
    frozenset({"pygments"}),
)

PLOTTING = RealApp(
    {
        "__startup__.py": """\
import os
import struct

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import font_manager  # noqa: E402


def run():
    figure, axes = plt.subplots(figsize=(2, 1), dpi=50)
    axes.plot([0, 1, 2], [0, 1, 4])
    axes.set_title("Squares")
    figure.savefig("plot.png")
    with open("plot.png", "rb") as f:
        head = f.read(24)
    print(head[:8] == b"\\x89PNG\\r\\n\\x1a\\n", struct.unpack(">II", head[16:24]))
    font = font_manager.findfont("DejaVu Sans", fallback_to_default=False)
    own = os.path.dirname(matplotlib.__file__) + os.sep
    print(os.path.basename(font), font.startswith(own))
""",
    },
    "True (100, 50)\nDejaVuSans.ttf True\n",
    frozenset(
        {
            "matplotlib",
            "numpy",
            "pillow",
            "pyparsing",
            "cycler",
            "python-dateutil",
            "six",
            "kiwisolver",
            "packaging",
            "contourpy",
        }
    ),
    # The fonts the plotting library's data links to: it ships them.
    hidden_data=("/usr/share/fonts",),
)

WINDOW = RealApp(
    {
        "__startup__.py": """\
import os
import tkinter


def run():
    root = tkinter.Tk()
    root.title("real application")
    label = tkinter.Label(root, text="Hello from Tk")
    label.pack()
    root.update()
    lib = os.path.dirname(os.path.dirname(tkinter.__file__)) + os.sep
    scripts = [root.tk.eval("set tcl_library"), root.tk.eval("set tk_library")]
    print(root.winfo_ismapped(), label.cget("text"), [s.startswith(lib) for s in scripts])
    root.destroy()
""",
    },
    "1 Hello from Tk [True, True]\n",
    frozenset(),
    display=True,
)

LOCALE_DATA = RealApp(
    {
        "__startup__.py": """\
from datetime import date

from babel.dates import format_date
from babel.numbers import format_decimal


def run():
    day = date(2024, 3, 5)
    print(format_date(day, format="full", locale="de_DE"))
    print(format_date(day, format="full", locale="fr_FR"))
    print(format_decimal(1234567.891, locale="de_DE"))
""",
    },
    "Dienstag, 5. März 2024\nmardi 5 mars 2024\n1.234.567,891\n",
    frozenset({"babel", "pytz"}),
)

STANDARD_LIBRARY = RealApp(
    {
        "__startup__.py": """\
import codecs
import concurrent.futures
import datetime
import logging.config
import multiprocessing
import os
import pkgutil
import ssl
import time
import zoneinfo

import work


def run():
    when = datetime.datetime.strptime("2024-03-05 14:30", "%Y-%m-%d %H:%M")
    print(when.isoformat(), time.strptime("05/03/2024", "%d/%m/%Y").tm_yday)
    print(codecs.lookup("latin-1").name, "é€".encode("cp1252"), "日本".encode("shift_jis"))
    spawn = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
        print(list(pool.map(work.square, [1, 2, 3])))
    logging.config.dictConfig(
        {
            "version": 1,
            "formatters": {"plain": {"format": "%(levelname)s:%(name)s:%(message)s"}},
            "handlers": {
                "out": {
                    "class": "logging.StreamHandler",
                    "formatter": "plain",
                    "stream": "ext://sys.stdout",
                }
            },
            "root": {"handlers": ["out"], "level": "INFO"},
        }
    )
    logging.getLogger("app").info("configured")
    for zone in ("Europe/Berlin", "America/New_York"):
        print(zone, datetime.datetime(2024, 7, 1, 12, tzinfo=zoneinfo.ZoneInfo(zone)).utcoffset())
    context = ssl.create_default_context()
    print(context.verify_mode == ssl.CERT_REQUIRED, context.check_hostname)
    here = os.path.dirname(work.__file__)
    print([m.name for m in pkgutil.iter_modules([here]) if m.name == "work"])
""",
        "work.py": "def square(x):\n    return x * x\n",
    },
    "2024-03-05T14:30:00 65\n"
    "iso8859-1 b'\\xe9\\x80' b'\\x93\\xfa\\x96{'\n"
    "[1, 4, 9]\n"
    "INFO:app:configured\n"
    "Europe/Berlin 2:00:00\n"
    "America/New_York -1 day, 20:00:00\n"
    "True True\n"
    "['work']\n",
    frozenset(),
)

APPS = {
    "array": ARRAY,
    "templates": TEMPLATES,
    "http": HTTP,
    "images": IMAGES,
    "highlighter": HIGHLIGHTER,
    "plotting": PLOTTING,
    "window": WINDOW,
    "locale_data": LOCALE_DATA,
    "standard_library": STANDARD_LIBRARY,
}
