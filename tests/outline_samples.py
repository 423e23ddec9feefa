"""The texts the suite and the benchmarks share: realistic sources with every
declaration kind of the outline rules and the records expected for them (line
numbers counted in the texts below), a clean text per grammar, the language
names, and random token soups. Plain data (no import of the module): the
fuzz seed writer (fuzz/make_seeds.py) takes SAMPLES from here too."""

import random

GRAMMAR_LANGUAGES = ["python", "javascript", "typescript", "tsx", "rust", "json"]

# Language names that resolve to no grammar: a no-result answer, never a parse.
NO_GRAMMAR_LANGUAGES = ["toml", "", "Python", "JSON", " python", "ts", "yaml"]

# A short text per grammar that parses without a single error.
CLEAN_SOURCES = {
    "python": "import os\n\nclass A:\n    def f(self, x=1):\n        return [x for x in range(3)]\n",
    "javascript": "export class A { m() { return `t${1}`; } }\nconst f = async () => await g();\n",
    "typescript": "interface I<T> { a: T }\nexport function f<T>(x: T): I<T> { return { a: x }; }\n",
    "tsx": 'export const C = (p: { n: number }) => <div id="c">{p.n}</div>;\n',
    "rust": "fn main() -> Result<(), Box<dyn std::error::Error>> {\n    let v: Vec<u8> = vec![1];\n    Ok(())\n}\n",
    "json": '{"a": [1, 2.5, true, null, {"b": "\\u00e9"}]}\n',
}

PYTHON_SOURCE = '''"""Module docstring."""
import os

CONSTANT = 1
handler = lambda x: x


def plain(a, b):
    return a + b


@decorator
@other(arg=1)
def decorated(x):
    def inner():
        pass
    return inner


async def fetch(url,
                timeout=10):
    pass


class Base:
    """Doc."""

    attr = 1

    def __init__(self):
        self.x = 1

    @property
    def value(self):
        return self.x

    async def run(self):
        pass

    class Inner:
        def hidden(self):
            pass


@dataclass
class Point(Base):
    x: int
    y: int


if True:
    class Conditional:
        pass
'''

# (depth, kind, name, line, end_line, signature)
PYTHON_SYMBOLS = [
    (0, "function", "plain", 8, 9, "def plain(a, b):"),
    (0, "function", "decorated", 14, 17, "def decorated(x):"),
    (0, "function", "fetch", 20, 22, "async def fetch(url,"),
    (0, "class", "Base", 25, 42, "class Base:"),
    (1, "method", "__init__", 30, 31, "def __init__(self):"),
    (1, "method", "value", 34, 35, "def value(self):"),
    (1, "method", "run", 37, 38, "async def run(self):"),
    (1, "class", "Inner", 40, 42, "class Inner:"),
    (0, "class", "Point", 46, 48, "class Point(Base):"),
]

JAVASCRIPT_SOURCE = """// utilities
import fs from "fs";

export function exported(a, b) {
  return a + b;
}

export { exported as alias };

function* generate() {
  yield 1;
}

async function load(url) {
  return fetch(url);
}

const arrow = () => 1;
var legacy = function () {};

class Widget extends Base {
  static count = 0;
  constructor(name) {
    super();
    this.name = name;
  }

  get label() {
    return this.name;
  }

  static create() {
    return new Widget("w");
  }

  *items() {}
}

export class Exported {
  method() {}
}

export default Widget;
"""

JAVASCRIPT_SYMBOLS = [
    (0, "function", "exported", 4, 6, "function exported(a, b) {"),
    (0, "function", "generate", 10, 12, "function* generate() {"),
    (0, "function", "load", 14, 16, "async function load(url) {"),
    (0, "class", "Widget", 21, 37, "class Widget extends Base {"),
    (1, "method", "constructor", 23, 26, "constructor(name) {"),
    (1, "method", "label", 28, 30, "get label() {"),
    (1, "method", "create", 32, 34, "static create() {"),
    (1, "method", "items", 36, 36, "*items() {}"),
    (0, "class", "Exported", 39, 41, "class Exported {"),
    (1, "method", "method", 40, 40, "method() {}"),
]

TYPESCRIPT_SOURCE = """import { Thing } from "./thing";

export interface Shape {
  area(): number;
  name: string;
}

interface Internal {}

export type Id = string | number;
type Pair<T> = [T, T];

enum Color {
  Red,
  Green,
}

export const enum Flags { A = 1 }

declare function ambient(x: number): void;

function overloaded(x: string): string;
function overloaded(x: any) {
  return x;
}

export abstract class Animal<T> implements Shape {
  abstract speak(): void;
  protected legs = 4;
  constructor(private readonly id: Id) {}
  area(): number {
    return 0;
  }
}
"""

TYPESCRIPT_SYMBOLS = [
    (0, "interface", "Shape", 3, 6, "interface Shape {"),
    (0, "interface", "Internal", 8, 8, "interface Internal {}"),
    (0, "type", "Id", 10, 10, "type Id = string | number;"),
    (0, "type", "Pair", 11, 11, "type Pair<T> = [T, T];"),
    (0, "enum", "Color", 13, 16, "enum Color {"),
    (0, "enum", "Flags", 18, 18, "const enum Flags { A = 1 }"),
    (0, "function", "overloaded", 23, 25, "function overloaded(x: any) {"),
    (0, "class", "Animal", 27, 34, "abstract class Animal<T> implements Shape {"),
    (1, "method", "constructor", 30, 30, "constructor(private readonly id: Id) {}"),
    (1, "method", "area", 31, 33, "area(): number {"),
]

