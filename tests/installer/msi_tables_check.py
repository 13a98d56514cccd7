#!/usr/bin/env python3
"""Checks a built MSI's tables against Windows Installer's rules, which Wine's
msiexec does not enforce: custom action types, where in-script actions sit,
which service actions run in each kind of installation and what their rollback
undoes after each of them, the order that needs no reboot, secure public
properties, 64-bit components and folders, configuration components, file
names, the folders' permissions (MsiLockPermissionsEx, which Wine's msiexec
never reads), the component rules.

Usage: msi_tables_check.py <msi> [--previous <the build before it>]   (exit 1 and one line per broken rule)
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'installer'))
from payload import FOLDER_LOCKS, lock_texts  # noqa: E402  the SDDL texts' one source

IN_SCRIPT, ROLLBACK, COMMIT, NO_IMPERSONATE, WIN64 = 0x400, 0x100, 0x200, 0x800, 256
PERMANENT, NEVER_OVERWRITE = 16, 128

# The product's in-script actions: kind, and the action each rollback undoes.
ACTIONS = {
    'QvRollbackStop': ('rollback', 'QvStopService'),
    'QvStopService': ('deferred', None),
    'QvRollbackRemove': ('rollback', 'QvRemoveService'),
    'QvRemoveService': ('deferred', None),
    'QvSecureFolders': ('deferred', None),
    'QvRollbackInstall': ('rollback', 'QvInstallService'),
    'QvInstallService': ('deferred', None),
    'QvSetAccount': ('deferred', None),
    'QvRollbackStart': ('rollback', 'QvStartService'),
    'QvStartService': ('deferred', None),
    'QvRollbackFirewallRules': ('rollback', 'QvFirewallRules'),
    'QvFirewallRules': ('deferred', None),
    'QvRollbackFirewallRemove': ('rollback', 'QvFirewallRemove'),
    'QvFirewallRemove': ('deferred', None),
    'QvCommitInstall': ('commit', None),
    'QvFinishRemoval': ('commit', None),
    'QvFinishRemovalNow': ('deferred', None),
}
# Deferred actions undone by another's rollback: the account by the registration's.
UNDONE_BY = {'QvSetAccount': 'QvRollbackStop'}
# Deferred actions with nothing to undo: owners and permissions made safe
# stay so; the end of an uninstall has nothing after it.
NO_UNDO = {'QvSecureFolders', 'QvFinishRemovalNow'}
INSTALLING = {'QvRollbackStop', 'QvStopService', 'QvSecureFolders', 'QvRollbackInstall', 'QvInstallService', 'QvSetAccount',
              'QvRollbackStart', 'QvStartService', 'QvRollbackFirewallRules', 'QvFirewallRules', 'QvCommitInstall'}
REMOVING = {'QvRollbackRemove', 'QvRemoveService', 'QvRollbackFirewallRemove', 'QvFirewallRemove'}
# Actions that read nothing but the setup state (no CustomActionData).
STATE_ONLY = {'QvRollbackStop', 'QvRollbackRemove', 'QvRollbackInstall', 'QvRollbackStart', 'QvCommitInstall'}
# Which of them each kind of installation runs.
SCENARIOS = {
    'first install': ({}, INSTALLING),
    'upgrade': ({'WIX_UPGRADE_DETECTED': '{OLD}'}, INSTALLING),
    'repair': ({'Installed': '1', 'REINSTALL': 'ALL'}, INSTALLING),
    'uninstall': ({'Installed': '1', 'REMOVE': 'ALL'}, REMOVING | {'QvFinishRemoval'}),
    'uninstall with rollback off': ({'Installed': '1', 'REMOVE': 'ALL', 'RollbackDisabled': '1'},
                                    REMOVING | {'QvFinishRemovalNow'}),
    'removal by a newer version': ({'Installed': '1', 'REMOVE': 'ALL', 'UPGRADINGPRODUCTCODE': '{NEW}'}, set()),
}
# Standard actions whose rollback puts files (or the older version) back.
FILE_ACTIONS = ('RemoveFiles', 'InstallFiles', 'RemoveExistingProducts')
# Public properties that are Windows Installer's own (and ARP*, Programs and Features').
STANDARD_PROPERTIES = {'ALLUSERS', 'REINSTALLMODE', 'REINSTALL', 'REMOVE', 'MSIRESTARTMANAGERCONTROL',
                       'UPGRADINGPRODUCTCODE'}

errors = []


def table(msi, name):
    text = subprocess.run(['msiinfo', 'export', msi, name], capture_output=True, text=True).stdout  # none: no rows
    return [line.split('\t') for line in text.replace('\r', '').split('\n')[3:] if line]


def condition_holds(cond, props):
    """Windows Installer's condition syntax, the part our tables use."""
    tokens = re.findall(r'"[^"]*"|~=|<>|[()=]|[A-Za-z_][A-Za-z0-9_.]*', cond or '')
    pos = 0

    def peek():
        return tokens[pos] if pos < len(tokens) else None

    def take():
        nonlocal pos
        pos += 1
        return tokens[pos - 1]

    def value(tok):
        return tok[1:-1] if tok.startswith('"') else props.get(tok, '')

    def atom():
        if peek() == 'NOT':
            take()
            return not atom()
        if peek() == '(':
            take()
            v = disjunction()
            take()
            return v
        left = take()
        if peek() in ('=', '~=', '<>'):
            op, right = take(), value(take())
            a, b = value(left), right
            if op == '~=':
                return a.lower() == b.lower()
            return (a == b) if op == '=' else (a != b)
        return value(left) != ''

    def conjunction():
        v = atom()
        while peek() == 'AND':
            take()
            v = atom() and v
        return v

    def disjunction():
        v = conjunction()
        while peek() == 'OR':
            take()
            v = conjunction() or v
        return v

    return True if not tokens else disjunction()


