# SPDX-License-Identifier: MIT
"""Reads i386 ELF objects for the object checks and the benchmark's peers:
sections, symbols, relocations and call-frame records with pyelftools, and
the code decoded with capstone, so that no tool's printed output is parsed.
`run()` runs a tool for the scripts that read objects.
"""
import io
import subprocess
from collections import namedtuple
from functools import cache, cached_property

import capstone
from capstone import x86
from elftools.dwarf.callframe import CIE, FDE
from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

WORD = 4
R_386_32, R_386_PC32 = 1, 2
ARCHIVE_MAGIC = b"!<arch>\n"
LONGEST_INSTRUCTION = 15

DECODER = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
DECODER.detail = True
ATT = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
ATT.syntax = capstone.CS_OPT_SYNTAX_ATT


def run(*command, cwd=None):
    """The standard output of `command`; CalledProcessError if it fails."""
    return subprocess.run(command, cwd=cwd, check=True, capture_output=True, text=True).stdout


# Allocated, neither writable nor executable: read_only_data.
Section = namedtuple("Section", "index name size alignment data allocated writable executable "
                                "read_only_data")


# A symbol's type is FUNC, SECTION, ...; its bind LOCAL, GLOBAL or WEAK; its
# shndx the index of its section, or UND, ABS or COM; its section that
# section's name, or the same word.
Symbol = namedtuple("Symbol", "name value size type bind shndx section defined external")
# The addend is the word in place (REL) or in the entry (RELA); the address
# referred to is the symbol's value plus the addend.
Relocation = namedtuple("Relocation", "type symbol addend address")
# An FDE: the addresses it covers, and its rows as (address, pyelftools row).
Frame = namedtuple("Frame", "start end rows")
SPECIAL_INDEX = {"SHN_UNDEF": "UND", "SHN_ABS": "ABS", "SHN_COMMON": "COM"}


class ElfObject:
    def __init__(self, path, contents=None):
        """The object in the file `path`, or (an archive member) in `contents`."""
        self.path = path
        if contents is None:
            with open(path, "rb") as f:
                contents = f.read()
        self.contents = contents
        self.elf = ELFFile(io.BytesIO(contents))

    @cached_property
    def sections(self):
        out = []
        for i, s in enumerate(self.elf.iter_sections()):
            alloc, write, execute = (bool(s["sh_flags"] & flag) for flag in (
                SH_FLAGS.SHF_ALLOC, SH_FLAGS.SHF_WRITE, SH_FLAGS.SHF_EXECINSTR))
            out.append(Section(i, s.name, s["sh_size"], s["sh_addralign"],
                               b"" if s["sh_type"] == "SHT_NOBITS" else s.data(),
                               alloc, write, execute, alloc and not (write or execute)))
        return out

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    @cached_property
    def symbols(self):
        """The symbol table in its order, which relocations refer to."""
        table = self.elf.get_section_by_name(".symtab")
        out = []
        for s in table.iter_symbols() if table else []:
            shndx = SPECIAL_INDEX.get(s["st_shndx"], s["st_shndx"])
            bind = s["st_info"]["bind"].removeprefix("STB_")
            out.append(Symbol(s.name, s["st_value"], s["st_size"],
                              s["st_info"]["type"].removeprefix("STT_"), bind, shndx,
                              self.sections[shndx].name if isinstance(shndx, int) else shndx,
                              shndx != "UND", bind in ("GLOBAL", "WEAK")))
        return out

    def undefined(self):
        return {s.name for s in self.symbols if not s.defined and s.name}

    def routine(self, name=None):
        """The symbol `name`, or else the one global function."""
        found = [s for s in self.symbols if s.name == name or not name and s.defined
                 and s.bind == "GLOBAL" and s.type == "FUNC"]
        if len(found) != 1:
            raise SystemExit(f"{self.path}: {name or 'a global function'} not found once")
        return found[0]

    @cache
    def relocations(self, section):
        """offset -> Relocation, for the relocations applied to `section`."""
        out = {}
        for rel in self.elf.iter_sections():
            if isinstance(rel, RelocationSection) and rel["sh_info"] == section.index:
                for r in rel.iter_relocations():
                    at, symbol = r["r_offset"], self.symbols[r["r_info_sym"]]
                    addend = r["r_addend"] if rel.is_RELA() else \
                        int.from_bytes(section.data[at:at + WORD], "little", signed=True)
                    out[at] = Relocation(r["r_info_type"], symbol, addend, symbol.value + addend)
        return out

    def relocation_in(self, section, ins):
        """(offset, Relocation) of a relocation inside instruction `ins`, or None."""
        relocs = self.relocations(section)
        return next(((at, relocs[at]) for at in range(ins.address, ins.address + ins.size)
                     if at in relocs), None)

    def addresses(self, section, start, end, code):
        """The absolute addresses in section `code` held by the words of
        `section` from `start` to `end` (R_386_32 relocations against the
        code), in order; None for a word that holds no such address."""
        relocs = self.relocations(section)
        return [r.address if r and r.type == R_386_32 and r.symbol.shndx == code.index else None
                for r in map(relocs.get, range(start, end, WORD))]

    def call_frame_entries(self):
        dwarf = self.elf.get_dwarf_info()
        return dwarf.EH_CFI_entries() if dwarf.has_EH_CFI() else []

    def cies(self):
        """The header of each CIE of .eh_frame: augmentation, code_alignment_factor, ..."""
        return [e.header for e in self.call_frame_entries() if isinstance(e, CIE)]

    def frames(self, section):
        """The FDEs relocated against `section` (in a relocatable object)."""
        eh_frame = self.section(".eh_frame")
        relocs = self.relocations(eh_frame) if eh_frame else {}
        out = []
        for fde in filter(lambda e: isinstance(e, FDE), self.call_frame_entries()):
            # The FDE's start is a pc-relative word relocated against the code:
            # length, CIE pointer, then initial location.
            reloc = relocs.get(fde.offset + 2 * WORD)
            if reloc and reloc.type == R_386_PC32 and reloc.symbol.shndx == section.index:
                start, first = reloc.address, fde.header["initial_location"]
                rows = [(start + row["pc"] - first, row) for row in fde.get_decoded().table]
                out.append(Frame(start, start + fde.header["address_range"], rows))
        return out

    @cache
    def decode(self, section, address):
        """The instruction at `address` of `section`; ValueError where there is none."""
        code = section.data[address:address + LONGEST_INSTRUCTION] if address >= 0 else b""
        found = next(DECODER.disasm(code, address, 1), None)
        if found is None:
            raise ValueError(f"no instruction at {address:#x} of {section.name}")
        return found

    def instructions(self, section):
        """Every instruction of `section`, one after the other from its start."""
        out, address = [], 0
        while address < section.size:
            out.append(self.decode(section, address))
            address += out[-1].size
        return out

    def branch_target(self, section, ins):
        """Where the direct jump or call `ins` lands in `section`; None when
        it goes through a register or memory, or out of the section."""
        if not ins.operands or ins.operands[0].type != x86.X86_OP_IMM:
            return None
        found = self.relocation_in(section, ins)
        if found is None:
            return ins.operands[0].imm
        at, reloc = found
        if reloc.type != R_386_PC32 or reloc.symbol.shndx != section.index:
            return None
        return reloc.address + ins.address + ins.size - at


