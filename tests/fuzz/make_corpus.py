#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets into tests/fuzz/corpus/.

    /usr/bin/python3 tests/fuzz/make_corpus.py

The seeds are committed; this script only documents how they were made and
rewrites them identically.
"""

import hashlib
import os

HERE = os.path.dirname(os.path.abspath(__file__))
BASE = "https://localhost:47443/"
REPO = "Stonewake/Stonewake"


def digest(name):
    return hashlib.sha256(name.encode()).hexdigest()


def part(dir_, from_, to, archive, tag="v1.4.0"):
    url = "%s%s/releases/download/%s/%s" % (BASE, REPO, tag, archive)
    return "part %s %d %s %s %s %s" % (digest(archive), 1000 + len(archive) * 7, dir_, from_, to, url)


def setup_lists():
    engine = part("engine", "StonewakeBuilder-engine", "engine", "StonewakeBuilder-engine-1.4.0.zip")
    editor = part("editor/app", "-", "app", "StonewakeBuilder-editor-1.4.0.zip")
    python = part(".", "-", "-", "StonewakeBuilder-python-3.11.zip")
    emsdk = part(".", "-", "-", "StonewakeBuilder-emsdk-3.1.zip")
    head = ["tag v1.4.0", "run editor/app/StonewakeBuilder.exe"]
    lines = head + [engine, editor, python, emsdk]
    seeds = {
        "valid-lf.txt": "\n".join(lines) + "\n",
        "valid-crlf.txt": "\r\n".join(lines) + "\r\n",
        "valid-cr.txt": "\r".join(lines),
        "nightly.txt": "\n".join(["tag nightly", "run bin\\StonewakeBuilder.exe",
                                  part("bin", "StonewakeBuilder-bin", "bin",
                                       "StonewakeBuilder-bin-nightly.zip", "nightly")]) + "\n",
        "seventeen-parts.txt": "\n".join(head + [
            part("lib%02d" % i, "-", "lib%02d" % i, "StonewakeBuilder-lib%02d.zip" % i)
            for i in range(17)]) + "\n",
        "bad-digest-upper.txt": "\n".join(head + [engine.replace(digest(
            "StonewakeBuilder-engine-1.4.0.zip"), digest("StonewakeBuilder-engine-1.4.0.zip").upper())]) + "\n",
        "bad-digest-short.txt": "\n".join(head + [engine.replace(digest(
            "StonewakeBuilder-engine-1.4.0.zip"), digest("x")[:63])]) + "\n",
        "bad-digest-long.txt": "\n".join(head + [engine.replace(digest(
            "StonewakeBuilder-engine-1.4.0.zip"), digest("x") + "7")]) + "\n",
        "dot-dot.txt": "\n".join(["tag v1.4.0", "run ../StonewakeBuilder.exe",
                                  part("engine/../..", "-", "..", "StonewakeBuilder-engine.zip")]) + "\n",
        "http-url.txt": "\n".join(head + [engine.replace("https://", "http://")]) + "\n",
        "no-parts.txt": "tag v1.4.0\nrun StonewakeBuilder.exe\n",
        "long-fields.txt": "\n".join(["tag " + "t" * 140, "run " + "r/" * 140 + "x.exe",
                                      part("d" * 300, "f" * 300, "t" * 300, "a" * 900)]) + "\n",
        "blank-lines.txt": "\n\n\r\n  \ntag v1.4.0\n\n" + "\r\n\r\n".join(lines[1:]) + "\n\n",
        "huge-size.txt": "\n".join(head + [engine.replace(" %d " % (1000 + 33 * 7),
                                                           " 99999999999999999999999 ", 1)]) + "\n",
        "index-line.txt": "\n".join(lines + ["index %s 4096 https://localhost:47443/Stonewake/Stonewake/releases/"
                                               "download/v1.4.0/tarnwick-index.txt" % digest("index")]) + "\n",
    }
    return seeds


def install_lists():
    """Accepted lists of every shape, and near misses that Windows would read
    as other names: the install paths fuzzer grows from these."""
    valid = {k: v for k, v in setup_lists().items() if k.startswith("valid") or k == "nightly.txt"}
    head = ["tag v1.4.0", "run editor/app/StonewakeBuilder.exe"]
    shapes = {
        "trailing-separators.txt": head + [
            part("StonewakeBuilder/tools/", "-", "-", "StonewakeBuilder-python-3.11.zip"),
            part("runtime\\win\\", "engine-1", "engine", "StonewakeBuilder-engine-1.zip"),
            part("editor/", "-", "app", "StonewakeBuilder-editor-1.zip")],
        "same-folder-twice.txt": head + [
            part("runtime/win", "a", "engine", "a.zip"), part("Runtime/Win", "b", "Engine", "b.zip"),
            part("runtime/win/", "c", "engine", "c.zip")],
        "near-misses.txt": ["tag v1.4.0.", "run editor/CON/StonewakeBuilder.exe"] + [
            part("runtime./win", "a", "nul.txt", "a.zip"), part("...", "COM1", "b", "b.zip")],
        "dotted-names.txt": ["tag .v1..4", "run .a/..b/StonewakeBuilder.exe"] + [
            part(".tools/.x", ".a", "..b", "a.zip"), part("a.b/c.d", "CONX", "LPT10", "b.zip")],
    }
    seeds = dict(valid)
    seeds.update({name: "\n".join(lines) + "\n" for name, lines in shapes.items()})
    return seeds


def api_answers():
    def asset(name, tag="v1.4.0", escaped=True):
        url = "%s%s/releases/download/%s/%s" % (BASE, REPO, tag, name)
        if escaped:
            url = url.replace("/", "\\/")
        return ('{"id": 17, "name": "%s", "size": 1234, "download_count": 3, '
                '"browser_download_url": "%s"}' % (name, url))

    def release(tag, assets):
        return ('{"id": 4, "tag_name": "%s", "name": "Stonewake Builder %s", "draft": false, '
                '"assets": [%s]}' % (tag, tag, ", ".join(assets)))

    setup = "StonewakeBuilder-setup.txt"
    seeds = {
        "escaped-slashes.txt": setup + "\n" + release("v1.4.0", [asset("StonewakeBuilder-engine-1.4.0.zip"),
                                                                  asset(setup)]),
        "plain-slashes.txt": setup + "\n" + release("v1.4.0", [asset(setup, escaped=False)]),
        "release-name-is-asset.txt": "v1.4.0\n" + release("v1.4.0", [asset("v1.4.0")]).replace(
            '"name": "Stonewake Builder v1.4.0"', '"name": "v1.4.0"'),
        "other-host.txt": setup + "\n" + release("v1.4.0", [asset(setup)]).replace(
            "https:\\/\\/localhost:47443", "https:\\/\\/elsewhere.invalid"),
        "url-outside-entry.txt": setup + "\n" + '{"assets": [{"name": "%s"}, {"browser_download_url": '
                                                '"%s%s/releases/latest/download/%s"}]}' % (setup, BASE, REPO, setup),
        "unclosed.txt": setup + "\n" + '{"assets": [{"name": "%s", "browser_download_url": "%s%s/rel' % (
            setup, BASE, REPO),
        "nightly.txt": setup + "\n" + release("nightly", [asset(setup, "nightly")]),
        "link-tagged.txt": "x\n%s%s/releases/download/v1.4.0/%s" % (BASE, REPO, setup),
        "link-latest.txt": "x\n%s%s/releases/latest/download/%s" % (BASE, REPO, setup),
        "long-name.txt": setup + "\n" + release("v1.4.0", [asset("N" * 700), asset(setup)]),
        "long-url.txt": setup + "\n" + release("v1.4.0", [asset(setup)]).replace(
            "StonewakeBuilder-setup.txt\"}", "x" * 1100 + "\"}"),
        "link-query.txt": "x\n%s%s/releases/latest/download/%s?x=1" % (BASE, REPO, setup),
    }
    return seeds


def command_lines():
    exe = '"C:\\Users\\dev\\Downloads\\StonewakeBuilder-Setup.exe"'
    lines = {
        "none.txt": exe,
        "plain.txt": exe + " --tag v1.4.0",
        "quoted.txt": exe + ' --tag "v1.4.0-rc.1"',
        "nightly.txt": exe + " --tag v1.4.0-23-g1a2b3c4",
        "nightly-dirty.txt": exe + " --tag v1.4.0-23-g1a2b3c4-dirty --quiet",
        "not-nightly.txt": exe + " --tag v1.4.0-23-gXYZ",
        "bad-char.txt": exe + " --tag v1.4/evil",
        "twice.txt": exe + " --tag first --tag second",
        "long.txt": exe + " --tag " + "v" * 130,
        "spaces-quotes.txt": exe + '  --tag   ""  "release_2024.01"',
    }
    seeds = {name: text.encode() for name, text in lines.items()}
    # The same command lines as the Windows side hands them over.
    for name in ("nightly.txt", "quoted.txt", "bad-char.txt"):
        seeds["utf16-" + name] = lines[name].encode("utf-16-le")
    seeds["utf16-non-ascii.txt"] = (exe + " --tag v1.4\u00e9").encode("utf-16-le")
    return seeds


def indexes():
    """Indexes as the release tool writes them, and near misses."""
    nothing = hashlib.sha256(b"").hexdigest()

    def entry(offset, name, size=0, method=8):
        if name.endswith("/"):
            return "d %d %d 0 0000 00000000 0000 2821 0 0 %s %s" % (offset, 56 + len(name), nothing, name)
        compressed = size if method == 0 else size // 2 + 2
        return "f %d %d %d 0008 %08x 0000 2821 %d %d %s %s" % (
            offset, 70 + len(name) + compressed, method, size * 2654435761 % 2**32, compressed, size,
            digest(name), name)

    def section(part_name, names):
        lines, offset = [], 0
        for name, size in names:
            lines.append(entry(offset, name, size))
            offset += int(lines[-1].split()[2])
        return ["part %s %d" % (digest(part_name), len(lines))] + lines

    engine = section("engine.zip", [("engine-2.3/", 0), ("engine-2.3/data.pak", 900),
                                    ("engine-2.3/engine.dll", 30), ("engine-2.3/sub dir/", 0),
                                    ("engine-2.3/sub dir/caf\u00e9 .txt", 5)])
    python = section("python.zip", [("python/", 0), ("python/bin/", 0), ("python/bin/python.exe", 11)])
    head = ["tarnwick-index 1"]

    def text(lines):
        return "\n".join(lines) + "\n"

    good = head + engine + python
    return {
        "valid.txt": text(good),
        "valid-second-part.txt": text(head + python + engine),
        "stored.txt": text(head + section("s.zip", [("s/", 0)]) + [entry(56 + 58, "s/a", 40, 0)]).replace(
            "part %s 1" % digest("s.zip"), "part %s 2" % digest("s.zip")),
        "no-final-line-end.txt": text(good)[:-1],
        "crlf.txt": text(good).replace("\n", "\r\n"),
        "leading-zero.txt": text(good).replace(" 900 ", " 0900 "),
        "upper-hex.txt": text(good).replace(digest("engine-2.3/engine.dll"), digest("engine-2.3/engine.dll").upper()),
        "escaping.txt": text(good).replace("python/bin/python.exe", "python/../../python.exe"),
        "rooted-drive.txt": text(good).replace("python/bin/python.exe", "C:\\python.exe"),
        "out-of-order.txt": text(head + engine[:2] + engine[3:4] + engine[2:3] + engine[4:]),
        "section-short.txt": text(head + engine[:-1] + python),
        "twice.txt": text(head + engine + engine),
        "huge-offset.txt": text(good).replace("d 0 67 ", "d 4294967295 67 ", 1),
        "other-version.txt": text(["tarnwick-index 2"] + engine),
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, content in sorted(seeds.items()):
        if isinstance(content, str):
            content = content.encode()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)


def main():
    write("fuzz_setup_list", setup_lists())
    write("fuzz_api_scan", api_answers())
    write("fuzz_tag_scan", command_lines())
    write("fuzz_install_paths", install_lists())
    write("fuzz_index", indexes())


if __name__ == "__main__":
    main()
