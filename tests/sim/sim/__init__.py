"""The simulated ABAP system: codecs, servers and scenario functions.

Everything here is written for /usr/bin/python3 with the standard library
only.  The package is split by concern so that further endpoints (a message
server, a WebSocket RFC endpoint, a gateway for registered servers) can be
added beside the gateway and the SAProuter without touching the codecs.
"""
