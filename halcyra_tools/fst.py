"""The FST map that routes term-index lookups: byte-string keys to u64 values,
compiled into a transducer.

    header   u64 version 3, u64 type 0
    nodes    written children first; a node's address is its last byte, its
             state byte, and it is decoded backwards from there
    footer   u64 key count, u64 root address, u32 masked CRC-32C of all the
             bytes before it

A key's value is the sum of the outputs along its path plus the final output
of the node it ends at. Address 0 is the final node without transitions,
which is never written."""

import struct

from .errors import FormatError

# Inputs with a one-byte code 1..63 in the state byte, in code order.
COMMON_INPUTS = b"te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHG"


def _crc32c_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_CRC32C = _crc32c_table()


def crc32c(data):
    c = 0xFFFFFFFF
    table = _CRC32C
    for b in data:
        c = table[(c ^ b) & 0xFF] ^ (c >> 8)
    return c ^ 0xFFFFFFFF


def masked_crc32c(data):
    c = crc32c(data)
    return (((c >> 15) | (c << 17)) + 0xA282EAD8) & 0xFFFFFFFF


class Fst:
    """A parsed FST. `file` and `base` (the file offset of the FST's first
    byte) place the errors it raises."""

    def __init__(self, data, file="<bytes>", base=0, check_crc=True):
        self.data = data = bytes(data)
        self.file, self.base = file, base
        if len(data) < 36:
            self._fail(0, f"FST of {len(data)} bytes is shorter than its header and footer (36)")
        version, kind = struct.unpack_from("<QQ", data, 0)
        if version != 3:
            self._fail(0, f"FST version {version}, expected 3")
        if kind != 0:
            self._fail(8, f"FST type {kind}, expected 0")
        self.nodes_end = len(data) - 20
        self.len, self.root = struct.unpack_from("<QQ", data, self.nodes_end)
        (stored,) = struct.unpack_from("<I", data, len(data) - 4)
        if check_crc and stored != masked_crc32c(data[:-4]):
            self._fail(len(data) - 4, f"FST checksum {stored:#010x} does not match its bytes "
                                      f"({masked_crc32c(data[:-4]):#010x})")
        if self.root != 0 and not 16 <= self.root < self.nodes_end:
            self._fail(self.nodes_end + 8, f"FST root address {self.root} outside its nodes")
        self._nodes = {}

    def _fail(self, at, message):
        raise FormatError(self.file, self.base + at, message)

    def _byte(self, pos):
        if not 16 <= pos < self.nodes_end:
            self._fail(max(pos, 0), "FST node reaches outside the node region")
        return self.data[pos]

    def _packed(self, first, n):
        if n and not (16 <= first and first + n <= self.nodes_end):
            self._fail(max(first, 0), "FST node reaches outside the node region")
        return int.from_bytes(self.data[first : first + n], "little")

    def node(self, addr):
        """(is_final, final_output, [(input, output, target)] by increasing input)."""
        found = self._nodes.get(addr)
        if found is None:
            found = self._nodes[addr] = self._decode(addr)
        return found

    def _decode(self, addr):
        if addr == 0:
            return True, 0, []
        state = self._byte(addr)
        low = state & 0x3F
        pos = addr - 1  # the next unread byte, moving backwards
        kind = state >> 6

        def input_byte():
            nonlocal pos
            if low:
                return COMMON_INPUTS[low - 1]
            pos -= 1
            return self._byte(pos + 1)

        if kind == 3:  # one transition, output 0, to the node written just before
            inp = input_byte()
            return False, 0, [(inp, 0, pos)]
        if kind == 2:  # one transition
            inp = input_byte()
            sizes = self._byte(pos)
            pos -= 1
            tsize, osize = sizes >> 4, sizes & 0xF
            if tsize > 8 or osize > 8:
                self._fail(pos + 1, f"FST node {addr}: pack sizes {sizes:#04x} over 8 bytes")
            delta = self._packed(pos + 1 - tsize, tsize)
            pos -= tsize
            out = self._packed(pos + 1 - osize, osize)
            pos -= osize
            start = pos + 1
            return False, 0, [(inp, out, self._target(addr, start, delta))]
        final = bool(state & 0x40)
        n = low
        if n == 0:
            count = self._byte(pos)
            pos -= 1
            n = 256 if count == 1 else count
        sizes = self._byte(pos)
        pos -= 1
        tsize, osize = sizes >> 4, sizes & 0xF
        if tsize > 8 or osize > 8:
            self._fail(pos + 1, f"FST node {addr}: pack sizes {sizes:#04x} over 8 bytes")
        if n > 32:
            pos -= 256  # the index by input byte; not needed to walk
        inputs_at = pos + 1 - n
        if n and inputs_at < 16:
            self._fail(max(inputs_at, 0), "FST node reaches outside the node region")
        inputs = self.data[inputs_at : pos + 1]
        pos -= n
        deltas_at = pos + 1 - n * tsize
        pos -= n * tsize
        outs_at = pos + 1 - n * osize
        pos -= n * osize
        final_output = 0
        if final and osize:
            final_output = self._packed(pos + 1 - osize, osize)
            pos -= osize
        start = pos + 1
        if start < 16:
            self._fail(0, f"FST node {addr} reaches before the node region")
        arcs = []
        for k in reversed(range(n)):  # stored by decreasing input
            delta = self._packed(deltas_at + k * tsize, tsize)
            out = self._packed(outs_at + k * osize, osize) if osize else 0
            arcs.append((inputs[k], out, self._target(addr, start, delta)))
        for a, b in zip(arcs, arcs[1:]):
            if a[0] >= b[0]:
                self._fail(inputs_at, f"FST node {addr}: transition inputs not strictly ascending")
        return final, final_output, arcs

    def _target(self, addr, start, delta):
        if delta == 0:
            return 0
        target = start - delta
        if not 16 <= target < addr:
            self._fail(addr, f"FST node {addr}: transition to address {target}, not an earlier node")
        return target

    def items(self):
        """Every (key, value) in key order; checks that the count matches the footer."""
        out = []
        stack = [(self.root, b"", 0, None)]
        while stack:
            addr, prefix, total, _ = stack.pop()
            final, final_output, arcs = self.node(addr)
            if final:
                out.append((prefix, total + final_output))
            for inp, o, target in reversed(arcs):
                stack.append((target, prefix + bytes([inp]), total + o, None))
            if len(out) > self.len:
                self._fail(self.nodes_end, f"FST holds more keys than its footer's {self.len}")
        if len(out) != self.len:
            self._fail(self.nodes_end, f"FST footer counts {self.len} keys, its nodes hold {len(out)}")
        return out

    def get(self, key):
        addr, total = self.root, 0
        for b in key:
            for inp, o, target in self.node(addr)[2]:
                if inp == b:
                    total += o
                    addr = target
                    break
            else:
                return None
        final, final_output, _ = self.node(addr)
        return total + final_output if final else None

    def _first(self, addr, prefix, total):
        """The smallest key at or below addr."""
        while True:
            final, final_output, arcs = self.node(addr)
            if final:
                return bytes(prefix), total + final_output
            if not arcs:
                self._fail(addr, f"FST node {addr} is neither final nor has transitions")
            inp, o, addr = arcs[0]
            prefix, total = prefix + bytes([inp]), total + o

    def lower_bound(self, key):
        """(key, value) of the smallest key >= `key`, or None."""
        addr, total = self.root, 0
        greater = None  # the smallest larger branch at the deepest level seen
        for depth in range(len(key)):
            step = None
            for inp, o, target in self.node(addr)[2]:
                if inp == key[depth]:
                    step = (o, target)
                elif inp > key[depth]:
                    greater = (depth, inp, total + o, target)
                    break
            if step is None:
                break
            total += step[0]
            addr = step[1]
        else:
            return self._first(addr, key, total)
        if greater is None:
            return None
        depth, inp, total, target = greater
        return self._first(target, key[:depth] + bytes([inp]), total)
