#!/usr/bin/env python3
"""Mutation score of the product sources: plant one small fault at a time,
rebuild, run the tests that cover the file, and count who notices.

Rules (code only: comments, string and character literals and preprocessor
lines are never touched):
  relop    <  <=  >  >=  ==  !=  swapped with their neighbour (< and <=, > and >=, == and !=)
  logic    && and || swapped
  plusone  an arithmetic "+ 1" / "- 1" dropped, or its sign flipped
  const    an integer literal changed by one (0 -> 1, 1 -> 0, n -> n + 1)
  return   return 0 / -1, TRUE / FALSE, true / false swapped
  call     a call statement (a line that is only f(...); or a.b(...);) removed
  negate   the condition of an if or while negated
Two mutants that give the same file are run once.

Each mutant is written into one scratch copy of the tree (build/mutation-src),
the test programs that cover its file are rebuilt incrementally in their own
build (build/mutation-native: gcc -O0 with ASan + UBSan, as the project's
native tests run; build/mutation-windows: mingw -O0, tests under Wine in a
private prefix) and run directly with a time limit.  Outcomes: killed (a test
failed or the program crashed), timeout, survived, not compiled (not counted).
A mutant listed in bench/mutation_equivalent.txt is not run.  Its lines are
'file | line before | line after | why'; the file may carry a line number
(file:LINE) for a mutant whose texts another, killed mutant of the file shares.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The builds that hold a file and the test programs that cover it there.  An
# empty list: no fast tests.
COVER = {
    'res/res_quelvaron_ami.cpp': [('native', ['res_plugin_test', 'res_no_allocation_test',
                                              'res_shipped_library_test', 'fault_injection_test'])],
    'console/quelvaron_console.cpp': [('native', ['console_test', 'fault_injection_test'])],
    'console/net_posix.cpp': [('native', ['console_test'])],
    'console/net_win32.cpp': [('windows', ['console_test'])],
    'voip/quelvaron_voip_stub.cpp': [('native', ['voip_library_test']),
                                     ('windows', ['voip_library_test'])],
    'service/quelvaron_asterisk_service.cpp': [('windows', ['service_host_test'])],
    'service/win32_seam.cpp': [('windows', ['service_host_test'])],
    'installer/msi_actions.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_log.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_state.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_service.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_host.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_files.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_firewall.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_account.cpp': [('windows', ['msi_actions_test'])],
    'installer/msi_seam.cpp': [('windows', ['msi_actions_test'])],
}

# Programs that mostly wait (time-outs of a scripted peer) run as two shards.
SHARDS = {'console_test': 2}

KEYWORDS = {'if', 'while', 'for', 'switch', 'return', 'sizeof', 'do', 'else', 'case',
            'defined', 'static_assert'}


# --------------------------------------------------------------------------
# Mutant generation
# --------------------------------------------------------------------------

def code_mask(text):
    """The text with comments, literals' contents and preprocessor lines
    blanked (same length, newlines kept), so rules see code only."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in ' \t':
            i += 1
            continue
        if line_start and c == '#':
            # a preprocessor line, with its continuations
            while i < n and text[i] != '\n':
                if text[i] == '\\' and i + 1 < n and text[i + 1] == '\n':
                    out[i] = ' '
                    i += 2
                    continue
                out[i] = ' '
                i += 1
            continue
        line_start = False
        if c == '\n':
            line_start = True
            i += 1
        elif text.startswith('//', i):
            while i < n and text[i] != '\n':
                out[i] = ' '
                i += 1
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if text[k] != '\n':
                    out[k] = ' '
            i = j
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            for k in range(i + 1, min(j, n)):
                out[k] = ' '
            i = j + 1
        else:
            i += 1
    return ''.join(out)


def match_paren(m, i):
    """Index of the ')' closing the '(' at i in the masked text, or -1."""
    depth = 0
    for j in range(i, len(m)):
        if m[j] == '(':
            depth += 1
        elif m[j] == ')':
            depth -= 1
            if depth == 0:
                return j
    return -1


