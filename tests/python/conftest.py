"""Puts the developer build of kelo_frame on sys.path for every test."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KELO_BUILD_DIR") or "build")
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
if os.environ.get("KELO_INSTALLED") != "1":
    sys.path.insert(0, str(BUILD))

DATA = ROOT / "tests" / "data"
