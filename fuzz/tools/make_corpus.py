#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small, well-formed or nearly well-formed inputs that start each
target on the paths worth exploring; the fuzzer mutates them. Run it again
after changing the input layout of a target (the image seeds of other formats
come from make_image_seeds.cpp). Regression inputs (crashes found and fixed)
live beside the seeds under names starting with "regression-"; this script
leaves them alone.
"""
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'corpus')


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))


class Fdp:
    """Builds input for FuzzedDataProvider: byte strings are taken from the
    front, integers from the back (first consumed = last byte)."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in consumption order

    def integral(self, value, lo, hi):
        r = hi - lo
        v = value - lo
        assert 0 <= v <= r
        n = 0
        while n < 8 and (r >> (8 * n)) > 0:
            n += 1
        for i in reversed(range(n)):  # most significant byte consumed first
            self.back.append((v >> (8 * i)) & 0xFF)
        return self

    def u8(self, v): return self.integral(v, 0, 0xFF)
    def u32(self, v): return self.integral(v, 0, 0xFFFFFFFF)
    def i32(self, v): return self.integral(v + 0x80000000, 0, 0xFFFFFFFF)  # min + offset
    def boolean(self, b): return self.u8(1 if b else 0)

    def bytes_(self, data):
        self.front += bytes(data)
        return self

    def sized_bytes(self, data, hi):
        self.integral(len(data), 0, hi)
        return self.bytes_(data)

    def build(self, tail=b''):
        # Bytes taken with ConsumeRemainingBytes come after the front part.
        return bytes(self.front) + bytes(tail) + bytes(reversed(self.back))


# ---- descriptors -----------------------------------------------------------

def device_desc(bcd=0x0200, mps0=64, nconf=1, vid=0x1209, pid=0x7E40):
    return struct.pack('<BBHBBBBHHHBBBB', 18, 1, bcd, 0, 0, 0, mps0, vid, pid, 0x0100, 1, 2, 3, nconf)


def interface(num, alt, neps, cls=0xFF):
    return struct.pack('<BBBBBBBBB', 9, 4, num, alt, neps, cls, 0, 0, 0)


def endpoint(addr, attr, mps, interval=0):
    return struct.pack('<BBBBHB', 7, 5, addr, attr, mps, interval)


def companion(burst=0, attr=0, bpi=0):
    return struct.pack('<BBBBH', 6, 0x30, burst, attr, bpi)


def config(body, value=1, nif=1, total=None):
    total = 9 + len(body) if total is None else total
    return struct.pack('<BBHBBBBB', 9, 2, total, nif, value, 0, 0x80, 50) + body


def bos(caps, total=None, ncaps=None):
    body = b''.join(caps)
    total = 5 + len(body) if total is None else total
    return struct.pack('<BBHB', 5, 15, total, len(caps) if ncaps is None else ncaps) + body


USB2_EXT = struct.pack('<BBBI', 7, 16, 2, 2)
SS_CAP = struct.pack('<BBBBHBBH', 10, 16, 3, 0, 0x0E, 1, 10, 0x100)
CONTAINER = struct.pack('<BBBB', 20, 16, 4, 0) + bytes(range(16))

VEK_CONFIG = config(interface(0, 0, 3) + endpoint(0x02, 2, 512) + endpoint(0x04, 2, 512) + endpoint(0x86, 2, 512))
SS_CONFIG = config(interface(0, 0, 3) + endpoint(0x02, 2, 1024) + companion(15) + endpoint(0x04, 2, 1024) +
                   companion() + endpoint(0x86, 2, 1024) + companion(3))
ALT_CONFIG = config(interface(0, 0, 1) + endpoint(0x81, 3, 64, 4) + interface(0, 1, 2) + endpoint(0x83, 1, 0x1400, 1) +
                    endpoint(0x04, 2, 512), nif=1)
CLASS_SPECIFIC = config(interface(0, 0, 2) + bytes([5, 0x24, 1, 2, 3]) + endpoint(0x02, 2, 512) + bytes([4, 0x25, 0, 0]) +
                        endpoint(0x86, 2, 512))
NINE_INTERFACES = config(b''.join(interface(i, 0, 0) for i in range(9)), nif=9)
TWO_INTERFACES = config(interface(0, 0, 1) + endpoint(0x02, 2, 512) + interface(1, 0, 2) + endpoint(0x04, 2, 512) +
                        endpoint(0x86, 2, 512), nif=2)
