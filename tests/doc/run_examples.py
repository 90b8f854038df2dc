#!/usr/bin/python3
"""Runs the runnable examples of one page of the guide and checks its blocks and links.

A fenced block whose info string is `sh` is runnable. The page's runnable blocks run in
order in one bash, from the source folder, against a fresh copy of demo/root (ZOR_ROOT)
with the build's programs first on PATH, so a block sees what the blocks before it left.
Every fenced block must say what it is, and every relative link must lead to a file (and
heading) that exists: a reader who follows the guide must not end up nowhere.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^( *)(```+)(.*)$")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def blocks(lines):
    """Yields (info string, first line number of the body, body lines) of each fenced block."""
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = len(m.group(1)), m.group(2), m.group(3).strip()
        start = i + 1
        i += 1
        body = []
        while i < len(lines) and not lines[i].strip().startswith(fence):
            body.append(lines[i][indent:] if lines[i][:indent].strip() == "" else lines[i])
            i += 1
        yield info, start + 1, body
        i += 1


def anchors(path):
    """The anchors a forge gives the headings of a Markdown file."""
    seen = {}
    result = set()
    inside = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if FENCE.match(line):
                inside = not inside
            if inside or not line.startswith("#"):
                continue
            text = line.lstrip("#").strip().lower()
            slug = re.sub(r"[^\w\- ]", "", text.replace("`", "")).replace(" ", "-")
            n = seen.get(slug, 0)
            seen[slug] = n + 1
            result.add(slug if n == 0 else "%s-%d" % (slug, n))
    return result


def check_page(page, lines, source):
    name = os.path.relpath(page, source)
    problems = []
    for info, line, _ in blocks(lines):
        if not info:
            problems.append("%s:%d: a fenced block without an info string (sh runs it; "
                            "console or text do not)" % (name, line - 1))
    prose = []
    inside = False
    for line in lines:
        if FENCE.match(line):
            inside = not inside
        elif not inside:
            prose.append(re.sub(r"`[^`]*`", "", line))
    text = "\n".join(prose)
    for target in LINK.findall(text):
        if re.match(r"^[a-z]+:", target):
            continue
        file_part, _, anchor = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(page), file_part)) if file_part else page
        if not os.path.exists(dest):
            problems.append("%s: link to %s: no such file" % (name, target))
        elif anchor and dest.endswith(".md") and anchor not in anchors(dest):
            problems.append("%s: link to %s: no such heading" % (name, target))
    return problems


def run_examples(page, lines, bin_dir, source):
    name = os.path.relpath(page, source)
    runnable = [(line, body) for info, line, body in blocks(lines) if info == "sh"]
    if not runnable:
        print("%s: no runnable examples" % name)
        return []
    work = tempfile.mkdtemp(prefix="zor-doc-")
    try:
        root = os.path.join(work, "root")
        shutil.copytree(os.path.join(source, "demo", "root"), root, symlinks=True)
        os.mkdir(os.path.join(work, "tmp"))
        script = ["set -e -o pipefail",
                  "trap 'echo \"zor-doc-failed ${BASH_SOURCE[0]##*/} $LINENO\" >&2' ERR"]
        for line, body in runnable:
            path = os.path.join(work, "block-%d.sh" % line)
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(body) + "\n")
            script.append("echo '--- %s:%d' >&2" % (name, line))
            script.append(". '%s'" % path)
        env = dict(os.environ)
        env["ZOR_ROOT"] = root
        env["TMPDIR"] = os.path.join(work, "tmp")
        env["PATH"] = os.path.abspath(bin_dir) + os.pathsep + env.get("PATH", "")
        done = subprocess.run(["/bin/bash", "-c", "\n".join(script)], cwd=source, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=300)
        sys.stdout.write(done.stdout)
        if done.returncode == 0:
            print("%s: %d runnable examples ran" % (name, len(runnable)))
            return []
        where = re.findall(r"zor-doc-failed block-(\d+)\.sh (\d+)", done.stdout)
        if where:
            first, offset = map(int, where[-1])
            return ["%s:%d: the example failed (exit %d)" % (name, first + offset - 1, done.returncode)]
        return ["%s: the examples failed (exit %d)" % (name, done.returncode)]
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the build's bin folder (zorhost, zorinfo, the module)")
    parser.add_argument("--source", required=True, help="the source folder (demo/root, the pages)")
    parser.add_argument("pages", nargs="+", help="Markdown pages, each run on its own")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    problems = []
    for page in args.pages:
        page = os.path.abspath(os.path.join(source, page))
        with open(page, encoding="utf-8") as f:
            lines = f.read().split("\n")
        problems += check_page(page, lines, source)
        problems += run_examples(page, lines, args.bin, source)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
