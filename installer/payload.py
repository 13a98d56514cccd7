#!/usr/bin/env python3
"""The PBX payload tree in the MSI: build_packages.sh's helper.

  payload.py wxs --payload DIR --upgrade-code GUID --work DIR
      Checks every name in the tree, links each file as <work>/src/<id> and
      writes <work>/payload.wxs (component group Payload) and
      <work>/payload.tsv (id, kind, relative path) for the next step.
  payload.py tables --work DIR --bin DIR
      Rewrites the tables wixl exported into <work>/idt: real file and folder
      names with short names beside the long ones, file versions read from
      each PE file's version resource, configuration components kept, the
      folders' permissions (MsiLockPermissionsEx) and the payload's top-level
      names (Property QvTopLevel).

The payload is the PBX's installation tree, installed as it is under
INSTALLDIR; its bin\\ is the product's BINDIR, beside our own programs.
Every file is a component of its own, the file its key path: a component's
resources never change while its code stays, so an upgrade that installs the
new version before removing the old one neither leaves a dropped file behind
nor removes one the new version has just installed. A folder that needs a
CreateFolder row (an empty one, or a locked one: INSTALLDIR and every folder
under etc\\ and var\\) is a component of its own too, the folder its key
path. Ids are a hash of the path, so they are valid and unique for any name;
component GUIDs are derived from the UpgradeCode and the path, so the same
file or folder keeps its component from one version to the next. wixl sees
only the ids: names are written into the tables afterwards, so no character
of a name reaches its preprocessor or XML.
"""
import hashlib
import os
import re
import struct
import sys
import uuid

# Windows cannot hold these in a name; nor names that end in a dot or a blank.
FORBIDDEN = set('<>:"/\\|?*') | {chr(c) for c in range(32)}
DEVICE_NAMES = {'con', 'prn', 'aux', 'nul'} | {f'{p}{n}' for p in ('com', 'lpt') for n in range(1, 10)}
# What a short (8.3) name may hold besides letters and digits.
SHORT_CHARS = set("!#$%&'()-@^_`{}~")
DELIVERABLES = ('quelvaron-service.exe', 'quelvaron-console.exe', 'quelvaron_voip.dll', 'res_quelvaron_ami.dll')
# Component attributes: 64-bit; configuration also never overwritten once
# present and never removed by the package (PURGE=1 removes it).
WIN64, PERMANENT, NEVER_OVERWRITE = 256, 16, 128

# The permissions Windows Installer gives the folders (MsiLockPermissionsEx),
# the one source of these texts. Owned by Administrators (group SYSTEM), so
# a user who created the folder first (C:\PBX) keeps no WRITE_DAC on it.
# Protected DACLs: nothing is inherited from the parent, so a folder under a
# drive's root is as closed as one under Program Files, and a later change of
# the parent cannot open it. Each entry reaches the folder, its subfolders
# and its files (OICI).
#   program folder (INSTALLDIR): SYSTEM and Administrators full control,
#     Users read and execute (0x1200a9, icacls RX);
#   etc\ (configuration: SIP and manager passwords) and var\ (data:
#     recordings, call records): SYSTEM and Administrators only.
SDDL_PROGRAM = 'O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)'
SDDL_PRIVATE = 'O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)'
# (lock row, folder under INSTALLDIR or '' for INSTALLDIR itself, SDDL).
# etc\ and var\ lend their text to every folder under them, each with a lock
# row of its own (named by its path): Windows fixes no order between making
# a folder and locking its parent, so none may depend on inheriting it.
# Each lock sits on the CreateFolder row of the folder's own component
# (installed by every install, repair and upgrade), so adding a folder
# changes no other component's resources.
FOLDER_LOCKS = (('LockInstallDir', '', SDDL_PROGRAM), ('LockEtc', 'etc', SDDL_PRIVATE),
                ('LockVar', 'var', SDDL_PRIVATE))
# With SERVICE_ACCOUNT=virtual the service runs as NT SERVICE\QuelvaronAsterisk,
# named by its SID (SDDL takes no properties, and the account exists only once
# the service is registered): it reads INSTALLDIR and etc\, and may change
# what var\ holds (Modify, 0x1301bf: the PBX rotates, renames and deletes its
# logs), nothing else. Each folder then has two rows whose conditions are never
# both true (two true ones fail the installation with error 1942).
SERVICE_SID = 'S-1-5-80-289087610-2499335610-2398303505-1647022971-1143863078'
VIRTUAL_GRANTS = {'': '0x1200a9', 'etc': '0x1200a9', 'var': '0x1301bf'}
LOCK_CONDITIONS = ('NOT QvAccountVirtual', 'QvAccountVirtual')


