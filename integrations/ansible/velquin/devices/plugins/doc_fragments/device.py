# The options every module of the collection shares: which device, which velquin_publish.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  host:
    description:
      - Address or name of the device, usually C("{{ ansible_host }}").
      - "The module runs on the control node: C(connection: local) for the play, or C(delegate_to: localhost)."
    type: str
    required: true
  port:
    description:
      - TCP port of the device's Bayeux service, for instance from a host variable C(velquin_port).
    type: int
    required: true
  executable:
    description:
      - The C(velquin_publish) program to run.
      - When not given, C(velquin_publish) is looked up on C(PATH).
    type: path
  connect_timeout:
    description:
      - Seconds before connecting gives up (C(velquin_publish --connect-timeout)).
      - Passed only when set; without it, C(velquin_publish)'s default applies.
    type: int
  max_time:
    description:
      - Seconds the whole run may take (C(velquin_publish --max-time)).
      - Passed only when set; without it, C(velquin_publish)'s default applies.
    type: int
notes:
  - Every option of the group C(velquin.devices.velquin) can be given once for a play with
    C(module_defaults) (see the examples).
  - A task fails with a message naming the device (C(host:port)), the cause (unreachable, not a
    Bayeux service, the device refused) and C(velquin_publish)'s exit status.
requirements:
  - velquin_publish on the control node
'''
