// Layered layout of a pipeline: each component on the layer after its deepest parent, ordered
// within its layer by the mean position of its parents. The drawing depends only on the set of
// components (ties go by id, never by arrival), so a pipeline draws the same after a reload as
// after live updates. An edge that spans several layers leaves its parent for a vertical lane
// to the right of every component, shared by all long edges of that parent, and joins each
// child through the gap above the child's layer: nothing is placed per crossed layer, so time
// and memory stay O((V + E) log(V + E)).

// The pipeline has a cycle: it cannot be drawn in layers (the server refuses such pipelines).
export class CycleError extends Error {
  constructor(id) {
    super(`the pipeline has a cycle through '${id}'`);
    this.name = "CycleError";
    this.id = id;
  }
}

// Heap of numbers or of [key, value] pairs compared by key; enough for the lane assignment.
class Heap {
  constructor(less) {
    this.items = [];
    this.less = less;
  }
  get size() {
    return this.items.length;
  }
  peek() {
    return this.items[0];
  }
  push(item) {
    const items = this.items;
    let at = items.push(item) - 1;
    while (at > 0) {
      const up = (at - 1) >> 1;
      if (!this.less(items[at], items[up])) break;
      [items[at], items[up]] = [items[up], items[at]];
      at = up;
    }
  }
  pop() {
    const items = this.items;
    const top = items[0];
    const last = items.pop();
    if (items.length) {
      items[0] = last;
      let at = 0;
      for (;;) {
        const left = 2 * at + 1;
        const right = left + 1;
        let least = at;
        if (left < items.length && this.less(items[left], items[least])) least = left;
        if (right < items.length && this.less(items[right], items[least])) least = right;
        if (least === at) break;
        [items[at], items[least]] = [items[least], items[at]];
        at = least;
      }
    }
    return top;
  }
}