SHORT_TOTAL = config(interface(0, 0, 3) + endpoint(0x02, 2, 512), total=40)
EMPTY_CONFIG = config(b'')


def string_desc(text):
    raw = text.encode('utf-16-le')
    return bytes([2 + len(raw), 3]) + raw


def descriptor_walk():
    t = 'descriptor_walk_fuzz'
    write(t, 'plain-vek-board', b'\x00' + VEK_CONFIG)
    write(t, 'superspeed-companions', b'\x01' + SS_CONFIG)
    write(t, 'plain-alternate-settings', b'\x00' + ALT_CONFIG)
    write(t, 'plain-class-specific', b'\x00' + CLASS_SPECIFIC)
    write(t, 'plain-nine-interfaces', b'\x00' + NINE_INTERFACES)
    write(t, 'superspeed-two-interfaces', b'\x01' + TWO_INTERFACES)
    write(t, 'plain-total-past-end', b'\x00' + SHORT_TOTAL)
    write(t, 'plain-empty', b'\x00' + EMPTY_CONFIG)
    write(t, 'bos-three-caps', b'\x02' + bos([USB2_EXT, SS_CAP, CONTAINER]))
    write(t, 'bos-unknown-cap-stops', b'\x02' + bos([USB2_EXT, bytes([4, 16, 10, 0]), SS_CAP]))
    write(t, 'bos-count-past-end', b'\x02' + bos([CONTAINER], ncaps=3))


def open_device():
    t = 'open_device_fuzz'

    def seed(name, dev, configs, bos_blob=b'', strings=(), speed=0, alt=0, board_type=0):
        f = Fdp()
        f.sized_bytes(dev, 24)
        f.integral(len(configs), 0, 3)
        for c in configs:
            f.sized_bytes(c, 512)
        f.sized_bytes(bos_blob, 128)
        f.integral(len(strings), 0, 5)
        for s in strings:
            f.sized_bytes(s, 64)
        f.integral(speed, 0, 5).integral(alt, 0, 3).u32(board_type)
        write(t, name, f.build())

    langs = bytes([4, 3, 0x09, 0x04])
    seed('vek-board', device_desc(), [VEK_CONFIG],
         strings=[langs, string_desc('VEK FW 4.0 fuzz'), string_desc('VEK4.0 Pattern Board'), string_desc('0001')])
    seed('superspeed-bos', device_desc(0x0300, 9), [SS_CONFIG], bos([USB2_EXT, SS_CAP, CONTAINER]), speed=4)
    seed('usb11-superspeed-walk', device_desc(0x0110, 64), [VEK_CONFIG])
    seed('two-configurations', device_desc(nconf=2), [VEK_CONFIG, TWO_INTERFACES])
    seed('alternate-setting-1', device_desc(), [ALT_CONFIG], alt=1)
    seed('no-configuration', device_desc(nconf=0), [])
    seed('empty-configuration', device_desc(), [EMPTY_CONFIG])
    seed('bad-strings', device_desc(), [VEK_CONFIG], strings=[bytes([2, 3]), bytes([255, 3, 0x41]), b''])
    seed('broken-bos', device_desc(0x0320, 9), [SS_CONFIG], bos([CONTAINER], ncaps=4), speed=4)


# ---- firmware images -----------------------------------------------------------

def iic(records, final=True, header=b'\xC2\x47\x05\x31\x21\x00\x00\x04'):
    out = bytearray(header)
    for addr, data in records:
        out += struct.pack('>HH', len(data), addr) + bytes(data)
    if final:
        out += struct.pack('>HH', 0x8001, 0xE600) + b'\x00'
    return bytes(out)


def firmware():
    t = 'iic_fuzz'
    write(t, 'two-records', iic([(0x0000, range(16)), (0x0100, range(16, 32))]))
    write(t, 'descending', iic([(0x0100, [1] * 16), (0x0000, [2] * 16)]))
    write(t, 'two-chunks', iic([(0x0000, [0x5A] * 3475)]))
    write(t, 'starts-at-0x80', iic([(0x0080, [7] * 40)]))
    write(t, 'only-final', iic([]))
    write(t, 'overlapping', iic([(0x0010, [1] * 32), (0x0020, [2] * 32)]))
    write(t, 'no-final-record', iic([(0x0000, [3] * 8)], final=False))
    write(t, 'record-past-file-end', iic([(0x0000, [3] * 8)], final=False) + struct.pack('>HH', 100, 0) + b'\x01\x02')
    write(t, 'address-past-image', iic([(0xFFF0, [4] * 32)]))
    write(t, 'image-above-f800', iic([(0xF7F0, [5] * 32)]))
    write(t, 'covers-cpu-register', iic([(0xE5F0, [6] * 32)]))
    write(t, 'zero-length-record', iic([(0x0200, []), (0x0000, [1])]))
    write(t, 'empty', b'')
    write(t, 'header-only', b'\xC2' + b'\x00' * 7)


