# SPDX-License-Identifier: Apache-2.0
'''A fake ModemManager, as a python3-dbusmock template, for what the real one
cannot be made to do in its test mode: a modem that answers GetCellInfo.

One modem on UMTS, with a network time, without a Location interface (so
the LAC comes from the serving cell): a serving UMTS cell, a UMTS neighbour and a GSM neighbour,
each with every value; then a UMTS neighbour whose PSC no network gives and
a GSM neighbour whose RxLev is out of range, which techmode-mm must leave
out. Run: python3 -m dbusmock --system --template fake_modemmanager.py
'''
import dbus
from dbusmock.mockobject import get_object

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MODEM = '/org/freedesktop/ModemManager1/Modem/0'
MODEM_IFACE = 'org.freedesktop.ModemManager1.Modem'

# The cells, with the D-Bus types ModemManager gives them (MMCellType: GSM
# 2, UMTS 3).
CELLS = '''ret = [
    {'cell-type': dbus.UInt32(3), 'serving': True, 'lac': '2B3C', 'ci': '0001F00D',
     'uarfcn': dbus.UInt32(10713), 'psc': dbus.UInt32(123), 'rscp': -77.4, 'ecio': -6.5},
    {'cell-type': dbus.UInt32(3), 'serving': False, 'lac': '2B3C', 'ci': '0001F00E',
     'uarfcn': dbus.UInt32(10713), 'psc': dbus.UInt32(456), 'rscp': -99.0, 'ecio': -14.0},
    {'cell-type': dbus.UInt32(2), 'serving': False, 'lac': '0102', 'ci': 'BEEF',
     'arfcn': dbus.UInt32(60), 'base-station-id': '2A', 'rx-level': dbus.UInt32(30),
     'timing-advance': dbus.UInt32(0xFFFFFFFF)},
    {'cell-type': dbus.UInt32(3), 'serving': False, 'lac': '2B3C', 'ci': '0001F00F',
     'uarfcn': dbus.UInt32(10713), 'psc': dbus.UInt32(4000), 'rscp': -90.0, 'ecio': -10.0},
    {'cell-type': dbus.UInt32(2), 'serving': False, 'lac': '0102', 'ci': 'BEF0',
     'arfcn': dbus.UInt32(61), 'base-station-id': '2B', 'rx-level': dbus.UInt32(99)},
]'''


def load(mock, _parameters):
    mock.AddObject(MODEM, MODEM_IFACE, {
        'EquipmentIdentifier': dbus.String('356938035643809'),
        'AccessTechnologies': dbus.UInt32(1 << 5),  # UMTS
        'State': dbus.Int32(8),  # registered
        'Sim': dbus.ObjectPath('/'),
        'Bearers': dbus.Array([], signature='o'),
    }, [
        ('GetCellInfo', '', 'aa{sv}', CELLS),
        ('ListBearers', '', 'ao', 'ret = dbus.Array([], signature="o")'),
    ])
    # The network time, and (EmitSignal) NetworkTimeChanged when a test
    # changes it.
    get_object(MODEM).AddProperties(MODEM_IFACE + '.Time', {
        'NetworkTimezone': dbus.Dictionary({'offset': dbus.Int32(0)}, signature='sv'),
    })
    get_object(MODEM).AddMethod(MODEM_IFACE + '.Time', 'GetNetworkTime', '', 's',
                                'ret = "2026-12-07T08:00:00Z"')
    get_object(MODEM).AddProperties(MODEM_IFACE + '.Modem3gpp', {
        'Imei': dbus.String('356938035643809'),
        'OperatorCode': dbus.String('26201'),
        'RegistrationState': dbus.UInt32(1),  # home
    })
