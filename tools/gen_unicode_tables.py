#!/usr/bin/env python3
"""Generates the Unicode lookup tables of src/core/unicode from the UCD text files.

Usage: gen_unicode_tables.py UCD_DIR OUT_HEADER OUT_SOURCE

Writes a header (record layout and table declarations) and a source file (the
table data). Every per-code-point table is two-stage: a first stage indexed by
cp >> 8 selects a 256-entry block of the second stage, and identical blocks are
stored once. Standard library only, so that the build needs nothing but Python.
"""

import os
import sys

MAX_CP = 0x110000
BLOCK = 256

# Must match the order of brindlore::unicode::GeneralCategory.
GENERAL_CATEGORIES = [
    "Lu", "Ll", "Lt", "Lm", "Lo",
    "Mn", "Mc", "Me",
    "Nd", "Nl", "No",
    "Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po",
    "Sm", "Sc", "Sk", "So",
    "Zs", "Zl", "Zp",
    "Cc", "Cf", "Cs", "Co", "Cn",
]

GRAPHEME_BREAK = [
    "Other", "CR", "LF", "Control", "Extend", "ZWJ", "Regional_Indicator",
    "Prepend", "SpacingMark", "L", "V", "T", "LV", "LVT",
]
INCB = ["None", "Linker", "Consonant", "Extend"]

# A character "joins a cluster" when a cluster boundary can be missing next to
# it: its Grapheme_Cluster_Break value takes part in a no-break rule (GB6 to
# GB9b, GB12/13), or its category is a mark, a format character or
# unassigned. The pre-tokenizer snaps its pieces only for texts that hold one.
JOINING_BREAKS = ["Extend", "ZWJ", "Regional_Indicator", "Prepend", "SpacingMark", "L", "V", "T"]
JOINING_CATEGORIES = ["Mn", "Mc", "Me", "Cf", "Cn"]
QUICK_CHECK = {"Y": 0, "N": 1, "M": 2}

# Layout of the packed property record (one uint32 per distinct combination).
FIELDS = [  # name, shift, width
    ("GC", 0, 5),
    ("CCC", 5, 8),
    ("GCB", 13, 4),
    ("INCB", 17, 2),
    ("QC", 19, 2),
    ("WHITE_SPACE", 21, 1),
    ("CASED", 22, 1),
    ("CASE_IGNORABLE", 23, 1),
    ("GRAPHEME_EXTEND", 24, 1),
    ("ALPHABETIC", 25, 1),
    ("EXT_PICT", 26, 1),
    ("JOINS_CLUSTER", 27, 1),
]
SHIFT = {name: shift for name, shift, _ in FIELDS}

# Packed decomposition element: code point, then "combines with a preceding
# starter", then the combining class, so that the class is the sort key.
DECOMP_MAYBE_SHIFT = 21
DECOMP_CCC_SHIFT = 22

SBASE, LBASE, VBASE, TBASE = 0xAC00, 0x1100, 0x1161, 0x11A7
LCOUNT, VCOUNT, TCOUNT = 19, 21, 28
SCOUNT = LCOUNT * VCOUNT * TCOUNT


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_range(text):
    if ".." in text:
        lo, hi = text.split("..")
        return range(int(lo, 16), int(hi, 16) + 1)
    cp = int(text, 16)
    return range(cp, cp + 1)


def read_binary(path, wanted):
    """Maps each wanted property name to the set of its code points."""
    sets = {name: set() for name in wanted}
    for fields in data_lines(path):
        if len(fields) == 2 and fields[1] in sets:
            sets[fields[1]].update(code_range(fields[0]))
    return sets


def read_enumerated(path, prop, values, default):
    """Per-code-point value index of a property listed as `cp ; prop ; value`
    (or `cp ; value` when prop is None)."""
    table = [values.index(default)] * MAX_CP
    for fields in data_lines(path):
        if prop is None and len(fields) == 2:
            value = fields[1]
        elif prop is not None and len(fields) == 3 and fields[1] == prop:
            value = fields[2]
        else:
            continue
        index = values.index(value)
        for cp in code_range(fields[0]):
            table[cp] = index
    return table