// components: iterable of {id, parents_id}; parents that are not among them are left out.
// size: {node, height, gapX, gapY, lane, margin} in pixels, and lanes: how many lanes at most
// (no bound without it).
// Returns {width, height, place, rows, edges, trunks}:
// - place maps an id to {x, y, layer}, the top-left corner of its box;
// - rows holds the ids of each layer from left to right;
// - edges has one {from, to, layer, long, x0, y0, x1, y1, points} per edge (layer: the
//   child's); points run from the parent's bottom (a short edge) or from the parent's lane
//   (a long one) to the child's top;
// - trunks has one {from, lane, points} per parent with long edges: from its bottom to its
//   lane, and down the lane to the branch of its deepest long child.
// Throws CycleError when the components do not form a DAG.
export function layout(components, size) {
  const byId = new Map();
  for (const component of components) byId.set(component.id, component);
  const ids = Array.from(byId.keys());
  ids.sort(compareIds);
  const count = ids.length;
  const index = new Map(ids.map((id, at) => [id, at]));
  const parents = ids.map((id) => {
    const list = [];
    for (const parent of byId.get(id).parents_id) {
      const at = index.get(parent);
      if (at !== undefined) list.push(at);
    }
    if (list.length < 2) return list;
    list.sort((a, b) => a - b);
    return list.filter((at, position) => position === 0 || list[position - 1] !== at);
  });

  // Longest path from the roots (Kahn); whatever is left unreached sits on a cycle.
  const children = ids.map(() => []);
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
      if (depth[node] + 1 > depth[child]) depth[child] = depth[node] + 1;
      if (--waiting[child] === 0) ready.push(child);
    }
  }
  if (ready.length < count) throw new CycleError(ids[waiting.findIndex((left) => left > 0)]);

  const layers = [];
  for (let node = 0; node < count; node++) {
    (layers[depth[node]] || (layers[depth[node]] = [])).push(node);
  }

  // From the top: a layer is sorted by the mean place of its parents (all placed already), ties
  // and roots by id; the boxes then go, in that order, as near their parents' mean as the
  // spacing allows.
  const x = new Float64Array(count);
  const step = size.node + size.gapX;
  let right = size.margin;
  for (const layer of layers) {
    const key = new Float64Array(layer.length);
    layer.forEach((node, at) => {
      const list = parents[node];
      let sum = 0;
      for (const parent of list) sum += x[parent];
      key[at] = list.length ? sum / list.length : -1;
    });
    const order = layer.map((node, at) => at);
    order.sort((a, b) => key[a] - key[b] || layer[a] - layer[b]);
    const wanted = order.map((at, rank) => (key[at] < 0 ? size.margin + rank * step : key[at]));
    const placed = nearest(wanted, step, size.margin);
    const sorted = order.map((at, rank) => {
      x[layer[at]] = placed[rank];
      return layer[at];
    });
    layer.splice(0, layer.length, ...sorted);
    if (layer.length) right = Math.max(right, placed[layer.length - 1] + size.node);
  }

  const rowHeight = size.height + size.gapY;
  const top = (layer) => size.margin + layer * rowHeight;
  // The gaps between layers carry the horizontal runs; lanes shift them apart a little.
  const gapAbove = (layer, lane) => top(layer) - size.gapY / 2 + ((lane % 5) - 2) * 3;
  const centre = (node) => x[node] + size.node / 2;

  // One trunk per parent with long edges, spanning its layer to its deepest long child; trunks
  // whose spans do not overlap share a lane (interval colouring, lowest free lane first).
  const spans = [];
  for (let parent = 0; parent < count; parent++) {
    let deepest = -1;
    for (const child of children[parent]) {
      if (depth[child] > depth[parent] + 1 && depth[child] > deepest) deepest = depth[child];
    }
    if (deepest >= 0) spans.push({ parent, start: depth[parent], end: deepest, lane: 0 });
  }
  spans.sort((a, b) => a.start - b.start || a.parent - b.parent);
  const busy = new Heap((a, b) => a[0] < b[0] || (a[0] === b[0] && a[1] < b[1]));
  const free = new Heap((a, b) => a < b);
  let lanes = 0;
  const most = Math.max(1, size.lanes ?? Infinity);
  const laneOf = new Map();
  for (const span of spans) {
    while (busy.size && busy.peek()[0] <= span.start) free.push(busy.pop()[1]);
    if (free.size) span.lane = free.pop();
    else if (lanes < most) span.lane = lanes++;
    // All lanes taken: share the one that frees first, so the width stays bounded.
    else span.lane = busy.pop()[1];
    busy.push([span.end, span.lane]);
    laneOf.set(span.parent, span.lane);
  }
  const laneX = (lane) => right + size.gapX + lane * size.lane;

  const edges = [];
  for (let child = 0; child < count; child++) {
    const childTop = top(depth[child]);
    for (const parent of parents[child]) {
      if (depth[child] > depth[parent] + 1) {
        const lane = laneOf.get(parent);
        const y = gapAbove(depth[child], lane);
        edges.push(new Edge(ids[parent], ids[child], depth[child], true, laneX(lane), y, centre(child), childTop));
      } else {
        const bottom = top(depth[parent]) + size.height;
        edges.push(new Edge(ids[parent], ids[child], depth[child], false, centre(parent), bottom, centre(child), childTop));
      }
    }
  }
  const trunks = spans.map(({ parent, start, end, lane }) => {
    const y = gapAbove(start + 1, lane);
    return {
      from: ids[parent],
      lane,
      points: [
        [centre(parent), top(start) + size.height],
        [centre(parent), y],
        [laneX(lane), y],
        [laneX(lane), gapAbove(end, lane)],
      ],
    };
  });

  const place = new Map();
  for (let node = 0; node < count; node++) {
    place.set(ids[node], { x: x[node], y: top(depth[node]), layer: depth[node] });
  }
  return {
    width: (lanes ? laneX(lanes - 1) : right) + size.margin,
    height: layers.length ? top(layers.length - 1) + size.height + size.margin : 0,
    place,
    rows: layers.map((layer) => layer.map((node) => ids[node])),
    edges,
    trunks,
  };
}

// An edge, from (x0, y0) to the child's top (x1, y1): from the parent's bottom for a short
// one; for a long one from its parent's lane, along the gap at y0 and down into the child.
// Its points are made only when asked for, as only the edges in the window are drawn.
class Edge {
  constructor(from, to, layer, long, x0, y0, x1, y1) {
    this.from = from;
    this.to = to;
    this.layer = layer;
    this.long = long;
    this.x0 = x0;
    this.y0 = y0;
    this.x1 = x1;
    this.y1 = y1;
  }
  get points() {
    const { x0, y0, x1, y1 } = this;
    return this.long ? [[x0, y0], [x1, y0], [x1, y1]] : [[x0, y0], [x1, y1]];
  }
}

// Places in rank order, each at least `step` after the one before and none before `least`,
// as near the wanted places as can be (least squares): pooling adjacent violators on
// wanted - rank * step, in linear time. Boxes that want the same place share the shift, so
// a layer does not drift to one side.
function nearest(wanted, step, least) {
  const means = [];
  const sizes = [];
  wanted.forEach((place, rank) => {
    let mean = place - rank * step;
    let size = 1;
    while (means.length && means[means.length - 1] > mean) {
      const other = sizes.pop();
      mean = (means.pop() * other + mean * size) / (other + size);
      size += other;
    }
    means.push(mean);
    sizes.push(size);
  });
  const placed = [];
  means.forEach((mean, block) => {
    for (let left = sizes[block]; left > 0; left--) placed.push(Math.max(least, mean) + placed.length * step);
  });
  return placed;
}

// Code-unit order, the same in every browser and locale.
function compareIds(a, b) {
  return a < b ? -1 : a > b ? 1 : 0;
}
