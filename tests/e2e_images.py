"""Pictures for the window session: made with ImageMagick, and read back through it (as binary
PPM) to check what the program wrote, independently of the program's own decoders."""
import subprocess


def make_image(path, size, colour):
    """A picture with a gradient from the colour to black, so that every row differs."""
    start = "#%02x%02x%02x" % colour
    subprocess.run(["convert", "-size", "%dx%d" % size, f"gradient:{start}-#000000", "-depth", "8",
                    path], check=True)


def read_rgb(path):
    """Width, height and the rows of RGB bytes of any picture ImageMagick reads."""
    data = subprocess.run(["convert", path + "[0]", "-depth", "8", "ppm:-"], check=True,
                          capture_output=True).stdout
    # The header's four fields, each ended by one whitespace byte; the pixels follow at once and
    # may themselves begin with whitespace bytes.
    fields, at = [], 0
    for _ in range(4):
        end = at
        while data[end] not in b" \t\r\n":
            end += 1
        fields.append(data[at:end])
        at = end + 1
        while len(fields) < 4 and data[at] in b" \t\r\n":
            at += 1
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError(f"{path}: not an 8-bit picture")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at:]
    stride = 3 * width
    return width, height, [pixels[y * stride:(y + 1) * stride] for y in range(height)]


def placement(index, image, mark):
    """Where the placement puts the watermark's top-left corner: one pixel in from the left and
    top, centred (half to even), or flush with the right and bottom."""
    (W, H), (w, h) = image, mark
    along = lambda i, A, a: 1 if i == 0 else round(A / 2 - a / 2) if i == 1 else A - a  # noqa: E731
    return along(index % 3, W, w), along(index // 3, H, h)


def check_output(source, watermark, output, index, transparent):
    """None when the output is the source with the watermark's pixels, all but the transparent
    colour, at the placement and nowhere else; otherwise what differs."""
    W, H, image = read_rgb(source)
    w, h, mark = read_rgb(watermark)
    OW, OH, out = read_rgb(output)
    if (OW, OH) != (W, H):
        return f"size {OW}x{OH}, expected {W}x{H}"
    x0, y0 = placement(index, (W, H), (w, h))
    key = bytes(transparent)
    for y in range(H):
        expected = bytearray(image[y])
        if y0 <= y < y0 + h:
            row = mark[y - y0]
            for x in range(max(0, x0), min(W, x0 + w)):
                pixel = row[3 * (x - x0):3 * (x - x0) + 3]
                if pixel != key:
                    expected[3 * x:3 * x + 3] = pixel
        if out[y] != expected:
            x = next(i for i in range(len(expected)) if out[y][i] != expected[i]) // 3
            return f"pixel {x},{y} is {tuple(out[y][3 * x:3 * x + 3])}, " \
                   f"expected {tuple(expected[3 * x:3 * x + 3])}"
    return None