def check(msi):
    actions = {r[0]: (int(r[1]), r[2], r[3]) for r in table(msi, 'CustomAction')}
    sequence = {r[0]: (r[1], int(r[2])) for r in table(msi, 'InstallExecuteSequence')}
    at = lambda a: sequence[a][1]
    for name, (kind, _, target) in actions.items():
        t = kind & 0x3F
        if t == 51 and kind & (IN_SCRIPT | NO_IMPERSONATE):
            errors.append(f'{name}: a type-51 action is immediate, without NoImpersonate (type {kind})')
        if kind & NO_IMPERSONATE and not kind & IN_SCRIPT:
            errors.append(f'{name}: NoImpersonate without the in-script bit (type {kind})')
        if kind & (ROLLBACK | COMMIT) and not kind & IN_SCRIPT:
            errors.append(f'{name}: rollback or commit without the in-script bit (type {kind})')
        if kind & IN_SCRIPT and name in sequence and not at('InstallInitialize') < at(name) < at('InstallFinalize'):
            errors.append(f'{name}: in-script action outside InstallInitialize..InstallFinalize')
    for name, (kind, undoes) in ACTIONS.items():
        if name not in actions or name not in sequence:
            errors.append(f'{name}: missing from CustomAction or InstallExecuteSequence')
            continue
        t = actions[name][0]
        want = IN_SCRIPT | NO_IMPERSONATE | {'deferred': 0, 'rollback': ROLLBACK, 'commit': COMMIT}[kind]
        if t & (IN_SCRIPT | NO_IMPERSONATE | ROLLBACK | COMMIT) != want:
            errors.append(f'{name}: type {t} is not a {kind} action without impersonation')
        if undoes and not at(name) < at(undoes):
            errors.append(f'{name}: must come before {undoes}, whose work it undoes')
        setter = 'Set' + name
        if name not in STATE_ONLY and (setter not in actions or actions[setter][1] != name or
                                   sequence.get(setter, ('', 10 ** 6))[1] > at('InstallInitialize')):
            errors.append(f'{name}: no type-51 {setter} sets its CustomActionData before InstallInitialize')
    if all(n in sequence for n in ACTIONS):
        check_order(at)
        for scenario, (props, want) in SCENARIOS.items():
            runs = {a for a in ACTIONS if condition_holds(sequence[a][0], props)}
            if runs != want:
                errors.append(f'{scenario}: runs {sorted(runs)}, expected {sorted(want)}')
            for a in runs:
                if a not in STATE_ONLY and not condition_holds(sequence.get('Set' + a, ('NOT 1',))[0], props):
                    errors.append(f'{scenario}: {a} runs without its CustomActionData (Set{a} does not)')
            check_rollbacks(scenario, runs, at)
    check_properties(msi, actions)
    check_remembered(msi, actions)
    if 'QvCheckSettings' not in sequence or actions['QvCheckSettings'][0] & IN_SCRIPT or \
            not at('CostFinalize') < at('QvCheckSettings') < at('InstallInitialize'):
        errors.append('QvCheckSettings: not an immediate action between CostFinalize and InstallInitialize')

    # 64-bit: template, folders, components.
    info = subprocess.run(['msiinfo', 'suminfo', msi], check=True, capture_output=True, text=True).stdout
    if 'Template: x64;1033' not in info:
        errors.append('summary information: template is not x64;1033')
    dirs = {r[0]: r for r in table(msi, 'Directory')}
    if dirs.get('INSTALLDIR', [None, None])[1] != 'ProgramFiles64Folder':
        errors.append('INSTALLDIR is not under ProgramFiles64Folder')

    def under_etc(d):
        while d in dirs and d != 'INSTALLDIR':
            if dirs[d][1] == 'INSTALLDIR' and dirs[d][2].split('|')[-1].lower() == 'etc':
                return True
            d = dirs[d][1]
        return False

    for comp, _, d, attrs, _, key in table(msi, 'Component'):
        attrs = int(attrs)
        if not attrs & WIN64:
            errors.append(f'component {comp}: not 64-bit')
        config = under_etc(d) and key != ''  # a folder's own component is no configuration
        if config != (attrs & (PERMANENT | NEVER_OVERWRITE) == PERMANENT | NEVER_OVERWRITE) or (not config and attrs & PERMANENT):
            errors.append(f'component {comp}: configuration is permanent and never overwritten, nothing else (attributes {attrs})')

    # File names: "SHORT|long" unless the name is a short name itself.
    comp_dir = {r[0]: r[2] for r in table(msi, 'Component')}
    shorts = {}
    for f in table(msi, 'File'):
        short = f[2].split('|')[0]
        if not re.fullmatch(r"[A-Za-z0-9!#$%&'()\-@^_`{}~]{1,8}(\.[A-Za-z0-9!#$%&'()\-@^_`{}~]{1,3})?", short):
            errors.append(f'file {f[0]}: {f[2]!r} has no valid short name')
        key = (comp_dir[f[1]], short.lower())
        if key in shorts:
            errors.append(f'file {f[0]}: short name {short} also used by {shorts[key]}')
        shorts[key] = f[0]

    check_locks(msi, info, folders(msi))
    return resources(msi)