def att(ins):
    """`ins` as the GNU assembler writes it."""
    ins = next(ATT.disasm(ins.bytes, ins.address, 1))
    return f"{ins.mnemonic} {ins.op_str}".strip()


# Instructions that only read their first operand.
COMPARISONS = ("cmp", "test", "bt")


def stored_operand(ins):
    """The memory operand `ins` stores to, or None: its first operand, unless
    it only compares.  (capstone 4 marks the destination of some SSE stores,
    MOVDQA, MOVQ and MOVLPD, as read: the operand's place decides.)"""
    ops = ins.operands
    if not ops or ops[0].type != x86.X86_OP_MEM:
        return None
    writes = ops[0].access & capstone.CS_AC_WRITE or len(ops) > 1 and \
        ins.mnemonic not in COMPARISONS
    return ops[0] if writes else None


def is_padding(ins):
    """A no-operation of the alignment padding (`nop`, `lea 0(%esi,%eiz,1),%esi`,
    `xchg %ax,%ax`): it writes a register, if any, with the value it holds."""
    if ins.mnemonic == "nop":
        return True
    ops = ins.operands
    if len(ops) != 2 or ops[0].type != x86.X86_OP_REG:
        return False
    if ins.mnemonic == "lea":
        mem = ops[1].mem
        return mem.base == ops[0].reg and mem.disp == 0 and mem.index in (0, x86.X86_REG_EIZ)
    return ins.mnemonic in ("mov", "xchg") and ops[1].type == x86.X86_OP_REG and \
        ops[1].reg == ops[0].reg


def read_objects(path):
    """The members of the `ar` archive at `path`, each named by its member
    name, or the one object the file holds."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(ARCHIVE_MAGIC):
        return [ElfObject(path, data)]
    long_names, position, out = b"", len(ARCHIVE_MAGIC), []
    while position < len(data):
        header = data[position:position + 60]  # the name, then the size at 48
        name, size = header[:16].decode().rstrip(), int(header[48:58])
        contents = data[position + 60:position + 60 + size]
        position += 60 + size + size % 2
        if name == "//":
            long_names = contents
        elif name.startswith("/") and name[1:].isdigit():  # at this offset of the long names
            start = int(name[1:])
            out.append(ElfObject(long_names[start:long_names.index(b"/\n", start)].decode(),
                                 contents))
        elif name not in ("/", "/SYM64/"):  # not the symbol index
            out.append(ElfObject(name.rstrip("/"), contents))
    return out