# ---- device calls ----------------------------------------------------------------

def device_calls():
    t = 'device_calls_fuzz'
    CONTROL, INQUIRE, FRAME, FREQ, TRIGGER, GPIO, RREG, RESET, RAW, DATA, INIT = 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14
    FAULT, SETREG, STRAY = 0, 1, 2
    ENDPOINTS = [0x00, 0x02, 0x04, 0x86, 0xFFFFFFFF]

    def op(f, kind):
        f.integral(kind, 0, 15)

    def init(f, freq=1000, gray=8, reg30=0x10):
        op(f, INIT)
        f.boolean(True).integral(freq, 0, 100000).integral(gray, 0, 18).u32(reg30)

    def inquire(f, n):
        op(f, INQUIRE)
        f.integral(n, 0, 25)

    def control(f, cmd, arg):
        op(f, CONTROL)
        f.integral(cmd, 0, 37)
        if arg <= 20:
            f.boolean(True).integral(arg, 0, 20)
        else:
            f.boolean(False).u32(arg)

    def frame(f, load, length, start, fill=0x5A):
        op(f, FRAME)
        f.integral(length, 0, 0x4000).u32(start)
        f.bytes_([fill] * length)
        f.boolean(load)

    def freq(f, planes, period, aux):
        op(f, FREQ)
        f.integral(planes, 0, 18).u32(period)
        if aux == 0:
            f.boolean(True)
        else:
            f.boolean(False).u32(aux)

    def fault(f, endpoint, nth, kind):
        op(f, FAULT)
        f.integral(ENDPOINTS.index(endpoint), 0, 4).integral(nth, 1, 12).integral(kind, 1, 5)

    def setreg(f, address, value):
        op(f, SETREG)
        f.boolean(True).u32(address).u32(value)

    def typical(f):
        init(f)
        inquire(f, 5)
        frame(f, True, 256, 0)
        freq(f, 8, 20000, 0)
        frame(f, False, 256, 0)

    f = Fdp().u32(0)
    typical(f)
    write(t, 'typical-use', f.build())

    f = Fdp().u32(0x10000000)
    inquire(f, 5)
    frame(f, True, 4096, 0x12345)
    inquire(f, 17)
    control(f, 17, 0x12345)
    frame(f, False, 100, 0)
    write(t, 'xga-frames', f.build())

    for kind, name in [(1, 'stall'), (2, 'fail-at-issue'), (3, 'pending'), (4, 'short'), (5, 'detach')]:
        for endpoint in (0x04, 0x86, 0x02):
            f = Fdp().u32(0)
            fault(f, endpoint, 2, kind)
            typical(f)
            write(t, 'fault-%s-ep%02x' % (name, endpoint & 0xFF), f.build())

    f = Fdp().u32(0)
    setreg(f, 0x51, 1)
    control(f, 28, 0xAB)
    setreg(f, 0x51, 3)
    control(f, 29, 0xCD)
    control(f, 30, 0)
    setreg(f, 0x51, 0)
    control(f, 30, 0)
    write(t, 'i2c', f.build())

    f = Fdp().u32(0)
    for cmd in (1, 8, 9, 10, 13, 14, 15, 18, 21, 24, 31, 32, 33, 34, 35, 36):
        control(f, cmd, 1)
    write(t, 'commands', f.build())

    f = Fdp().u32(0)
    op(f, STRAY)
    f.integral(12, 0, 24).bytes_(b'\x01\x00\x00\x80\x44\x33\x22\x11\x99\x99\x99\x99')
    op(f, RREG)
    f.boolean(True).u32(0x30)
    op(f, STRAY)
    f.integral(3, 0, 24).bytes_(b'\x01\x02\x03')
    op(f, RAW)
    f.u32(7).boolean(True).u32(0x40)
    write(t, 'stray-replies', f.build())

    f = Fdp().u32(0)
    op(f, TRIGGER)
    f.u32(1).u8(1).u32(2).u32(3)
    op(f, GPIO)
    f.u32(0xF0)
    op(f, RESET)
    f.boolean(True).integral(2, 0, 4)
    op(f, DATA)
    f.integral(100, 0, 2048).bytes_([1] * 100).boolean(True)
    op(f, DATA)
    f.integral(8, 0, 2048).bytes_([0] * 8).boolean(False)
    freq(f, 8, 10000, 200)
    freq(f, 0, 10000, 0)
    write(t, 'other-calls', f.build())


