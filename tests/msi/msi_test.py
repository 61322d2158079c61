#!/usr/bin/env python3
"""chanpipe's Windows Installer package installed for real, under Wine.

  msi_test.py prefix --winearch win32|win64 [--probe VERDICT] TEMPLATE
      makes a fresh prefix to copy from; with --probe, the 32-bit probe
      makes it and keeps its answer in VERDICT (status 77: no 32-bit here)
  msi_test.py lifecycle OPTIONS [--break no-path|no-upgrade|missing-file]
      in a copy of the template: silent install, files, PATH entry, Add/
      Remove Programs entry, chanpipe run from the PATH by a new cmd.exe, a
      reinstall, an uninstall, an upgrade to a higher version built here, a
      refused downgrade and the last uninstall, each leaving what it must.
      With --break, the package loses its PATH row, its major upgrade or a
      file of the kit first, and the run must fail the check that says so.
  msi_test.py refused OPTIONS
      the package must be refused, leaving nothing (x64 on 32-bit Windows)
  OPTIONS: --package MSI --program EXE --arch x86|x64 --template DIR --work DIR

Wine 8 differs from Windows here; the run names each difference it meets:
  * Removing the PATH entry leaves its ";" behind. Windows Installer takes
    out what "[~];[INSTALLDIR]" appended, separator and all.
  * cmd.exe ends its PATH search at an empty entry, so after an uninstall
    and a new install chanpipe is not found. Windows' cmd.exe searches every
    directory of the PATH in turn; the run goes on with empty entries
    dropped.
  * A refused downgrade logs no line of the launch condition's message.
    Windows logs it (and shows it at any UI level above /qn); the check
    falls back to the message the package carries.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(SOURCE_DIR, 'scripts', 'wine-run.sh')
GATE = os.path.join(SOURCE_DIR, 'tests', 'wine-win32', 'if-32bit.sh')
MSI_PY = os.path.join(SOURCE_DIR, 'packaging', 'msi.py')
SCALE = int(os.environ.get('CHANPIPE_TIME_SCALE', '1'))

# What a package installs, and where each file comes from (None: the
# program under test).
INSTALLED = {
    'chanpipe.exe': None,
    'README.md': 'README.md',
    'chanpipe-selftest.cmd': 'selftest/chanpipe-selftest.cmd',
    'chanpipe-selftest-host.py': 'selftest/chanpipe-selftest-host.py',
    'chanpipe_qmp.py': 'host/chanpipe_qmp.py',
    'chanpipe_port.py': 'host/chanpipe_port.py',
    'chanpipe_libvirt.py': 'host/chanpipe_libvirt.py',
}
PUBLISHER = 'The chanpipe maintainers'
NEWER = 'A newer version of chanpipe is already installed.'
USAGE = b'Usage: chanpipe [r|w] [channel name]\r\n'
ENVIRONMENT = r'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
UNINSTALL = r'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
SUCCESS, INSTALL_FAILURE, PLATFORM_UNSUPPORTED = 0, 1603, 1633

# A package broken on purpose: its queries, and the check that must fail.
BREAKS = {
    'no-path': (["DELETE FROM `Environment`"], 'path'),
    'no-upgrade': (["DELETE FROM `Upgrade`", "DELETE FROM `LaunchCondition`",
                    "DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RemoveExistingProducts'"],
                   'upgrade'),
    'missing-file': (["DELETE FROM `File` WHERE `File` = 'chanpipe_selftest_host.py'"], 'files'),
}


def windows(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def wineserver(prefix, option):
    """Waits for (-w) or ends (-k) a prefix's Wine session; its registry is
    saved when it ends."""
    server = '/usr/lib/wine/wineserver64'
    subprocess.run(['timeout', str(60 * SCALE), server if os.access(server, os.X_OK)
                    else 'wineserver', option], env=dict(os.environ, WINEPREFIX=prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def table(msi, name):
    """A package's table as {first column: row}."""
    text = subprocess.run(['msiinfo', 'export', msi, name], stdout=subprocess.PIPE,
                          check=True, universal_newlines=True).stdout
    return {row[0]: row for row in (line.split('\t') for line in text.splitlines()[3:])}


def packed(guid):
    """A GUID as Windows Installer writes it into the registry."""
    h = guid.strip('{}').replace('-', '')
    return h[7::-1] + h[11:7:-1] + h[15:11:-1] + ''.join(h[i + 1] + h[i] for i in range(16, 32, 2))


def contents(path):
    with open(path, 'rb') as f:
        return f.read()


def same_dir(a, b):
    return a.rstrip('\\').lower() == b.rstrip('\\').lower()


