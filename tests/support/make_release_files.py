#!/usr/bin/env python3
"""A release for the simulated Nexus S (crespo), made as the local service
double makes its files: a ROM package (an installer and an updater script
that asserts the device) and a recovery image. Writes them into DIR."""
import os
import sys
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
import ota_service  # noqa: E402

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
os.replace(ota_service.rom_path(types.SimpleNamespace(cache=out), "crespo", 12000000), os.path.join(out, "MirqROM-crespo.zip"))
with open(os.path.join(out, "recovery-crespo.img"), "wb") as f:
    f.write(ota_service.recovery_bytes("crespo"))
