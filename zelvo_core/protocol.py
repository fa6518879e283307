"""The words of the pipeline protocol, written once for the server, the page and the command line.

The JSON Schemas under ``zelvo/server/schemas/`` and the native handlers' literals carry some
of these too; tests tie each copy to this module.
"""

from __future__ import annotations

# The procedure whose successful message carries a pipeline.
PIPELINE_UPDATED = "pipeline:updated"
# A message's "status".
SUCCESSFUL = "successful"
FAILED = "failed"

# A component's "execution_status", in the order the page lists them, with the word it shows.
SUCCEEDED = "succeeded"
INVALID = "invalid"  # succeeded, but something it depends on ran again since: out of date
RUNNING = "running"
NOT_RUN = "not-run"
STATUS_LABELS = {
    SUCCEEDED: "succeeded",
    FAILED: "failed",
    INVALID: "out of date",
    RUNNING: "running",
    NOT_RUN: "not run",
}
EXECUTION_STATUSES = tuple(STATUS_LABELS)

# A component's "component_type"; the notebook tag that makes a cell a parameter component.
CODE = "code"
PARAMETER = "parameter"
COMPONENT_TYPES = (CODE, PARAMETER)
PARAMETERS_TAG = "parameters"

# The export's formats: name -> (ending of the download's name, Content-Type).
JSON, SCRIPT, NOTEBOOK = "json", "py", "ipynb"
EXPORT_FORMATS = {
    JSON: (".json", "application/json"),
    SCRIPT: (".py", "text/x-python; charset=UTF-8"),
    # Not ".ipynb" alone: the download must never replace the notebook it came from.
    NOTEBOOK: (".pipeline.ipynb", "application/x-ipynb+json"),
}
DEFAULT_EXPORT_FORMAT = JSON

# Texts the server's answers share between its native and Python handlers.
NO_PIPELINE = "Cannot get dag data in {kernel_id}."
NO_COMPONENTS = "There are no components in this pipeline."
KERNEL_NOT_FOUND = "Kernel does not exist: {kernel_id}"
SUCCESS = "Success."
NOT_JSON_NUMBER = "The body of the request must be a JSON object: {constant} is not a JSON number."

# Websocket close codes and reasons.
GOING_AWAY = 1001  # the kernel the socket listens to is gone: final
TRY_AGAIN_LATER = 1013  # the client fell behind: reconnect with a snapshot
KERNEL_SHUT_DOWN = "Kernel {kernel_id} was shut down."
FELL_BEHIND = "The client fell behind the updates; reconnect with ?snapshot=1."

# The host's routes take kernel ids of this form only (its kernel API's pattern).
KERNEL_ID_PATTERN = r"\w+-\w+-\w+-\w+-\w+"


def no_pipeline(kernel_id):
    """The message for a kernel without a registered pipeline."""
    return NO_PIPELINE.format(kernel_id=kernel_id)


def kernel_shut_down(kernel_id):
    """The reason given when a kernel's websockets close because it stopped."""
    return KERNEL_SHUT_DOWN.format(kernel_id=kernel_id)
