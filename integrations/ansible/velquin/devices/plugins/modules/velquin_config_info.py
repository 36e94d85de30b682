#!/usr/bin/python
# Reads one device's configuration; changes nothing.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: velquin_config_info
short_description: Read the configuration of a velquin device
version_added: '0.2.0'
description:
  - Runs C(velquin_publish -c) for the device and returns its configuration.
  - Changes nothing on the device; runs in check mode as well.
author: velquin maintainers (@velquin)
extends_documentation_fragment: velquin.devices.device
attributes:
  check_mode:
    description: Runs in check mode, reading the configuration as always.
    support: full
  diff_mode:
    description: Nothing to show.
    support: none
'''

EXAMPLES = r'''
- name: Read the configuration
  velquin.devices.velquin_config_info:
    host: "{{ ansible_host }}"
    port: "{{ velquin_port }}"
  register: device

- name: Keep it on the control node
  ansible.builtin.copy:
    content: "{{ device.config | to_nice_json }}"
    dest: "configs/{{ inventory_hostname }}.json"
'''

RETURN = r'''
config:
  description: The device's configuration.
  returned: success
  type: dict
  sample: {"device": {"name": "velquin-studio"}, "sessions": {"sources": []}}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velquin.devices.plugins.module_utils.velquin_publish import (
    DEVICE_ARGUMENTS, Device)


def main():
    module = AnsibleModule(argument_spec=DEVICE_ARGUMENTS, supports_check_mode=True)
    module.exit_json(changed=False, config=Device(module).read_config())


if __name__ == '__main__':
    main()
