#!/usr/bin/python
# Sets one entry of a device's configuration. Only the device evaluates the path, so the
# module learns whether anything changed by reading the configuration before and after.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: velquin_setting
short_description: Set one entry of a velquin device's configuration
version_added: '0.2.0'
description:
  - Reads the device's configuration, sends the setting (C(velquin_publish -p PATH [-k KEY] -jv VALUE)),
    then reads the configuration again.
  - The task is C(changed) exactly when the configuration read after differs from the one read
    before. The setting is sent on every run; a device that already holds it stays unchanged.
  - Fails when the device answers with C(successful) false, with the device's error text.
  - With C(--diff), shows the configuration before and after.
author: velquin maintainers (@velquin)
extends_documentation_fragment: velquin.devices.device
options:
  path:
    description:
      - Path into the configuration, as the device understands it, for instance
        C($.ios.outputs[2]) or "$.sessions.sources[?(@.id==1)][0]". The module sends it as it is.
    type: str
    required: true
  key:
    description:
      - Member of the entry at I(path) to set to I(value).
      - Without it, I(value) itself is sent as the setting (the device merges an object's
        members into the entry at I(path)).
    type: str
  value:
    description:
      - The value, any JSON value (a text, number, boolean, list or object); always sent as
        JSON, so a text such as C(Mix [A]) stays a text.
      - C(null), an empty list and an empty object cannot be sent by C(velquin_publish) and
        are refused.
    type: raw
    required: true
attributes:
  check_mode:
    description: Sends nothing; predicts the change only for plain paths, skips otherwise.
    support: partial
    details:
      - The configuration is read, and the change predicted only where no part of the
        device's path language is involved, that is when I(path) is C($) followed by plain
        members (C(.name), C(['name'])) and list positions (C([2])) that all exist in the
        configuration, and the setting is an object (I(key) given, or an object I(value)),
        whose members are set on the entry found.
      - Anything else (a filter such as "[?(@.id==1)]", a wildcard, an entry the device would
        have to create) the module cannot predict without doing the device's work, so the
        task is reported skipped, with the reason and the configuration read.
  diff_mode:
    description: Shows the configuration before and after (predicted in check mode).
    support: full
'''

EXAMPLES = r'''
- name: Rename source 1 on every device
  velquin.devices.velquin_setting:
    host: "{{ ansible_host }}"
    port: "{{ velquin_port }}"
    path: "$.sessions.sources[?(@.id==1)][0]"
    key: name
    value: Main Stage

- name: Set several members of one entry at once
  velquin.devices.velquin_setting:
    host: "{{ ansible_host }}"
    port: "{{ velquin_port }}"
    path: "$.ios.outputs[2]"
    value:
      level_db: -18
      muted: false

- name: Switch the GPIO outputs, giving up on a device after 5 s of connecting
  velquin.devices.velquin_setting:
    host: "{{ ansible_host }}"
    port: "{{ velquin_port }}"
    connect_timeout: 5
    path: "$._modules[?(@.id==254)][0]"
    key: outputs_1to8
    value: 110
'''

RETURN = r'''
config:
  description: The configuration after the setting (in check mode, the one read).
  returned: success, and in check mode
  type: dict
answer:
  description: The device's answer to the setting.
  returned: success, not in check mode
  type: list
  elements: dict
  sample: [{"channel": "/service/velquin/settings", "successful": true}]
'''

import copy
import json
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velquin.devices.plugins.module_utils.velquin_publish import (
    DEVICE_ARGUMENTS, Device)

PLAIN_STEP = re.compile(r'''\.([A-Za-z_][A-Za-z0-9_-]*)|\['([^'\]]*)'\]|\[(\d+)\]''')


def predict(config, path, setting):
    """The configuration after the setting, or None where only the device could tell."""
    if not path.startswith('$') or not isinstance(setting, dict):
        return None
    after = copy.deepcopy(config)
    entry, at = after, 1
    while at < len(path):
        step = PLAIN_STEP.match(path, at)
        if not step:
            return None
        member, quoted, position = step.groups()
        if position is not None:
            position = int(position)
            if not isinstance(entry, list) or position >= len(entry):
                return None
            entry = entry[position]
        else:
            name = member if member is not None else quoted
            if not isinstance(entry, dict) or name not in entry:
                return None
            entry = entry[name]
        at = step.end()
    if not isinstance(entry, dict):
        return None
    entry.update(copy.deepcopy(setting))
    return after


def shown(config):
    return json.dumps(config, indent=2, sort_keys=True) + '\n'


def main():
    arguments = dict(DEVICE_ARGUMENTS, path=dict(type='str', required=True),
                key=dict(type='str', no_log=False), value=dict(type='raw', required=True))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    path, key, value = module.params['path'], module.params['key'], module.params['value']
    # velquin_publish would send something else for these (no setting, or an empty text).
    if not path:
        module.fail_json(msg='path must not be empty')
    if value is None or value == [] or value == {}:
        module.fail_json(msg='value must not be null, an empty list or an empty object')

    device = Device(module)
    before = device.read_config()
    setting = {key: value} if key else value
    if module.check_mode:
        after = predict(before, path, setting)
        if after is None:
            module.exit_json(skipped=True, changed=False, config=before,
                             msg='check mode: %s: what %s selects only the device can tell;'
                                 ' nothing sent, nothing predicted' % (device.name, path))
        result = dict(changed=after != before, config=before)
    else:
        arguments = ['-p', path] + (['-k', key] if key else []) + ['-jv', json.dumps(value)]
        answer = device.run(arguments)
        after = device.read_config()
        result = dict(changed=after != before, config=after, answer=answer)
    if module._diff and result['changed']:
        result['diff'] = dict(before=shown(before), after=shown(after),
                              before_header=device.name, after_header=device.name)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