def check_order(at):
    """The order that needs no reboot: what stops, what is replaced, what starts."""
    for before, after in (('QvStopService', 'RemoveFiles'), ('QvRemoveService', 'RemoveFiles'),
                          ('QvStopService', 'InstallFiles'), ('InstallFiles', 'QvSecureFolders'),
                          ('QvSecureFolders', 'QvInstallService'), ('WriteEnvironmentStrings', 'QvInstallService'),
                          ('WriteRegistryValues', 'QvInstallService'), ('QvInstallService', 'QvSetAccount'),
                          ('QvSetAccount', 'InstallExecute'), ('QvInstallService', 'InstallExecute'),
                          ('InstallExecute', 'RemoveExistingProducts'), ('RemoveExistingProducts', 'QvStartService'),
                          ('QvStartService', 'InstallFinalize')):
        if not at(before) < at(after):
            errors.append(f'{before} must come before {after}')
    last = max(at(a) for a in ACTIONS if a != 'QvFinishRemovalNow')
    if not last < at('QvFinishRemovalNow') < at('InstallFinalize'):
        errors.append('QvFinishRemovalNow: not the last in-script action before InstallFinalize')


def check_rollbacks(scenario, runs, at):
    """A failure just after each of the product's deferred actions: the rollback script (what ran, undone in the
    reverse order) undoes each of them, stops the new PBX before any file comes back, and starts the previous
    service only once they all have."""
    for failed in sorted((a for a in runs if ACTIONS[a][0] == 'deferred'), key=at):
        done = [a for a in runs if ACTIONS[a][0] == 'deferred' and at(a) <= at(failed)]
        script = sorted([a for a in runs if ACTIONS[a][0] == 'rollback' and at(a) < at(failed)] +
                        [f for f in FILE_ACTIONS if at(f) < at(failed)], key=at, reverse=True)
        where = f'{scenario}, failing after {failed}'
        for a in done:
            undo = UNDONE_BY.get(a) or next((r for r, (k, u) in ACTIONS.items() if u == a), None)
            if a not in NO_UNDO and undo not in script:
                errors.append(f'{where}: nothing undoes {a} (rollback runs {script})')
        files = [i for i, a in enumerate(script) if a in FILE_ACTIONS]
        if 'QvRollbackStart' in script and files and script.index('QvRollbackStart') > min(files):
            errors.append(f'{where}: files come back before the new PBX stops ({script})')
        for restart in ('QvRollbackStop', 'QvRollbackRemove'):
            if restart in script and files and script.index(restart) < max(files):
                errors.append(f'{where}: the previous service starts before its files are back ({script})')


