"""Python hooks inside calls: exporters and number conversions that
re-initialise, reset or re-enter the object being called, from the same
thread or another one, or resize a bytearray the call takes next (see
hook_driver.py).  Each group runs in a child process, so a crash fails its
test instead of ending the run; under the sanitizer build the children are
sanitized too."""

import subprocess
import sys

import pytest

import hook_driver

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="Python exports buffers from 3.12 on")


@pytest.mark.parametrize("group", sorted(hook_driver.GROUPS))
def test_hooks_leave_consistent_state(group):
    child = subprocess.run([sys.executable, hook_driver.__file__, group], capture_output=True, text=True,
                           timeout=900)
    assert child.returncode == 0 and child.stdout.strip().endswith("ok"), \
        f"exit status {child.returncode}\n{child.stderr[-4000:]}"