# ---- bit planes ---------------------------------------------------------------------

def bitplane():
    t = 'bitplane_fuzz'
    for w, h, mask in [(8, 1, 0x80), (16, 4, 0xFF), (64, 8, 0x81), (1921 % 257, 3, 0xFF), (24, 0, 0xF0),
                       (-8, -8, 0xFF), (8, 1, 0x00), (256, 64, 0x55)]:
        f = Fdp().i32(w).i32(h).u8(mask).boolean(False)
        tail = bytes([255, 0, 0, 0, 0, 0, 0, 255, 0xA5, 0x5A, 0x0F, 0xF0])
        write(t, 'w%d-h%d-m%02x' % (w, h, mask), f.build(tail))
    f = Fdp().i32(1920).i32(64).u8(0xFF).boolean(True)
    write(t, 'w1920-h64-mff', f.build(bytes(range(256))))


# ---- image files in formats hand-written here (others: make_image_seeds.cpp) ----------

def bmp(width, height, bpp, pixel_rows, palette):
    row_bytes = ((width * bpp + 31) // 32) * 4
    data = bytearray()
    for row in reversed(pixel_rows):  # bottom-up
        packed = bytearray()
        if bpp == 8:
            packed = bytearray(row)
        elif bpp == 24:
            for r, g, b in row:
                packed += bytes([b, g, r])
        else:
            per = 8 // bpp
            for i in range(0, width, per):
                byte = 0
                for j in range(per):
                    v = row[i + j] if i + j < width else 0
                    byte |= v << (8 - bpp * (j + 1))
                packed.append(byte)
        packed += b'\x00' * (row_bytes - len(packed))
        data += packed
    pal = b''.join(bytes([b, g, r, 0]) for r, g, b in palette)
    offset = 14 + 40 + len(pal)
    header = struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, bpp, 0, len(data), 2835, 2835, len(palette), 0)
    return header + info + pal + bytes(data)


def image_seed(name, file_bytes, width=16, height=8, mask=0xFF):
    f = Fdp().integral(width, 1, 64).integral(height, 1, 64).u8(mask)
    write('image_getters_fuzz', name, f.build(file_bytes))


def images():
    gray = [[(x * 16 + y * 8) & 0xFF for x in range(16)] for y in range(8)]
    image_seed('bmp-gray8', bmp(16, 8, 8, gray, [(i, i, i) for i in range(256)]))
    image_seed('bmp-gray8-resized', bmp(16, 8, 8, gray, [(i, i, i) for i in range(256)]), width=24, height=5, mask=0x81)
    rgb = [[(255 if x < 8 else 0, x * 16, y * 32) for x in range(16)] for y in range(8)]
    image_seed('bmp-rgb24', bmp(16, 8, 24, rgb, []), width=8, height=8)
    ones = [[(x + y) & 1 for x in range(13)] for y in range(5)]
    image_seed('bmp-1bit', bmp(13, 5, 1, ones, [(0, 0, 0), (255, 255, 255)]), width=16, height=4)
    nib = [[(x * 3 + y) & 15 for x in range(9)] for y in range(4)]
    image_seed('bmp-4bit', bmp(9, 4, 4, nib, [(i * 17, i * 17, i * 17) for i in range(16)]), width=9, height=4)
    pgm = b'P5\n16 8\n255\n' + bytes(v for row in gray for v in row)
    image_seed('pgm', pgm)
    pgm16 = b'P5\n4 2\n65535\n' + b''.join(struct.pack('>H', v * 8000) for v in range(8))
    image_seed('pgm-16bit', pgm16, width=8, height=2)
    ppm = b'P6\n2 2\n255\n' + bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9])
    image_seed('ppm', ppm, width=2, height=2)
    image_seed('not-an-image', b'hello, this is not an image')
    image_seed('empty-file', b'')


def main():
    descriptor_walk()
    open_device()
    firmware()
    device_calls()
    bitplane()
    images()
    return 0


if __name__ == '__main__':
    sys.exit(main())
