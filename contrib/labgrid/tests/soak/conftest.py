import asyncio
import contextlib
import io
import os
import socket

import pytest


def pytest_addoption(parser):
    parser.addoption("--passes", type=int, default=3, help="DDR test passes per board")


def pytest_generate_tests(metafunc):
    # one test per target of the environment file; test_soak[NAME] runs one board
    if "board" in metafunc.fixturenames:
        env = metafunc.config._labgrid_env
        names = list(env.config.get_targets()) if env else []
        metafunc.parametrize("board", names)


@pytest.fixture
def passes(request):
    return request.config.getoption("--passes")


class ExporterPlaces:
    """Stands in for the coordinator, which cannot run here: each group of an exporter
    configuration is a place, and a client that takes it gets the group's resources as
    labgrid's exporter publishes them (its own export classes, matching through udev).
    Only the network between exporter, coordinator and client is left out."""

    def __init__(self, config_file):
        self.config_file = config_file
        self.loop = asyncio.new_event_loop()

    def get_place(self, name):
        return name

    def get_target_resources(self, place):
        from labgrid.remote.common import ResourceEntry
        from labgrid.remote.config import ResourceConfig
        from labgrid.remote.exporter import exports

        with contextlib.redirect_stdout(io.StringIO()):  # it prints what it loads
            group = ResourceConfig(self.config_file).data[place]
        entries = {}
        for name, params in group.items():
            cls = params.pop("cls", name)
            export = exports[cls]({"avail": False, "cls": cls, "params": params},
                                  host=socket.gethostname(), proxy=socket.getfqdn(),
                                  proxy_required=False)
            export.poll()
            entries[name] = ResourceEntry(export.asdict())
        return entries


def pytest_configure(config):
    exporter = os.environ.get("LG_EXPORTER")
    if exporter:
        from labgrid.resource.remote import RemotePlaceManager

        manager = RemotePlaceManager.get()
        manager.session = ExporterPlaces(exporter)
        manager.loop = manager.session.loop
