#!/usr/bin/env python3
"""The collection velquin.devices as users get it: built by ansible-galaxy and installed, its
documentation from the install tree, the example playbook against 20 device simulators, a
dead port and an HTTP server that is no Bayeux service, then the modules one by one.

    ansible_collection_test.py SOURCE_DIR BUILD_DIR VERSION
"""
import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

SRC, BUILD, VERSION = sys.argv[1:4]
SIM = os.path.join(BUILD, 'tools/velquin_device_sim/velquin_device_sim')
SERVE = os.path.join(BUILD, 'tools/httprtsp_serve/httprtsp_serve')
PUBLISH = os.path.join(BUILD, 'publish/velquin_publish')
DEVICES = ['dev%02d' % i for i in range(1, 21)]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAIL: ' + what, flush=True)


class QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)


if not shutil.which('ansible-playbook'):
    if os.environ.get('CI') or os.environ.get('VQ_REQUIRE_PEERS'):
        sys.exit('FAIL: ansible-playbook missing (Debian package ansible-core)')
    print('skipped: ansible-playbook missing (Debian package ansible-core)')
    sys.exit(77)

# ctest's time-out ends the test with SIGTERM: the finally below still stops the simulators.
signal.signal(signal.SIGTERM, lambda *_: sys.exit('FAIL: terminated'))
work = tempfile.mkdtemp(prefix='vq_ansible.')
sims = []
try:
    env = dict(os.environ, ANSIBLE_HOME=work + '/home', ANSIBLE_LOCAL_TEMP=work + '/tmp',
               ANSIBLE_REMOTE_TMP=work + '/tmp', ANSIBLE_COLLECTIONS_PATH=work + '/collections',
               ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0',
               PATH=os.path.dirname(PUBLISH) + os.pathsep + os.environ['PATH'])

    # --- build, install, documentation
    r = run([SRC + '/integrations/ansible/build_collection.sh', work + '/dist'], env=env)
    tarball = '%s/dist/velquin-devices-%s.tar.gz' % (work, VERSION)
    check(r.returncode == 0 and os.path.exists(tarball),
          'ansible-galaxy built no %s (is galaxy.yml at the toolchain version?): %s'
          % (os.path.basename(tarball), r.stdout + r.stderr))
    r = run(['ansible-galaxy', 'collection', 'install', '-p', work + '/collections', tarball],
            env=env)
    check(r.returncode == 0, 'ansible-galaxy install: ' + r.stderr)
    # The Debian package's place, from the tools component of this build.
    prefix = work + '/prefix'
    r = run(['cmake', '--install', BUILD, '--component', 'tools', '--prefix', prefix])
    check(r.returncode == 0, 'cmake --install: ' + r.stderr)
    doc_env = dict(env, ANSIBLE_COLLECTIONS_PATH=prefix + '/share/ansible/collections')
    for module in ['velquin_config_info', 'velquin_setting', 'velquin_command']:
        r = run(['ansible-doc', 'velquin.devices.' + module], env=doc_env)
        check(r.returncode == 0 and 'EXAMPLES' in r.stdout and r.stderr == '',
              'ansible-doc %s: status %d, %s' % (module, r.returncode, r.stderr))

    # --- 20 simulators, a port nobody answers on, a web server
    for name in DEVICES + ['rtsp']:
        out = open('%s/%s.out' % (work, name), 'w+')
        argv = [SERVE] if name == 'rtsp' else [SIM, '--port', '0', '--die-with-parent']
        sims.append((subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                      preexec_fn=die_with_parent), out))
    ports = {}
    for name, (proc, out) in zip(DEVICES + ['rtsp'], sims):
        for _ in range(300):
            out.seek(0)
            line = out.readline()
            if line.endswith('\n'):
                ports[name] = int(line)
                break
            time.sleep(0.1)
        if name not in ports:
            sys.exit('FAIL: %s did not start' % name)
    dead = socket.socket()  # bound, never listening: connections are refused
    dead.bind(('127.0.0.1', 0))
    web = ThreadingHTTPServer(('127.0.0.1', 0), QuietHandler)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    ports['dead'] = dead.getsockname()[1]
    ports['web'] = web.server_address[1]
    inventory = {'velquin_devices': {
        'hosts': {h: {'ansible_host': '127.0.0.1', 'velquin_port': p} for h, p in ports.items()},
        'vars': {'ansible_python_interpreter': '{{ ansible_playbook_python }}'}}}
    with open(work + '/inventory.json', 'w') as f:
        json.dump(inventory, f)

    def config(name):
        r = run([PUBLISH, '-H', '127.0.0.1', '-P', str(ports[name]), '-c'])
        return json.loads(r.stdout) if r.returncode == 0 else {}

    def play(*extra):
        """{task: {host: result}} and the recap of the example playbook, run as users run it."""
        r = run(['ansible-playbook', '-i', work + '/inventory.json', '--forks', '10',
                 'velquin.devices.fleet'] + list(extra),
                env=dict(env, ANSIBLE_STDOUT_CALLBACK='json'), cwd=work)
        try:
            out = json.loads(r.stdout)
        except ValueError:
            sys.exit('FAIL: ansible-playbook %s: %s %s' % (extra, r.stdout[-2000:], r.stderr))
        tasks = {t['task']['name']: t['hosts'] for t in out['plays'][0]['tasks']}
        return tasks, out['stats']

    def changed(stats):
        return sorted(h for h, s in stats.items() if s['changed'])

    # --- the fleet: 20 changed, then none, then the one changed behind the playbook's back
    tasks, stats = play()
    check(changed(stats) == DEVICES, 'first run changed %s' % changed(stats))
    check(sorted(h for h, s in stats.items() if s['failures']) == ['dead', 'rtsp', 'web'],
          'first run failed on %s' % [h for h, s in stats.items() if s['failures']])
    for host, cause in [('dead', 'unreachable'), ('web', 'not a Bayeux service'),
                        ('rtsp', 'not a Bayeux service')]:
        msg = tasks['Name the device'][host].get('msg', '')
        check('127.0.0.1:%d' % ports[host] in msg and cause in msg and 'exit status' in msg,
              '%s failed with: %s' % (host, msg))
    for name in DEVICES:
        c = config(name)
        check(c.get('device', {}).get('name') == name
              and c['sessions']['sources'][0]['name'] == 'Main Stage', name + ' not configured')
    tasks, stats = play()
    check(changed(stats) == [], 'second run changed %s' % changed(stats))
    r = run([PUBLISH, '-H', '127.0.0.1', '-P', str(ports['dev07']), '-p', '$.device',
             '-k', 'name', '-v', 'intruder'])
    check(r.returncode == 0, 'changing dev07 behind the playbook')
    tasks, stats = play('--check', '--diff')
    named = tasks['Name the device']
    check([h for h in DEVICES if named[h].get('changed')] == ['dev07'],
          'check mode predicted changes on %s' % [h for h in DEVICES if named[h].get('changed')])
    diff = named['dev07'].get('diff', {})
    check('"name": "intruder"' in diff.get('before', '') and '"name": "dev07"' in diff.get('after', ''),
          'check mode diff of dev07: %s' % diff)
    check(all(tasks['Name source 1'][h].get('skipped') for h in DEVICES),
          'check mode did not skip the filtered path')
    check(config('dev07')['device']['name'] == 'intruder', 'check mode changed dev07')
    tasks, stats = play()
    check(changed(stats) == ['dev07'], 'third run changed %s' % changed(stats))

    # --- the modules one by one, as Ansible runs them
    python = open(shutil.which('ansible-playbook')).readline()[2:].strip()
    module_env = dict(env, PYTHONPATH=work + '/collections')
    modules = work + '/collections/ansible_collections/velquin/devices/plugins/modules/'

    def module(name, device='dev01', **args):
        args = dict(args, host='127.0.0.1', port=ports[device])
        with open(work + '/args.json', 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': args}, f)
        r = run([python, modules + name + '.py', work + '/args.json'], env=module_env)
        return json.loads(r.stdout)

    res = module('velquin_config_info')
    check(not res.get('changed') and res['config']['device']['name'] == 'dev01', 'config_info')
    res = module('velquin_command', command='gpio_read_iic', data={'device_addr': 45})
    check(res.get('changed') and any(m.get('data', {}).get('data') == {'device_addr': 45}
                                     for m in res.get('answer', [])), 'command: %s' % res)
    res = module('velquin_setting', path='$.sessions.sources[?(@.id==99)][0]', key='name', value='x')
    check(res.get('failed') and '127.0.0.1:%d: the device refused: 404::' % ports['dev01']
          in res['msg'], 'setting an entry the device has not: %s' % res.get('msg'))
    res = module('velquin_setting', path='$.sessions.sources[1]', key='name', value='Mix [A]')
    check(res.get('changed') and res['config']['sessions']['sources'][1]['name'] == 'Mix [A]',
          'a text with brackets: %s' % res.get('config', res)['sessions']['sources'][1])
    # An object value without key, predicted, then applied, then applied again.
    outputs = {'level_db': -18, 'muted': False}
    res = module('velquin_setting', path='$.ios.outputs[2]', value=outputs,
                 _ansible_check_mode=True, _ansible_diff=True)
    check(res.get('changed') and '-18' in res.get('diff', {}).get('after', '')
          and config('dev01')['ios']['outputs'][2]['level_db'] == -12, 'check mode: %s' % res)
    for expected in [True, False]:
        res = module('velquin_setting', path='$.ios.outputs[2]', value=outputs)
        check(res.get('changed') == expected and res['config']['ios']['outputs'][2]['muted'] is False,
              'object value, changed %s: %s' % (expected, res))
    res = module('velquin_setting', path="$['device']", key='name', value='dev01',
                 _ansible_check_mode=True, _ansible_diff=True)
    check(res.get('changed') is False and 'diff' not in res, 'check mode, nothing to do: %s' % res)
    for args in [dict(path='$.sessions.sources[?(@.id==1)][0]', key='name'),
                 dict(path='$.device[*]', key='name'), dict(path='$.device.nothing', key='name'),
                 dict(path='$.ios.outputs[3]', key='x'), dict(path='$.device.name', key='x'),
                 dict(path='$.device'), dict(path='x.device', key='name')]:
        res = module('velquin_setting', value='x', _ansible_check_mode=True, **args)
        check(res.get('skipped') and 'only the device can tell' in res.get('msg', ''),
              'check mode on %s: %s' % (args, res))
    for args in [dict(path='$.device', value={}), dict(path='$.device', key='name', value=None),
                 dict(path='', key='name', value='x')]:
        res = module('velquin_setting', **args)
        check(res.get('failed') and 'must not be' in res['msg'], 'refused %s: %s' % (args, res))
    res = module('velquin_command', command='')
    check(res.get('failed') and 'must not be empty' in res['msg'], 'empty command: %s' % res)
    # What else velquin_publish may end with, and the time-out options passed only when set.
    fake = work + '/fake_publish'
    with open(fake, 'w') as f:
        f.write('#!/bin/sh\necho "$@" > "$0.args"\ncase $(cat "$0.mode") in\n'
                'usage) printf "\\n\\nvelquin_publish -H[--host] myhost\\n"; exit 1;;\n'
                'error) echo "failed" >&2; exit 1;;\n'
                'text) echo "no JSON";;\n'
                'answer) echo \'[{"successful": true}]\';;\nesac\n')
    os.chmod(fake, 0o755)
    for mode, args, expected in [
            ('usage', {}, 'refused its command line (velquin_publish exit status 1)'),
            ('usage', dict(connect_timeout=3, max_time=7), 'know --connect-timeout and --max-time?'),
            ('error', {}, 'velquin_publish failed: failed (velquin_publish exit status 1)'),
            ('text', {}, 'not JSON'), ('answer', {}, 'the answer holds no configuration')]:
        with open(fake + '.mode', 'w') as f:
            f.write(mode)
        res = module('velquin_config_info', executable=fake, **args)
        passed = open(fake + '.args').read().split()
        timeouts = ['--connect-timeout', '3', '--max-time', '7'] if args else []
        check(res.get('failed') and expected in res['msg'] and passed[4:-1] == timeouts,
              '%s %s: %s, given %s' % (mode, args, res.get('msg'), passed))
finally:
    for proc, out in sims:
        proc.terminate()
    for proc, out in sims:
        proc.wait()
        out.close()
    shutil.rmtree(work, ignore_errors=True)

if failures:
    sys.exit('%d check(s) failed' % len(failures))
print('velquin.devices: fleet of 20, failures named, modules checked')