def check_properties(msi, actions):
    """No Restart Manager; START_SERVICE defaults to 1; every public property the package reads is secure."""
    props = {r[0]: r[1] for r in table(msi, 'Property')}
    if props.get('MSIRESTARTMANAGERCONTROL') != 'Disable':
        errors.append('MSIRESTARTMANAGERCONTROL is not Disable: the Restart Manager would stop the service')
    if props.get('START_SERVICE') != '1':
        errors.append('START_SERVICE does not default to 1')
    public = {p for p in props if p.isupper()}
    public |= {p for _, _, target in actions.values() for p in re.findall(r'\[([A-Z_0-9]+)\]', target or '')}
    public |= {r[6] for r in table(msi, 'Upgrade')}
    public -= STANDARD_PROPERTIES | {p for p in public if p.startswith('ARP')}
    # Folders are set by Windows Installer's folder resolution; only INSTALLDIR is the administrator's.
    public -= {r[0] for r in table(msi, 'Directory')} - {'INSTALLDIR'}
    secure = set(props.get('SecureCustomProperties', '').split(';'))
    for p in sorted(public - secure):
        errors.append(f'{p}: a public property missing from SecureCustomProperties (dropped when UAC elevates)')


def check_remembered(msi, actions):
    """A public property found by AppSearch keeps a value given on the command line: in both sequences it is saved
    before AppSearch and put back after it."""
    found = {r[0] for r in table(msi, 'AppSearch') if r[0].isupper()}
    for seq in ('InstallExecuteSequence', 'InstallUISequence'):
        rows = {r[0]: (r[1], int(r[2])) for r in table(msi, seq)}
        search = rows['AppSearch'][1]
        for p in sorted(found):
            save, restore = rows.get('QvSave' + p), rows.get('QvRestore' + p)
            if not (save and save[0] == p and save[1] < search and actions.get('QvSave' + p, (0, '', ''))[1:] ==
                    ('QvCmd' + p, f'[{p}]') and restore and restore[0] == 'QvCmd' + p and restore[1] > search and
                    actions.get('QvRestore' + p, (0, '', ''))[1:] == (p, f'[QvCmd{p}]')):
                errors.append(f'{seq}: AppSearch overwrites {p} given on the command line (no QvSave{p} before it and '
                              f'QvRestore{p} after it)')


def folders(msi):
    """{Directory: its path from INSTALLDIR or a system folder, long names in lower case}."""
    dirs = {r[0]: (r[1], r[2].split(':')[0].split('|')[-1].lower()) for r in table(msi, 'Directory')}
    path = lambda d: d if d == 'INSTALLDIR' or dirs[d][0] in ('', 'TARGETDIR') else path(dirs[d][0]) + ('\\' + dirs[d][1]) * (dirs[d][1] != '.')
    return {d: path(d) for d in dirs}


def resources(msi):
    """{component code: its resources and key path}; a file that two components install (ICE30) is an error."""
    paths, comps, res, owner = folders(msi), {r[0]: r for r in table(msi, 'Component')}, {}, {}
    name = lambda d, v: paths[d] + '\\' + v.split('|')[-1].lower()
    rows = [(r[1], r[0], 'file', name(comps[r[1]][2], r[2])) for r in table(msi, 'File')]
    rows += [(r[5], r[0], 'registry', r[1], r[2].lower(), r[3].lower()) for r in table(msi, 'Registry')]
    rows += [(c, '', 'folder', paths[d]) for d, c in table(msi, 'CreateFolder')]
    rows += [(r[3], 0, 'environment', r[1].lstrip('=+-!*').lower(), r[2]) for r in table(msi, 'Environment')]
    rows += [(r[3], 0, 'shortcut', name(r[1], r[2])) for r in table(msi, 'Shortcut')]
    for comp, row, *what in rows:
        res.setdefault(comps[comp][1], set()).update({tuple(what)} | ({('key path', *what)} if comps[comp][5] == row else set()))
        if what[0] == 'file' and owner.setdefault(what[1], comp) != comp:
            errors.append(f'{what[1]}: installed by two components, {owner[what[1]]} and {comp}')
    return res


