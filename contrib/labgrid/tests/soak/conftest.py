import pytest


def pytest_addoption(parser):
    parser.addoption("--passes", type=int, default=3, help="DDR test passes per board")


def pytest_generate_tests(metafunc):
    # one test per target of the environment file, so that pytest -n runs them side by side
    if "board" in metafunc.fixturenames:
        env = metafunc.config._labgrid_env
        names = list(env.config.get_targets()) if env else []
        metafunc.parametrize("board", names)


@pytest.fixture
def passes(request):
    return request.config.getoption("--passes")


@pytest.fixture(autouse=True)
def exported_tty(env):
    # What a coordinator hands a client with a NetworkSerialPort: the exporter's tty path.
    # No coordinator runs in these tests, so it comes from the environment.
    import os

    for name in env.config.get_targets():
        for res in env.get_target(name).resources:
            if type(res).__name__ == "NetworkSerialPort" and not hasattr(res, "extra"):
                res.extra = {"path": os.environ["LG_TTY"]}
