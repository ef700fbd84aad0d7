#!/usr/bin/env python3
"""Draws the hicolor theme icons the package installs into packaging/icons/: the assistant's
icon and the secure files' icon at the usual sizes, with the pictures of scripts/make-artwork.py.
"""

import os
import runpy
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "packaging", "icons", "hicolor")
SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

art = types.SimpleNamespace(**runpy.run_path(os.path.join(ROOT, "scripts", "make-artwork.py"), run_name="artwork"))


class SizedCanvas(art.Canvas):
    """A picture drawn in `logical` units onto `pixels` device pixels, any ratio."""

    def __init__(self, logical, pixels):
        self.w = self.h = logical
        self.scale = pixels / logical
        self.pw = self.ph = pixels
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(pixels * pixels)]


def save(canvas, context, name, size):
    folder = os.path.join(OUT, "%dx%d" % (size, size), context)
    os.makedirs(folder, exist_ok=True)
    canvas.save(os.path.join(folder, name + ".png"))


def main():
    for n in SIZES:
        # Below 32 pixels the shield's gloss and rim are noise; the tray's plainer lock reads better.
        app = SizedCanvas(n, n)
        art.draw_app_icon(n, detail=n >= 32)(app)
        save(app, "apps", "orvikdesk", n)
        secure = SizedCanvas(32, n)
        art.draw_secure_file(secure)
        save(secure, "mimetypes", "application-x-orvik-secure-file", n)


if __name__ == "__main__":
    main()
