"""Small independent readers of the files halcyra writes, for round-trip tests.

They follow the published byte layouts only: little-endian integers, the
portable Roaring bitmap serialization, and each file's header and tables.
"""

import struct


def roaring(data):
    """Decodes one portable Roaring bitmap; returns (sorted ids, bytes consumed)."""
    (cookie,) = struct.unpack_from("<I", data, 0)
    pos = 4
    runs = None
    if cookie & 0xFFFF == 12347:
        size = (cookie >> 16) + 1
        runs = data[pos : pos + (size + 7) // 8]
        pos += (size + 7) // 8
    elif cookie == 12346:
        (size,) = struct.unpack_from("<I", data, pos)
        pos += 4
    else:
        raise ValueError(f"bad roaring cookie {cookie}")
    descriptors = [struct.unpack_from("<HH", data, pos + 4 * i) for i in range(size)]
    pos += 4 * size
    if runs is None or size >= 4:
        pos += 4 * size  # offsets; containers follow them contiguously anyway
    ids = []
    for i, (key, card_minus_one) in enumerate(descriptors):
        card = card_minus_one + 1
        high = key << 16
        if runs is not None and runs[i // 8] >> (i % 8) & 1:
            (n,) = struct.unpack_from("<H", data, pos)
            pos += 2
            for _ in range(n):
                start, length = struct.unpack_from("<HH", data, pos)
                pos += 4
                ids.extend(high | v for v in range(start, start + length + 1))
        elif card > 4096:
            words = struct.unpack_from("<1024Q", data, pos)
            pos += 8192
            ids.extend(high | (w * 64 + b) for w, word in enumerate(words) for b in range(64) if word >> b & 1)
        else:
            ids.extend(high | v for v in struct.unpack_from(f"<{card}H", data, pos))
            pos += 2 * card
    return ids, pos


def roaring_exact(data):
    ids, used = roaring(data)
    assert used == len(data), (used, len(data))
    return ids


def ngram_index(data):
    """index.hys: returns (header dict, {key: [ids]}, [block keys])."""
    magic, version, gram_size, count, stride = struct.unpack_from("<4sHHII", data, 0)
    assert magic == b"HYSI"
    h = 16
    case_sensitive = False
    if version == 4:
        (marker,) = struct.unpack_from("<H", data, 16)
        assert marker == 1
        case_sensitive = True
        h = 18
    else:
        assert version == 3
    blocks = (count + stride - 1) // stride
    block_keys = list(struct.unpack_from(f"<{blocks}Q", data, h))
    dict_at = h + 8 * blocks
    postings = {}
    expected_offset = dict_at + 20 * count
    keys = []
    for i in range(count):
        key, offset, length = struct.unpack_from("<QQI", data, dict_at + 20 * i)
        assert offset == expected_offset
        expected_offset += length
        keys.append(key)
        postings[key] = roaring_exact(data[offset : offset + length])
    assert expected_offset == len(data)
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert block_keys == keys[::stride]
    header = dict(version=version, gram_size=gram_size, count=count, stride=stride, case_sensitive=case_sensitive)
    return header, postings, block_keys


def facet_sidecar(data):
    """index.hyf: returns (case_sensitive, [(field, [(category, key, head ids, tail ids, cardinality)])])."""
    magic, version, flag, nfields, ncats, blob_len, reserved = struct.unpack_from("<4sHHIIII", data, 0)
    assert (magic, version, reserved) == (b"HYSF", 1, 0)
    cats_at = 24 + 16 * nfields
    blob_at = cats_at + 36 * ncats
    blob = data[blob_at : blob_at + blob_len]
    expected_offset = blob_at + blob_len
    fields = []
    for f in range(nfields):
        name_off, name_len, res, first, count = struct.unpack_from("<IHHII", data, 24 + 16 * f)
        assert res == 0
        cats = []
        for c in range(first, first + count):
            key, offset, head_len, tail_len, card, cat_off, cat_len, res = struct.unpack_from(
                "<QQIIIIHH", data, cats_at + 36 * c
            )
            assert res == 0 and offset == expected_offset
            head = roaring_exact(data[offset : offset + head_len])
            tail = roaring_exact(data[offset + head_len : offset + head_len + tail_len])
            expected_offset += head_len + tail_len
            assert card == len(head) + len(tail)
            cats.append((blob[cat_off : cat_off + cat_len].decode(), key, head, tail, card))
        fields.append((blob[name_off : name_off + name_len].decode(), cats))
    assert expected_offset == len(data)
    assert sum(len(c) for _, c in fields) == ncats
    return flag == 1, fields


def record_store(idx, bin_data):
    """records.idx + records.bin: returns the list of payloads."""
    magic, version, res1, count, res2 = struct.unpack_from("<4sHHII", idx, 0)
    assert (magic, version, res1, res2) == (b"HYSR", 1, 0, 0)
    assert len(idx) == 16 + 8 * (count + 1)
    offsets = struct.unpack_from(f"<{count + 1}Q", idx, 16)
    assert offsets[0] == 0 and offsets[-1] == len(bin_data)
    return [bin_data[offsets[i] : offsets[i + 1]] for i in range(count)]


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def facet_key(field, category, fold_case=True):
    if fold_case:
        field, category = field.lower(), category.lower()
    return fnv1a64(field.encode() + b"\x1f" + category.encode())