def compare(new, old):
    """Component rules across two builds: a kept code keeps its resources, a resource (but a folder) its code."""
    text = lambda rs: '; '.join(' '.join(map(str, r)) for r in sorted(rs))
    for code in sorted(c for c in new.keys() & old.keys() if new[c] != old[c]):
        errors.append(f'component {code}: resources changed (gone: {text(old[code] - new[code])}; added: {text(new[code] - old[code])})')
    was, now = ({r: c for c, rs in res.items() for r in rs if r[0] not in ('folder', 'key path')} for res in (old, new))
    for r in sorted(k for k in was.keys() & now.keys() if was[k] != now[k]):
        errors.append(f'{text([r])}: in component {was[r]} in the previous build, {now[r]} now')


def check_locks(msi, info, paths):
    """INSTALLDIR and each folder under etc\\ and var\\ locked with its top folder's FOLDER_LOCKS text, owner and
    group first (so a folder's creator keeps no WRITE_DAC), on the CreateFolder row of its own component (the
    folder its key path), which every install, repair and upgrade installs: no condition, not never-overwrite,
    in a level-1 feature (CreateFolders locks only the folders of the components it installs)."""
    if int(re.search(r'^Version: (\d+)', info, re.M).group(1)) < 500:
        errors.append('summary information: MsiLockPermissionsEx needs InstallerVersion 500 or more')
    tables = subprocess.run(['msiinfo', 'tables', msi], check=True, capture_output=True, text=True).stdout.split()
    if 'LockPermissions' in tables:
        errors.append('LockPermissions beside MsiLockPermissionsEx: Windows Installer refuses the package')
    locks, created = [table(msi, t) for t in ('MsiLockPermissionsEx', 'CreateFolder')]
    comps, level1 = {r[0]: r for r in table(msi, 'Component')}, {r[0] for r in table(msi, 'Feature') if r[5] == '1'}
    always = {c for f, c in table(msi, 'FeatureComponents') if f in level1 - {r[0] for r in table(msi, 'Condition')}
              and comps[c][4] == '' and not int(comps[c][3]) & NEVER_OVERWRITE}
    own = {d for d, c in created if c in always and comps[c][2] == d and comps[c][5] == ''}
    errors.extend(f'{r[0]}: {r[3]!r} names no owner and group (O:BAG:SY)' for r in locks if not r[3].startswith('O:BAG:SY'))
    for folder, path in sorted(paths.items(), key=lambda p: p[1]):
        rel = (path + '\\')[11:-1]  # under INSTALLDIR, '' for itself
        sddl = {top: sddl for _, top, sddl in FOLDER_LOCKS}.get(rel.split('\\')[0]) if (path + '\\').startswith('INSTALLDIR\\') else None
        if sddl is None:
            continue
        name = rel + '\\' if rel else 'INSTALLDIR'
        want = sorted(['CreateFolder', text, condition] for _, text, condition in lock_texts(rel.split('\\')[0], sddl))
        if sorted(r[2:] for r in locks if r[1] == folder) != want:
            errors.append(f'{name}: locked with {[r[2:] for r in locks if r[1] == folder]}, expected exactly {want!r}')
        for account in ('', '1'):
            if sum(condition_holds(r[4], {'QvAccountVirtual': account}) for r in locks if r[1] == folder) != 1:
                errors.append(f'{name}: not exactly one lock row holds with QvAccountVirtual={account!r} (two: error 1942)')
        if folder not in own:
            errors.append(f'{name}: no CreateFolder row links it to a component of its own every install, repair and upgrade installs')


if __name__ == '__main__':
    current = check(sys.argv[1])
    if sys.argv[2:3] == ['--previous']:
        compare(current, resources(sys.argv[3]))
    for e in errors:
        print('msi_tables_check: ' + e)
    print(f'msi_tables_check: {len(errors)} broken rules in {sys.argv[1]}')
    sys.exit(1 if errors else 0)
