// Layered layout of a pipeline: each component on the layer after its deepest parent,
// ordered within its layer by the mean position of its parents.

// components: array of {id, parents_id}, in pipeline order. Returns {layers, place}:
// layers is an array of arrays of ids, place a Map id -> {layer, index}.
export function layout(components) {
  const known = new Map();
  components.forEach((component, order) => known.set(component.id, order));

  // Longest path from the roots, in topological order (Kahn). The server refuses cycles
  // and unknown parents; both are tolerated here so a page never hangs on bad data.
  const children = new Map();
  const waiting = new Map();
  const depth = new Map();
  const ready = [];
  for (const component of components) {
    const parents = component.parents_id.filter((parent) => known.has(parent));
    waiting.set(component.id, parents.length);
    depth.set(component.id, 0);
    if (parents.length === 0) ready.push(component.id);
    for (const parent of parents) {
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(component.id);
    }
  }
  for (let next = 0; next < ready.length; next++) {
    const id = ready[next];
    for (const child of children.get(id) || []) {
      depth.set(child, Math.max(depth.get(child), depth.get(id) + 1));
      const left = waiting.get(child) - 1;
      waiting.set(child, left);
      if (left === 0) ready.push(child);
    }
  }
  let deepest = 0;
  for (const id of ready) deepest = Math.max(deepest, depth.get(id));
  if (ready.length < components.length) {
    // Whatever sits on or below a cycle goes below everything else.
    deepest += 1;
    for (const component of components) {
      if (waiting.get(component.id) > 0) depth.set(component.id, deepest);
    }
  }

  const layers = Array.from({ length: components.length ? deepest + 1 : 0 }, () => []);
  for (const component of components) layers[depth.get(component.id)].push(component.id);

  // One sweep from the top: a layer is sorted by the barycentre of its parents' places in
  // the layers above (already final), ties and parentless components by pipeline order.
  const place = new Map();
  const parentsOf = new Map(components.map((c) => [c.id, c.parents_id]));
  layers.forEach((layer, index) => {
    const keyed = layer.map((id) => {
      let sum = 0;
      let count = 0;
      for (const parent of parentsOf.get(id)) {
        const at = place.get(parent);
        if (at !== undefined) {
          sum += at.index;
          count += 1;
        }
      }
      return { id, key: count ? sum / count : -1, order: known.get(id) };
    });
    keyed.sort((a, b) => a.key - b.key || a.order - b.order);
    layers[index] = keyed.map((entry) => entry.id);
    layers[index].forEach((id, position) => place.set(id, { layer: index, index: position }));
  });
  return { layers, place };
}
