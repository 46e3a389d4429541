"""The site file of the many-device benchmarks: N `sim:steady` UPSs."""
import json
import os


def write_site(folder, build, count, poll_ms, spread_ms=0, reply_timeout_ms=800, name="ups%04d",
               history=None, settings=None):
    """Writes folder/site.json with `count` simulated devices and returns its path.

    Device i is polled every poll_ms + i % (spread_ms + 1) ms, so a spread keeps
    the devices from polling in lock step."""
    devices = []
    for i in range(count):
        dev = {"name": name % i, "type": "zota_up2200", "data_id": 1000 + i,
               "port": "sim:steady:%d" % (i + 1),
               "poll_interval_ms": poll_ms + i % (spread_ms + 1),
               "reply_timeout_ms": reply_timeout_ms}
        if settings is not None:
            dev["settings"] = settings
        devices.append(dev)
    site = {"plugins": [os.path.join(build, "zota_up2200.so")], "devices": devices}
    if history is not None:
        site["history"] = history
    path = os.path.join(folder, "site.json")
    with open(path, "w") as f:
        json.dump(site, f)
    return path
