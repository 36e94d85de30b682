#!/usr/bin/python
# Sends one command to a device; a command always counts as a change.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: velquin_command
short_description: Send a command to a velquin device
version_added: '0.2.0'
description:
  - Runs C(velquin_publish -o -v COMMAND [-k DATA]) for the device and returns its answer.
  - What a command does is the device's affair, so the task always reports C(changed).
  - Fails when the device answers with C(successful) false, with the device's error text.
author: velquin maintainers (@velquin)
extends_documentation_fragment: velquin.devices.device
options:
  command:
    description: Name of the command, for instance C(gpio_read_iic) or C(reboot).
    type: str
    required: true
  data:
    description: Data sent with the command, as JSON.
    type: raw
attributes:
  check_mode:
    description: Not supported; in check mode the task is skipped and nothing is sent.
    support: none
  diff_mode:
    description: Nothing to show.
    support: none
'''

EXAMPLES = r'''
- name: Read a GPIO register on every device
  velquin.devices.velquin_command:
    host: "{{ ansible_host }}"
    port: "{{ velquin_port }}"
    command: gpio_read_iic
    data:
      device_addr: 45
      register_addr: 30
      value: 5
  register: gpio
'''

RETURN = r'''
answer:
  description: The device's answer, the acknowledgement and what the device broadcast with it.
  returned: success
  type: list
  elements: dict
  sample: [{"channel": "/service/velquin/commands", "successful": true}]
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velquin.devices.plugins.module_utils.velquin_publish import (
    DEVICE_ARGUMENTS, Device)


def main():
    arguments = dict(DEVICE_ARGUMENTS, command=dict(type='str', required=True), data=dict(type='raw'))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=False)
    # velquin_publish takes an empty command for no command at all.
    if not module.params['command']:
        module.fail_json(msg='command must not be empty')
    arguments = ['-o', '-v', module.params['command']]
    if module.params['data'] is not None:
        arguments += ['-k', json.dumps(module.params['data'])]
    module.exit_json(changed=True, answer=Device(module).run(arguments))


if __name__ == '__main__':
    main()
