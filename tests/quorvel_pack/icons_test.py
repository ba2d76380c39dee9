"""The application's icon: what is refused, and the images drawn at the
theme's sizes."""

import io
import os
import tempfile
import unittest

from PIL import Image

from quorvel_pack import PackError, icons


def png(width, height=None, colour=(200, 40, 40, 255)):
    out = io.BytesIO()
    Image.new("RGBA", (width, height or width), colour).save(out, "PNG")
    return out.getvalue()


class IconsTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = self.tmp.name

    def test_drawn_at_each_size_the_same_every_time(self):
        source = os.path.join(self.root, "icon.png")
        image = Image.new("RGBA", (300, 300), (0, 0, 0, 0))
        image.paste((30, 120, 220, 255), (0, 0, 150, 300))
        image.save(source)
        first = icons.hicolor_icons(source)
        self.assertEqual(first, icons.hicolor_icons(source))
        self.assertEqual(list(icons.HICOLOR_SIZES), sorted(first))
        for size, data in first.items():
            with Image.open(io.BytesIO(data)) as drawn:
                self.assertEqual(
                    ("PNG", "RGBA", (size, size)), (drawn.format, drawn.mode, drawn.size)
                )
                # The left half stays blue, the right half transparent.
                self.assertEqual((30, 120, 220, 255), drawn.getpixel((size // 8, size // 2)))
                self.assertEqual(0, drawn.getpixel((size - 1 - size // 8, size // 2))[3])

    def test_only_square_pngs_of_256_pixels_or_more(self):
        jpeg = io.BytesIO()
        Image.new("RGB", (256, 256)).save(jpeg, "JPEG")
        cases = [
            ("square 256", png(256), None),
            ("square 1024", png(1024), None),
            ("too small", png(128), "128x128 pixels"),
            ("not square", png(300, 256), "300x256 pixels"),
            ("not a PNG", jpeg.getvalue(), "not a PNG"),
            ("truncated", png(256)[:60], "not a readable PNG"),
        ]
        for what, data, message in cases:
            with self.subTest(what):
                path = os.path.join(self.root, "icon.png")
                with open(path, "wb") as f:
                    f.write(data)
                if message is None:
                    icons.check_icon(path)
                    continue
                with self.assertRaises(PackError) as raised:
                    icons.check_icon(path)
                self.assertIn(message, str(raised.exception))


if __name__ == "__main__":
    unittest.main()
