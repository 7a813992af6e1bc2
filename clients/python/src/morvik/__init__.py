"""Client of the morvik server: requests over a child process's standard streams.

Client (one child, a context manager), Pool (a fixed number of children shared by threads),
AsyncClient (asyncio), Reply, ErrorRecord, MorvikError (what is not an answer) and CommandFailed
(a command's failure, with Windows' error record). See docs/clients.md.
"""

from ._wire import Reply, encode_request
from .aio import AsyncClient
from .client import Client
from .errors import CommandFailed, ErrorRecord, MorvikError
from .pool import Pool

__all__ = ["AsyncClient", "Client", "CommandFailed", "ErrorRecord", "MorvikError", "Pool", "Reply", "encode_request"]
