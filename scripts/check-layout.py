#!/usr/bin/env python3
"""Checks that the source tree says what the build does.

- src/CMakeLists.txt lists the library folders in build order; every folder
  under src/ that holds sources is listed, and no listed folder includes a
  header of, or links a library of, a folder listed after it.
- The subfolders of one top folder follow one another in that list.
- tests/ lists the same folders in the same order (e2e and support aside).
- No source file under src/ is longer than MAX_LINES lines.
- ARCHITECTURE.md names every listed folder.

Prints one line per fault and exits 1 when there is any.
"""
import os
import re
import sys

MAX_LINES = 1200
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_SUFFIXES = ('.h', '.cpp', '.c')

faults = []


def fault(text):
    faults.append(text)


def listed_folders(cmake_file):
    """The folders named by velm_add_subdirectories() calls, in order."""
    with open(cmake_file, encoding='utf-8') as f:
        text = re.sub(r'#[^\n]*', '', f.read())
    folders = []
    for call in re.finditer(r'velm_add_subdirectories\(([^)]*)\)', text):
        folders.extend(call.group(1).split())
    return folders


def library_of(folder):
    """The library that src/<folder>/CMakeLists.txt defines and what it links."""
    path = os.path.join(ROOT, 'src', folder, 'CMakeLists.txt')
    if not os.path.exists(path):
        return None, []
    with open(path, encoding='utf-8') as f:
        text = re.sub(r'#[^\n]*', '', f.read())
    m = re.search(r'velm_add_library\(\s*(\S+)(.*?)\)', text, re.S)
    if not m:
        return None, []
    deps = re.findall(r'\bvelm_\w+', m.group(2))
    return m.group(1), deps


def main():
    order = listed_folders(os.path.join(ROOT, 'src', 'CMakeLists.txt'))
    rank = {folder: i for i, folder in enumerate(order)}

    # Subfolders of one top folder stand together.
    seen_tops = []
    for folder in order:
        top = folder.split('/')[0]
        if top in seen_tops and seen_tops[-1] != top:
            fault(f'src/CMakeLists.txt: {folder} is not listed next to the other folders of {top}/')
        if not seen_tops or seen_tops[-1] != top:
            seen_tops.append(top)

    # Every folder with sources is a listed library folder.
    src = os.path.join(ROOT, 'src')
    owner = {}
    for dirpath, _dirs, files in os.walk(src):
        rel = os.path.relpath(dirpath, src)
        sources = [f for f in files if f.endswith(SOURCE_SUFFIXES)]
        if not sources:
            continue
        if rel not in rank:
            fault(f'src/{rel}: holds sources but is not listed in src/CMakeLists.txt')
            continue
        for name in sources:
            owner[os.path.join(rel, name)] = rel

    # Includes and links point only downward.
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
    for path, folder in sorted(owner.items()):
        full = os.path.join(src, path)
        with open(full, encoding='utf-8', errors='replace') as f:
            text = f.read()
        lines = text.count('\n')
        if lines > MAX_LINES:
            fault(f'src/{path}: {lines} lines, more than {MAX_LINES}')
        for target in include.findall(text):
            target_folder = os.path.dirname(target)
            if not target_folder or target.endswith('.moc'):
                continue
            if target_folder not in rank:
                if os.path.exists(os.path.join(src, target)):
                    fault(f'src/{path}: includes {target} from an unlisted folder')
                continue
            if rank[target_folder] > rank[folder]:
                fault(f'src/{path}: includes {target}, but {target_folder} is built after {folder}')

    libraries = {}
    for folder in order:
        name, _deps = library_of(folder)
        if name:
            libraries[name] = folder
    for folder in order:
        name, deps = library_of(folder)
        for dep in deps:
            dep_folder = libraries.get(dep)
            if dep_folder is None:
                continue
            if rank[dep_folder] >= rank[folder]:
                fault(f'src/{folder}/CMakeLists.txt: {name} links {dep}, which is built in {dep_folder}, not before it')

    # Tests mirror the source tree.
    test_order = [f for f in listed_folders(os.path.join(ROOT, 'tests', 'CMakeLists.txt'))
                  if f not in ('e2e', 'support')]
    expected = [f for f in order if f in test_order]
    if test_order != expected:
        fault('tests/CMakeLists.txt: the test folders are not listed in the order of src/CMakeLists.txt')
    for folder in test_order:
        if folder not in rank:
            fault(f'tests/{folder}: has no source folder src/{folder}')

    # The architecture notes name every folder.
    arch_path = os.path.join(ROOT, 'ARCHITECTURE.md')
    arch = open(arch_path, encoding='utf-8').read() if os.path.exists(arch_path) else ''
    if not arch:
        fault('ARCHITECTURE.md is missing')
    for folder in order:
        if os.path.isdir(os.path.join(src, folder)) and f'`{folder}`' not in arch:
            fault(f'ARCHITECTURE.md does not name `{folder}`')

    for text in faults:
        print(text)
    if faults:
        print(f'check-layout: {len(faults)} fault(s)')
        return 1
    print(f'check-layout: {len(order)} folders in order, {len(owner)} files checked')
    return 0


if __name__ == '__main__':
    sys.exit(main())
