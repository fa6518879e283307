// Layered layout of a pipeline: each component on the layer after its deepest parent,
// ordered within its layer by the mean position of its parents. An edge that spans several
// layers runs through a narrow slot on each layer between, so it never crosses a component.

// components: array of {id, parents_id}, in pipeline order; size: {node, height, slot, gapX,
// gapY, margin} in pixels. Returns {width, height, place, edges, layers}: place maps an id to
// its top-left {x, y}, edges is one array of points [x, y] per edge from the parent's bottom
// to the child's top, layers the ids of each layer in drawing order.
export function layout(components, size) {
  const count = components.length;
  const index = new Map(components.map((component, at) => [component.id, at]));
  const parents = components.map((component) =>
    component.parents_id.filter((parent) => index.has(parent)).map((parent) => index.get(parent)),
  );

  // Longest path from the roots, in topological order (Kahn). The server refuses cycles and
  // unknown parents; both are tolerated here so a page never hangs on bad data.
  const children = Array.from({ length: count }, () => []);
  const waiting = parents.map((list) => list.length);
  const depth = new Array(count).fill(0);
  const ready = [];
  parents.forEach((list, child) => {
    for (const parent of list) children[parent].push(child);
    if (list.length === 0) ready.push(child);
  });
  for (let next = 0; next < ready.length; next++) {
    const node = ready[next];
    for (const child of children[node]) {
      depth[child] = Math.max(depth[child], depth[node] + 1);
      if (--waiting[child] === 0) ready.push(child);
    }
  }
  let deepest = depth.reduce((a, b) => Math.max(a, b), 0);
  if (ready.length < count) {
    // Whatever sits on or below a cycle goes below everything else.
    deepest += 1;
    waiting.forEach((left, node) => {
      if (left > 0) depth[node] = deepest;
    });
  }

  // Slots: the components first (0..count-1), then one per layer crossed by a long edge.
  // Each slot knows its layer and the slots above it that it hangs from.
  const layerOf = depth.slice();
  const above = parents.map(() => []);
  const routes = [];
  parents.forEach((list, child) => {
    for (const parent of list) {
      const route = [parent];
      let from = parent;
      for (let layer = depth[parent] + 1; layer < depth[child]; layer++) {
        const slot = layerOf.length;
        layerOf.push(layer);
        above.push([from]);
        route.push(slot);
        from = slot;
      }
      above[child].push(from);
      route.push(child);
      routes.push(route);
    }
  });

  const layers = Array.from({ length: count ? deepest + 1 : 0 }, () => []);
  layerOf.forEach((layer, slot) => layers[layer].push(slot));

  // One sweep from the top: a layer is sorted by the barycentre of the centres of the slots
  // it hangs from (already placed), ties and roots in pipeline order.
  const x = new Array(layerOf.length).fill(0);
  const widthOf = (slot) => (slot < count ? size.node : size.slot);
  let width = 0;
  for (const layer of layers) {
    const keyed = layer.map((slot) => {
      const from = above[slot];
      let sum = 0;
      for (const other of from) sum += x[other] + widthOf(other) / 2;
      return { slot, key: from.length ? sum / from.length : -1 };
    });
    keyed.sort((a, b) => a.key - b.key || a.slot - b.slot);
    let left = size.margin;
    layer.length = 0;
    for (const { slot } of keyed) {
      layer.push(slot);
      x[slot] = left;
      left += widthOf(slot) + size.gapX;
    }
    width = Math.max(width, left - size.gapX + size.margin);
  }

  const top = (layer) => size.margin + layer * (size.height + size.gapY);
  const place = new Map();
  components.forEach((component, slot) => {
    place.set(component.id, { x: x[slot], y: top(layerOf[slot]) });
  });
  const edges = routes.map((route) => {
    const points = [];
    route.forEach((slot, at) => {
      const centre = x[slot] + widthOf(slot) / 2;
      const y = top(layerOf[slot]);
      if (at > 0) points.push([centre, y]);
      if (at < route.length - 1) points.push([centre, y + size.height]);
    });
    return points;
  });
  return {
    width,
    height: layers.length ? top(layers.length - 1) + size.height + size.margin : 0,
    place,
    edges,
    layers: layers.map((layer) => layer.filter((slot) => slot < count).map((slot) => components[slot].id)),
  };
}
