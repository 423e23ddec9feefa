"""Source files to measure and check against: the interpreter's standard
library, and real JavaScript, TypeScript and Rust found on this machine
(generated text where a language has too little on disk)."""

import glob
import html
import os
import random
import re
import sysconfig
import tempfile

WORK_DIR = os.path.join(tempfile.gettempdir(), "marblewick-analysis-corpus")


def read_utf8(path):
    """The file's bytes, or None when they are not UTF-8 (the module refuses those)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    return data


def stdlib_python_files():
    root = sysconfig.get_paths()["stdlib"]
    files = []
    for folder, dirs, names in os.walk(root):
        # Third-party packages installed beside the standard library are not part of it.
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "dist-packages"))
        files.extend(os.path.join(folder, n) for n in sorted(names) if n.endswith(".py"))
    return files


def javascript_files(limit=40):
    """jQuery's unminified source and the largest unminified modules of the
    system's package manager."""
    picked = [p for p in ["/usr/share/javascript/jquery/jquery.js"] if os.path.exists(p)]
    candidates = [
        p
        for p in glob.glob("/usr/lib/node_modules/**/*.js", recursive=True)
        if not p.endswith(".min.js") and os.path.isfile(p)
    ]
    candidates.sort(key=os.path.getsize, reverse=True)
    return picked + candidates[:limit]


_RUST_PAGES = "~/.rustup/toolchains/*/share/doc/rust/html/src"
_LINE_ANCHOR = re.compile(r"<a href=#\d+ id=\d+ data-nosnippet>\d+</a>")
_TAG = re.compile(r"<[^>]+>")


def rust_files(limit=40, max_bytes=600_000):
    """The standard library's own sources, recovered from the source pages of
    the Rust documentation that the toolchain installs (line-number anchors
    and highlighting markup removed)."""
    roots = sorted(glob.glob(os.path.expanduser(_RUST_PAGES)))[:1]
    pages = sorted(glob.glob(os.path.join(roots[0], "**", "*.rs.html"), recursive=True)) if roots else []
    # The SIMD intrinsics are machine-generated tables; the rest reads like
    # ordinary hand-written Rust.
    pages = [p for p in pages if "/stdarch/" not in p and os.path.getsize(p) < max_bytes * 6]
    pages.sort(key=os.path.getsize, reverse=True)
    out_dir = os.path.join(WORK_DIR, "rust")
    os.makedirs(out_dir, exist_ok=True)
    files = []
    for page in pages[:limit]:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        match = re.search(r'<pre class="rust"><code>(.*?)</code></pre>', text, re.S)
        if not match:
            continue
        source = html.unescape(_TAG.sub("", _LINE_ANCHOR.sub("", match.group(1))))
        target = os.path.join(out_dir, f"{len(files):03d}_" + os.path.basename(page)[: -len(".html")])
        with open(target, "w", encoding="utf-8") as f:
            f.write(source)
        files.append(target)
    return files


_TS_SNIPPETS = [
    """export interface Record{n}<T extends object = {{}}> {{
  readonly id: string;
  payload?: T;
  tags: Array<string>;
  [key: string]: unknown;
}}
""",
    """export type Handler{n}<E> = (event: E, context: {{ attempt: number }}) => Promise<void> | void;
type Keys{n} = keyof Record{n}<{{ a: 1 }}>;
""",
    """export enum State{n} {{
  Idle = "idle",
  Running = "running",
  Done = 1 << 2,
}}
""",
    """export abstract class Store{n}<K, V> implements Iterable<[K, V]> {{
  protected readonly items = new Map<K, V>();
  private static count: number = 0;
  abstract validate(value: V): asserts value is NonNullable<V>;
  constructor(private readonly name: string, public limit = {n}) {{
    Store{n}.count += 1;
  }}
  get size(): number {{
    return this.items.size;
  }}
  set(key: K, value: V): this {{
    if (this.items.size >= this.limit) throw new RangeError(`store ${{this.name}} is full`);
    this.validate(value);
    this.items.set(key, value);
    return this;
  }}
  *[Symbol.iterator](): Iterator<[K, V]> {{
    yield* this.items.entries();
  }}
}}
""",
    """export async function fetchAll{n}<T>(urls: readonly string[], parse: (body: string) => T): Promise<T[]> {{
  const results: T[] = [];
  for (const url of urls) {{
    const response = await fetch(url, {{ method: "GET" }});
    if (!response.ok) {{
      continue;
    }}
    results.push(parse(await response.text()));
  }}
  return results.filter((r): r is T => r !== undefined);
}}
""",
    """function overload{n}(value: string): string;
function overload{n}(value: number): number;
function overload{n}(value: any): any {{
  switch (typeof value) {{
    case "string":
      return value.trim();
    default:
      return value satisfies number;
  }}
}}
""",
    """namespace Space{n} {{
  export const table: Record<string, number> = {{ a: 1, b: 2 }};
  export function lookup(key: string): number | undefined {{
    return table[key] ?? undefined;
  }}
}}
""",
    """declare module "pkg{n}" {{
  export function helper(x: number): void;
}}
const mapped{n} = [1, 2, 3].map((x, i) => ({{ x, i, label: `item-${{x}}` }})) as const;
let maybe{n}: string | null = null;
maybe{n} ??= "default";
""",
]


def typescript_files(total_bytes=1_500_000):
    """TypeScript is scarce on this machine (a few small declaration files), so
    one large file is generated from varied hand-written snippets, beside the
    declaration files that exist."""
    out_dir = os.path.join(WORK_DIR, "typescript")
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "generated.ts")
    rng = random.Random(7)
    parts, size, n = [], 0, 0
    while size < total_bytes:
        snippet = _TS_SNIPPETS[n % len(_TS_SNIPPETS)].format(n=n)
        if rng.random() < 0.3:
            snippet = f"/** Block {n}: generated for measurement. */\n" + snippet
        parts.append(snippet + "\n")
        size += len(snippet) + 1
        n += 1
    with open(target, "w", encoding="utf-8") as f:
        f.write("".join(parts))
    declarations = sorted(glob.glob("/usr/lib/node_modules/**/*.d.ts", recursive=True))
    return [target] + declarations


def language_of(path):
    if path.endswith(".py"):
        return "python"
    if path.endswith(".rs"):
        return "rust"
    if path.endswith(".ts"):
        return "typescript"
    if path.endswith(".tsx"):
        return "tsx"
    return "javascript"