def word_before(m, i):
    j = i
    while j > 0 and m[j - 1] in ' \t\n':
        j -= 1
    k = j
    while k > 0 and (m[k - 1].isalnum() or m[k - 1] == '_'):
        k -= 1
    return m[k:j]


def edits(m):
    """(start, end, replacement, rule) for every rule site in masked text m."""
    out = []
    for x in re.finditer(r'<<=|>>=|<<|>>|->|<=|>=|==|!=|<|>', m):
        swap = {'<': '<=', '<=': '<', '>': '>=', '>=': '>', '==': '!=', '!=': '=='}
        if x.group() in swap:
            out.append((x.start(), x.end(), swap[x.group()], 'relop'))
    for x in re.finditer(r'&&|\|\|', m):
        out.append((x.start(), x.end(), '||' if x.group() == '&&' else '&&', 'logic'))
    plusone = set()
    for x in re.finditer(r'(?<=[\w\)\]])([ \t]*)([+-])([ \t]*)1(?![\w.])', m):
        if word_before(m, x.start()) in KEYWORDS:
            continue
        plusone.add(x.end() - 1)
        out.append((x.start(), x.end(), '', 'plusone'))
        flip = '-' if x.group(2) == '+' else '+'
        out.append((x.start(2), x.end(2), flip, 'plusone'))
    for x in re.finditer(r'\breturn\s+-\s*(1)\s*;', m):
        plusone.add(x.start(1))
    for x in re.finditer(r'(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])', m):
        if x.start(1) in plusone:
            continue
        v = int(x.group(1), 0)
        new = {0: 1, 1: 0}.get(v, v + 1)
        lit = hex(new) if x.group(1).lower().startswith('0x') else str(new)
        out.append((x.start(1), x.end(1), lit, 'const'))
    for x in re.finditer(r'\breturn\s+(-\s*1|0|TRUE|FALSE|true|false)\s*;', m):
        swap = {'0': '-1', 'TRUE': 'FALSE', 'FALSE': 'TRUE', 'true': 'false', 'false': 'true'}
        v = re.sub(r'\s', '', x.group(1))
        out.append((x.start(1), x.end(1), swap.get(v, '0'), 'return'))
    for x in re.finditer(r'(?m)^[ \t]*([A-Za-z_]\w*(?:(?:\.|->|::)[A-Za-z_]\w*)*)\s*\(', m):
        if x.group(1) in KEYWORDS:
            continue
        close = match_paren(m, x.end() - 1)
        if close < 0:
            continue
        k = close + 1
        while k < len(m) and m[k] in ' \t\n':
            k += 1
        if k < len(m) and m[k] == ';':
            out.append((x.start(1), k + 1, '(void)0;', 'call'))
    for x in re.finditer(r'\b(if|while)\s*\(', m):
        close = match_paren(m, x.end() - 1)
        if close > 0:
            out.append((x.end(), close, None, 'negate'))
    return out


def mutants_of(path):
    with open(os.path.join(ROOT, path)) as f:
        text = f.read()
    m = code_mask(text)
    seen = set()
    result = []
    for start, end, rep, rule in sorted(edits(m)):
        if rule == 'negate':
            rep = '!(' + text[start:end] + ')'
        new = text[:start] + rep + text[end:]
        h = hashlib.sha1(new.encode()).hexdigest()
        if h in seen or new == text:
            continue
        seen.add(h)
        line = text.count('\n', 0, start) + 1
        ls = text.rfind('\n', 0, start) + 1
        le_old = text.find('\n', end)
        le_old = len(text) if le_old < 0 else le_old
        le_new = le_old + len(new) - len(text)
        result.append({
            'file': path, 'line': line, 'rule': rule, 'start': start, 'end': end, 'rep': rep,
            'before': ' '.join(text[ls:le_old].split()),
            'after': ' '.join(new[ls:le_new].split()),
            'id': '%s:%d:%s' % (path, start, h[:8]),
        })
    return result