def read_unicode_data(path):
    gc = [GENERAL_CATEGORIES.index("Cn")] * MAX_CP
    ccc = [0] * MAX_CP
    decomposition = {}  # cp -> (is_compat, [cps])
    lower = {}
    range_start = None
    for fields in data_lines(path):
        cp = int(fields[0], 16)
        name = fields[1]
        if name.endswith(", Last>"):
            cps = range(range_start, cp + 1)
        elif name.endswith(", First>"):
            range_start = cp
            continue
        else:
            cps = range(cp, cp + 1)
        for c in cps:
            gc[c] = GENERAL_CATEGORIES.index(fields[2])
            ccc[c] = int(fields[3])
        if fields[5]:
            parts = fields[5].split()
            compat = parts[0].startswith("<")
            if compat:
                parts = parts[1:]
            decomposition[cp] = (compat, [int(p, 16) for p in parts])
        if fields[13]:
            lower[cp] = [int(fields[13], 16)]
    return gc, ccc, decomposition, lower


def read_special_lower(path, lower):
    """Adds the unconditional lower-case mappings of SpecialCasing."""
    for fields in data_lines(path):
        # cp; lower; title; upper; [condition;] -- the trailing ';' leaves an empty field
        if len(fields) > 5 and fields[4]:
            continue
        cp = int(fields[0], 16)
        lower[cp] = [int(p, 16) for p in fields[1].split()]