TSX_SOURCE = """import React from "react";

interface Props {
  title: string;
}

export function Card({ title }: Props) {
  return <div className="card">{title}</div>;
}

export class Panel extends React.Component<Props> {
  render() {
    return <section>{this.props.title}</section>;
  }
}

const Arrow = () => <span />;
"""

TSX_SYMBOLS = [
    (0, "interface", "Props", 3, 5, "interface Props {"),
    (0, "function", "Card", 7, 9, "function Card({ title }: Props) {"),
    (0, "class", "Panel", 11, 15, "class Panel extends React.Component<Props> {"),
    (1, "method", "render", 12, 14, "render() {"),
]

RUST_SOURCE = """//! Crate docs.
use std::fmt;

pub mod inline {
    pub fn hidden() {}
}

mod external;

#[derive(Debug)]
pub enum Shape {
    Circle(f64),
    Square(f64),
}

pub struct Point<T> {
    x: T,
    y: T,
}

pub trait Area {
    fn area(&self) -> f64;
    fn describe(&self) -> String {
        String::new()
    }
}

impl<T: fmt::Display> fmt::Display for Point<T> {
    fn fmt(&self, f: &mut fmt::Formatter) -> fmt::Result {
        write!(f, "({}, {})", self.x, self.y)
    }
}

impl Shape {
    pub const SIDES: u32 = 0;
    pub fn new() -> Self {
        Shape::Circle(1.0)
    }
}

extern "C" {
    fn abs(x: i32) -> i32;
}

pub fn main() {
    fn nested() {}
}

const LIMIT: usize = 10;
static NAME: &str = "x";
type Alias = Point<u8>;
union Bits { i: u32, f: f32 }
macro_rules! noop { () => {} }
"""

RUST_SYMBOLS = [
    (0, "mod", "inline", 4, 6, "pub mod inline {"),
    (0, "mod", "external", 8, 8, "mod external;"),
    (0, "enum", "Shape", 11, 14, "pub enum Shape {"),
    (0, "struct", "Point", 16, 19, "pub struct Point<T> {"),
    (0, "trait", "Area", 21, 26, "pub trait Area {"),
    (1, "fn", "area", 22, 22, "fn area(&self) -> f64;"),
    (1, "method", "describe", 23, 25, "fn describe(&self) -> String {"),
    (0, "impl", "Point<T>", 28, 32, "impl<T: fmt::Display> fmt::Display for Point<T> {"),
    (1, "method", "fmt", 29, 31, "fn fmt(&self, f: &mut fmt::Formatter) -> fmt::Result {"),
    (0, "impl", "Shape", 34, 39, "impl Shape {"),
    (1, "method", "new", 36, 38, "pub fn new() -> Self {"),
    (0, "fn", "main", 45, 47, "pub fn main() {"),
]

SAMPLES = {
    "python": (PYTHON_SOURCE, PYTHON_SYMBOLS),
    "javascript": (JAVASCRIPT_SOURCE, JAVASCRIPT_SYMBOLS),
    "typescript": (TYPESCRIPT_SOURCE, TYPESCRIPT_SYMBOLS),
    "tsx": (TSX_SOURCE, TSX_SYMBOLS),
    "rust": (RUST_SOURCE, RUST_SYMBOLS),
}


def as_records(rows):
    return [
        {"depth": d, "end_line": e, "kind": k, "line": line, "name": n, "signature": s}
        for (d, k, n, line, e, s) in rows
    ]


# Tokens of each language (its brackets, separators and a few keywords and
# literals) whose random sequences keep error recovery busy. For JSON and Rust
# the time grows much faster than the text: hundreds of KB take seconds, which
# is what the budget, memory-ceiling and thread tests lean on.
SOUP_TOKENS = {
    "python": ["def", "class", "(", ")", "[", "]", "{", "}", ":", ",", "=", "x", "1", "'s'", "\n", "    "],
    "javascript": ["function", "(", ")", "{", "}", "[", "]", "=>", ";", ",", "x", "1", "'s'", "<", ">"],
    "typescript": ["function", "(", ")", "{", "}", "[", "]", "=>", ";", ":", ",", "x", "1", "<", ">"],
    "tsx": ["function", "(", ")", "{", "}", "[", "]", "=>", ";", ",", "x", "<", ">", "</", "/>"],
    "rust": ["{", "}", "(", ")", "[", "]", "<", ">", ",", ";", ":", "x", "1"],
    "json": ["{", "}", "[", "]", ":", ",", '"s"', "1"],
}


def token_soup(tokens, size: int, seed=1) -> str:
    """About `size` characters of tokens drawn at random, separated by spaces:
    the same text for the same tokens, size and seed on every run."""
    rng = random.Random(seed)
    chosen = []
    length = 0
    while length < size:
        token = rng.choice(tokens)
        chosen.append(token)
        length += len(token) + 1
    return " ".join(chosen)