class Run:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.prefix = os.path.join(self.work, 'prefix')
        self.failed = []
        self.logs = 0
        self.differences = set()
        self.win32 = not os.path.isdir(os.path.join(args.template, 'drive_c', 'windows',
                                                    'syswow64'))
        folder = 'Program Files (x86)' if args.arch == 'x86' and not self.win32 else 'Program Files'
        self.install_dir = os.path.join(self.prefix, 'drive_c', folder, 'chanpipe')
        self.windows_dir = 'C:\\%s\\chanpipe' % folder

    def copy_template(self):
        """A fresh prefix. Its files are linked to the template's, not copied
        (a 64-bit prefix holds over a gigabyte): msiexec adds files, and Wine
        replaces the registry files when it saves them. The registry files
        are copied all the same, and a linked file changed in place fails
        the run."""
        if os.path.exists(self.prefix):
            wineserver(self.prefix, '-k')
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.started = time.time()
        subprocess.run(['cp', '-al', self.args.template, self.prefix], check=True)
        for name in os.listdir(self.prefix):
            if name.endswith('.reg'):
                os.unlink(os.path.join(self.prefix, name))
                shutil.copy2(os.path.join(self.args.template, name), self.prefix)

    def check(self, ok, what, message):
        print('%s: %s' % ('ok' if ok else 'FAIL', message))
        if not ok:
            self.failed.append(what)

    def wine_difference(self, text):
        if text not in self.differences:
            self.differences.add(text)
            print('Wine difference: ' + text)

    def batch(self, name, lines, *args):
        """A batch file run by a new cmd.exe, from the work folder (where no
        chanpipe.exe is): status, standard output, standard error."""
        path = os.path.join(self.work, name)
        with open(path, 'w', newline='\r\n') as f:
            f.write(''.join('@%s\n' % line for line in lines))
        done = subprocess.run(['sh', WINE_RUN, self.prefix, '120', 'cmd', '/c', windows(path)]
                              + list(args), cwd=self.work, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE,
                              env=dict(os.environ, WINEARCH='win32' if self.win32 else 'win64',
                                       CHANPIPE_WINE_LINGER='3'))
        return done.returncode, done.stdout, done.stderr

    def msiexec(self, *args):
        """msiexec's whole status (a Unix exit status keeps its low byte
        only) and its log."""
        self.logs += 1
        log = os.path.join(self.work, 'msiexec-%d.log' % self.logs)
        _, out, err = self.batch('msi.cmd', ['start "" /wait msiexec %*',
                                             'echo msiexec status %errorlevel%'],
                                 *args, '/qn', '/l*v', windows(log))
        found = re.search(rb'msiexec status (-?\d+)', out)
        if not found:
            sys.exit('msiexec ended without a status: %r %r' % (out, err))
        text = contents(log) if os.path.exists(log) else b''
        return int(found.group(1)), text.decode('utf-16' if text[:2] == b'\xff\xfe' else 'latin-1')

    def state(self):
        """The system PATH's entries and chanpipe's Add/Remove Programs
        entries, {product code: {value: data}}, as reg.exe reads them."""
        lines = ['echo ==path', 'reg query "%s" /v PATH' % ENVIRONMENT]
        for view in [''] if self.win32 else ['/reg:64', '/reg:32']:
            lines += ['echo ==uninstall', 'reg query "%s" /s %s' % (UNINSTALL, view)]
        text = self.batch('state.cmd', lines)[1].decode('utf-8', 'replace').replace('\r', '')
        path, products, key = None, {}, None
        for line in text.splitlines():
            value = re.match(r'^\s+(\S+)\s+REG_\w+\s*(.*)$', line)
            if line.startswith('HKEY_'):
                key = line.rsplit('\\', 1)[-1]
            elif value and value.group(1).upper() == 'PATH' and key == 'Environment':
                path = value.group(2).split(';')
            elif value:
                products.setdefault(key, {})[value.group(1)] = value.group(2)
        if path is None:
            sys.exit('no system PATH in the registry: ' + text)
        return path, {code: values for code, values in products.items()
                      if values.get('DisplayName') == 'chanpipe'}

    def installed(self, package, version):
        """Everything an installed package shows."""
        found = sorted(os.listdir(self.install_dir)) if os.path.isdir(self.install_dir) else []
        changed = [name for name, source in INSTALLED.items()
                   if name in found and contents(os.path.join(self.install_dir, name)) !=
                   contents(os.path.join(SOURCE_DIR, source) if source else self.args.program)]
        self.check(found == sorted(INSTALLED) and not changed, 'files', '%s holds %s%s' % (
            self.windows_dir, ' '.join(found) or 'nothing',
            ', not as shipped: ' + ' '.join(changed) if changed else ''))
        path, products = self.state()
        ours = [entry for entry in path if same_dir(entry, self.windows_dir)]
        self.check(len(ours) == 1, 'path', 'the system PATH has the folder %d time(s): %s'
                   % (len(ours), ';'.join(path)))
        code = table(package, 'Property')['ProductCode'][1]
        self.check(list(products) == [code], 'products', 'Add/Remove Programs: %s (expected %s)'
                   % (', '.join(products) or 'nothing', code))
        entry = products.get(code, {})
        shown = (entry.get('DisplayName'), entry.get('DisplayVersion'), entry.get('Publisher'))
        self.check(shown == ('chanpipe', version, PUBLISHER), 'products',
                   'its name, version and publisher: %s' % ', '.join(map(str, shown)))

        lines = ['for %%i in (chanpipe.exe) do echo found %%~$PATH:i', 'chanpipe',
                 'echo chanpipe status %errorlevel%']
        if '' in path:
            self.wine_difference(
                'an uninstall left an empty entry in the PATH, where Wine\'s cmd.exe ends its '
                'search; Windows\' cmd.exe searches every directory of the PATH in turn. The '
                'run goes on with the empty entries dropped.')
            lines = ['set "PATH=%PATH:;;=;%"'] * path.count('') + lines
        _, out, err = self.batch('run.cmd', lines)
        out = out.decode('utf-8', 'replace')
        where = re.search(r'found (.*?)\r?$', out, re.M)
        status = re.search(r'chanpipe status (-?\d+)', out)
        self.check(where and same_dir(where.group(1), self.windows_dir + '\\chanpipe.exe'), 'run',
                   'the PATH finds %s' % (where.group(1) if where else 'nothing'))
        self.check(status and status.group(1) == '1' and err == USAGE, 'run',
                   'chanpipe ends with status %s and standard error %r'
                   % (status.group(1) if status else '?', err))

    def gone(self, before, packages):
        """Nothing of the packages' is left."""
        path, products = self.state()
        self.check(not products, 'products', 'Add/Remove Programs: %s'
                   % (', '.join(products) or 'no chanpipe'))
        self.check(not any('chanpipe' in entry.lower() for entry in path), 'path',
                   'the system PATH: %s' % ';'.join(path))
        if path[-1] == '':
            self.wine_difference('removing the PATH entry left its ";" behind; Windows '
                                 'Installer takes out what "[~];[INSTALLDIR]" appended, '
                                 'separator and all.')
        # Windows Installer's own cache folder, which every Windows has, is
        # made by Wine's first install.
        cache = os.path.join(self.prefix, 'drive_c', 'windows', 'Installer')
        left = self.files() - before
        if os.path.isdir(cache) and not os.listdir(cache):
            left.discard(cache)
        self.check(not left, 'files', 'files and folders left: %s' % (' '.join(
            sorted(os.path.relpath(name, self.prefix) for name in left)) or 'none'))
        traces = self.traces(packages)
        self.check(not traces, 'registry', 'in the registry: %s' % (' '.join(traces) or
                                                                      'no trace of chanpipe'))

    def files(self):
        return {os.path.join(top, name) for top, dirs, names in
                os.walk(os.path.join(self.prefix, 'drive_c')) for name in dirs + names}

    def traces(self, packages):
        """The packages' names and codes that the registry holds."""
        names = ['chanpipe']
        for package in packages:
            properties = table(package, 'Property')
            codes = [properties['ProductCode'][1], properties['UpgradeCode'][1]] + [
                row[1] for row in table(package, 'Component').values()]
            names += [form for code in codes for form in (code.strip('{}'), packed(code))]
        wineserver(self.prefix, '-w')
        text = ''.join(contents(os.path.join(self.prefix, name)).decode('latin-1').lower()
                       for name in os.listdir(self.prefix) if name.endswith('.reg'))
        return sorted({name for name in names if name.lower() in text})

    def build(self, package, name, queries, version=None):
        """A copy of the package, or one of VERSION from the same program and
        recipe, broken by QUERIES."""
        target = os.path.join(self.work, name)
        if version:
            subprocess.run([sys.executable, MSI_PY, 'build', '--arch', self.args.arch,
                            '--version', version, '--program', self.args.program,
                            '--output', target], check=True,
                           env=dict(os.environ, SOURCE_DATE_EPOCH='1700000000'))
        else:
            shutil.copyfile(package, target)
        if queries:
            subprocess.run(['msibuild', target] + [arg for query in queries
                                                   for arg in ('-q', query)], check=True)
        return target

    def lifecycle(self, queries):
        version = table(self.args.package, 'Property')['ProductVersion'][1]
        major, minor, patch = version.split('.')
        higher = '%s.%s.%d' % (major, minor, int(patch) + 1)
        shipped = self.build(self.args.package, 'chanpipe-%s.msi' % version, queries)
        upgrade = self.build(None, 'chanpipe-%s.msi' % higher, queries, higher)
        before = self.files()
        self.check(not self.traces([shipped, upgrade]), 'registry',
                   'the fresh prefix holds no trace of chanpipe')

        def step(title, action, package, expected, what):
            print('== ' + title)
            status, log = self.msiexec(action, windows(package))
            self.check(status == expected, what, 'msiexec %s: status %d (expected %d)'
                       % (action, status, expected))
            return log

        step('install %s' % version, '/i', shipped, SUCCESS, 'install')
        self.installed(shipped, version)
        step('the same package again', '/i', shipped, SUCCESS, 'install')
        self.installed(shipped, version)
        step('uninstall %s' % version, '/x', shipped, SUCCESS, 'uninstall')
        self.gone(before, [shipped])
        step('install %s again' % version, '/i', shipped, SUCCESS, 'install')
        step('upgrade to %s' % higher, '/i', upgrade, SUCCESS, 'upgrade')
        self.installed(upgrade, higher)
        log = step('downgrade to %s' % version, '/i', shipped, INSTALL_FAILURE, 'upgrade')
        if NEWER not in log:
            self.wine_difference('the refused downgrade logged no line of its message; Windows '
                                 'logs it. The package must carry it.')
            messages = [row[1] for row in table(shipped, 'LaunchCondition').values()]
            self.check(any(m.startswith(NEWER) for m in messages), 'upgrade',
                       'the package says: %s' % (' / '.join(messages) or 'nothing'))
        self.installed(upgrade, higher)
        step('uninstall %s' % higher, '/x', upgrade, SUCCESS, 'uninstall')
        self.gone(before, [shipped, upgrade])
        linked = [os.path.relpath(os.path.join(top, name), self.prefix)
                  for top, _, names in os.walk(self.prefix) for name in names
                  if os.lstat(os.path.join(top, name)).st_nlink > 1 and
                  os.lstat(os.path.join(top, name)).st_mtime > self.started]
        self.check(not linked, 'prefix', 'files of the template changed in place: %s'
                   % (' '.join(linked) or 'none'))

    def refused(self):
        before = self.files()
        status, _ = self.msiexec('/i', windows(self.args.package))
        self.check(status == PLATFORM_UNSUPPORTED, 'install', 'msiexec: status %d (expected %d)'
                   % (status, PLATFORM_UNSUPPORTED))
        self.gone(before, [self.args.package])