def full_decomposition(cp, decomposition, memo):
    if cp in memo:
        return memo[cp]
    if SBASE <= cp < SBASE + SCOUNT:
        s = cp - SBASE
        out = [LBASE + s // (VCOUNT * TCOUNT), VBASE + (s % (VCOUNT * TCOUNT)) // TCOUNT]
        if s % TCOUNT:
            out.append(TBASE + s % TCOUNT)
    elif cp in decomposition:
        out = []
        for part in decomposition[cp][1]:
            out.extend(full_decomposition(part, decomposition, memo))
    else:
        out = [cp]
    memo[cp] = out
    return out


class TwoStage:
    """A two-stage table over all code points with deduplicated blocks."""

    def __init__(self, values):
        self.stage1 = []
        self.stage2 = []
        seen = {}
        for start in range(0, MAX_CP, BLOCK):
            block = tuple(values[start:start + BLOCK])
            if block not in seen:
                seen[block] = len(seen)
                self.stage2.extend(block)
            self.stage1.append(seen[block])


def c_type(values):
    top = max(values) if values else 0
    if top < 1 << 8:
        return "uint8_t"
    if top < 1 << 16:
        return "uint16_t"
    return "uint32_t"


def emit_array(out, name, values, ctype=None):
    ctype = ctype or c_type(values)
    out.append(f"const {ctype} {name}[{len(values)}] = {{")
    literal = (lambda v: f"0x{v:X}ULL") if ctype == "uint64_t" else str
    for i in range(0, len(values), 16):
        out.append("  " + ", ".join(literal(v) for v in values[i:i + 16]) + ",")
    out.append("};")
    return ctype


def build(ucd):
    gc, ccc, decomposition, lower = read_unicode_data(os.path.join(ucd, "UnicodeData.txt"))
    read_special_lower(os.path.join(ucd, "SpecialCasing.txt"), lower)
    props = read_binary(os.path.join(ucd, "PropList.txt"), ["White_Space"])
    props.update(read_binary(os.path.join(ucd, "DerivedCoreProperties.txt"),
                             ["Cased", "Case_Ignorable", "Grapheme_Extend", "Alphabetic"]))
    props.update(read_binary(os.path.join(ucd, "emoji", "emoji-data.txt"),
                             ["Extended_Pictographic"]))
    norm = os.path.join(ucd, "DerivedNormalizationProps.txt")
    props.update(read_binary(norm, ["Full_Composition_Exclusion"]))
    qc = read_enumerated(norm, "NFKC_QC", ["Y", "N", "M"], "Y")
    incb = read_enumerated(os.path.join(ucd, "DerivedCoreProperties.txt"), "InCB", INCB, "None")
    gcb = read_enumerated(os.path.join(ucd, "auxiliary", "GraphemeBreakProperty.txt"), None,
                          GRAPHEME_BREAK, "Other")

    flag_sets = [("WHITE_SPACE", props["White_Space"]), ("CASED", props["Cased"]),
                 ("CASE_IGNORABLE", props["Case_Ignorable"]),
                 ("GRAPHEME_EXTEND", props["Grapheme_Extend"]),
                 ("ALPHABETIC", props["Alphabetic"]),
                 ("EXT_PICT", props["Extended_Pictographic"])]
    records = [0] * MAX_CP
    for cp in range(MAX_CP):
        records[cp] = (gc[cp] | ccc[cp] << SHIFT["CCC"] | gcb[cp] << SHIFT["GCB"]
                       | incb[cp] << SHIFT["INCB"] | qc[cp] << SHIFT["QC"])
    for name, cps in flag_sets:
        for cp in cps:
            records[cp] |= 1 << SHIFT[name]
    joining_gc = {GENERAL_CATEGORIES.index(v) for v in JOINING_CATEGORIES}
    joining_gcb = {GRAPHEME_BREAK.index(v) for v in JOINING_BREAKS}
    for cp in range(MAX_CP):
        if gc[cp] in joining_gc or gcb[cp] in joining_gcb:
            records[cp] |= 1 << SHIFT["JOINS_CLUSTER"]
    distinct = sorted(set(records))
    record_index = {r: i for i, r in enumerate(distinct)}
    props_table = TwoStage([record_index[r] for r in records])

    # Full compatibility decompositions; a code point whose decomposition is
    # itself has none.
    memo = {}
    pool = []
    entries = [0]  # entry 0 means "none"; others are offset << 5 | length
    decomp_ref = [0] * MAX_CP
    seen = {}
    for cp in sorted(decomposition):
        full = full_decomposition(cp, decomposition, memo)
        packed = tuple(c | (qc[c] == 2) << DECOMP_MAYBE_SHIFT | ccc[c] << DECOMP_CCC_SHIFT
                       for c in full)
        if packed not in seen:
            seen[packed] = len(pool)
            pool.extend(packed)
        assert len(full) < 32
        decomp_ref[cp] = len(entries)
        entries.append(seen[packed] << 5 | len(full))
    decomp_table = TwoStage(decomp_ref)

    # A starter that passes the quick check must decompose to a starter that
    # cannot combine backwards, or normalizing at its boundary would be wrong.
    for cp in range(MAX_CP):
        if ccc[cp] == 0 and qc[cp] == 0:
            first = full_decomposition(cp, decomposition, memo)[0]
            assert ccc[first] == 0 and qc[first] != 2, hex(cp)

    # Primary composites: canonical pairs that are not excluded.
    pairs = []
    for cp, (compat, parts) in decomposition.items():
        if not compat and len(parts) == 2 and cp not in props["Full_Composition_Exclusion"]:
            pairs.append((parts[0] << 21 | parts[1], cp))
    pairs.sort()
    # The composer only looks up pairs whose second character may combine
    # backwards (NFKC_QC=Maybe).
    assert all(qc[key & 0x1FFFFF] == 2 for key, _ in pairs)

    # Full lower-case mappings (1 to 3 code points).
    mappings = [(0, 0, 0, 0)]
    mapping_index = {}
    lower_ref = [0] * MAX_CP
    for cp in sorted(lower):
        target = lower[cp]
        if target == [cp]:
            continue
        assert 1 <= len(target) <= 3
        key = tuple(target + [0] * (3 - len(target))) + (len(target),)
        if key not in mapping_index:
            mapping_index[key] = len(mappings)
            mappings.append(key)
        lower_ref[cp] = mapping_index[key]
    lower_table = TwoStage(lower_ref)

    # Starters with NFKC_QC=Yes in the BMP, as a bit set: the quick check's
    # common case without the two-stage lookup.
    starter_bits = [0] * (0x10000 // 64)
    for cp in range(0x10000):
        if ccc[cp] == 0 and qc[cp] == 0:
            starter_bits[cp >> 6] |= 1 << (cp & 63)

    return {
        "starter_bits": starter_bits,
        "records": distinct,
        "props": props_table,
        "decomp": decomp_table,
        "pool": pool,
        "entries": entries,
        "pairs": pairs,
        "lower": lower_table,
        "mappings": mappings,
        "cn_record": record_index[GENERAL_CATEGORIES.index("Cn") | 1 << SHIFT["JOINS_CLUSTER"]],
    }


def write(tables, header_path, source_path):
    src = ["// Generated by tools/gen_unicode_tables.py from the UCD 16.0.0 files. Do not edit.",
           '#include "unicode_tables.h"', "", "namespace brindlore::unicode::tables {", ""]
    types = {}
    types["records"] = emit_array(src, "kRecords", tables["records"], "uint32_t")
    types["starter_bits"] = emit_array(src, "kQuickStarterBits", tables["starter_bits"],
                                       "uint64_t")
    types["prop1"] = emit_array(src, "kPropStage1", tables["props"].stage1)
    types["prop2"] = emit_array(src, "kPropStage2", tables["props"].stage2)
    types["decomp1"] = emit_array(src, "kDecompStage1", tables["decomp"].stage1)
    types["decomp2"] = emit_array(src, "kDecompStage2", tables["decomp"].stage2)
    types["entries"] = emit_array(src, "kDecompEntries", tables["entries"], "uint32_t")
    types["pool"] = emit_array(src, "kDecompPool", tables["pool"], "uint32_t")
    pairs = tables["pairs"]
    types["pair_keys"] = emit_array(src, "kComposeKeys", [k for k, _ in pairs], "uint64_t")
    types["pair_values"] = emit_array(src, "kComposeValues", [v for _, v in pairs], "uint32_t")
    types["lower1"] = emit_array(src, "kLowerStage1", tables["lower"].stage1)
    types["lower2"] = emit_array(src, "kLowerStage2", tables["lower"].stage2)
    src.append(f"const LowerMapping kLowerMappings[{len(tables['mappings'])}] = {{")
    for a, b, c, n in tables["mappings"]:
        src.append(f"  {{{{{a}, {b}, {c}}}, {n}}},")
    src += ["};", "", "}  // namespace brindlore::unicode::tables", ""]

    hdr = ["// Generated by tools/gen_unicode_tables.py from the UCD 16.0.0 files. Do not edit.",
           "// Layout of the generated tables; src/core/unicode/tables.h wraps the lookups.",
           "#pragma once", "", "#include <cstddef>", "#include <cstdint>", "",
           "namespace brindlore::unicode::tables {", ""]
    for name, shift, width in FIELDS:
        hdr.append(f"inline constexpr uint32_t k{name.title().replace('_', '')}Shift = {shift};")
        hdr.append(f"inline constexpr uint32_t k{name.title().replace('_', '')}Mask = "
                   f"{(1 << width) - 1};")
    hdr.append("")
    hdr.append("enum class GraphemeBreak : uint8_t { " + ", ".join(GRAPHEME_BREAK) + " };")
    hdr.append("enum class IndicConjunctBreak : uint8_t { " + ", ".join(INCB) + " };")
    hdr.append("enum class QuickCheck : uint8_t { Yes, No, Maybe };")
    hdr.append("")
    hdr.append(f"inline constexpr uint32_t kDecompMaybeShift = {DECOMP_MAYBE_SHIFT};")
    hdr.append(f"inline constexpr uint32_t kDecompCccShift = {DECOMP_CCC_SHIFT};")
    hdr.append(f"inline constexpr uint32_t kCnRecord = {tables['cn_record']};")
    hdr.append(f"inline constexpr size_t kComposeCount = {len(pairs)};")
    hdr.append("")
    hdr.append("struct LowerMapping {")
    hdr.append("  char32_t cps[3];")
    hdr.append("  uint8_t count;")
    hdr.append("};")
    hdr.append("")
    decls = [("records", "kRecords", len(tables["records"])),
             ("starter_bits", "kQuickStarterBits", len(tables["starter_bits"])),
             ("prop1", "kPropStage1", len(tables["props"].stage1)),
             ("prop2", "kPropStage2", len(tables["props"].stage2)),
             ("decomp1", "kDecompStage1", len(tables["decomp"].stage1)),
             ("decomp2", "kDecompStage2", len(tables["decomp"].stage2)),
             ("entries", "kDecompEntries", len(tables["entries"])),
             ("pool", "kDecompPool", len(tables["pool"])),
             ("pair_keys", "kComposeKeys", len(pairs)),
             ("pair_values", "kComposeValues", len(pairs)),
             ("lower1", "kLowerStage1", len(tables["lower"].stage1)),
             ("lower2", "kLowerStage2", len(tables["lower"].stage2))]
    for key, name, size in decls:
        hdr.append(f"extern const {types[key]} {name}[{size}];")
    hdr.append(f"extern const LowerMapping kLowerMappings[{len(tables['mappings'])}];")
    hdr += ["", "}  // namespace brindlore::unicode::tables", ""]

    for path, lines in ((header_path, hdr), (source_path, src)):
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        os.replace(tmp, path)


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    write(build(argv[1]), argv[2], argv[3])


if __name__ == "__main__":
    main(sys.argv)