def lock_texts(top, sddl):
    """[(row suffix, SDDL, condition)] for a folder locked under `top`: local system's, then the virtual account's."""
    return [('', sddl, LOCK_CONDITIONS[0]),
            ('V', f'{sddl}(A;OICI;{VIRTUAL_GRANTS[top]};;;{SERVICE_SID})', LOCK_CONDITIONS[1])]


def folder_lock(rel):
    """(lock row, SDDL) for a folder under INSTALLDIR ('' itself), or None."""
    top = rel.split('\\')[0].lower()
    for row, name, sddl in FOLDER_LOCKS:
        if top == name:
            return (row if rel.lower() == name else ident('l', rel)), sddl, name
    return None


def fail(message):
    sys.stderr.write('build_packages.sh: ' + message + '\n')
    sys.exit(1)


def ident(kind, rel):
    return kind + hashlib.sha1(rel.lower().encode('utf-8')).hexdigest()[:30]


def check_name(rel, name):
    bad = sorted(set(name) & FORBIDDEN)
    if bad:
        fail(f"the payload name '{rel}' holds {', '.join(repr(c) for c in bad)}, which Windows does not allow in a name.")
    if name.endswith('.') or name.endswith(' '):
        fail(f"the payload name '{rel}' ends in a dot or a blank, which Windows drops.")
    if name.split('.')[0].rstrip(' ').lower() in DEVICE_NAMES:
        fail(f"the payload name '{rel}' is a Windows device name.")
    if any(ord(c) > 126 for c in name):
        fail(f"the payload name '{rel}' holds a character outside ASCII, which the MSI's tables cannot carry.")


def walk(payload):
    """(folders, files) as relative paths with backslashes, checked."""
    folders, files = [], []
    for top, dirs, names in os.walk(payload):
        dirs.sort()
        rel_top = os.path.relpath(top, payload).replace(os.sep, '\\')
        rel_top = '' if rel_top == '.' else rel_top
        seen = {}
        for name in dirs + sorted(names):
            rel = rel_top + '\\' + name if rel_top else name
            check_name(rel, name)
            other = seen.setdefault(name.lower(), rel)
            if other != rel:
                fail(f"the payload names '{other}' and '{rel}' differ only in case: Windows holds one of them.")
        for name in dirs:
            rel = rel_top + '\\' + name if rel_top else name
            if os.path.islink(os.path.join(top, name)):
                fail(f"the payload folder '{rel}' is a symbolic link.")
            folders.append(rel)
        for name in sorted(names):
            rel = rel_top + '\\' + name if rel_top else name
            if not os.path.isfile(os.path.join(top, name)):
                fail(f"the payload entry '{rel}' is not a regular file.")
            files.append(rel)
    return folders, files


def xml(text):
    return text.replace('&', '&amp;').replace('<', '&lt;').replace('"', '&quot;')


