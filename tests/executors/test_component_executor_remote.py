"""The remote executor of this build: unreachable, with a message the user can act on."""

from __future__ import annotations

import cloudpickle
import pytest

from orvane_core.executors import OrvaneRemoteComponentExecutor
from orvane_core.misc.models import OrvaneExecutionRequestModel


@pytest.fixture
def executor():
    return OrvaneRemoteComponentExecutor(
        identifier="c1", name="remote cell", backend="redis://r", broker="amqp://q"
    )


def test_ping_reports_unreachable_with_a_reason(executor):
    reachable, message = executor.ping()
    assert reachable is False
    assert "Remote execution is not available" in message


def test_execute_refuses_clearly(executor):
    request = cloudpickle.dumps(OrvaneExecutionRequestModel(identifier="c1", cell_code="x = 1"))
    with pytest.raises(RuntimeError, match="Remote execution is not available"):
        executor.execute(request=request)
