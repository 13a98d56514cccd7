#!/usr/bin/env python3
"""Keeps docs/administration.md true to the built MSI: every msiexec command line
in it names the package, options and properties the MSI takes, with values its
checks accept; its properties table lists exactly the MSI's public properties,
with their defaults; its msitools commands run against a copy of the MSI; its
exit-code table covers the codes an administrator meets.

Usage: guide_check.py <guide.md> <msi> <work dir>   (exit 1 and one line per problem)
"""
import os
import re
import shutil
import subprocess
import sys

PORTS = r'(?:[1-9]\d{0,4}(?:-[1-9]\d{0,4})?)(?:,[1-9]\d{0,4}(?:-[1-9]\d{0,4})?)*'
ADDRESS = r'(?:LocalSubnet|DNS|DHCP|WINS|DefaultGateway|[0-9a-fA-F:.]+(?:/[0-9.]+|-[0-9a-fA-F:.]+)?)'
VALUES = {
    'INSTALLDIR': r'"?[A-Za-z]:\\.*\\"?', 'START_SERVICE': '[01]', 'FIREWALL': '[01]', 'CRASH_DUMPS': '[01]',
    'PURGE': '1', 'SERVICE_ACCOUNT': '(?i:LocalSystem|virtual)', 'FIREWALL_UDP_PORTS': PORTS,
    'FIREWALL_TCP_PORTS': PORTS, 'FIREWALL_PROFILES': '(?i:(?:domain|private|public)(?:,(?:domain|private|public))*)',
    'FIREWALL_REMOTE': rf'\*|{ADDRESS}(?:,{ADDRESS})*',
}
OPTIONS = {'/i', '/x', '/qn', '/qb', '/passive', '/norestart', '/forcerestart', '/promptrestart'}
PACKAGE = r'"?quelvaron-asterisk-\d+\.\d+\.\d+-x64\.msi"?'
EXIT_CODES = {'0', '1602', '1603', '1618', '1619', '1625', '1633', '1638', '1641', '3010'}
problems = []


def table(msi, name):
    text = subprocess.run(['msiinfo', 'export', msi, name], check=True, capture_output=True, text=True).stdout
    return [line.split('\t') for line in text.replace('\r', '').split('\n')[3:] if line]


def code_lines(guide):
    return [l.strip() for block in re.findall(r'```\n(.*?)```', guide, re.S) for l in block.splitlines()]


def check_msiexec(line, secure):
    words = re.findall(r'(?:[^\s"]|"[^"]*")+', line)[1:]
    i = 0
    while i < len(words):
        w = words[i]
        if w.lower() in ('/i', '/x'):
            i += 1
            if i == len(words) or not re.fullmatch(PACKAGE, words[i]):
                problems.append(f'{line}: {w} names no package like quelvaron-asterisk-1.0.0-x64.msi')
        elif w.lower() == '/l*v':
            i += 1
        elif w.lower() not in OPTIONS and '=' not in w:
            problems.append(f'{line}: {w} is no option the guide explains')
        elif '=' in w:
            name, value = w.split('=', 1)
            if name not in secure:
                problems.append(f'{line}: {name} is no public property of the package')
            elif name in VALUES and not re.fullmatch(VALUES[name], value):
                problems.append(f'{line}: {value} is not a value {name} takes')
        i += 1


def check(guide_path, msi, work):
    guide = open(guide_path, encoding='utf-8').read()
    props = {r[0]: r[1] for r in table(msi, 'Property')}
    secure = set(props['SecureCustomProperties'].split(';')) - {'WIX_UPGRADE_DETECTED', 'WIX_DOWNGRADE_DETECTED'}
    defaults = {r[2]: r[3] for r in table(msi, 'CustomAction') if r[0].startswith('QvDefault')}
    defaults.update({p: props[p] for p in secure if p in props})
    lines = code_lines(guide)
    for line in lines:
        if line.startswith('msiexec '):
            check_msiexec(line, secure)

    rows = dict(re.findall(r'^\| `([A-Z_]+)` \| ([^|]*) \|', guide, re.M))
    for name in sorted(secure ^ rows.keys()):
        problems.append(f'{name}: in the MSI but not in the guide\'s properties table' if name in secure
                        else f'{name}: in the guide\'s properties table but not a public property of the MSI')
    for name, cell in rows.items():
        stated = re.search(r'`([^`]*)`', cell)
        if name in defaults and (not stated or stated.group(1) != defaults[name]):
            problems.append(f'{name}: the guide gives the default {cell.strip()!r}, the MSI {defaults[name]!r}')

    # The msitools commands, on a copy of the package under the guide's name.
    os.makedirs(work, exist_ok=True)
    named = re.search(r'cp (\S+\.msi) ', guide)
    shutil.copy(msi, os.path.join(work, named.group(1) if named else 'package.msi'))
    for line in lines:
        if line.startswith(('cp ', 'msibuild ')):
            done = subprocess.run(line, shell=True, cwd=work, capture_output=True, text=True)
            if done.returncode != 0:
                problems.append(f'{line}: {done.stderr.strip() or done.returncode}')
    for name, value in re.findall(r"VALUES \('([A-Z_]+)', '([^']*)'\)", guide):
        if name not in secure or (name in VALUES and not re.fullmatch(VALUES[name], value)):
            problems.append(f'the transform\'s {name}={value} is not one the package takes')

    listed = set(re.findall(r'^\| (\d+) \|', guide, re.M))
    for code in sorted(EXIT_CODES - listed):
        problems.append(f'exit code {code} is missing from the guide')


if __name__ == '__main__':
    check(*sys.argv[1:4])
    for p in problems:
        print('guide_check: ' + p)
    print(f'guide_check: {len(problems)} problems in {sys.argv[1]}')
    sys.exit(1 if problems else 0)