def make_template(args):
    if os.path.exists(args.template):
        wineserver(args.template, '-k')
        shutil.rmtree(args.template)
    command = ['sh', GATE, args.probe, 'probe'] if args.probe else ['sh', WINE_RUN]
    status = subprocess.run(command + [args.template] + ([] if args.probe else ['60']),
                            env=dict(os.environ, WINEARCH=args.winearch)).returncode
    wineserver(args.template, '-w')
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    commands = parser.add_subparsers(dest='command', required=True)
    prefix = commands.add_parser('prefix')
    prefix.add_argument('--winearch', choices=['win32', 'win64'], required=True)
    prefix.add_argument('--probe')
    prefix.add_argument('template', type=os.path.abspath)
    for name in ('lifecycle', 'refused'):
        command = commands.add_parser(name)
        for option in ('--package', '--program', '--work'):
            command.add_argument(option, required=True)
        command.add_argument('--template', required=True, type=os.path.abspath)
        command.add_argument('--arch', choices=['x86', 'x64'], required=True)
        command.add_argument('--break', dest='broken', choices=sorted(BREAKS))
    args = parser.parse_args()
    if args.command == 'prefix':
        return make_template(args)

    run = Run(args)
    run.copy_template()
    queries, catches = BREAKS[args.broken] if args.broken else ([], None)
    try:
        run.lifecycle(queries) if args.command == 'lifecycle' else run.refused()
    finally:
        wineserver(run.prefix, '-k')
    if catches:
        print('%s: the package broken by %s %s the "%s" check' % (
            'ok' if catches in run.failed else 'FAIL', args.broken,
            'failed' if catches in run.failed else 'passed', catches))
        return 0 if catches in run.failed else 1
    print('FAIL: %d check(s) failed' % len(run.failed) if run.failed else 'all checks passed')
    return 1 if run.failed else 0


if __name__ == '__main__':
    sys.exit(main())