def cmd_wxs(payload, upgrade_code, work):
    if not os.path.isfile(os.path.join(payload, 'bin', 'asterisk.exe')):
        fail(f"the PBX payload folder '{payload}' holds no bin\\asterisk.exe (the payload is the PBX's "
             "installation tree, with asterisk.exe in its bin\\ folder).\n"
             "  Set QV_PBX_PAYLOAD to such a folder, or leave it empty for the development stand-ins.")
    folders, files = walk(payload)
    # etc\ and var\ carry their own permissions: a payload without them gets
    # them empty, so configuration and data always have their locked place.
    for _, top, _ in FOLDER_LOCKS:
        if top and top in {f.lower() for f in files}:
            fail(f"the payload's '{top}' is a file; the PBX's {top}\\ must be a folder.")
        if top and top not in {f.lower() for f in folders}:
            folders.append(top)
    # Crash dumps of the PBX and the host (Windows Error Reporting's LocalDumps)
    # go to var\crash: data, locked as var\ is.
    if 'var\\crash' in {f.lower() for f in files}:
        fail("the payload's 'var\\crash' is a file; the crash dumps' folder must be a folder.")
    if 'var\\crash' not in {f.lower() for f in folders}:
        folders.append('var\\crash')
    for name in DELIVERABLES:
        if 'bin\\' + name in {f.lower() for f in files}:
            fail(f"the payload holds bin\\{name}, which is the product's own file.")
    namespace = uuid.UUID(upgrade_code.strip('{}'))
    src = os.path.join(work, 'src')
    os.makedirs(src, exist_ok=True)

    def parent_ref(rel):
        head = rel.rpartition('\\')[0]
        if head == '':
            return 'INSTALLDIR'
        return 'BINDIR' if head.lower() == 'bin' else ident('d', head)

    children = {}  # parent id -> [xml lines]
    tsv, refs = [], []
    for rel in folders:
        if rel.lower() == 'bin':
            continue
        children.setdefault(parent_ref(rel), []).append(('dir', rel))
    non_empty = {f.rpartition('\\')[0].lower() for f in files}
    non_empty |= {d.rpartition('\\')[0].lower() for d in folders}
    for rel in files:
        children.setdefault(parent_ref(rel), []).append(('file', rel))
    for rel in [''] + folders:
        if rel.lower() not in non_empty or folder_lock(rel):
            here = 'INSTALLDIR' if not rel else 'BINDIR' if rel.lower() == 'bin' else ident('d', rel)
            children.setdefault(here, []).append(('folder', rel))

    def component(rel, kind):
        # Distinct prefixes: a file and a folder of one path never share a code.
        cid = ident('c' if kind == 'file' else 'k', rel)
        guid = str(uuid.uuid5(namespace, ('payload\\' if kind == 'file' else 'folder\\') + rel.lower())).upper()
        refs.append(f'    <ComponentRef Id="{cid}"/>')
        config = kind == 'file' and rel.lower().startswith('etc\\')
        tsv.append(f'{cid}\t{kind}{"-config" if config else ""}\t{rel}')
        if kind == 'folder':
            return f'<Component Id="{cid}" Guid="{{{guid}}}" Win64="yes"><CreateFolder/></Component>'
        fid = ident('f', rel)
        os.symlink(os.path.abspath(os.path.join(payload, rel.replace('\\', os.sep))), os.path.join(src, fid))
        tsv.append(f'{fid}\tfile\t{rel}')
        return (f'<Component Id="{cid}" Guid="{{{guid}}}" Win64="yes">'
                f'<File Id="{fid}" Name="{fid}" Source="src/{fid}" KeyPath="yes"/></Component>')

    def emit(parent, depth, out):
        for kind, rel in children.get(parent, []):
            pad = '  ' * depth
            if kind == 'dir':
                did = ident('d', rel)
                tsv.append(f'{did}\tdir\t{rel}')
                out.append(f'{pad}<Directory Id="{did}" Name="{did}">')
                emit(did, depth + 1, out)
                out.append(f'{pad}</Directory>')
            else:
                out.append(pad + component(rel, kind))

    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>']
    for root in ('INSTALLDIR', 'BINDIR'):
        lines.append(f'  <DirectoryRef Id="{root}">')
        emit(root, 2, lines)
        lines.append('  </DirectoryRef>')
    lines.append('  <ComponentGroup Id="Payload">')
    lines += refs
    lines += ['  </ComponentGroup>', '</Fragment></Wix>']
    with open(os.path.join(work, 'payload.wxs'), 'w', encoding='utf-8') as f:
        f.write('\n'.join(lines) + '\n')
    with open(os.path.join(work, 'payload.tsv'), 'w', encoding='utf-8') as f:
        f.write('\n'.join(tsv) + '\n')


def pe_version(path):
    """'a.b.c.d' from a PE file's version resource, or None."""
    with open(path, 'rb') as f:
        if f.read(2) != b'MZ':
            return None
        data = f.read()
    at = data.rfind('VS_VERSION_INFO'.encode('utf-16-le') + b'\0\0')
    if at < 0:
        return None
    sig = data.find(b'\xbd\x04\xef\xfe', at + 32, at + 40)  # the key's end, padded to 32 bits
    if sig < 0:
        return None
    ms, ls = struct.unpack_from('<II', data, sig + 8)
    return f'{ms >> 16}.{ms & 0xffff}.{ls >> 16}.{ls & 0xffff}'


def is_short_name(name):
    base, dot, ext = name.partition('.')
    ok = lambda s: all(c.isalnum() or c in SHORT_CHARS for c in s)
    return 0 < len(base) <= 8 and len(ext) <= 3 and '.' not in ext and ok(base) and ok(ext) and (ext or not dot)


def short_names(names):
    """{long name: 'SHORT|long' or the name itself}, unique 8.3 names within one folder."""
    taken = {n.lower() for n in names if is_short_name(n)}
    out = {}
    for name in sorted(names):
        if is_short_name(name):
            out[name] = name
            continue
        base, _, ext = name.rpartition('.') if '.' in name.lstrip('.') else (name, '', '')
        clean = lambda s: ''.join(c for c in s.upper() if c.isalnum() or c in SHORT_CHARS)
        base, ext = clean(base) or 'F', clean(ext)[:3]
        n = 1
        while True:
            tail = f'~{n}'
            short = base[:8 - len(tail)] + tail + ('.' + ext if ext else '')
            if short.lower() not in taken:
                break
            n += 1
        taken.add(short.lower())
        out[name] = f'{short}|{name}'
    return out


