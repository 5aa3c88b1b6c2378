#!/usr/bin/python3
"""Checks the resources and the imports linked into StonewakeBuilder-Setup.exe.

    /usr/bin/python3 res/check_resources.py path/to/StonewakeBuilder-Setup.exe

Reads the PE resource and import directories (with pefile) and asserts:
  - imports: only Windows' KnownDLLs, which the loader never takes from the
    program's folder, and comctl32.dll, which the manifest binds; no delayed
    imports (every other system DLL is loaded at run time from the system
    folder alone);
  - icon group 1, language 1033: seven 32-bit images of 16, 24, 32, 48, 64,
    128 and 256 px, in that order, each an RT_ICON (ids 1..7) stored as a PNG
    whose header says 8-bit RGBA of that size;
  - version block 1, language 1033: versions 1.0.0.0, zero flags and types,
    string table 040904b0 with exactly the expected strings in order, and the
    translation 0x0409 / 1200;
  - manifest 1, language 1033: the identity, the common-controls dependency,
    dpiAware true and the asInvoker execution level.
Prints one line per fault and exits 1 if there is any; exits 2 when the file
cannot be read as a PE image; prints "resources ok" and exits 0 otherwise.
"""

import struct
import sys
import xml.etree.ElementTree as ET

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_EN_US = 1033
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of 64-bit
# Windows 10 and 11 (ntdll.dll is always the system's own).
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}
MANIFEST_BOUND = {"comctl32.dll"}

VERSION_STRINGS = [
    ("CompanyName", "Stonewake"),
    ("FileDescription", "Stonewake Builder setup"),
    ("ProductName", "Stonewake Builder"),
    ("FileVersion", "1.0.0"),
    ("OriginalFilename", "StonewakeBuilder-Setup.exe"),
]

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
WINDOWS_SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"


class BadImage(Exception):
    pass


def key(entry):
    return entry.id if entry.name is None else str(entry.name)


