#!/usr/bin/env python3
"""Builds chanpipe's Windows Installer package from a built program.

  msi.py build --arch x86|x64 --version VERSION --program EXE --output MSI
               [--epoch-file FILE] [--depfile FILE]
  msi.py epoch FILE

"build" makes MSI from packaging/chanpipe.wxs with wixl (msitools), then
adds with msibuild what wixl 0.101 cannot write:
  - the PATH entry: a row of the Environment table, "=-*PATH" set to
    "[~];[INSTALLDIR]" by the program's component (the folder goes at the
    end of the system PATH on install and comes out on removal), and the
    two actions that apply it;
  - the program's file version and language, read from its version
    resource, in the File table.
The same inputs give the same bytes: every time stored is
SOURCE_DATE_EPOCH (from --epoch-file, or from the environment), the clock
is frozen there with faketime, in UTC, the product code is derived from
the name, the architecture and the version, and the package code from the
package's contents.

"epoch" writes SOURCE_DATE_EPOCH (the environment's, or the last commit's)
to FILE, and leaves FILE alone when it already says so, so that a build
remakes the packages only when the time changes.
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
WXS = os.path.join(HERE, 'chanpipe.wxs')
# The namespace of chanpipe's derived product and package codes.
NAMESPACE = uuid.UUID('A0B7A8A8-7385-4D03-A907-395BAD7D8F5F')
WIX = '{http://schemas.microsoft.com/wix/2006/wi}'

# wixl knows no Environment element: the table and its row, as WiX writes
# them for <Environment Name="PATH" Value="[INSTALLDIR]" Action="set"
# Part="last" System="yes"/>, and the standard actions that apply them.
PATH_ENTRY = [
    'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, '
    '`Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, '
    '`Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)',
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) "
    "VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Program')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
    "VALUES ('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
    "VALUES ('WriteEnvironmentStrings', 5200)",
]


def fail(message):
    sys.exit('msi: ' + message)


def epoch_from(args):
    if args.epoch_file:
        with open(args.epoch_file) as f:
            return int(f.read())
    if os.environ.get('SOURCE_DATE_EPOCH'):
        return int(os.environ['SOURCE_DATE_EPOCH'])
    fail('no time to build with: set SOURCE_DATE_EPOCH or give --epoch-file')


def version_resource(program):
    """The file version ("1.0.0.0") and language ("1033") in a Windows
    program's version resource."""
    with open(program, 'rb') as f:
        data = f.read()
    # VS_FIXEDFILEINFO: its signature, its structure version, then the file
    # version as two double words.
    at = data.find(struct.pack('<I', 0xFEEF04BD))
    if at < 0:
        fail(program + ' has no version resource')
    most, least = struct.unpack_from('<II', data, at + 8)
    version = '%d.%d.%d.%d' % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)
    # VarFileInfo's "Translation": language and code page, after its key and
    # the padding to a double word.
    key = 'Translation\0'.encode('utf-16-le')
    at = data.find(key)
    if at < 0:
        fail(program + ' names no language in its version resource')
    language, = struct.unpack_from('<H', data, (at + len(key) + 3) & ~3)
    return version, str(language)


def sources_in(wxs):
    """The files the WiX source takes from $(var.Source), relative to it."""
    files = []
    for element in ElementTree.parse(wxs).iter(WIX + 'File'):
        source = element.get('Source')
        if source.startswith('$(var.Source)/'):
            files.append(source[len('$(var.Source)/'):])
    return files


def run(command, env):
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    # wixl drops what it does not know with only a warning: that is a fault.
    if done.returncode != 0 or done.stderr.strip():
        fail('%s failed (status %d):\n%s%s' % (command[0], done.returncode, done.stdout,
                                               done.stderr))
    return done.stdout


def summary(msi, env):
    fields = {}
    for line in run(['msiinfo', 'suminfo', msi], env).splitlines():
        name, _, value = line.partition(': ')
        fields[name] = value
    return fields


