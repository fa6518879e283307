"""What changed between two versions of a kernel's pipeline: the comparison, and the update
that the server relays to the front ends and answers a GET with."""


class ZelvoDagUpdateComponentModel:
    """The components that changed between two versions of a pipeline.

    ``added`` and ``revised`` hold the new PipelineComponent objects,
    ``deleted`` the ids of the removed ones.  Each is a list, truthy exactly
    when that kind of change happened; the model itself is truthy when any
    change happened.
    """

    __slots__ = ("added", "deleted", "revised")

    def __init__(self, added=(), revised=(), deleted=()):
        self.added = list(added)
        self.revised = list(revised)
        self.deleted = list(deleted)

    def __bool__(self):
        return bool(self.added or self.revised or self.deleted)

    def __repr__(self):
        return (
            f"ZelvoDagUpdateComponentModel(added={len(self.added)}, "
            f"revised={len(self.revised)}, deleted={len(self.deleted)})"
        )

    def dict(self):
        return {
            "added": [component.to_dict() for component in self.added],
            "revised": [component.to_dict() for component in self.revised],
            "deleted": list(self.deleted),
        }


class ZelvoDagUpdateModel:
    """The update message for one kernel's pipeline."""

    __slots__ = ("identifier", "updated_components")

    def __init__(self, identifier=None, updated_components=None):
        self.identifier = identifier
        if updated_components is None:
            updated_components = ZelvoDagUpdateComponentModel()
        self.updated_components = updated_components

    def __repr__(self):
        return (
            f"ZelvoDagUpdateModel(identifier={self.identifier!r}, "
            f"updated_components={self.updated_components!r})"
        )

    def dict(self):
        return {
            "identifier": self.identifier,
            "updated_components": self.updated_components.dict(),
        }


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
