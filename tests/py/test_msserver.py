"""Load-balanced logon through the simulator's message server: the lookup,
the session it leads to, the group and override parameters, a cache of its
own at every open, and the errors of the lookup as the exceptions a caller
sees."""

import pytest

import simctl
from conftest import CLIENT, PASSWORD, USER, lomra

NO_SERVER = "unexpected record during message server: response contained no application server"


def ms_logon(sim, **overrides):
    """Parameters of a load-balanced logon through `sim`'s message server.
    ashost and port point nowhere: the route must not use them."""
    params = {"mshost": "127.0.0.1", "msserv": str(sim.msgserver), "user": USER, "passwd": PASSWORD,
              "client": CLIENT, "ashost": "127.0.0.9", "port": "1"}
    params.update(overrides)
    return {k: v for k, v in params.items() if v is not None}


@pytest.fixture(scope="module")
def ms_sim():
    with simctl.Sim("--msgserver") as s:
        yield s


def lookups(sim):
    return sim.entries(server="msgserver", event="lookup")


def test_logon_call_and_attributes(ms_sim):
    before = len(lookups(ms_sim))
    sessions = len(ms_sim.events("accepted", server="gateway"))
    c = lomra.Connection(ms_logon(ms_sim), {})
    try:
        assert c.call("STFC_CONNECTION", {"REQUTEXT": "balanced"}, {})["ECHOTEXT"] == "balanced"
        a = c.connection_attributes()
        assert (a["host"], a["sysId"], a["sysNumber"], a["client"], a["user"]) == (
            "qsihost", "QSI", "00", "001", "TESTER")
    finally:
        c.close()
    found = lookups(ms_sim)
    assert len(found) == before + 1
    # The default group, found, and one session on the gateway it named.
    assert (found[-1]["group"], found[-1]["known"]) == ("PUBLIC", True)
    assert len(ms_sim.events("accepted", server="gateway")) == sessions + 1
    assert ms_sim.checks() == []


def test_unknown_group_raises_communication_error(ms_sim):
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection(ms_logon(ms_sim, group="NOSUCH"), {})
    assert (str(info.value), info.value.code, info.value.key) == (NO_SERVER, 1, "RFC_COMMUNICATION_FAILURE")
    assert lookups(ms_sim)[-1]["group"] == "NOSUCH"
    assert lookups(ms_sim)[-1]["known"] is False


def test_group_longer_than_ten_bytes(ms_sim):
    with pytest.raises(lomra.CommunicationError) as info:
        lomra.Connection(ms_logon(ms_sim, group="ELEVENCHARS"), {})
    assert str(info.value) == ("unexpected record during message server: logon group ELEVENCHARS exceeds "
                               "10 characters")
    assert info.value.code == 1


def test_reopen_asks_the_message_server_again_with_an_empty_cache(ms_sim):
    fetches = lambda: len(ms_sim.messages("call", function="RFC_GET_FUNCTION_INTERFACE"))  # noqa: E731
    c = lomra.Connection(ms_logon(ms_sim), {})
    try:
        start = len(lookups(ms_sim))
        before = fetches()
        c.call("STFC_CONNECTION", {}, {})
        c.call("STFC_CONNECTION", {}, {})
        assert fetches() == before + 1  # cached within the session
        c.reopen()
        assert len(lookups(ms_sim)) == start + 1
        c.call("STFC_CONNECTION", {}, {})
        assert fetches() == before + 2  # the reopened session starts empty
    finally:
        c.close()
    # A second connection does not see the first one's descriptions either.
    d = lomra.Connection(ms_logon(ms_sim), {})
    try:
        d.function_description("STFC_CONNECTION")
        assert fetches() == before + 3
    finally:
        d.close()


@pytest.mark.parametrize("fault,cls,code,message", [
    ("close=first", lomra.CommunicationError, 13, "connection closed by peer during message server"),
    ("close=group", lomra.CommunicationError, 13, "connection closed by peer during message server"),
    ("garbage=group", lomra.CommunicationError, 1,
     "unexpected record during message server: response without the **MESSAGE** eyecatcher"),
    ("hugelen=group", lomra.CommunicationError, 1,
     "NI payload of 4294967280 bytes exceeds the configured limit of 268435456"),
    ("noentry=group", lomra.CommunicationError, 1, NO_SERVER),
])
def test_lookup_faults(fault, cls, code, message):
    with simctl.Sim("--msgserver", "--ms-fault", fault) as sim:
        with pytest.raises(cls) as info:
            lomra.Connection(ms_logon(sim), {})
        assert (str(info.value), info.value.code) == (message, code)
        assert sim.events("accepted", server="gateway") == []


def test_mshost_override_and_group():
    config = {"msgserver": {"groups": {"SPACE": [{"host": "127.0.0.2"}]}}}
    with simctl.Sim("--msgserver", config=config) as sim:
        # 127.0.0.2 is loopback too, but the gateway listens on 127.0.0.1 only.
        with pytest.raises(lomra.CommunicationError) as info:
            lomra.Connection(ms_logon(sim, group="SPACE"), {})
        assert info.value.code == 1 and "refused" in str(info.value).lower()
        # PUBLIC is not configured in this scenario.
        with pytest.raises(lomra.CommunicationError) as info:
            lomra.Connection(ms_logon(sim), {})
        assert str(info.value) == NO_SERVER
        c = lomra.Connection(ms_logon(sim, group="SPACE", mshost_override="127.0.0.1"), {})
        try:
            assert c.call("STFC_CONNECTION", {"REQUTEXT": "override"}, {})["ECHOTEXT"] == "override"
        finally:
            c.close()
        assert [e["group"] for e in sim.entries(server="msgserver", event="lookup")] == ["SPACE", "PUBLIC", "SPACE"]


def test_refused_logon_through_the_message_server(ms_sim):
    with pytest.raises(lomra.LogonError) as info:
        lomra.Connection(ms_logon(ms_sim, passwd="wrong"), {})
    assert info.value.code == 2