def load_equivalent(path):
    """Lines 'file[:LINE] | line | mutated line | reason': the lines as the
    survivor list shows them (blanks squeezed), or a regular expression after
    re:; with :LINE only the mutant on that line of the file matches."""
    rules = []
    if not os.path.exists(path):
        return rules
    with open(path) as f:
        for raw in f:
            if not raw.strip() or raw.lstrip().startswith('#'):
                continue
            parts = [p.strip() for p in raw.rstrip('\n').split(' | ')]
            if len(parts) != 4 or not re.match(r'^[^:]+(:\d+)?$', parts[0]):
                sys.exit('mutation: bad line in %s: %s' % (path, raw.strip()))
            rules.append(parts)
    return rules


def same_line(pattern, text):
    if pattern.startswith('re:'):
        return re.search(pattern[3:], text) is not None
    return ' '.join(pattern.split()) == text


def same_place(where, mu):
    f, _, line = where.partition(':')
    return f == mu['file'] and (not line or int(line) == mu['line'])


def is_equivalent(mu, rules):
    return any(same_place(where, mu) and same_line(before, mu['before']) and same_line(after, mu['after'])
               for where, before, after, _ in rules)


# --------------------------------------------------------------------------
# Builds and test runs
# --------------------------------------------------------------------------

def run(cmd, timeout=None, env=None, cwd=None, log=None):
    """Exit code of cmd, or None when it outlived timeout (then killed)."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                         stdout=log or subprocess.DEVNULL, stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        return p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        return None


class Builds:
    def __init__(self, args):
        self.src = os.path.join(args.build_root, 'mutation-src')
        self.dirs = {'native': os.path.join(args.build_root, 'mutation-native'),
                     'windows': os.path.join(args.build_root, 'mutation-windows')}
        self.log = open(os.path.join(args.build_root, 'mutation.log'), 'a')
        self.wine_up = False
        self.env = dict(os.environ)

    def scratch(self):
        """A fresh copy of the tracked tree (no build trees, no .git)."""
        if os.path.isdir(self.src):
            shutil.rmtree(self.src)
        files = subprocess.check_output(['git', 'ls-files', '-z'], cwd=ROOT).decode().split('\0')
        for f in filter(None, files):
            dst = os.path.join(self.src, f)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            if os.path.exists(os.path.join(ROOT, f)):
                shutil.copy2(os.path.join(ROOT, f), dst)
        # the working tree's product files, edits not yet committed too, with a
        # new time: an object built from a mutant of an earlier run is remade
        for f in COVER:
            shutil.copyfile(os.path.join(ROOT, f), os.path.join(self.src, f))

    def configure(self, kind):
        d = self.dirs[kind]
        if os.path.exists(os.path.join(d, 'build.ninja')):
            return
        gen = ['-G', 'Ninja'] if shutil.which('ninja') else ['-G', 'Unix Makefiles']
        opts = ['-DCMAKE_BUILD_TYPE=', '-DCMAKE_CXX_FLAGS=-O0', '-DQV_BENCH=OFF']
        if kind == 'native':
            opts.append('-DQV_SANITIZE=ON')
        else:
            opts.append('-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake' % self.src)
        rc = run(['cmake', '-S', self.src, '-B', d] + gen + opts, log=self.log)
        if rc != 0:
            sys.exit('mutation: cannot configure %s (see %s)' % (d, self.log.name))

    def build(self, kind, targets):
        self.log.flush()
        return run(['cmake', '--build', self.dirs[kind], '-j2', '--target'] + targets,
                   log=self.log) == 0

    def start_wine(self):
        if self.wine_up:
            return
        d = self.dirs['windows']
        self.env.update(WINEPREFIX=os.path.join(d, 'wineprefix'), WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')
        self.wine = shutil.which('wine64') or '/usr/lib/wine/wine64'
        self.wineserver = shutil.which('wineserver') or '/usr/lib/wine/wineserver64'
        os.makedirs(self.env['WINEPREFIX'], exist_ok=True)
        run([self.wineserver, '-p'], env=self.env)
        run([self.wine, 'wineboot'], env=self.env, timeout=300)
        run([self.wine, 'sc', 'query', 'eventlog'], env=self.env, timeout=60)
        self.wine_up = True

    def stop_wine(self):
        if self.wine_up:
            run([self.wineserver, '-k'], env=self.env, timeout=60)
            run([self.wineserver, '-w'], env=self.env, timeout=60)
            self.wine_up = False

    def test(self, kind, programs, timeout):
        """'pass', 'fail' or 'timeout'; each program has timeout seconds.  A
        program that mostly waits on its peers' time-outs runs as two gtest
        shards side by side; the first failing shard ends the run."""
        bindir = os.path.join(self.dirs[kind], 'bin')
        for p in programs:
            cmd = [os.path.join(bindir, p)]
            if kind == 'windows':
                cmd = [self.wine, cmd[0] + '.exe']
            cmd += ['--gtest_brief=1', '--gtest_fail_fast']
            shards = SHARDS.get(p, 1)
            self.log.flush()
            procs = []
            for i in range(shards):
                env = dict(self.env, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(i))
                procs.append(subprocess.Popen(cmd, cwd=bindir, env=env, stdin=subprocess.DEVNULL,
                                              stdout=self.log, stderr=subprocess.STDOUT,
                                              start_new_session=True))
            deadline = time.time() + timeout
            outcome = 'pass'
            while procs and outcome == 'pass':
                for q in list(procs):
                    rc = q.poll()
                    if rc is not None:
                        procs.remove(q)
                        if rc != 0:
                            outcome = 'fail'
                if procs and outcome == 'pass':
                    if time.time() > deadline:
                        outcome = 'timeout'
                    else:
                        time.sleep(0.02)
            for q in procs:
                os.killpg(q.pid, signal.SIGKILL)
                q.wait()
            if outcome != 'pass':
                return outcome
        return 'pass'


# --------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('files', nargs='*', help='product files (default: all)')
    ap.add_argument('--sample', type=int, help='at most N mutants per file, drawn by --seed')
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--list', action='store_true', help='list the mutants, run nothing')
    ap.add_argument('--rerun', help='run only the mutants whose ids a results file lists')
    ap.add_argument('--build-root', default=os.path.join(ROOT, 'build'))
    ap.add_argument('--equivalent', default=os.path.join(ROOT, 'bench', 'mutation_equivalent.txt'))
    ap.add_argument('--results', help='results file (default: <build-root>/mutation-results.tsv)')
    args = ap.parse_args()
    args.build_root = os.path.abspath(args.build_root)
    os.makedirs(args.build_root, exist_ok=True)
    results_path = args.results or os.path.join(args.build_root, 'mutation-results.tsv')

    files = args.files or list(COVER)
    for f in files:
        if f not in COVER:
            sys.exit('mutation: %s is not a product file this tool knows (%s)' % (f, ', '.join(COVER)))
    equivalent = load_equivalent(args.equivalent)
    wanted = None
    if args.rerun:
        with open(args.rerun) as fh:
            wanted = {l.split('\t')[0] for l in fh if l.strip()}

    plan = []
    stats = {}
    for f in files:
        ms = mutants_of(f)
        s = stats[f] = dict(generated=len(ms), equivalent=0, run=0, killed=0, timeout=0,
                            survived=0, notcompiled=0, uncovered=0)
        if wanted is not None:
            ms = [m for m in ms if m['id'] in wanted]
        elif args.sample is not None and len(ms) > args.sample:
            ms = sorted(random.Random('%d:%s' % (args.seed, f)).sample(ms, args.sample),
                        key=lambda m: m['start'])
        for mu in ms:
            if is_equivalent(mu, equivalent):
                s['equivalent'] += 1
            elif not COVER[f]:
                s['uncovered'] += 1
            else:
                plan.append(mu)
    if args.list:
        for mu in plan:
            print('%s\t%s:%d\t%s\t%s' % (mu['id'], mu['file'], mu['line'], mu['rule'], mu['after']))
        print_summary(stats, [], sampled=args.sample)
        return 0

    b = Builds(args)
    survivors = []
    out = open(results_path, 'w')
    t0 = time.time()
    try:
        b.scratch()
        kinds = sorted({k for mu in plan for k, _ in COVER[mu['file']]})
        for k in kinds:
            b.configure(k)
        if 'windows' in kinds:
            b.start_wine()
        for f in files:
            todo = [mu for mu in plan if mu['file'] == f]
            if not todo:
                continue
            path = os.path.join(b.src, f)
            with open(path) as fh:
                original = fh.read()
            # the untouched file must build and pass; its run time sets the limit
            t = time.time()
            for kind, programs in COVER[f]:
                if not b.build(kind, programs):
                    sys.exit('mutation: %s does not build unchanged (see %s)' % (f, b.log.name))
                if b.test(kind, programs, 600) != 'pass':
                    sys.exit('mutation: the tests of %s fail unchanged (see %s)' % (f, b.log.name))
            limit = max(10.0, 3 * (time.time() - t))
            print('%s: %d mutants, tests %.1f s unchanged, limit %.0f s' %
                  (f, len(todo), time.time() - t, limit), flush=True)
            try:
                for i, mu in enumerate(todo, 1):
                    with open(path, 'w') as fh:
                        fh.write(original[:mu['start']] + mu['rep'] + original[mu['end']:])
                    outcome = 'survived'
                    for kind, programs in COVER[f]:
                        if not b.build(kind, programs):
                            outcome = 'notcompiled'
                        else:
                            outcome = {'pass': 'survived', 'fail': 'killed',
                                       'timeout': 'timeout'}[b.test(kind, programs, limit)]
                        if outcome != 'survived':
                            break
                    stats[f][outcome] += 1
                    stats[f]['run'] += 1
                    out.write('%s\t%s:%d\t%s\t%s\t%s\n' % (mu['id'], f, mu['line'], outcome,
                                                           mu['rule'], mu['after']))
                    out.flush()
                    if outcome == 'survived':
                        survivors.append(mu)
                    print('  [%d/%d] %-11s %s:%d %s' % (i, len(todo), outcome, f, mu['line'],
                                                        mu['after'][:90]), flush=True)
            finally:
                with open(path, 'w') as fh:
                    fh.write(original)
    except KeyboardInterrupt:
        print('mutation: interrupted; figures so far', flush=True)
    finally:
        b.stop_wine()
    print('\nsurvivors:')
    for mu in survivors:
        print('  %s:%d  [%s]  %s  ->  %s' % (mu['file'], mu['line'], mu['rule'], mu['before'],
                                             mu['after']))
    print_summary(stats, survivors, sampled=args.sample)
    print('time: %.0f s; results in %s' % (time.time() - t0, results_path))
    return 0


def print_summary(stats, survivors, sampled):
    print('\n%-40s %6s %6s %6s %6s %6s %6s %6s %7s' % (
        'file', 'gen', 'equiv', 'killed', 'tmout', 'surv', 'nocomp', 'nofast', 'score'))
    tot = {}
    for f, s in list(stats.items()) + [('total', None)]:
        if s is None:
            s = tot
        else:
            for k, v in s.items():
                tot[k] = tot.get(k, 0) + v
        counted = s.get('killed', 0) + s.get('timeout', 0) + s.get('survived', 0)
        score = '%6.1f%%' % (100.0 * (counted - s.get('survived', 0)) / counted) if counted else '     -'
        if s.get('uncovered'):
            score = 'no fast tests'
        print('%-40s %6d %6d %6d %6d %6d %6d %6d %7s' % (
            f, s.get('generated', 0), s.get('equivalent', 0), s.get('killed', 0),
            s.get('timeout', 0), s.get('survived', 0), s.get('notcompiled', 0),
            s.get('uncovered', 0), score))
    if sampled is not None:
        print('(a sample: at most %d mutants per file)' % sampled)


if __name__ == '__main__':
    sys.exit(main())
