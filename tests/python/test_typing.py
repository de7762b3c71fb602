"""The shipped stubs against the built module (mypy.stubtest), and the typed
packages and example under ``mypy --strict``. Skipped when mypy is not installed."""

import os
import pathlib
import shutil
import sysconfig

import pytest

import vossick_analysis
from conftest import python

pytest.importorskip("mypy", reason="mypy is not installed (pip install mypy)")

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "vossick_analysis-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """A MYPYPATH entry holding the repository's stub as vossick_analysis.pyi.

    mypy looks for ``-stubs`` packages only in site-packages; on MYPYPATH the stub
    is found as a plain module, ahead of any installed copy.
    """
    directory = tmp_path_factory.mktemp("stubs")
    shutil.copy(STUB, directory / "vossick_analysis.pyi")
    return directory


def mypy(args, mypy_path=None, cwd=None):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypy_path:
        env["MYPYPATH"] = os.pathsep.join(str(p) for p in mypy_path)
    return python("-m", *args, env=env, cwd=cwd)


@pytest.mark.parametrize("check", ["stubtest", "strict"])
def test_stub_matches_the_module_and_packages_and_example_pass_strict(stub_path, tmp_path, check):
    if check == "stubtest":
        done = mypy(["mypy.stubtest", "vossick_analysis"], [stub_path], cwd=tmp_path)
    else:
        targets = [ROOT / "examples" / "typed_quickstart.py", ROOT / "python" / "vossick_dump",
                   ROOT / "python" / "vossick_report"]
        done = mypy(["mypy", "--strict", "--cache-dir", str(tmp_path), *map(str, targets)],
                    [stub_path, ROOT / "python"])
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_wheel_ships_a_stub_package_mypy_finds(tmp_path):
    installed = pathlib.Path(vossick_analysis.__file__).parent
    site_dirs = {pathlib.Path(sysconfig.get_paths()[k]) for k in ("purelib", "platlib")}
    if installed not in site_dirs:
        pytest.skip("vossick_analysis is not loaded from an installed wheel")
    for shipped in ("vossick_analysis-stubs/__init__.pyi", "vossick_dump/py.typed", "vossick_report/py.typed"):
        assert (installed / shipped).is_file(), shipped
    use = tmp_path / "use.py"
    use.write_text("import vossick_analysis as va\nreveal_type(va.HeapDumpExplorer('.').get_object(1))\n")
    done = mypy(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(use)], cwd=tmp_path)
    assert done.returncode == 0 and "ObjectRecord | None" in done.stdout, done.stdout
