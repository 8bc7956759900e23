#!/usr/bin/env python3
"""Checks a screenshot (binary PPM) of the main window showing the virtual
stick's test pattern: the 75 % colour bars at their centres, and the picture
reaching every edge of the client area between the menu row and the sound
meters' row.

usage: check_picture.py SHOT.ppm PICTURE_W PICTURE_H [--png OUT.png]
       check_picture.py --letterboxed SHOT.ppm W:H
       check_picture.py --meters SHOT.ppm [--png OUT.png]

The second form checks a whole-screen shot: the picture at aspect W:H as
large as fits, centred, the bars around it black. The third checks that the
window's meters' row shows sound: lit green bars.
"""
import struct
import sys
import zlib

BARS = [(191, 191, 191), (191, 191, 0), (0, 191, 191), (0, 191, 0),
        (191, 0, 191), (191, 0, 0), (0, 0, 191), (0, 0, 0)]
GREY_BAND = (128, 128, 128)
TOLERANCE = 10
# The sound meters' row under the picture (sound_meters::fixed_height).
METERS_ROW = 32


def read_ppm(path):
    with open(path, 'rb') as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b'P6' or fields[3] != b'255':
        raise SystemExit('not an 8-bit P6 file')
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:pos + 1 + w * h * 3]


def write_png(path, w, h, pixels):
    rows = b''.join(b'\0' + pixels[y * w * 3:(y + 1) * w * 3] for y in range(h))

    def chunk(kind, body):
        return (struct.pack('>I', len(body)) + kind + body +
                struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff))
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


def pixel_reader(w, pixels):
    def at(x, y):
        i = (y * w + x) * 3
        return tuple(pixels[i:i + 3])
    return at


def near(got, want):
    return max(abs(a - b) for a, b in zip(got, want)) <= TOLERANCE


def bar_errors(at, x0, pw, y):
    """The colour bars of a picture pw wide from x0, at their centres on row y."""
    return [f'bar {bar} at {x},{y}: {at(x, y)}, expected {want}'
            for bar, want in enumerate(BARS)
            for x in [x0 + (2 * bar + 1) * pw // 16] if not near(at(x, y), want)]


def letterboxed(path, aspect):
    w, h, pixels = read_ppm(path)
    at = pixel_reader(w, pixels)
    num, den = (int(v) for v in aspect.split(':'))
    if w * den > h * num:
        pw, ph = round(h * num / den), h
    else:
        pw, ph = w, round(w * den / num)
    x0, y0 = (w - pw) // 2, (h - ph) // 2
    # The bars: every pixel black (one row or column of filtering at the
    # picture's edge is the picture's).
    lit = next(((x, y) for y in range(0, h, 2) for x in range(0, w, 2)
                if not (x0 - 1 <= x <= x0 + pw and y0 - 1 <= y <= y0 + ph) and max(at(x, y)) > 8), None)
    errors = [f'{lit} outside the {pw}x{ph} picture is {at(*lit)}, not black'] if lit else []
    errors += bar_errors(at, x0, pw, y0 + ph // 3)
    if errors:
        print('\n'.join(errors))
        return 1
    print(f'picture {pw}x{ph} at {x0},{y0} on a {w}x{h} screen, black around it')
    return 0


def meters(path, png):
    w, h, pixels = read_ppm(path)
    at = pixel_reader(w, pixels)
    green = sum(1 for y in range(h - METERS_ROW, h) for x in range(w)
                if at(x, y)[1] > 120 and at(x, y)[0] < 100 and at(x, y)[2] < 100)
    if green <= 200:
        print(f'the meters show no sound: {green} green pixels')
        return 1
    if png:
        write_png(png, w, h, pixels)
    print(f'meters: {green} lit pixels')
    return 0


def main():
    args = sys.argv[1:]
    png = None
    if '--png' in args:
        i = args.index('--png')
        png = args[i + 1]
        del args[i:i + 2]
    if args[0] == '--letterboxed':
        return letterboxed(args[1], args[2])
    if args[0] == '--meters':
        return meters(args[1], png)
    path, pw, ph = args[0], int(args[1]), int(args[2])
    w, h, pixels = read_ppm(path)
    at = pixel_reader(w, pixels)

    errors = []
    if w != pw:
        errors.append(f'window is {w} wide, picture {pw}')
    top = h - ph - METERS_ROW  # the menu row
    if not 0 <= top <= 40:
        errors.append(f'window is {w}x{h}, not a {pw}x{ph} picture below a menu row')
    if errors:
        print('\n'.join(errors))
        return 1

    # Bars: the top two thirds of the picture; checked at their middle and
    # near the picture's top edge, just below the menu row.
    for y in (top + 2, top + ph // 3):
        errors += bar_errors(at, 0, pw, y)
    # Left and right edges: bars at the top, the grey band lower down (the
    # moving white box covers at most one of the two edges).
    for y in (top + 2, top + ph // 2):
        left, right = at(0, y), at(w - 1, y)
        if y == top + 2:
            if not near(left, BARS[0]) or not near(right, BARS[-1]):
                errors.append(f'edges at row {y}: {left} {right}, expected {BARS[0]} {BARS[-1]}')
        band_y = top + ph * 3 // 4
        if not (near(at(0, band_y), GREY_BAND) or near(at(w - 1, band_y), GREY_BAND)):
            errors.append(f'no grey band at the edges of row {band_y}: {at(0, band_y)} {at(w - 1, band_y)}')
    # Bottom edge: the data strip, grey levels only (black, white or a blend).
    # The second-last row: with repeat wrapping, a half-height picture's last
    # row takes a quarter of its first when stretched.
    for x in range(8, w, w // 45):
        r, g, b = at(x, top + ph - 2)
        if max(r, g, b) - min(r, g, b) > TOLERANCE:
            errors.append(f'bottom row at {x}: {(r, g, b)} is not the data strip')
            break
    if png:
        write_png(png, w, h, pixels)
    if errors:
        print('\n'.join(errors))
        return 1
    print(f'picture {pw}x{ph} below a {top}-px menu row: bars and edges as expected')
    return 0


if __name__ == '__main__':
    sys.exit(main())
