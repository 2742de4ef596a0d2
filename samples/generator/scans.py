"""Image-only renderings: what a school's scanner makes of the printed pages."""
import os
import pathlib
import subprocess
import tempfile

from PIL import Image, ImageChops, ImageDraw, ImageFilter

from typeset import rng_for


def rasterise(pdf, dpi, folder):
    """Gray pages of `pdf` at `dpi`, in page order."""
    prefix = os.path.join(folder, f"page{dpi}")
    subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", "-png", pdf, prefix], check=True)
    found = pathlib.Path(folder).glob(f"page{dpi}-*.png")
    return sorted(found, key=lambda p: int(p.stem.rsplit("-", 1)[1]))


def wrap_images(images, out):
    """One image per page. img2pdf's internal engine derives the file ID from
    its arguments, so it is run on bare names from inside the folder."""
    folder = images[0].parent
    subprocess.run(["img2pdf", "--engine", "internal", "--nodate", "--producer", "flatbed scanner",
                    "-o", os.path.abspath(out)] + [p.name for p in images], cwd=folder, check=True)


def clean(page, dpi, out):
    Image.open(page).convert("L").save(out, "PNG", optimize=True, dpi=(dpi, dpi))


def noise_field(rng, size, amplitude):
    """Zero-mean grain centred on 128, from the seeded source (Pillow's own
    noise generator cannot be seeded)."""
    w, h = size
    field = Image.frombytes("L", size, rng.randbytes(w * h))
    table = [round(128 + (v - 127.5) * amplitude / 127.5) for v in range(256)]
    return field.point(table)


def degrade(page, dpi, out, rng, settings):
    """A tired office scanner: the sheet lies a little askew, the paper is
    grey and unevenly lit, the binding side is shadowed, ink is softened,
    the sensor adds grain, dust sits on the glass, JPEG finishes it off.
    Returns the tilt in degrees."""
    img = Image.open(page).convert("L")
    w, h = img.size
    paper, ink = rng.randint(208, 224), rng.randint(30, 48)
    img = img.point([round(ink + (paper - ink) * v / 255) for v in range(256)])
    # light falls off across the page and drops at the binding edge
    falloff = rng.uniform(0.06, 0.12) * 255
    ramp = Image.linear_gradient("L").rotate(rng.choice((90, -90)))
    ramp = ramp.point([round(255 - falloff * v / 255 - 2.0 * max(0, v - 235)) for v in range(256)])
    ramp = ramp.resize((w, h), Image.Resampling.BILINEAR)
    img = ImageChops.multiply(img, ramp)
    img = img.filter(ImageFilter.GaussianBlur(float(settings.get("blur", 0.8))))
    tilt = rng.choice((-1, 1)) * rng.uniform(0.25, float(settings.get("max_tilt", 0.9)))
    img = img.rotate(tilt, resample=Image.Resampling.BICUBIC, fillcolor=paper - 40)
    amplitude = float(settings.get("grain", 12))
    coarse = noise_field(rng, (w // 4, h // 4), amplitude).resize((w, h), Image.Resampling.BILINEAR)
    fine = noise_field(rng, (w, h), amplitude * 0.6)
    img = ImageChops.add(img, coarse, offset=-128)
    img = ImageChops.add(img, fine, offset=-128)
    pen = ImageDraw.Draw(img)
    for _ in range(rng.randint(8, 20)):
        x, y, r = rng.randrange(w), rng.randrange(h), rng.uniform(0.6, 2.0) * dpi / 300
        pen.ellipse((x - r, y - r, x + r, y + r), fill=rng.randint(50, 120))
    img.save(out, "JPEG", quality=int(settings.get("quality", 55)), optimize=True, dpi=(dpi, dpi))
    return round(tilt, 3)


def make(digital, doc_id, out150=None, out300=None, settings=None):
    """Writes the requested scans of the born-digital PDF; returns the tilt of
    each 300 dpi page (empty when that scan was not asked for)."""
    tilts = []
    with tempfile.TemporaryDirectory(prefix="scan") as folder:
        if out150:
            pages = []
            for i, page in enumerate(rasterise(digital, 150, folder), 1):
                pages.append(pathlib.Path(folder, f"s150-{i:03d}.png"))
                clean(page, 150, pages[-1])
            wrap_images(pages, out150)
        if out300:
            rng = rng_for(doc_id, "scanner")
            pages = []
            for i, page in enumerate(rasterise(digital, 300, folder), 1):
                pages.append(pathlib.Path(folder, f"s300-{i:03d}.jpg"))
                tilts.append(degrade(page, 300, pages[-1], rng, settings or {}))
            wrap_images(pages, out300)
    return tilts