def read_idt(path):
    with open(path, encoding='utf-8', newline='') as f:
        lines = f.read().split('\r\n')
    head, rows = lines[:3], [l.split('\t') for l in lines[3:] if l]
    return head, rows


def write_idt(path, head, rows):
    with open(path, 'w', encoding='utf-8', newline='') as f:
        f.write('\r\n'.join(head + ['\t'.join(r) for r in rows]) + '\r\n')


def cmd_tables(work, bindir):
    names, kinds = {}, {}
    with open(os.path.join(work, 'payload.tsv'), encoding='utf-8') as f:
        for line in f.read().splitlines():
            i, kind, rel = line.split('\t')
            names[i], kinds[i] = rel, kind
    idt = os.path.join(work, 'idt')

    # Folders: real names, short names beside long ones, per parent.
    dhead, drows = read_idt(os.path.join(idt, 'Directory.idt'))
    long_of = lambda v: v.split('|')[-1]
    by_parent = {}
    for r in drows:
        if r[0] in names:
            r[2] = names[r[0]].rpartition('\\')[2]
        if r[1] not in ('', 'TARGETDIR') and r[2] not in ('.', 'SourceDir'):
            by_parent.setdefault(r[1], []).append(r)
    for rows in by_parent.values():
        short = short_names([long_of(r[2]) for r in rows])
        for r in rows:
            r[2] = short[long_of(r[2])]
    write_idt(os.path.join(idt, 'Directory.idt'), dhead, drows)

    # Components: configuration is the administrator's once installed.
    chead, crows = read_idt(os.path.join(idt, 'Component.idt'))
    folder_of = {}
    for r in crows:
        folder_of[r[0]] = r[2]
        if kinds.get(r[0], '').endswith('-config'):
            r[3] = str(int(r[3]) | WIN64 | PERMANENT | NEVER_OVERWRITE)
    write_idt(os.path.join(idt, 'Component.idt'), chead, crows)

    # Files: names, short names, versions.
    fhead, frows = read_idt(os.path.join(idt, 'File.idt'))
    source = {}
    for r in frows:
        if r[0] in names:
            source[r[0]] = os.path.join(work, 'src', r[0])
            r[2] = names[r[0]].rpartition('\\')[2]
        else:
            r[2] = long_of(r[2])
            source[r[0]] = os.path.join(bindir, r[2])
    by_folder = {}
    for r in frows:
        by_folder.setdefault(folder_of[r[1]], []).append(r)
    for rows in by_folder.values():
        short = short_names([r[2] for r in rows])
        for r in rows:
            r[2] = short[r[2]]
    for r in frows:
        version = pe_version(source[r[0]])
        if version:
            r[4], r[5] = version, '1033'
    write_idt(os.path.join(idt, 'File.idt'), fhead, frows)

    # The folders' permissions, on the CreateFolder rows of their own components.
    lrows = []
    for i, kind in kinds.items():
        lock = folder_lock(names[i]) if kind == 'folder' else None
        if lock:
            folder = ident('d', names[i]) if names[i] else 'INSTALLDIR'
            for suffix, sddl, condition in lock_texts(lock[2], lock[1]):
                lrows.append([lock[0] + suffix, folder, 'CreateFolder', sddl, condition])
    write_idt(os.path.join(idt, 'MsiLockPermissionsEx.idt'),
              ['MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition', 's72\ts72\ts32\ts0\tS255',
               'MsiLockPermissionsEx\tMsiLockPermissionsEx'], sorted(lrows))

    # The payload's top-level names, for the actions: what PURGE=1 may remove
    # from an INSTALLDIR that held other things. Windows forbids '|' in names.
    tops = {rel.split('\\')[0] for rel in names.values() if rel} | {'bin'}
    phead, prows = read_idt(os.path.join(idt, 'Property.idt'))
    prows.append(['QvTopLevel', '|'.join(sorted(tops, key=lambda n: (n.lower(), n)))])
    write_idt(os.path.join(idt, 'Property.idt'), phead, prows)


def main(argv):
    args = dict(zip(argv[1::2], argv[2::2]))
    if argv[:1] == ['wxs']:
        cmd_wxs(args['--payload'], args['--upgrade-code'], args['--work'])
    elif argv[:1] == ['tables']:
        cmd_tables(args['--work'], args['--bin'])
    else:
        fail('payload.py: unknown command')


if __name__ == '__main__':
    main(sys.argv[1:])