def build(args):
    epoch = epoch_from(args)
    version, language = version_resource(args.program)
    stage = tempfile.mkdtemp(prefix='chanpipe-msi.')
    try:
        # What goes into the cabinet carries the epoch as its time, whatever
        # the checkout's times are.
        inputs = [args.program]
        program = os.path.join(stage, 'program', 'chanpipe.exe')
        copies = [(args.program, program)]
        for name in sources_in(WXS):
            inputs.append(os.path.join(SOURCE_DIR, name))
            copies.append((inputs[-1], os.path.join(stage, 'source', name)))
        for source, copy in copies:
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copyfile(source, copy)
            os.chmod(copy, 0o644)
            os.utime(copy, (epoch, epoch))

        # The clock stands at the epoch, in UTC, for every tool that stores
        # a time.
        env = dict(os.environ, TZ='UTC', LC_ALL='C')
        faketime = ['faketime', '-f', time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(epoch))]
        product_code = str(uuid.uuid5(NAMESPACE, 'chanpipe %s %s' % (args.arch, args.version)))
        msi = os.path.join(stage, 'chanpipe.msi')
        # wixl takes the files by paths relative to the WiX source.
        shutil.copyfile(WXS, os.path.join(stage, 'chanpipe.wxs'))
        run(faketime + ['wixl', '-a', args.arch, '-o', msi,
                        '-D', 'Arch=' + args.arch, '-D', 'Version=' + args.version,
                        '-D', 'ProductCode=' + product_code.upper(),
                        '-D', 'Program=program/chanpipe.exe', '-D', 'Source=source',
                        os.path.join(stage, 'chanpipe.wxs')], env)
        queries = PATH_ENTRY + [
            "UPDATE `File` SET `Version` = '%s', `Language` = '%s' WHERE `File` = 'chanpipe.exe'"
            % (version, language)]
        msibuild = faketime + ['msibuild', msi]
        for query in queries:
            msibuild += ['-q', query]
        run(msibuild, env)

        # wixl's package code is random: derive it from the contents, read
        # with a fixed code in its place.
        fields = summary(msi, env)
        info = [fields['Subject'], fields['Author'], fields['Template']]
        run(faketime + ['msibuild', msi, '-s'] + info + ['{%s}' % uuid.UUID(int=0)], env)
        with open(msi, 'rb') as f:
            contents = hashlib.sha256(f.read()).hexdigest()
        package_code = str(uuid.uuid5(NAMESPACE, 'package ' + contents)).upper()
        run(faketime + ['msibuild', msi, '-s'] + info + ['{%s}' % package_code], env)

        shutil.move(msi, args.output)
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    if args.depfile:
        with open(args.depfile, 'w') as f:
            f.write('%s: %s\n' % (escape(args.output),
                                  ' '.join(escape(p) for p in inputs + [WXS, __file__])))
    print('msi: %s: chanpipe %s %s, program version %s, product {%s}, package {%s}'
          % (args.output, args.version, args.arch, version, product_code.upper(), package_code))


def escape(path):
    return re.sub(r'([ #$])', r'\\\1', path)


def epoch(args):
    value = os.environ.get('SOURCE_DATE_EPOCH')
    if not value:
        done = subprocess.run(['git', '-C', SOURCE_DIR, 'log', '-1', '--format=%ct'],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              universal_newlines=True)
        value = done.stdout.strip()
        if done.returncode != 0 or not value:
            fail('no commit to take the time from: set SOURCE_DATE_EPOCH')
    value = str(int(value)) + '\n'
    try:
        with open(args.file) as f:
            if f.read() == value:
                return
    except FileNotFoundError:
        pass
    with open(args.file, 'w') as f:
        f.write(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    commands = parser.add_subparsers(dest='command', required=True)
    one = commands.add_parser('build')
    one.add_argument('--arch', choices=['x86', 'x64'], required=True)
    one.add_argument('--version', required=True)
    one.add_argument('--program', required=True)
    one.add_argument('--output', required=True)
    one.add_argument('--epoch-file')
    one.add_argument('--depfile')
    one.set_defaults(run=build)
    stamp = commands.add_parser('epoch')
    stamp.add_argument('file')
    stamp.set_defaults(run=epoch)
    args = parser.parse_args()
    args.run(args)


if __name__ == '__main__':
    main()
