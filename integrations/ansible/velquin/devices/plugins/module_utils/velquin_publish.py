# Runs velquin_publish for one device and turns what it prints and its exit status
# into the device's answer, or into a failure that names the device and the cause.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import re

DEVICE_ARGUMENTS = dict(
    host=dict(type='str', required=True),
    port=dict(type='int', required=True),
    executable=dict(type='path'),
    connect_timeout=dict(type='int'),
    max_time=dict(type='int'),
)

# velquin_publish's line for an exchange that could not be made.
SYSTEM_ERROR = 'BOOST SYSTEM ERROR'
ANSI = re.compile(r'\x1b\[[0-9;]*m')

# The first line of velquin_publish's usage text, printed for a command line it refuses.
USAGE_MARK = 'velquin_publish -H[--host]'


class Device:
    def __init__(self, module):
        self.module = module
        p = module.params
        self.name = '%s:%d' % (p['host'], p['port'])
        program = p['executable'] or module.get_bin_path('velquin_publish', required=True)
        self.base = [program, '-H', p['host'], '-P', str(p['port'])]
        # Only when asked for: a velquin_publish without these options refuses them.
        self.timeouts = []
        if p['connect_timeout'] is not None:
            self.timeouts += ['--connect-timeout', str(p['connect_timeout'])]
        if p['max_time'] is not None:
            self.timeouts += ['--max-time', str(p['max_time'])]

    def fail(self, cause, rc, err, **extra):
        # The last line velquin_publish logged, without colours; a log line may carry a body.
        lines = [ANSI.sub('', line).strip() for line in err.splitlines() if line.strip()]
        detail = ': ' + lines[-1][:160] if lines else ''
        self.module.fail_json(
            msg='%s: %s%s (velquin_publish exit status %d)' % (self.name, cause, detail, rc),
            device=self.name, rc=rc, stderr=err, **extra)

    def run(self, arguments):
        """The device's answer to one run; fails the task unless it is a successful one."""
        rc, out, err = self.module.run_command(self.base + self.timeouts + arguments)
        if rc == 2:
            # No answer: either no exchange could be made (refused, timed out, no such host),
            # or what came back was no Bayeux answer.
            unreachable = SYSTEM_ERROR in err and 'bayeux' not in err.lower()
            self.fail('unreachable' if unreachable else 'not a Bayeux service', rc, err)
        if rc == 1 and USAGE_MARK in out:
            cause = 'velquin_publish refused its command line'
            if self.timeouts:
                cause += ' (does it know --connect-timeout and --max-time?)'
            self.fail(cause, rc, err)
        if rc != 0:
            self.fail('velquin_publish failed', rc, err, stdout=out)
        try:
            answer = json.loads(out)
        except ValueError:
            self.fail('velquin_publish printed something that is not JSON', rc, err, stdout=out)
        # What a peer that is no Bayeux service gets from an older velquin_publish.
        if answer is None:
            self.fail('not a Bayeux service (it answered null)', rc, err)
        # Where the acknowledgement sits among the broadcasts differs between devices.
        if isinstance(answer, list):
            for message in answer:
                if isinstance(message, dict) and message.get('successful') is False:
                    self.fail('the device refused: %s' % message.get('error', 'no error text'),
                              rc, err, answer=answer)
        return answer

    def read_config(self):
        config = self.run(['-c'])
        if not isinstance(config, dict):
            # velquin_publish prints the whole answer when it holds no configuration.
            self.module.fail_json(msg='%s: the answer holds no configuration' % self.name,
                                  device=self.name, answer=config)
        return config
