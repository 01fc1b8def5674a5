#!/usr/bin/env bash
# The folders of src/ are layers: each may include headers of the folders
# below it, never of one above it. Reads every #include "folder/..." line
# between the top-level folders of src/ and fails on a cycle, naming the
# files that close it; also fails on an operating-system #if outside
# src/platform/.
set -euo pipefail
cd "$(dirname "$0")/../src"

python3 - <<'PY'
import glob, re, sys

edges = {}      # (from folder, to folder) -> first file:line that includes
for path in sorted(glob.glob('**/*.[ch]*', recursive=True)):
    src = path.split('/')[0] if '/' in path else '.'
    for n, line in enumerate(open(path, encoding='utf-8', errors='replace'), 1):
        m = re.match(r'\s*#\s*include\s+"([^/"]+)/', line)
        if m and m.group(1) != src:
            edges.setdefault((src, m.group(1)), f'src/{path}:{n}')

graph = {}
for a, b in edges:
    graph.setdefault(a, set()).add(b)
    graph.setdefault(b, set())

# Depth-first search; a back edge closes a cycle.
state, order, cycle = {}, [], None
def visit(v, stack):
    global cycle
    state[v] = 1
    for w in sorted(graph[v]):
        if cycle:
            return
        if state.get(w) == 1:
            cycle = stack[stack.index(w):] + [w] if w in stack else [v, w]
            return
        if w not in state:
            visit(w, stack + [w])
    state[v] = 2
    order.append(v)
for v in sorted(graph):
    if v not in state and not cycle:
        visit(v, [v])

if cycle:
    print('include cycle between the folders of src/: ' + ' -> '.join(cycle))
    for a, b in zip(cycle, cycle[1:]):
        print(f'  {a} -> {b}: {edges[(a, b)]}')
    sys.exit(1)
print('layers, lowest first: ' + ' -> '.join(order))

# Which operating system we are on is the platform layer's business alone.
osmacro = re.compile(r'^\s*#\s*(if|ifdef|ifndef|elif)\b.*\b(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW32__|__MINGW64__|__CYGWIN__|WIN32)\b')
bad = []
for path in sorted(glob.glob('**/*.[ch]*', recursive=True)):
    if path.startswith('platform/'):
        continue
    for n, line in enumerate(open(path, encoding='utf-8', errors='replace'), 1):
        if osmacro.match(line):
            bad.append(f'src/{path}:{n}: {line.strip()}')
if bad:
    print('operating-system #if outside src/platform/:')
    print('\n'.join('  ' + b for b in bad))
    sys.exit(1)
PY
