"""Comparison of two versions of a pipeline."""

from zelvo.server.misc.models import ZelvoDagUpdateComponentModel, ZelvoDagUpdateModel


def get_dag_update_info(previous, current, /):
    """Return what changed from ``previous`` to ``current`` (both ZelvoPipelineModel).

    Components are matched by id, so the cost is linear in the size of the
    two pipelines.  Added and revised components come in ``current``'s order,
    deleted ids in ``previous``'s order.
    """
    before = previous.graph.components
    after = current.graph.components
    added = []
    revised = []
    for ident, component in after.items():
        old = before.get(ident)
        if old is None:
            added.append(component)
        elif old != component:
            revised.append(component)
    deleted = [ident for ident in before if ident not in after]
    identifier = current.identifier
    if identifier is None:
        identifier = previous.identifier
    return ZelvoDagUpdateModel(
        identifier=identifier,
        updated_components=ZelvoDagUpdateComponentModel(added, revised, deleted),
    )