def resources(pe):
    """{type: {name: {lang: bytes}}} of the whole resource tree."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise BadImage("the image has no resources")
    tree = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if not hasattr(rtype, "directory"):
            raise BadImage("resource type %r is not a directory" % (key(rtype),))
        names = tree.setdefault(key(rtype), {})
        for name in rtype.directory.entries:
            if not hasattr(name, "directory"):
                raise BadImage("resource %r/%r is not a directory" % (key(rtype), key(name)))
            langs = names.setdefault(key(name), {})
            for lang in name.directory.entries:
                where = "resource %r/%r/%r" % (key(rtype), key(name), key(lang))
                if not hasattr(lang, "data"):
                    raise BadImage("%s nests too deep" % where)
                size = lang.data.struct.Size
                langs[key(lang)] = pe.get_data(lang.data.struct.OffsetToData, size)
                if len(langs[key(lang)]) != size:
                    raise BadImage("%s runs past the file" % where)
    return tree


def imported_dlls(pe, directory):
    """The DLL names of the import (or delayed import) directory."""
    return [entry.dll.decode("ascii", "replace") for entry in getattr(pe, directory, [])]


# ---------------------------------------------------------------- checks

class Checker:
    def __init__(self, tree):
        self.tree = tree
        self.faults = []

    # -- imports
    def imports(self, pe):
        allowed = KNOWN_DLLS | MANIFEST_BOUND
        for dll in imported_dlls(pe, "DIRECTORY_ENTRY_IMPORT"):
            if dll.lower() not in allowed:
                self.fault("imports: %s is no KnownDLL: the loader would look for it beside the "
                           "executable first" % dll)
        for dll in imported_dlls(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"):
            self.fault("imports: %s is a delayed import, found by the search order at run time" % dll)

    def fault(self, msg):
        self.faults.append(msg)

    def one(self, rtype, label, name=1):
        """The single language-1033 entry of resource `name` of `rtype`."""
        entries = self.tree.get(rtype, {})
        if name not in entries:
            have = sorted(str(k) for k in entries)
            self.fault("%s: no resource with id %d (ids present: %s)" % (label, name, ", ".join(have) or "none"))
            return None
        langs = entries[name]
        if set(langs) != {LANG_EN_US}:
            self.fault("%s: languages %s, expected only %d" % (label, sorted(langs), LANG_EN_US))
        return langs.get(LANG_EN_US)

    # -- icon
    def icon(self):
        groups = self.tree.get(RT_GROUP_ICON, {})
        if len(groups) != 1:
            self.fault("icon: %d icon groups, expected exactly one" % len(groups))
        data = self.one(RT_GROUP_ICON, "icon group")
        if data is None:
            return
        if len(data) < 6:
            self.fault("icon group: %d bytes, too short" % len(data))
            return
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        if reserved != 0 or kind != 1:
            self.fault("icon group: header reserved=%d type=%d, expected 0 and 1" % (reserved, kind))
        if count != len(ICON_SIZES):
            self.fault("icon group: %d images, expected %d" % (count, len(ICON_SIZES)))
        if len(data) < 6 + 14 * count:
            self.fault("icon group: %d bytes cannot hold %d entries" % (len(data), count))
            return
        icons = self.tree.get(RT_ICON, {})
        for i in range(min(count, len(ICON_SIZES))):
            want = ICON_SIZES[i]
            w, h, colours, _, planes, bits, nbytes, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
            w, h = w or 256, h or 256
            where = "icon image %d" % (i + 1)
            if (w, h) != (want, want):
                self.fault("%s: group says %dx%d, expected %dx%d" % (where, w, h, want, want))
            if bits != 32 or planes != 1 or colours != 0:
                self.fault("%s: group says %d bpp, %d planes, %d colours; expected 32, 1, 0"
                           % (where, bits, planes, colours))
            if ident != i + 1:
                self.fault("%s: refers to RT_ICON %d, expected %d" % (where, ident, i + 1))
            langs = icons.get(ident)
            if not langs or LANG_EN_US not in langs:
                self.fault("%s: RT_ICON %d in language %d is missing" % (where, ident, LANG_EN_US))
                continue
            img = langs[LANG_EN_US]
            if nbytes != len(img):
                self.fault("%s: group says %d bytes, RT_ICON %d holds %d" % (where, nbytes, ident, len(img)))
            if not img.startswith(PNG_SIGNATURE):
                self.fault("%s: RT_ICON %d is not stored as PNG" % (where, ident))
                continue
            if len(img) < 33 or img[12:16] != b"IHDR":
                self.fault("%s: PNG has no IHDR chunk first" % where)
                continue
            pw, ph, depth, ctype = struct.unpack_from(">IIBB", img, 16)
            if (pw, ph) != (want, want):
                self.fault("%s: PNG is %dx%d, expected %dx%d" % (where, pw, ph, want, want))
            if (depth, ctype) != (8, 6):
                self.fault("%s: PNG bit depth %d colour type %d, expected 8-bit RGBA (8, 6)"
                           % (where, depth, ctype))
        if len(icons) != len(ICON_SIZES):
            self.fault("icon: %d RT_ICON images in the file, expected %d" % (len(icons), len(ICON_SIZES)))

    # -- version
    @staticmethod
    def _block(buf, off):
        """One VS_VERSIONINFO-style node: (key, type, value bytes, children, end)."""
        length, value_len, vtype = struct.unpack_from("<HHH", buf, off)
        if length < 6 or off + length > len(buf):
            raise ValueError("node at %d has length %d" % (off, length))
        end = off + length
        p = off + 6
        q = p
        while q + 1 < end and buf[q:q + 2] != b"\0\0":
            q += 2
        key = buf[p:q].decode("utf-16-le")
        p = (q + 2 + 3) & ~3
        if vtype == 1:
            # Text: read up to the NUL (writers disagree on whether the
            # length counts characters or bytes).
            v = p
            while v + 1 < end and buf[v:v + 2] != b"\0\0":
                v += 2
            value = buf[p:v]
            value_end = min(end, p + 2 * value_len)
        else:
            value = buf[p:p + value_len]
            value_end = p + value_len
        children = []
        c = (value_end + 3) & ~3
        while c + 6 <= end:
            child = Checker._block(buf, c)
            children.append(child)
            c = (child[4] + 3) & ~3
        return key, vtype, value, children, end

    def version(self):
        data = self.one(RT_VERSION, "version")
        if data is None:
            return
        try:
            key, _, fixed, children, _ = self._block(data, 0)
        except (ValueError, struct.error, UnicodeDecodeError) as e:
            self.fault("version: malformed block (%s)" % e)
            return
        if key != "VS_VERSION_INFO":
            self.fault("version: root key %r" % key)
        if len(fixed) != 52:
            self.fault("version: fixed part is %d bytes, expected 52" % len(fixed))
        else:
            f = struct.unpack("<13I", fixed)
            if f[0] != 0xFEEF04BD:
                self.fault("version: fixed part signature 0x%08x" % f[0])
            fields = [("FILEVERSION", (f[2], f[3]), (0x00010000, 0)),
                      ("PRODUCTVERSION", (f[4], f[5]), (0x00010000, 0)),
                      ("FILEFLAGSMASK", f[6], 0), ("FILEFLAGS", f[7], 0), ("FILEOS", f[8], 0),
                      ("FILETYPE", f[9], 0), ("FILESUBTYPE", f[10], 0)]
            for name, got, want in fields:
                if got != want:
                    self.fault("version: %s is %r, expected %r" % (name, got, want))
        by_key = {c[0]: c for c in children}
        if [c[0] for c in children] != ["StringFileInfo", "VarFileInfo"]:
            self.fault("version: children %r, expected StringFileInfo then VarFileInfo"
                       % [c[0] for c in children])
        sfi = by_key.get("StringFileInfo")
        if sfi:
            tables = sfi[3]
            if [t[0] for t in tables] != ["040904b0"]:
                self.fault("version: string tables %r, expected only '040904b0'" % [t[0] for t in tables])
            for t in tables:
                if t[0] != "040904b0":
                    continue
                got = [(s[0], s[2].decode("utf-16-le", "replace")) for s in t[3]]
                if got != VERSION_STRINGS:
                    self.fault("version: strings %r, expected %r" % (got, VERSION_STRINGS))
                for s in t[3]:
                    if s[1] != 1:
                        self.fault("version: string %r is not marked as text" % s[0])
        vfi = by_key.get("VarFileInfo")
        if vfi:
            vars_ = vfi[3]
            if [v[0] for v in vars_] != ["Translation"]:
                self.fault("version: VarFileInfo holds %r, expected only 'Translation'" % [v[0] for v in vars_])
            for v in vars_:
                if v[0] == "Translation" and v[2] != struct.pack("<HH", 0x0409, 1200):
                    pairs = [struct.unpack_from("<H", v[2], i)[0] for i in range(0, len(v[2]) - 1, 2)]
                    self.fault("version: Translation is %r, expected [0x0409, 1200]" % pairs)

    # -- manifest
    def manifest(self):
        data = self.one(RT_MANIFEST, "manifest")
        if data is None:
            return
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            self.fault("manifest: not UTF-8 (%s)" % e)
            return
        try:
            root = ET.fromstring(text.lstrip("\ufeff"))
        except ET.ParseError as e:
            self.fault("manifest: not well-formed XML (%s)" % e)
            return
        if root.tag != "{%s}assembly" % ASM_V1:
            self.fault("manifest: root element %s, expected assembly in %s" % (root.tag, ASM_V1))
        if root.get("manifestVersion") != "1.0":
            self.fault("manifest: manifestVersion %r, expected '1.0'" % root.get("manifestVersion"))

        def attrs_match(el, where, want):
            for k, v in want.items():
                if el.get(k) != v:
                    self.fault("manifest: %s %s=%r, expected %r" % (where, k, el.get(k), v))

        ident = root.findall("{%s}assemblyIdentity" % ASM_V1)
        if len(ident) != 1:
            self.fault("manifest: %d top-level assemblyIdentity elements, expected 1" % len(ident))
        else:
            attrs_match(ident[0], "assemblyIdentity",
                        {"type": "win32", "name": "Stonewake.BuilderSetup", "version": "1.0.0.0"})

        deps = root.findall("{0}dependency/{0}dependentAssembly/{0}assemblyIdentity".format("{%s}" % ASM_V1))
        if len(deps) != 1:
            self.fault("manifest: %d dependencies, expected exactly one" % len(deps))
        else:
            attrs_match(deps[0], "dependency", {
                "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                "processorArchitecture": "*", "language": "*", "publicKeyToken": "6595b64144ccf1df"})

        dpi = [el for el in root.iter("{%s}dpiAware" % WINDOWS_SETTINGS_2005)]
        if len(dpi) != 1:
            self.fault("manifest: %d dpiAware elements in %s, expected 1" % (len(dpi), WINDOWS_SETTINGS_2005))
        elif (dpi[0].text or "").strip().lower() != "true":
            self.fault("manifest: dpiAware is %r, expected 'true'" % dpi[0].text)
        else:
            parents = [p for p in root.iter() if dpi[0] in list(p)]
            if not parents or not parents[0].tag.endswith("}windowsSettings"):
                self.fault("manifest: dpiAware is not inside windowsSettings")

        levels = root.findall(".//{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel"
                              .format("{%s}" % ASM_V3))
        if len(levels) != 1:
            self.fault("manifest: %d requestedExecutionLevel elements under trustInfo (%s), expected 1"
                       % (len(levels), ASM_V3))
        else:
            attrs_match(levels[0], "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"})


def check(path):
    """The list of faults of the PE file at `path` (empty when all hold)."""
    with open(path, "rb") as f:
        pe = pefile.PE(data=f.read())
    c = Checker(resources(pe))
    c.imports(pe)
    c.icon()
    c.version()
    c.manifest()
    return c.faults


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: check_resources.py FILE.exe\n")
        return 2
    try:
        faults = check(argv[1])
    except (OSError, BadImage, pefile.PEFormatError, struct.error) as e:
        sys.stderr.write("%s: cannot read resources: %s\n" % (argv[1], getattr(e, "value", e)))
        return 2
    for msg in faults:
        sys.stderr.write("%s: %s\n" % (argv[1], msg))
    if faults:
        return 1
    print("%s: resources ok" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
