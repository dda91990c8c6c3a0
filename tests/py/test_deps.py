"""scripts/deps.sh, the one list of Debian packages, with stand-ins for
dpkg-query and apt-get first on PATH: it finds what is missing, installs
only that, fails when the package index cannot be reached, and
scripts/example.sh stops there before it builds anything."""

import os
import subprocess

import pytest

from conftest import ROOT

DEPS = ROOT / "scripts" / "deps.sh"

FAKE_TOOLS = {
    # Installed unless named in $FAKE_MISSING; the package is the last argument.
    "dpkg-query": """#!/bin/sh
for pkg; do :; done
for m in $FAKE_MISSING; do [ "$m" = "$pkg" ] && exit 1; done
echo "install ok installed"
""",
    # Logs each call; `update` and `install` exit with $FAKE_UPDATE_RC and $FAKE_INSTALL_RC.
    "apt-get": """#!/bin/sh
echo "$*" >>"$FAKE_LOG"
case "$1" in
  update) exit "${FAKE_UPDATE_RC:-0}" ;;
  install) exit "${FAKE_INSTALL_RC:-0}" ;;
esac
""",
    "id": "#!/bin/sh\necho 0\n",
}


@pytest.fixture
def fake(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in FAKE_TOOLS.items():
        path = bin_dir / name
        path.write_text(text)
        path.chmod(0o755)
    log = tmp_path / "apt.log"

    def run(*args, script=DEPS, missing=(), update_rc=0, install_rc=0):
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", FAKE_LOG=str(log),
                   FAKE_MISSING=" ".join(missing), FAKE_UPDATE_RC=str(update_rc),
                   FAKE_INSTALL_RC=str(install_rc))
        proc = subprocess.run(["bash", str(script), *args], capture_output=True, text=True, env=env,
                              timeout=60)
        calls = log.read_text().splitlines() if log.exists() else []
        log.unlink(missing_ok=True)
        return proc, calls

    return run


def listed(mode):
    proc = subprocess.run(["bash", str(DEPS), mode, "--list"], capture_output=True, text=True, check=True)
    return proc.stdout.split()


def test_the_lists():
    example, suite = listed("example"), listed("suite")
    assert len(set(suite)) == len(suite), "a package is listed twice"
    assert set(example) < set(suite)
    for p in ("cmake", "g++", "python3-dev", "python3-wheel", "python3-setuptools"):
        assert p in example, p
    for p in ("python3-pytest", "python3-build", "libgtest-dev", "clang-14"):
        assert p in suite and p not in example, p
    # Nothing of the build or the tests uses these.
    for p in ("git", "pkg-config"):
        assert p not in suite, p


@pytest.mark.parametrize("mode, missing, installed", [
    ("example", [], None),
    ("example", ["cmake"], ["cmake"]),
    ("example", ["python3-pytest"], None),            # not needed for the example
    ("suite", ["python3-pytest", "cmake"], ["cmake", "python3-pytest"]),
])
def test_installs_only_what_is_missing(fake, mode, missing, installed):
    proc, calls = fake(mode, missing=missing)
    assert proc.returncode == 0, proc.stderr
    if installed is None:
        assert calls == []
    else:
        assert calls[0] == "update -q --error-on=any"
        assert len(calls) == 2 and calls[1].startswith("install ")
        assert sorted(calls[1].split()[1:]) == sorted(["-y", "-q", "--no-install-recommends", *installed])


def test_an_unreachable_index_fails_and_names_the_packages(fake):
    proc, calls = fake("example", missing=["cmake"], update_rc=100)
    assert proc.returncode == 1
    assert "cannot reach the package index" in proc.stderr and "cmake" in proc.stderr
    assert calls == ["update -q --error-on=any"]  # no install from stale lists


def test_a_failed_install_fails(fake):
    proc, _ = fake("example", missing=["cmake"], install_rc=100)
    assert proc.returncode != 0


def test_an_unknown_mode_is_refused(fake):
    proc, calls = fake("everything")
    assert proc.returncode == 2 and "usage" in proc.stderr and calls == []


def test_example_stops_before_building_when_packages_cannot_be_had(fake, tmp_path):
    # A copy of the two scripts alone: should deps.sh let it through, the
    # build would find no scripts/venv.sh instead of rebuilding this tree.
    scripts = tmp_path / "tree" / "scripts"
    scripts.mkdir(parents=True)
    for name in ("example.sh", "deps.sh"):
        (scripts / name).write_text((ROOT / "scripts" / name).read_text())
    proc, calls = fake(script=scripts / "example.sh", missing=["cmake"], update_rc=100)
    assert proc.returncode == 1
    assert "cmake" in proc.stderr
    assert "building the wheel" not in proc.stdout
    assert calls == ["update -q --error-on=any"]
