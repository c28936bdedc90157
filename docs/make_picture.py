"""Regenerates docs/tear_sheet.png, the README's picture, from a real run of `sigmora demo`.

    python docs/make_picture.py [--store PATH] [--height 1545]

Runs the demo exactly as `make demo` does (on the default demo store unless --store names
another), then has headless Chromium take a 1280 px wide screenshot of the top of the tear
sheet: the run's description, the leaderboard and the first factor's headline figures and
charts. Needs the installed package (`make install`) and Chromium (apt-get install chromium).
"""

import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

from sigmora import cli
from sigmora._atomic import write_atomic

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH = 1280


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    sys.exit("make_picture: no Chromium found (apt-get install chromium)")


def screenshot(html_path, png_path, height):
    """A WIDTH x height screenshot of the page's top, by headless Chromium."""
    profile = tempfile.mkdtemp(prefix="sigmora-picture-")
    try:
        subprocess.run([_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        "--force-device-scale-factor=1", "--user-data-dir=" + profile,
                        "--window-size={},{}".format(WIDTH, height), "--screenshot=" + png_path,
                        "file://" + os.path.abspath(html_path)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", help="tidewell store for the demo (default: the default demo store)")
    parser.add_argument("--height", type=int, default=1545, help="height of the picture in pixels")
    parser.add_argument("--out", default=os.path.join(HERE, "tear_sheet.png"), help="the picture to write")
    args = parser.parse_args(argv)

    work = tempfile.mkdtemp(prefix="sigmora-picture-")
    try:
        demo = ["demo", "--out", work, "--quiet"] + (["--store", args.store] if args.store else [])
        code = cli.main(demo)
        if code:
            sys.exit("make_picture: sigmora demo failed with exit code {}".format(code))
        shot = os.path.join(work, "shot.png")
        screenshot(os.path.join(work, "tear_sheet.html"), shot, args.height)
        image = Image.open(shot).convert("RGB")
        buf = io.BytesIO()
        image.save(buf, format="PNG", optimize=True)
        write_atomic(args.out, buf.getvalue())
        print("{}: {} x {}".format(args.out, *image.size))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
