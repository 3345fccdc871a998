"""Chart files are well-formed PNG holding exactly the pixels the canvas drew."""

from __future__ import annotations

import struct
import zlib

import numpy as np
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from PIL import Image

from vantorel.backtest import _weightsim as ws

from support.totals import make_total


def chunks(data: bytes):
    """(type, body) of each chunk, checking every CRC."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at = 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(kind + body), kind
        yield kind, body
        at += 12 + length


@pytest.mark.parametrize("kind", ["large", "long"])
def test_chart_file_holds_the_drawn_pixels(tmp_path, monkeypatch, kind):
    drawn = []
    draw = FigureCanvasAgg.draw

    def keeping_pixels(self):
        draw(self)
        drawn.append(np.asarray(self.buffer_rgba()).copy())

    monkeypatch.setattr(FigureCanvasAgg, "draw", keeping_pixels)
    path = tmp_path / "weekly.png"
    ws.plot_weekly_net_value(make_total(300), save_path=path, image_kind=kind)
    pixels = drawn[-1]

    found = dict(chunks(path.read_bytes()))
    assert list(found) == [b"IHDR", b"IDAT", b"IEND"]
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", found[b"IHDR"])
    assert (height, width, depth, interlace) == (*pixels.shape[:2], 8, 0)
    # An opaque page is written without its alpha channel.
    assert (pixels[..., 3] == 255).all() and colour == 2

    # One zlib stream (its checksum checked by zlib), each row behind filter 0.
    rows = np.frombuffer(zlib.decompress(found[b"IDAT"]), dtype=np.uint8).reshape(height, 1 + width * 3)
    assert (rows[:, 0] == 0).all()
    assert np.array_equal(rows[:, 1:].reshape(height, width, 3), pixels[..., :3])
    with Image.open(path) as image:
        assert image.mode == "RGB" and np.array_equal(np.asarray(image), pixels[..., :3])
